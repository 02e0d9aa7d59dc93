// What assistive technology sees of a split button ("Random", "Scan QR
// Code"): a button whose body can be pressed and whose menu can be shown,
// with that menu and its entries as the button's child, open or not.
// Qt's own interface offers only the menu, and opens it inside the call, so
// a screen reader's request waits until the menu is closed again; and Qt
// hangs a popup menu under no one (the application lists no popups), so its
// entries could not be reached at all.
#pragma once

namespace ui {

// Installs the interfaces for every QToolButton with a split-button menu and
// for the QMenu made as that button's child.
void InstallSplitButtonAccessibility();

}  // namespace ui
