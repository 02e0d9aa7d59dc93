// Hands work from a monitor thread to the window's thread, in order. A run
// waits until the window has done it; once the window starts closing, work
// that has not started yet is dropped and nobody waits any more, so a closing
// window never waits for a thread that waits for the window.
#pragma once
#include <QObject>
#include <QPointer>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace ui {

class WindowHop {
 public:
  explicit WindowHop(QObject* window);
  ~WindowHop();
  WindowHop(const WindowHop&) = delete;
  WindowHop& operator=(const WindowHop&) = delete;

  // Runs fn on the window's thread and waits for it; on that thread itself it
  // runs at once. False when it was dropped because the window is closing.
  bool Run(std::function<void()> fn);
  // Like Run, but runs even while the window is closing: for work that must
  // not be lost, such as booking a token that has been programmed. The
  // closing window keeps handling events until its monitors have ended.
  void RunAlways(std::function<void()> fn);
  // Queues fn for the window's thread without waiting.
  void Post(std::function<void()> fn);
  // Sleeps for ms, or less when the window starts closing. False when closing.
  bool Pause(int ms);

  // Window thread: from now on nothing new runs, waiters are released.
  void BeginClosing();
  bool Closing() const;
  // Window thread: true while a handed-over call is running (it may be
  // showing a message box in a nested event loop).
  bool InCall() const;

 private:
  struct Call {
    std::function<void()> fn;
    enum State { Queued, Running, Done, Dropped } state = Queued;
    bool always = false;
    bool waited = false;  // someone waits for it (Run), not Post
  };
  bool Hand(std::function<void()> fn, bool always);
  // Queues the call and wakes the window's thread for it.
  void Enqueue(std::shared_ptr<Call> call);
  // Window thread: runs the oldest queued call (one wake-up per call).
  void ExecuteNext();
  void Execute(const std::shared_ptr<Call>& call);

  QObject* m_window;
  mutable std::mutex m_mutex;
  // The calls cross to the window's thread here, under m_mutex; the wake-up
  // that Qt queues carries nothing of ours. So the hand-over is one lock that
  // a thread checker can see, not Qt's own event-queue lock, which an
  // uninstrumented Qt hides from it.
  std::deque<std::shared_ptr<Call>> m_queue;
  std::unique_ptr<QObject> m_wake;  // a child of the window, on its thread
  std::condition_variable m_callDone;  // a waited-for call finished or was dropped
  bool m_closing = false;
  // Mirrors m_closing for the monitors' checks, which need no lock.
  std::atomic<bool> m_closingSeen{false};
  // Pauses sleep in poll() on the read end; BeginClosing writes one byte that
  // is never read, so every pause from then on returns at once. A condition
  // variable would cost each pause a second system call (glibc marks the
  // mutex contended when a wait takes it back, so its unlock always wakes).
  int m_closingPipe[2] = {-1, -1};
  int m_running = 0;
};

}  // namespace ui
