// Test doubles for the station window: a message recorder that answers every
// box at once (questions with a set answer, Yes unless told), a sound-cue
// recorder, and lookups of controls by template id.
#pragma once
#include <QAccessible>
#include <QLabel>
#include <QList>
#include <QString>
#include <functional>
#include <mutex>

#include "operator_messages.h"
#include "sound_cue.h"
#include "vantor_dlg.h"

struct RecordedMessage {
  QString caption;
  QString text;
  ui::MessageIcon icon;
  bool question = false;
};

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
