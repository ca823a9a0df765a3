// What the port backends hand to poll and select as the time left.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>

#include "common/deadline.h"

namespace quelmar {
namespace {

using namespace std::chrono_literals;

TEST(Deadline, TimeLeftIsRoundedUpAndBounded) {
  struct Case {
    const char* name;
    std::chrono::nanoseconds left;
    int millis;
  } cases[] = {
      // Rounded down, a wait with a moment left would poll for 0 ms and
      // spin, or give up before its time.
      {"a nanosecond", 1ns, 1},
      {"just under a millisecond", 999'999ns, 1},
      {"a millisecond", 1ms, 1},
      {"just over a millisecond", 1'000'001ns, 2},
      {"now", 0ns, 0},
      {"passed", -5ms, 0},
      {"long passed", -std::chrono::hours(24 * 365), 0},
      // A deadline weeks away must not wrap into a negative wait.
      {"weeks away", std::chrono::hours(24 * 7 * 4), INT_MAX},
  };
  const auto now = std::chrono::steady_clock::now();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MillisUntil(now, now + c.left), c.millis);
  }
}

}  // namespace
}  // namespace quelmar
