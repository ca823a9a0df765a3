#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "unit/update_harness.h"

namespace quelmar::testing {
namespace {

using link::CMD_ENTER_FLASH_WRITE;
using link::CMD_ERASE_FLASH;
using link::CMD_POLL_STATUS;
using link::CMD_PREPARE;
using std::chrono::milliseconds;
using std::chrono::seconds;
using update::UpdateOutcome;
using Entry = RecordingSink::Entry;

// The erase wait starts 300 ms after the prepare request is answered.
milliseconds WaitStart(const UpdateHarness& h) {
  const auto prepare = h.Requests(CMD_PREPARE);
  EXPECT_EQ(prepare.size(), 1u);
  return prepare.empty() ? milliseconds(0) : prepare[0].at + milliseconds(300);
}

milliseconds EnterTime(const UpdateHarness& h) {
  const auto enter = h.Requests(CMD_ENTER_FLASH_WRITE);
  EXPECT_EQ(enter.size(), 1u);
  return enter.empty() ? milliseconds(0) : enter[0].at;
}

// Steps taken on the waiting scale: the highest position shown with the
// caption (no restart below 1000 steps).
uint32_t WaitSteps(const UpdateHarness& h) {
  uint32_t top = 0;
  for (const auto& s : h.sink.Progress())
    if (s.caption == "Waiting...") top = std::max(top, s.position);
  return top;
}

// Makes the erase look slow enough that no additional wait follows.
void SlowErase(UpdateHarness& h) {
  h.on_command = [&h](uint8_t command, int nth) {
    if (command == CMD_POLL_STATUS && nth == 0) h.clock.Advance(seconds(30));
  };
}

const std::vector<Entry> kCompleteLogWithAdditionalWait{
    {0, "Start erase FLASH... "},
    {0, "OK.\n"},
    {0, "Waiting complete erase FLASH... "},
    {0, "OK.\n"},
    {1, "Failed wait BUSY flag... additional waiting.... "},
    {1, "OK.\n"},
    {0, "Goto write FLASH mode... "},
    {0, "OK.\n"},
    {0, "Write to FLASH... "},
    {0, "OK.\n"},
};

struct ImageCase {
  const char* name;
  size_t length;
  char encoding;
};

class DataImageRun : public ::testing::TestWithParam<ImageCase> {};

// Every byte of the image reaches the board decoded, in 512-byte blocks from
// offset 0; a tail of 256 goes out in a last block padded with erased bytes.
TEST_P(DataImageRun, WholeImageReachesTheBoard) {
  const ImageCase& c = GetParam();
  UpdateHarness h;
  const Bytes plain = Pattern(c.length, 9);
  h.LoadData(plain, c.encoding);
  h.Open();

  EXPECT_EQ(h.RunData(), UpdateOutcome::kSuccess);

  EXPECT_EQ(h.sink.Log(), kCompleteLogWithAdditionalWait);
  const auto frames = h.Frames(link::kDataFrameSize);
  const size_t blocks = (c.length + 511) / 512;
  ASSERT_EQ(frames.size(), blocks);
  Bytes received;
  for (size_t i = 0; i < blocks; ++i) {
    const Bytes& f = frames[i];
    ASSERT_EQ(f[0], 0x55);
    ASSERT_EQ(link::ReadLe32(&f[1]), 512 * i);
    ASSERT_EQ(f[517], link::XorCheck(f.data(), 517)) << i;
    received.insert(received.end(), f.begin() + 5, f.begin() + 517);
  }
  Bytes expected = plain;
  expected.resize(blocks * 512, 0xFF);
  EXPECT_EQ(received, expected);
  if (blocks > 128) {
    EXPECT_EQ(Bytes(frames[128].begin() + 1, frames[128].begin() + 5),
              (Bytes{0x00, 0x00, 0x01, 0x00}));
  }

  // Mask 12 before each data frame, and the frame right after it.
  const auto& ev = h.line->events;
  size_t frame_writes = 0;
  for (size_t k = 0; k < ev.size(); ++k) {
    if (ev[k] != "write frame 518") continue;
    ++frame_writes;
    ASSERT_GT(k, 0u);
    EXPECT_EQ(ev[k - 1], "purge 12") << k;
  }
  EXPECT_EQ(frame_writes, blocks);
  EXPECT_EQ(h.progress.State(), (ProgressState{0, static_cast<uint32_t>(blocks - 1), 1, ""}));
  for (size_t i = 0; i < blocks; ++i) {
    EXPECT_EQ(h.sent[h.sent.size() - blocks + i].progress.position, i);
  }
  h.ExpectEnding();
}

INSTANTIATE_TEST_SUITE_P(Images, DataImageRun,
                         ::testing::Values(ImageCase{"one_block_mode0", 512, 'F'},
                                           ImageCase{"tail_only_256", 256, 'F'},
                                           ImageCase{"odd_tail_mode1", 129 * 512 + 256, 'D'},
                                           ImageCase{"even_mode1", 130 * 512, 'D'}),
                         CaseName());

TEST(DataUpdate, FirstExchangesOnTheWire) {
  UpdateHarness h;
  h.LoadData(Pattern(1024));
  h.Open();
  h.poll_reply = [](int poll) { return poll == 1 ? Busy() : Done(); };

  EXPECT_EQ(h.RunData(), UpdateOutcome::kSuccess);

  const std::vector<std::string> poll{"purge 15", "write 55 01 02 56", "read 4 -> 4"};
  std::vector<std::string> expected{"purge 15", "write 55 01 03 57", "read 4 -> 4",
                                    "purge 15", "write 55 01 08 5C", "read 4 -> 4"};
  for (int k = 0; k < 7; ++k) expected.insert(expected.end(), poll.begin(), poll.end());
  for (const char* e : {"purge 15", "write 55 01 04 50", "read 4 -> 4"}) expected.push_back(e);
  for (int k = 0; k < 2; ++k)
    for (const char* e : {"purge 12", "write frame 518", "read 4 -> 4"}) expected.push_back(e);
  EXPECT_EQ(h.line->events, expected);

  // 300 ms after the erase and after the prepare, 100 ms between polls.
  const auto polls = h.Requests(CMD_POLL_STATUS);
  EXPECT_EQ(h.Requests(CMD_PREPARE)[0].at - h.Requests(CMD_ERASE_FLASH)[0].at, milliseconds(300));
  EXPECT_EQ(polls[0].at - WaitStart(h), milliseconds(100));
  for (size_t k = 1; k < polls.size(); ++k)
    EXPECT_EQ(polls[k].at - polls[k - 1].at, milliseconds(100));
}

// --- the erase wait ---

TEST(DataUpdate, EraseWaitFlagIsUpForThePollsOnly) {
  UpdateHarness h;
  h.LoadData(Pattern(512));
  h.Open();
  // Done at once: the unstoppable safety wait follows the polls.
  std::vector<std::pair<uint8_t, uint32_t>> seen;
  h.on_command = [&](uint8_t command, int) {
    seen.emplace_back(command, h.flags.EraseWaitFlag.load());
  };
  EXPECT_EQ(h.RunData(), UpdateOutcome::kSuccess);
  ASSERT_FALSE(seen.empty());
  for (const auto& [command, flag] : seen) {
    EXPECT_EQ(flag, command == CMD_POLL_STATUS ? 1u : 0u) << int(command);
  }
  EXPECT_NE(h.sink.Text().find("additional waiting"), std::string::npos);
  EXPECT_EQ(h.flags.EraseWaitFlag.load(), 0u);
}

struct PollCase {
  const char* name;
  std::vector<Bytes> replies;
  uint32_t busy;  // steps expected on the waiting scale
};

class EraseWait : public ::testing::TestWithParam<PollCase> {};

TEST_P(EraseWait, EndsAtTheSixthCompletedReply) {
  const PollCase& c = GetParam();
  UpdateHarness h;
  h.LoadData(Pattern(512));
  h.Open();
  SlowErase(h);
  h.poll_reply = [&](int poll) {
    return static_cast<size_t>(poll) < c.replies.size() ? c.replies[poll] : Done();
  };

  EXPECT_EQ(h.RunData(), UpdateOutcome::kSuccess);

  const auto polls = h.Requests(CMD_POLL_STATUS);
  EXPECT_EQ(polls.size(), c.replies.size());
  // At the last poll every busy reply has stepped the indicator once and no
  // completed reply has.
  ASSERT_FALSE(polls.empty());
  EXPECT_EQ(polls.back().progress, (ProgressState{c.busy, 1000, 1, "Waiting..."}));
  EXPECT_EQ(h.sink.ErrorText(), "");
  EXPECT_EQ(h.Frames(link::kDataFrameSize).size(), 1u);
}

const Bytes D = Done();
const Bytes B = Busy();

INSTANTIATE_TEST_SUITE_P(
    Table, EraseWait,
    ::testing::Values(
        PollCase{"six_done", {D, D, D, D, D, D}, 0},
        PollCase{"busy_between_does_not_restart", {D, B, D, B, D, D, D, D}, 2},
        PollCase{"busy_first", {B, B, B, B, B, D, D, D, D, D, D}, 5},
        PollCase{"error_reply_is_busy", {D, Error(0xBB), D, D, D, D, D}, 1},
        PollCase{"data_request_error_is_busy", {D, Bytes{0xAA, 1, 1, 0xAA}, D, D, D, D, D}, 1},
        PollCase{"bad_error_pair_is_busy", {Bytes{0xAA, 0xFF, 0x00, 0}, D, D, D, D, D, D}, 1},
        PollCase{"other_pair_is_busy", {D, D, D, D, D, Bytes{0xAA, 0, 0, 0}, D}, 1}),
    CaseName());

struct TimingCase {
  const char* name;
  milliseconds erase_took;   // elapsed since the wait's start at the sixth completed reply
  bool additional;           // the additional wait happens
  milliseconds enter_after;  // flash-write mode request, from the wait's start
  uint32_t steps;            // steps of the additional wait
};

class EraseTiming : public ::testing::TestWithParam<TimingCase> {};

TEST_P(EraseTiming, AdditionalWaitOnlyForAFastErase) {
  const TimingCase& c = GetParam();
  UpdateHarness h;
  h.LoadData(Pattern(512));
  h.Open();
  // Six polls of 100 ms each; the first one takes the rest of the time.
  h.on_command = [&](uint8_t command, int nth) {
    if (command == CMD_POLL_STATUS && nth == 0) h.clock.Advance(c.erase_took - milliseconds(600));
  };

  EXPECT_EQ(h.RunData(), UpdateOutcome::kSuccess);

  const std::string additional = "Failed wait BUSY flag... additional waiting.... OK.\n";
  EXPECT_EQ(h.sink.ErrorText(), c.additional ? additional : "");
  EXPECT_EQ(EnterTime(h) - WaitStart(h), c.enter_after);
  EXPECT_EQ(WaitSteps(h), c.steps);
  EXPECT_EQ(h.progress.State().caption, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, EraseTiming,
    ::testing::Values(
        // The wait then runs in 100 ms steps until 60 s have passed, then 100 ms more.
        TimingCase{"immediate", milliseconds(600), true, milliseconds(60100), 594},
        TimingCase{"just_under_25s", milliseconds(24999), true, milliseconds(60199), 351},
        TimingCase{"exactly_25s", milliseconds(25000), false, milliseconds(25100), 0},
        TimingCase{"lands_on_60s", milliseconds(24900), true, milliseconds(60100), 351},
        TimingCase{"slow", milliseconds(40000), false, milliseconds(40100), 0}),
    CaseName());

TEST(DataUpdate, FastEraseAcrossAMonthEndStillGetsTheMinimumWait) {
  UpdateHarness h;
  h.LoadData(Pattern(512));
  h.Open();
  // The wait starts 10 s before a month ends and the erase reports done
  // 20 s later: a day-of-month second count would wrap here.
  h.clock.Advance(std::chrono::hours(24 * 31) - seconds(10));
  h.on_command = [&](uint8_t command, int nth) {
    if (command == CMD_POLL_STATUS && nth == 0) h.clock.Advance(seconds(20));
  };

  EXPECT_EQ(h.RunData(), UpdateOutcome::kSuccess);

  EXPECT_EQ(h.sink.ErrorText(), "Failed wait BUSY flag... additional waiting.... OK.\n");
  EXPECT_GE(EnterTime(h) - WaitStart(h), seconds(60));
  EXPECT_LT(EnterTime(h) - WaitStart(h), seconds(60) + milliseconds(200));
}

struct AbortCase {
  const char* name;
  std::vector<Bytes> polls;  // then completed replies
  int abort_at_poll;         // -1: never during the polls
  bool abort_before_run;
  int abort_at_frame;  // -1: never
  UpdateOutcome outcome;
};

class EraseAbort : public ::testing::TestWithParam<AbortCase> {};

TEST_P(EraseAbort, OnlyThePollLoopHonoursAbort) {
  const AbortCase& c = GetParam();
  UpdateHarness h;
  h.LoadData(Pattern(2048));
  h.Open();
  h.progress.SetProgressCaption("stale");
  h.poll_reply = [&](int poll) {
    return static_cast<size_t>(poll) < c.polls.size() ? c.polls[poll] : Done();
  };
  h.on_command = [&](uint8_t command, int nth) {
    if (command == CMD_POLL_STATUS && nth == c.abort_at_poll) h.flags.AbortFlag = 1;
  };
  h.on_frame = [&](int frame) {
    if (frame == c.abort_at_frame) h.flags.AbortFlag = 1;
  };
  if (c.abort_before_run) h.flags.AbortFlag = 1;

  EXPECT_EQ(h.RunData(), c.outcome);

  if (c.outcome == UpdateOutcome::kAborted) {
    // Silent: the wait line stays open, nothing more is sent, the
    // indicator keeps its caption.
    EXPECT_EQ(h.sink.Text(), "Start erase FLASH... OK.\nWaiting complete erase FLASH... ");
    EXPECT_EQ(h.Requests(CMD_POLL_STATUS).size(), static_cast<size_t>(c.abort_at_poll) + 1);
    EXPECT_TRUE(h.sent.back().IsCommand(CMD_POLL_STATUS));
    EXPECT_EQ(h.progress.State().caption, "Waiting...");
  } else {
    EXPECT_EQ(h.sink.Log(), kCompleteLogWithAdditionalWait);
    EXPECT_EQ(h.Frames(link::kDataFrameSize).size(), 4u);
  }
  h.ExpectEnding();
}

INSTANTIATE_TEST_SUITE_P(
    Table, EraseAbort,
    ::testing::Values(
        AbortCase{"on_busy_poll", {B, B, B}, 2, false, -1, UpdateOutcome::kAborted},
        AbortCase{"on_early_completed_poll", {D, D, D}, 2, false, -1, UpdateOutcome::kAborted},
        AbortCase{"on_first_poll", {}, 0, false, -1, UpdateOutcome::kAborted},
        AbortCase{"on_sixth_completed_poll",
                  {B, D, D, D, D, D, D},
                  6,
                  false,
                  -1,
                  UpdateOutcome::kSuccess},
        AbortCase{"before_the_run", {}, -1, true, -1, UpdateOutcome::kSuccess},
        AbortCase{"during_block_writes", {}, -1, false, 1, UpdateOutcome::kSuccess}),
    CaseName());

TEST(DataUpdate, BusyForeverRestartsTheScaleUntilAborted) {
  UpdateHarness h;
  h.LoadData(Pattern(512));
  h.Open();
  h.poll_reply = [](int) { return Busy(); };
  h.on_command = [&](uint8_t command, int nth) {
    if (command == CMD_POLL_STATUS && nth == 2499) h.flags.AbortFlag = 1;
  };

  EXPECT_EQ(h.RunData(), UpdateOutcome::kAborted);

  EXPECT_EQ(h.Requests(CMD_POLL_STATUS).size(), 2500u);
  EXPECT_EQ(h.progress.State(), (ProgressState{500, 1000, 1, "Waiting..."}));
  size_t full = 0;
  for (const auto& s : h.sink.Progress()) {
    ASSERT_LE(s.position, s.maximum);
    if (s.position == 1000) ++full;
  }
  // The 1000th step shows 100 % and the scale restarts from 0.
  EXPECT_EQ(full, 2u);
  EXPECT_EQ(h.sink.ErrorText(), "");
  h.ExpectEnding();
}

// --- failures ---

constexpr const char* kStart = "Start erase FLASH... ";
constexpr const char* kStartOk = "Start erase FLASH... OK.\n";
const std::string kWaiting = std::string(kStartOk) + "Waiting complete erase FLASH... ";
const std::string kGoto = kWaiting + "OK.\nGoto write FLASH mode... ";
const std::string kWrite = kGoto + "OK.\nWrite to FLASH... ";

struct CommandFailure {
  const char* name;
  uint8_t command;
  int nth;
  int write_index;  // >= 0: that write of the run fails with `written`
  uint32_t written;
  Bytes reply;
  const char* error;
  std::string normal;
};

class DataCommandFailure : public ::testing::TestWithParam<CommandFailure> {};

TEST_P(DataCommandFailure, LogsItsMessageAndStops) {
  const CommandFailure& c = GetParam();
  UpdateHarness h;
  h.LoadData(Pattern(1024));
  h.Open();
  SlowErase(h);
  if (c.write_index >= 0) {
    h.FailWrite(static_cast<size_t>(c.write_index), c.written);
  } else {
    h.command_replies[{c.command, c.nth}] = c.reply;
  }

  EXPECT_EQ(h.RunData(), UpdateOutcome::kFailure);

  EXPECT_EQ(h.sink.ErrorText(), c.error);
  EXPECT_EQ(h.sink.Text(), c.normal + c.error);
  if (c.write_index >= 0) {
    EXPECT_EQ(h.line->events.back().rfind("write-failed 55 01", 0), 0u);
  } else {
    EXPECT_TRUE(h.sent.back().IsCommand(c.command));
    EXPECT_EQ(h.Requests(c.command).size(), static_cast<size_t>(c.nth) + 1);
  }
  EXPECT_TRUE(h.Frames(link::kDataFrameSize).empty());
  h.ExpectEnding();
}

// Write indexes: 0 erase, 1 prepare, 2..7 the six polls, 8 flash-write mode.
INSTANTIATE_TEST_SUITE_P(
    Table, DataCommandFailure,
    ::testing::Values(
        CommandFailure{"erase_write0",
                       CMD_ERASE_FLASH,
                       0,
                       0,
                       0,
                       {},
                       "\nIncorrect received data size. lpSize = 0\n",
                       kStart},
        CommandFailure{
            "erase_write4", CMD_ERASE_FLASH, 0, 0, 4, {}, "\nInvalid response format.\n", kStart},
        CommandFailure{"erase_short",
                       CMD_ERASE_FLASH,
                       0,
                       -1,
                       0,
                       {0xAA, 1, 0},
                       "\nIncorrect received data size. lpSize = 3\n",
                       kStart},
        CommandFailure{"erase_not_aa",
                       CMD_ERASE_FLASH,
                       0,
                       -1,
                       0,
                       {0x00, 1, 0, 0},
                       "\nIncorrect received data size. lpSize = 4\n",
                       kStart},
        CommandFailure{"erase_not_done", CMD_ERASE_FLASH, 0, -1, 0, Busy(),
                       "\nCommand not completed !!!\n", kStart},
        CommandFailure{"prepare_write2",
                       CMD_PREPARE,
                       0,
                       1,
                       2,
                       {},
                       "\nIncorrect received data size. lpSize = 2\n",
                       kStartOk},
        CommandFailure{
            "prepare_write4", CMD_PREPARE, 0, 1, 4, {}, "\nInvalid response format.\n", kStartOk},
        CommandFailure{"prepare_silent",
                       CMD_PREPARE,
                       0,
                       -1,
                       0,
                       {},
                       "\nIncorrect received data size. lpSize = 0\n",
                       kStartOk},
        CommandFailure{"prepare_not_done", CMD_PREPARE, 0, -1, 0, Error(0xBB),
                       "\nCommand not completed !!!\n", kStartOk},
        CommandFailure{"poll_write1",
                       CMD_POLL_STATUS,
                       2,
                       4,
                       1,
                       {},
                       "\nIncorrect received data size. lpSize = 1\n",
                       kWaiting},
        CommandFailure{
            "poll_write4", CMD_POLL_STATUS, 0, 2, 4, {}, "\nInvalid response format.\n", kWaiting},
        CommandFailure{"poll_three_bytes",
                       CMD_POLL_STATUS,
                       0,
                       -1,
                       0,
                       {0xAA, 1, 0},
                       "\nIncorrect received data size. lpSize = 3\n",
                       kWaiting},
        CommandFailure{"poll_not_aa",
                       CMD_POLL_STATUS,
                       3,
                       -1,
                       0,
                       {0xAB, 1, 0, 0},
                       "\nIncorrect received data size. lpSize = 4\n",
                       kWaiting},
        CommandFailure{"poll_silent",
                       CMD_POLL_STATUS,
                       5,
                       -1,
                       0,
                       {},
                       "\nIncorrect received data size. lpSize = 0\n",
                       kWaiting},
        CommandFailure{"enter_write3",
                       CMD_ENTER_FLASH_WRITE,
                       0,
                       8,
                       3,
                       {},
                       "\nIncorrect received data size. Write. lpSize = 3\n",
                       kGoto},
        CommandFailure{"enter_write4",
                       CMD_ENTER_FLASH_WRITE,
                       0,
                       8,
                       4,
                       {},
                       "\nInvalid response format.\n",
                       kGoto},
        CommandFailure{"enter_short",
                       CMD_ENTER_FLASH_WRITE,
                       0,
                       -1,
                       0,
                       {0xAA, 1},
                       "\nIncorrect received data size. Read. lpSize = 2\n",
                       kGoto},
        CommandFailure{"enter_not_aa",
                       CMD_ENTER_FLASH_WRITE,
                       0,
                       -1,
                       0,
                       {0x55, 1, 0, 0},
                       "\nIncorrect received data size. Read. lpSize = 4\n",
                       kGoto},
        CommandFailure{"enter_not_done", CMD_ENTER_FLASH_WRITE, 0, -1, 0, Busy(),
                       "\nCommand not completed !!!\n", kGoto}),
    CaseName());

struct BlockFailure {
  const char* name;
  bool write_fails;
  Bytes reply;
  const char* error;
};

class DataBlockFailure : public ::testing::TestWithParam<BlockFailure> {};

TEST_P(DataBlockFailure, LogsItsMessageAndKeepsTheProgress) {
  const BlockFailure& c = GetParam();
  UpdateHarness h;
  h.LoadData(Pattern(4 * 512));
  h.Open();
  SlowErase(h);
  // Block 2 fails: it is write 11 of the run.
  if (c.write_fails) {
    h.FailWrite(11, 518);
  } else {
    h.block_replies[2] = c.reply;
  }

  EXPECT_EQ(h.RunData(), UpdateOutcome::kFailure);

  EXPECT_EQ(h.sink.ErrorText(), c.error);
  EXPECT_EQ(h.sink.Text(), kWrite + c.error);
  EXPECT_EQ(h.Frames(link::kDataFrameSize).size(), c.write_fails ? 2u : 3u);
  EXPECT_EQ(h.progress.State(), (ProgressState{2, 3, 1, ""}));
  h.ExpectEnding();
}

INSTANTIATE_TEST_SUITE_P(
    Table, DataBlockFailure,
    ::testing::Values(
        BlockFailure{"send", true, {}, "\nFailed send request. i = 2\n"},
        BlockFailure{"silent", false, {}, "\nIncorrect received data size. i = 2, lpSize = 0\n"},
        BlockFailure{
            "one_byte", false, {0xAA}, "\nIncorrect received data size. i = 2, lpSize = 1\n"},
        BlockFailure{"three_bytes",
                     false,
                     {0xAA, 1, 0},
                     "\nIncorrect received data size. i = 2, lpSize = 3\n"},
        BlockFailure{"not_aa", false, {0x55, 1, 0, 0}, "\nInvalid response format.\n"},
        BlockFailure{"header", false, Error(0xEE), "\nIncorrect header. i = 2\n"},
        BlockFailure{"crc", false, Error(0xCC), "\nIncorrect CRC. i = 2\n"},
        BlockFailure{"write", false, Error(0xBB), "\nError write to FLASH. i = 2\n"},
        BlockFailure{"unknown", false, Error(0x5A), "\nUnknown error. i = 2  Err: 5A\n"},
        BlockFailure{"unknown_small", false, Error(0x01), "\nUnknown error. i = 2  Err: 01\n"},
        BlockFailure{"done_with_bad_s2", false, {0xAA, 1, 5, 0}, "\nInvalid response format.\n"},
        BlockFailure{
            "error_with_bad_s2", false, {0xAA, 0xFF, 0, 0xBB}, "\nInvalid response format.\n"},
        BlockFailure{"other_pair", false, {0xAA, 2, 0, 0}, "\nInvalid response format.\n"}),
    CaseName());

TEST(DataUpdate, WithoutPortOnlyTheEndingHappens) {
  UpdateHarness h;
  h.LoadData(Pattern(512));
  h.flags.AbortFlag = 1;

  EXPECT_EQ(h.RunData(), UpdateOutcome::kFailure);
  EXPECT_TRUE(h.line->events.empty());
  EXPECT_TRUE(h.sink.Log().empty());
  EXPECT_TRUE(h.sink.Progress().empty());
  EXPECT_EQ(h.clock.SleptMs(), 0u);
  h.ExpectEnding();
}

}  // namespace
}  // namespace quelmar::testing
