// The message boxes of the station.
#include "operator_messages.h"

#include <QMessageBox>
#include <QPushButton>

#include "seam.h"

namespace ui {
namespace {

class MessageBoxes : public OperatorMessages {
 public:
  void Show(QWidget* owner, const QString& caption, const QString& text, MessageIcon icon) override {
    QMessageBox box(icon == MessageIcon::Error ? QMessageBox::Critical : QMessageBox::NoIcon, caption, text,
                    QMessageBox::Ok, owner);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.exec();
  }
  bool Ask(QWidget* owner, const QString& caption, const QString& text) override {
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    return box.exec() == QMessageBox::Yes;
  }
};

}  // namespace

OperatorMessages& BoxMessages() {
  static MessageBoxes boxes;
  return boxes;
}

namespace {
Seam<OperatorMessages> g_seam(BoxMessages);
}  // namespace

OperatorMessages& ActiveMessages() { return g_seam.Active(); }

void UseMessages(OperatorMessages* messages) { g_seam.Replace(messages); }

void ShowOperatorMessage(QWidget* owner, const QString& caption, const QString& text, MessageIcon icon) {
  ActiveMessages().Show(owner, caption, text, icon);
}

bool AskOperator(QWidget* owner, const QString& caption, const QString& text) {
  return ActiveMessages().Ask(owner, caption, text);
}

}  // namespace ui
