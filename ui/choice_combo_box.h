// A list to choose from ("Reader:", the secret's encoding) whose entries
// assistive technology can choose, not only read. Qt 6.4's own interface
// shows the popup's list view, whose items' one action selects them in the
// view without changing the box's choice, and its AT-SPI bridge knows no
// Selection interface: a reader could be picked with the mouse only.
#pragma once

#include <QComboBox>

namespace ui {

// A QComboBox that is never made editable. What assistive technology sees:
// the box named after its caption and its choice ("Reader: Virtual PCD 00
// 00"), one child per entry, and each entry's "Press" makes it the choice as a
// click in the popup does. A class of its own, since Qt makes an object's
// interface once, at the first question, and keeps it for its lifetime.
class ChoiceComboBox : public QComboBox {
  Q_OBJECT

 public:
  explicit ChoiceComboBox(QWidget* parent = nullptr);
};

}  // namespace ui
