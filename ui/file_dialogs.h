// The open-file dialog of the seed sources, behind a seam so that tests answer
// it with a path or a cancel.
#pragma once
#include <QString>
#include <optional>

class QWidget;

namespace ui {

class FileDialogs {
 public:
  virtual ~FileDialogs() = default;
  // The chosen file's path, or empty text when the operator cancels. filter
  // lists "Caption (*.ext)" entries separated by ";;".
  virtual QString OpenFileName(QWidget* owner, const QString& filter) = 0;
  // A password or key typed into a masked box; nothing when cancelled.
  // Unless a test gives one, nothing is typed.
  virtual std::optional<QString> SecretText(QWidget* owner, const QString& prompt) {
    (void)owner;
    (void)prompt;
    return std::nullopt;
  }
};

// The desktop's open-file dialog, modal over the owner.
FileDialogs& SystemFileDialogs();

FileDialogs& ActiveFileDialogs();
void UseFileDialogs(FileDialogs* dialogs);  // nullptr restores SystemFileDialogs()

// Window thread only.
QString ChooseFileToOpen(QWidget* owner, const QString& filter);
std::optional<QString> AskSecretText(QWidget* owner, const QString& prompt);


}  // namespace ui
