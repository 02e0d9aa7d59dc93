// The open-file dialog through QFileDialog.
#include "file_dialogs.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>

#include "seam.h"

namespace ui {
namespace {

class SystemDialogs : public FileDialogs {
 public:
  QString OpenFileName(QWidget* owner, const QString& filter) override {
    return QFileDialog::getOpenFileName(owner, QString(), QString(), filter);
  }
  std::optional<QString> SecretText(QWidget* owner, const QString& prompt) override {
    bool ok = false;
    const QString text = QInputDialog::getText(owner, QStringLiteral("Orvex Zerazaduzu"), prompt,
                                               QLineEdit::Password, QString(), &ok);
    if (!ok) return std::nullopt;
    return text;
  }
};

Seam<FileDialogs> g_seam(SystemFileDialogs);

}  // namespace

FileDialogs& SystemFileDialogs() {
  static SystemDialogs dialogs;
  return dialogs;
}

FileDialogs& ActiveFileDialogs() { return g_seam.Active(); }

void UseFileDialogs(FileDialogs* dialogs) { g_seam.Replace(dialogs); }

QString ChooseFileToOpen(QWidget* owner, const QString& filter) {
  return ActiveFileDialogs().OpenFileName(owner, filter);
}

std::optional<QString> AskSecretText(QWidget* owner, const QString& prompt) {
  return ActiveFileDialogs().SecretText(owner, prompt);
}

}  // namespace ui
