#include "window_clock.h"

#include <chrono>

#include "seam.h"

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

Seam<WindowClock> g_seam(SystemWindowClock);

}  // namespace

WindowClock& SystemWindowClock() {
  static SystemClock clock;
  return clock;
}

WindowClock& ActiveWindowClock() { return g_seam.Active(); }

void UseWindowClock(WindowClock* clock) { g_seam.Replace(clock); }

}  // namespace ui
