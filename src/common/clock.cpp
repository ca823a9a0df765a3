#include "common/clock.h"

#include <thread>

namespace quelmar {
namespace {

class SteadyClock final : public Clock {
 public:
  TimePoint Now() override { return std::chrono::steady_clock::now(); }
  void Sleep(std::chrono::milliseconds duration) override {
    // sleep_for restarts after signals, so a wait is never cut short.
    std::this_thread::sleep_for(duration);
  }
};

}  // namespace

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace quelmar
