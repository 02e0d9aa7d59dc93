// The open-file dialog through QFileDialog.
#include "file_dialogs.h"

#include <QFileDialog>
#include <atomic>

namespace ui {
namespace {

class SystemDialogs : public FileDialogs {
 public:
  QString OpenFileName(QWidget* owner, const QString& filter) override {
    return QFileDialog::getOpenFileName(owner, QString(), QString(), filter);
  }
};

std::atomic<FileDialogs*> g_active{nullptr};

}  // namespace

FileDialogs& SystemFileDialogs() {
  static SystemDialogs dialogs;
  return dialogs;
}

FileDialogs& ActiveFileDialogs() {
  FileDialogs* active = g_active.load();
  return active ? *active : SystemFileDialogs();
}

void UseFileDialogs(FileDialogs* dialogs) { g_active.store(dialogs); }

QString ChooseFileToOpen(QWidget* owner, const QString& filter) {
  return ActiveFileDialogs().OpenFileName(owner, filter);
}

}  // namespace ui
