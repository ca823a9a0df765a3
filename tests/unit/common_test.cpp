#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "common/controls.h"
#include "common/ids.h"
#include "common/log.h"
#include "common/progress.h"
#include "support/recording_sink.h"

namespace quelmar {
namespace {

using testing::RecordingSink;

TEST(Log, AppendsExactlyTheFormattedTextWithItsSeverity) {
  RecordingSink sink;
  Log log(&sink);
  log.AppendLog(0, "Opened COM%i\n", 3);
  log.AppendLog(0, "Reboot... ");
  log.AppendLog(1, "\nInvalid response format.\n");
  log.AppendLog(0, "\n");
  log.AppendLog(1, "\r\n");
  const std::vector<RecordingSink::Entry> expected = {
      {0, "Opened COM3\n"}, {0, "Reboot... "}, {1, "\nInvalid response format.\n"}, {0, "\n"},
      {1, "\r\n"},  // no line-end conversion on this platform
  };
  EXPECT_EQ(sink.Log(), expected);
}

TEST(Log, WithoutSinkIsSilentAndSafe) {
  Log log;
  log.AppendLog(1, "Chip: unknown - %08X\n", 0x1234u);
  EXPECT_EQ(log.ShowErrorBox("Failed create window"), 0);
}

TEST(Log, OverlongMessagesArriveWhole) {
  RecordingSink sink;
  Log log(&sink);
  // Longer than any fixed buffer a log might use; every byte must arrive.
  const std::string big(100000, 'x');
  log.AppendLog(0, "%s|%s\n", big.c_str(), big.c_str());
  ASSERT_EQ(sink.Log().size(), 1u);
  EXPECT_EQ(sink.Log()[0].text, big + "|" + big + "\n");
}

TEST(Log, ErrorBoxFormatsAndReturnsZero) {
  RecordingSink sink;
  Log log(&sink);
  EXPECT_EQ(log.ShowErrorBox("Failed creating MainDialog: %i", 1407), 0);
  EXPECT_EQ(log.ShowErrorBox("%s", std::string(2000, 'e').c_str()), 0);
  ASSERT_EQ(sink.ErrorBoxes().size(), 2u);
  EXPECT_EQ(sink.ErrorBoxes()[0], "Failed creating MainDialog: 1407");
  EXPECT_EQ(sink.ErrorBoxes()[1].size(), 2000u);
  EXPECT_TRUE(sink.Log().empty());
}

// A sink that notices when two calls are inside it at once.
class OverlapSink final : public NullUiSink {
 public:
  void LogText(int, std::string_view text) override {
    if (inside_.exchange(true)) overlapped_ = true;
    text_.append(text);  // unsynchronised on purpose: the log must serialise
    std::this_thread::yield();
    inside_ = false;
  }
  std::atomic<bool> inside_{false};
  std::atomic<bool> overlapped_{false};
  std::string text_;
};

TEST(Log, CallsFromTwoThreadsNeverOverlap) {
  OverlapSink sink;
  Log log(&sink);
  auto writer = [&](char c) {
    for (int i = 0; i < 2000; ++i) log.AppendLog(0, "%c%c%c\n", c, c, c);
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  EXPECT_FALSE(sink.overlapped_);
  ASSERT_EQ(sink.text_.size(), 2u * 2000u * 4u);
  for (size_t i = 0; i < sink.text_.size(); i += 4) {
    // Each call's text is whole: three equal letters and a line end.
    EXPECT_EQ(sink.text_[i], sink.text_[i + 1]);
    EXPECT_EQ(sink.text_[i], sink.text_[i + 2]);
    EXPECT_EQ(sink.text_[i + 3], '\n');
  }
}

TEST(Progress, StartsAtCreationValuesAndRepaintsAfterEveryOperation) {
  RecordingSink sink;
  Progress progress(&sink);
  EXPECT_EQ(progress.State(), (ProgressState{0, 100, 1, ""}));
  progress.ResetProgress();
  progress.SetProgressMaximum(3);
  progress.StepProgress();
  progress.SetProgressCaption("Waiting...");
  progress.SetProgressCaption();
  const std::vector<ProgressState> expected = {
      {0, 100, 1, ""}, {0, 3, 1, ""}, {1, 3, 1, ""}, {1, 3, 1, "Waiting..."}, {1, 3, 1, ""}};
  EXPECT_EQ(sink.Progress(), expected);
}

TEST(Progress, StepWrapsOnlyPastTheMaximum) {
  Progress progress;
  progress.SetProgressMaximum(3);
  std::vector<uint32_t> positions;
  for (int i = 0; i < 5; ++i) {
    progress.StepProgress();
    positions.push_back(progress.State().position);
  }
  EXPECT_EQ(positions, (std::vector<uint32_t>{1, 2, 3, 0, 1}));
}

TEST(Progress, MaximumKeepsPositionAndZeroMaximumWrapsEveryStep) {
  Progress progress;
  progress.SetProgressMaximum(10);
  for (int i = 0; i < 7; ++i) progress.StepProgress();
  progress.SetProgressMaximum(2047);
  EXPECT_EQ(progress.State().position, 7u);
  EXPECT_EQ(progress.State().step, 1u);
  progress.ResetProgress();
  progress.SetProgressMaximum(0);
  progress.StepProgress();
  EXPECT_EQ(progress.State().position, 0u);
}

TEST(Progress, CaptionIsCutTo255Characters) {
  Progress progress;
  progress.SetProgressCaption(std::string(300, 'c'));
  EXPECT_EQ(progress.State().caption, std::string(255, 'c'));
}

TEST(ControlSets, TouchTheRightControlsInOrder) {
  using C = std::vector<std::pair<int, bool>>;
  RecordingSink sink;
  LockControls(sink);
  EXPECT_EQ(sink.Controls(), (C{{IDC_COMPORT, false},
                                {IDC_OPEN_CODE, false},
                                {IDC_OPEN_FLASH, false},
                                {IDC_UPDATE_FLASH, false},
                                {IDC_UPDATE_CODE, false},
                                {IDC_REBOOT, false}}));
  sink.Clear();
  UnlockControls(sink, false, false);
  EXPECT_EQ(
      sink.Controls(),
      (C{{IDC_COMPORT, true}, {IDC_OPEN_CODE, true}, {IDC_OPEN_FLASH, true}, {IDC_REBOOT, true}}));
  sink.Clear();
  UnlockControls(sink, true, true);
  EXPECT_EQ(sink.Controls(), (C{{IDC_COMPORT, true},
                                {IDC_OPEN_CODE, true},
                                {IDC_OPEN_FLASH, true},
                                {IDC_UPDATE_CODE, true},
                                {IDC_UPDATE_FLASH, true},
                                {IDC_REBOOT, true}}));
  sink.Clear();
  DisablePortActions(sink);
  EXPECT_EQ(sink.Controls(),
            (C{{IDC_UPDATE_CODE, false}, {IDC_UPDATE_FLASH, false}, {IDC_REBOOT, false}}));
}

}  // namespace
}  // namespace quelmar
