#include "window_clock.h"

#include <atomic>
#include <chrono>

namespace ui {
namespace {

class SystemClock : public WindowClock {
 public:
  QDateTime Now() const override { return QDateTime::currentDateTime(); }
  int64_t MonotonicMs() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};

std::atomic<WindowClock*> g_active{nullptr};

}  // namespace

WindowClock& SystemWindowClock() {
  static SystemClock clock;
  return clock;
}

WindowClock& ActiveWindowClock() {
  WindowClock* active = g_active.load();
  return active ? *active : SystemWindowClock();
}

void UseWindowClock(WindowClock* clock) { g_active.store(clock); }

}  // namespace ui
