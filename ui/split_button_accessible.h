// What assistive technology sees of a split button ("Random", "Scan QR
// Code"): a button whose body can be pressed and whose menu can be shown.
// Qt's own interface offers only the menu, and opens it inside the call, so
// a screen reader's request waits until the menu is closed again.
#pragma once

namespace ui {

// Installs the interface for every QToolButton with a split-button menu.
void InstallSplitButtonAccessibility();

}  // namespace ui
