// The window's one clock: the computer clock it shows, the log's date-time,
// the export files' time stamps, and a monotonic count for how old a token
// clock reading is. Tests put a fixed or stepping clock in its place.
#pragma once
#include <QDateTime>
#include <cstdint>

namespace ui {

class WindowClock {
 public:
  virtual ~WindowClock() = default;
  // The current time (ask it for UTC or local time).
  virtual QDateTime Now() const = 0;
  // Milliseconds of a clock that never steps back; only differences count.
  virtual int64_t MonotonicMs() const = 0;
};

WindowClock& SystemWindowClock();

// Any thread.
WindowClock& ActiveWindowClock();
void UseWindowClock(WindowClock* clock);  // nullptr restores SystemWindowClock()

}  // namespace ui
