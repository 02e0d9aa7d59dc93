#include "window_hop.h"

#include <QMetaObject>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace ui {
namespace {

// Invoked by name, so that the queued wake-up holds nothing made on the
// calling thread. A child of the window named "WindowHop", where a test can
// count the hand-overs.
class HopWake : public QObject {
  Q_OBJECT
 public:
  HopWake(std::function<void()> onWake, QObject* window) : QObject(window), m_onWake(std::move(onWake)) {
    setObjectName(QStringLiteral("WindowHop"));
  }
  Q_INVOKABLE void Wake() { m_onWake(); }

 private:
  const std::function<void()> m_onWake;
};

}  // namespace

WindowHop::WindowHop(QObject* window)
    : m_window(window), m_wake(std::make_unique<HopWake>([this] { ExecuteNext(); }, window)) {
  if (pipe2(m_closingPipe, O_CLOEXEC | O_NONBLOCK) != 0) m_closingPipe[0] = m_closingPipe[1] = -1;
}

WindowHop::~WindowHop() {
  for (int fd : m_closingPipe) {
    if (fd >= 0) close(fd);
  }
}

bool WindowHop::Run(std::function<void()> fn) { return Hand(std::move(fn), false); }

void WindowHop::RunAlways(std::function<void()> fn) { Hand(std::move(fn), true); }

bool WindowHop::Hand(std::function<void()> fn, bool always) {
  if (QThread::currentThread() == m_window->thread()) {
    if (!always && Closing()) return false;
    fn();
    return true;
  }
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  call->always = always;
  call->waited = true;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closing && !always) return false;
  }
  Enqueue(call);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_callDone.wait(lock, [&] {
    return call->state == Call::Done || call->state == Call::Dropped ||
           (m_closing && !call->always && call->state == Call::Queued);
  });
  if (call->state == Call::Queued) call->state = Call::Dropped;
  return call->state == Call::Done;
}

void WindowHop::Post(std::function<void()> fn) {
  auto call = std::make_shared<Call>();
  call->fn = std::move(fn);
  if (QThread::currentThread() == m_window->thread()) {
    Execute(call);
    return;
  }
  Enqueue(std::move(call));
}

void WindowHop::Enqueue(std::shared_ptr<Call> call) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(call));
  }
  // False only for a method that HopWake does not have; Wake is its own.
  QMetaObject::invokeMethod(m_wake.get(), "Wake", Qt::QueuedConnection);
}

void WindowHop::ExecuteNext() {
  std::shared_ptr<Call> call;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty()) return;
    call = std::move(m_queue.front());
    m_queue.pop_front();
  }
  Execute(call);
}

void WindowHop::Execute(const std::shared_ptr<Call>& call) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (call->state == Call::Dropped || (m_closing && !call->always)) {
      call->state = Call::Dropped;
      if (call->waited) m_callDone.notify_all();
      return;
    }
    call->state = Call::Running;
    ++m_running;
  }
  call->fn();
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    call->state = Call::Done;
    call->fn = nullptr;
    --m_running;
  }
  if (call->waited) m_callDone.notify_all();
}

bool WindowHop::Pause(int ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
  while (!m_closingSeen.load(std::memory_order_acquire)) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return true;
    if (m_closingPipe[0] < 0) {
      // No pipe to wait on: sleep in short steps so that closing is still seen soon.
      QThread::msleep(static_cast<unsigned long>(std::min<long long>(left, 10)));
      continue;
    }
    pollfd closingEnd{m_closingPipe[0], POLLIN, 0};
    const int ready = poll(&closingEnd, 1, static_cast<int>(left));
    if (ready == 0) return !m_closingSeen.load(std::memory_order_acquire);
    if (ready < 0 && errno != EINTR) QThread::msleep(1);  // not expected; never spin
  }
  return false;
}

void WindowHop::BeginClosing() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closing = true;
    m_closingSeen.store(true, std::memory_order_release);
  }
  m_callDone.notify_all();
  if (m_closingPipe[1] >= 0) {
    const char byte = 1;
    while (write(m_closingPipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
  }
}

bool WindowHop::Closing() const { return m_closingSeen.load(std::memory_order_acquire); }

bool WindowHop::InCall() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_running > 0;
}

}  // namespace ui

#include "window_hop.moc"
