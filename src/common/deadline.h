// A moment on the monotonic clock by which a wait must end, and what is left
// of it in the whole milliseconds that poll, select and the socket seam
// take. The port backends wait on their devices in real time, not through
// the Clock seam, and all of them count down to their deadlines this way.
#pragma once

#include <chrono>
#include <climits>

namespace quelmar {

// What is left from `now` until `at`, rounded up so that a wait never ends
// before its deadline; 0 once it has passed; at most INT_MAX.
inline int MillisUntil(std::chrono::steady_clock::time_point now,
                       std::chrono::steady_clock::time_point at) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
  if (ms <= 0) return 0;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

class Deadline {
 public:
  using SteadyClock = std::chrono::steady_clock;

  // `from_now` after this moment.
  explicit Deadline(std::chrono::milliseconds from_now) : at_(SteadyClock::now() + from_now) {}

  SteadyClock::time_point at() const { return at_; }
  int MillisLeft() const { return MillisUntil(SteadyClock::now(), at_); }
  bool Passed() const { return MillisLeft() == 0; }

 private:
  SteadyClock::time_point at_;
};

}  // namespace quelmar
