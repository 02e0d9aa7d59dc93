// What the window tests share: stand-ins for the window's seams (operator
// messages, sound cue, open-file dialog, clock), controls by template id, and
// StationWindowTest, the window with the steps an operator takes at it.
#pragma once
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QMenu>
#include <QPoint>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "export_set.h"
#include "file_dialogs.h"
#include "operator_messages.h"
#include "sound_cue.h"
#include "vantor_dlg.h"
#include "window_clock.h"

// The window's controls by their template ids.
enum ControlId {
  kLoadSeedFileButton = 1000, kSerialLabel = 1006, kTokenClockLabel = 1007, kTotalLabel = 1008,
  kSuccessLabel = 1009, kFailLabel = 1010, kComputerClockLabel = 1012, kBurnButton = 1015, kTipsLabel = 1016,
  kClearButton = 1017, kReaderCombo = 1018, kConnectButton = 1019, kSealButton = 1020,
  kTime30 = 1021, kTime60 = 1022, kSha1 = 1023, kSha256 = 1024,
  kDisplay15 = 1025, kDisplay30 = 1026, kDisplay60 = 1027, kDisplay120 = 1028,
  kTestButton = 1029, kSyncButton = 1030, kEncodingCombo = 1031, kRandomButton = 1044,
  kSecretEdit = 1047, kSeedPathLabel = 1048, kSeedCaptionLabel = 1049, kEditButton = 1050,
  kSyncClockCheck = 1051, kScanQrButton = 1052, kCodeList = 1055, kUserNameEdit = 1056, kExportCheck = 1057,
  kLogList = 1060,
};

// The APDUs of a burn of the token shown, counted from the press: the
// preparation (serial read, challenge, cryptogram, parameters), then the
// take-up (serial read, challenge, cryptogram, serial read, seed write).
constexpr int kTakeUpRead = 5;
constexpr int kSeedWriteApdu = 9;

struct RecordedMessage {
  QString caption;
  QString text;
  ui::MessageIcon icon;
  bool question = false;
};

// Answers every box at once, questions with a set answer (Yes unless told),
// and keeps what was shown and asked.
class MessageRecorder : public ui::OperatorMessages {
 public:
  void Show(QWidget*, const QString& caption, const QString& text, ui::MessageIcon icon) override {
    std::function<void(const RecordedMessage&)> hook;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_messages.append({caption, text, icon});
      hook = m_hook;
    }
    // Called while the box would be on screen.
    if (hook) hook({caption, text, icon});
  }
  bool Ask(QWidget*, const QString& caption, const QString& text) override {
    std::function<void(const RecordedMessage&)> hook;
    bool answer = true;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_messages.append({caption, text, ui::MessageIcon::None, true});
      hook = m_hook;
      answer = m_answer;
    }
    if (hook) hook({caption, text, ui::MessageIcon::None, true});
    return answer;
  }
  // The answer to every question from now on: true for Yes.
  void AnswerQuestions(bool yes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answer = yes;
  }
  QStringList Questions() const {
    QStringList texts;
    for (const RecordedMessage& m : Messages()) {
      if (m.question) texts << m.text;
    }
    return texts;
  }
  QList<RecordedMessage> Messages() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_messages;
  }
  // The texts of the message boxes (OK only); questions are in Questions().
  QStringList Texts() const {
    QStringList texts;
    for (const RecordedMessage& m : Messages()) {
      if (!m.question) texts << m.text;
    }
    return texts;
  }
  int Count(const QString& text) const { return static_cast<int>(Texts().count(text)); }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.clear();
    m_hook = nullptr;
    m_answer = true;
  }
  void OnShow(std::function<void(const RecordedMessage&)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hook = std::move(hook);
  }

 private:
  mutable std::mutex m_mutex;
  QList<RecordedMessage> m_messages;
  std::function<void(const RecordedMessage&)> m_hook;
  bool m_answer = true;
};

class CueRecorder : public ui::SoundCue {
 public:
  void Play(int frequencyHz, int durationMs) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_plays.append({frequencyHz, durationMs});
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_plays.clear();
  }
  QList<QPair<int, int>> Plays() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_plays;
  }

 private:
  mutable std::mutex m_mutex;
  QList<QPair<int, int>> m_plays;
};

template <class T>
T* ControlOf(const CVantorDlg* dlg, int id) {
  return qobject_cast<T*>(dlg->Control(id));
}

// The name that the accessibility bus publishes for the widget.
inline QString AccessibleName(QWidget* widget) {
  QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(widget);
  return iface ? iface->text(QAccessible::Name) : QStringLiteral("<no interface>");
}

inline QString LabelText(const CVantorDlg* dlg, int id) {
  QLabel* label = ControlOf<QLabel>(dlg, id);
  return label ? label->text() : QStringLiteral("<no label %1>").arg(id);
}

// The menu item of a split button with this caption; nullptr when none.
inline QAction* MenuAction(QToolButton* button, const QString& caption) {
  for (QAction* action : button->menu()->actions()) {
    if (action->text() == caption) return action;
  }
  return nullptr;
}

