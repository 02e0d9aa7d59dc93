// Operator messages: every message box the station shows goes through here, so
// that tests can record the messages and answer them at once.
#pragma once
#include <QString>

#include "operator_texts.h"

class QWidget;

namespace ui {

using station::MessageIcon;

class OperatorMessages {
 public:
  virtual ~OperatorMessages() = default;
  // Shows the message and returns once the operator has dismissed it.
  virtual void Show(QWidget* owner, const QString& caption, const QString& text, MessageIcon icon) = 0;
  // Asks a Yes/No question and returns true for Yes, once answered.
  virtual bool Ask(QWidget* owner, const QString& caption, const QString& text) = 0;
};

// Modal box over the owner with an OK button only, kept on top; no icon unless
// asked for. A question has Yes and No, No the default, so that Enter or Esc
// never goes on by accident.
OperatorMessages& BoxMessages();

OperatorMessages& ActiveMessages();
void UseMessages(OperatorMessages* messages);  // nullptr restores BoxMessages()

// Window thread only.
void ShowOperatorMessage(QWidget* owner, const QString& caption, const QString& text,
                         MessageIcon icon = MessageIcon::None);
bool AskOperator(QWidget* owner, const QString& caption, const QString& text);

// Captions of the window's messages.
using station::kCaptionError;
using station::kCaptionHints;
using station::kCaptionStation;

}  // namespace ui
