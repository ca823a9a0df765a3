// A clock that only moves when told: sleeps advance it instantly.
#pragma once

#include <atomic>
#include <chrono>

#include "common/clock.h"

namespace quelmar::testing {

class FakeClock final : public Clock {
 public:
  TimePoint Now() override { return TimePoint(Duration(now_.load())); }
  void Sleep(std::chrono::milliseconds duration) override {
    Advance(duration);
    sleeps_ms_ += static_cast<uint64_t>(duration.count());
  }
  void Advance(Duration d) { now_ += d.count(); }
  // Total time slept through Sleep, in ms.
  uint64_t SleptMs() const { return sleeps_ms_.load(); }
  std::chrono::milliseconds Elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Duration(now_.load()));
  }

 private:
  std::atomic<Duration::rep> now_{0};
  std::atomic<uint64_t> sleeps_ms_{0};
};

}  // namespace quelmar::testing