// Answers the open-file dialog with a set path and notes what it was asked.
class FileAnswer : public ui::FileDialogs {
 public:
  QString OpenFileName(QWidget*, const QString& filter) override {
    filters << filter;
    return answer;
  }
  int Asked() const { return static_cast<int>(filters.size()); }
  std::optional<QString> SecretText(QWidget*, const QString& prompt) override {
    prompts << prompt;
    return secretAnswer;
  }

  QString answer;       // empty: the operator cancels
  QStringList filters;  // the filter of each question
  std::optional<QString> secretAnswer;  // a password or key typed; none: cancelled
  QStringList prompts;
};

// A window clock that stands still; its monotonic count moves only when told.
class TestClock : public ui::WindowClock {
 public:
  explicit TestClock(QDateTime now) : m_now(std::move(now)) {}
  QDateTime Now() const override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_now;
  }
  int64_t MonotonicMs() const override { return m_monotonicMs.load(); }
  void Advance(int64_t ms) { m_monotonicMs += ms; }
  void Set(QDateTime now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_now = std::move(now);
  }

 private:
  mutable std::mutex m_mutex;
  QDateTime m_now;
  std::atomic<int64_t> m_monotonicMs{5'000'000};
};

// Counts the calls that other threads queue for the window.
class HandOverCounter : public QObject {
 public:
  std::atomic<int> count{0};

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::MetaCall) ++count;
    return false;
  }
};

// A file for the window to read (a seed file, a picture); false when it
// cannot be written whole.
inline bool WriteFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// The station window, opened afresh for each test function, with the message
// recorder and an export directory of its own; the steps an operator takes at
// it; the export files it writes. The PC/SC stack behind it is the test
// class's: emulated in-process (emulated_station.h) or a real pcscd.
class StationWindowTest : public QObject {
 protected:
  // From init(): the recorder emptied and in place, a fresh export directory,
  // the window shown (at a given place, for a real screen).
  void OpenWindow(std::optional<QPoint> at = std::nullopt) {
    m_messages.Clear();
    ui::UseMessages(&m_messages);
    m_data = std::make_unique<QTemporaryDir>();
    station::SetExportDirectoryOverride(DataPath());
    m_dlg = new CVantorDlg;
    if (at) m_dlg->move(*at);
    m_dlg->show();
  }
  // The monitors end with the window.
  void CloseWindow() {
    delete m_dlg;
    m_dlg = nullptr;
  }

  // Chooses the reader once the reader monitor lists it, and presses Connect.
  void ConnectTo(const QString& reader, int listedWithinMs = 5000) {
    auto* combo = ControlOf<QComboBox>(m_dlg, kReaderCombo);
    QTRY_VERIFY_WITH_TIMEOUT(combo->findText(reader) >= 0, listedWithinMs);
    combo->setCurrentIndex(combo->findText(reader));
    ControlOf<QPushButton>(m_dlg, kConnectButton)->click();
  }
  // Types the secret into the emptied box in this encoding (0 Base32, 1 hex).
  void EnterSecret(const QString& text, int encoding = 0) {
    ControlOf<QComboBox>(m_dlg, kEncodingCombo)->setCurrentIndex(encoding);
    ControlOf<QPushButton>(m_dlg, kEditButton)->click();
    auto* edit = ControlOf<QLineEdit>(m_dlg, kSecretEdit);
    edit->clear();
    QTest::keyClicks(edit, text);
  }
  void PressBurnWhenReady() {
    auto* burn = ControlOf<QPushButton>(m_dlg, kBurnButton);
    // The serial number shows at the refresh that follows the read.
    QTRY_VERIFY(!LabelText(m_dlg, kSerialLabel).isEmpty());
    QTRY_VERIFY(burn->isEnabled());
    burn->click();
  }

  // The export directory, or a file in it.
  QString DataPath(const QString& name = QString()) const {
    const QString dir = m_data->filePath(QStringLiteral("Data"));
    return name.isEmpty() ? dir : QDir(dir).filePath(name);
  }
  QStringList ExportFiles() const { return QDir(DataPath()).entryList(QDir::Files, QDir::Name); }
  // The export file's lines, each with its CR LF.
  QStringList FileLines(const QString& name) const {
    QFile file(DataPath(name));
    if (!file.open(QIODevice::ReadOnly)) return {QStringLiteral("<no file %1>").arg(name)};
    const QByteArray content = file.readAll();
    QStringList lines;
    int from = 0;
    while (from < content.size()) {
      int end = content.indexOf('\n', from);
      if (end < 0) end = content.size() - 1;
      lines << QString::fromLatin1(content.mid(from, end - from + 1));
      from = end + 1;
    }
    return lines;
  }
  // The lines of the one export file with this ending, each with its CR LF.
  QStringList FileLinesEndingIn(const QString& ending) const {
    const QStringList names = QDir(DataPath()).entryList({QStringLiteral("*") + ending}, QDir::Files);
    if (names.size() != 1) return {QStringLiteral("<%1 files ending in %2>").arg(names.size()).arg(ending)};
    return FileLines(names.first());
  }
  // The same lines without their CR LF, and no empty ones.
  QStringList ExportLines(const QString& ending) const {
    return FileLinesEndingIn(ending).join(QString()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  }

  MessageRecorder m_messages;
  std::unique_ptr<QTemporaryDir> m_data;
  CVantorDlg* m_dlg = nullptr;
};
