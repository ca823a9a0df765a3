// Clock seam: everything that waits or measures elapsed time goes through it,
// so tests can run minute-long waits instantly.
#pragma once

#include <chrono>

namespace quelmar {

class Clock {
 public:
  using Duration = std::chrono::steady_clock::duration;
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;
  // Monotonic time; never jumps with the calendar.
  virtual TimePoint Now() = 0;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

// The process's real monotonic clock.
Clock& SystemClock();

}  // namespace quelmar
