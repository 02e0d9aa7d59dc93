// The open-file dialog through QFileDialog.
#include "file_dialogs.h"

#include <QFileDialog>

#include "seam.h"

namespace ui {
namespace {

class SystemDialogs : public FileDialogs {
 public:
  QString OpenFileName(QWidget* owner, const QString& filter) override {
    return QFileDialog::getOpenFileName(owner, QString(), QString(), filter);
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

}  // namespace ui
