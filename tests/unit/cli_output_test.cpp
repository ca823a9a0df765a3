#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "progress_bar.h"
#include "support/file_contents.h"

namespace quelmar::cli {
namespace {

using namespace std::chrono_literals;
using Clock = ProgressMeter::Clock;

using quelmar::testing::Contents;

TEST(TerminalSink, NotATerminalGetsThePlainLogAndNoBar) {
  std::FILE* out = std::tmpfile();
  std::FILE* bar = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ASSERT_NE(bar, nullptr);
  {
    TerminalSink sink(out, bar);
    sink.EnableProgressBar();
    sink.LogText(0, "Erase CODE... ");
    sink.ProgressChanged(ProgressState{5, 2047, 1, ""});
    sink.LogText(0, "OK.\n");
    sink.LogText(1, "\nIncorrect CRC. i = 5\n");
  }
  EXPECT_EQ(Contents(out), "Erase CODE... OK.\n\nIncorrect CRC. i = 5\n");
  EXPECT_EQ(Contents(bar), "") << "no progress noise when stderr is not a terminal";
  std::fclose(out);
  std::fclose(bar);
}

TEST(ProgressMeter, PercentRateAndTimeLeft) {
  ProgressMeter meter;
  const auto t0 = Clock::now();
  meter.Update({0, 2047, 1, ""}, t0);
  meter.Update({1023, 2047, 1, ""}, t0 + 1s);
  // 1023 blocks in one second; 1024 to go: about one second left.
  const std::string line = meter.Line(60, t0 + 1s);
  EXPECT_EQ(line, "[############.............]  50.0%  1023 blocks/s  0:01 left");
  EXPECT_EQ(line.size(), 60u) << "the bar fills what the numbers leave of the width";
}

TEST(ProgressMeter, CaptionReplacesThePercentage) {
  ProgressMeter meter;
  const auto t0 = Clock::now();
  meter.Update({0, 1000, 1, "Waiting..."}, t0);
  meter.Update({250, 1000, 1, "Waiting..."}, t0 + 75s);
  EXPECT_EQ(meter.Line(40, t0 + 75s), "[#####.................] Waiting... 1:15");
}

TEST(ProgressMeter, NarrowTerminalKeepsTheNumbersOnly) {
  ProgressMeter meter;
  meter.Update({1, 3, 1, ""}, Clock::now());
  EXPECT_EQ(meter.Line(12, Clock::now()), "33.3%");
}

TEST(ProgressMeter, RedrawsAreThrottledButPhaseChangesAndEndsAlwaysDraw) {
  ProgressMeter meter;
  const auto t0 = Clock::now();
  EXPECT_TRUE(meter.Update({0, 2047, 1, ""}, t0));
  EXPECT_TRUE(meter.Update({1, 2047, 1, ""}, t0 + 1ms) == false);
  EXPECT_FALSE(meter.Update({2, 2047, 1, ""}, t0 + 50ms));
  EXPECT_TRUE(meter.Update({3, 2047, 1, ""}, t0 + 150ms));
  EXPECT_TRUE(meter.Update({2047, 2047, 1, ""}, t0 + 160ms)) << "the last step";
  EXPECT_TRUE(meter.Update({0, 2047, 1, ""}, t0 + 161ms)) << "a new phase";
}

TEST(FormatDuration, MinutesAndHours) {
  EXPECT_EQ(FormatDuration(0s), "0:00");
  EXPECT_EQ(FormatDuration(61s), "1:01");
  EXPECT_EQ(FormatDuration(3725s), "1:02:05");
}

}  // namespace
}  // namespace quelmar::cli
