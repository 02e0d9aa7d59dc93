#include "window_hop.h"

#include <QMetaObject>
#include <QThread>
#include <chrono>

namespace ui {

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
  QMetaObject::invokeMethod(m_window, [this, call] { Execute(call); }, Qt::QueuedConnection);
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
  QMetaObject::invokeMethod(m_window, [this, call] { Execute(call); }, Qt::QueuedConnection);
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
  std::unique_lock<std::mutex> lock(m_mutex);
  return !m_closingCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_closing; });
}

void WindowHop::BeginClosing() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closing = true;
  }
  m_callDone.notify_all();
  m_closingCv.notify_all();
}

bool WindowHop::Closing() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_closing;
}

bool WindowHop::InCall() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_running > 0;
}

}  // namespace ui
