#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "unit/update_harness.h"

namespace quelmar::testing {
namespace {

using link::CMD_BLOCK_START;
using link::CMD_ERASE_CODE;
using link::CMD_PREPARE;
using std::chrono::milliseconds;
using update::UpdateOutcome;

constexpr uint32_t kBlocks = image::CODE_IMAGE_SIZE / 256;

// The bank as the board must receive it: the plain bytes, then erased cells.
Bytes FullBank(const Bytes& plain) {
  Bytes full = plain;
  full.resize(image::CODE_IMAGE_SIZE, 0xFF);
  return full;
}

// Undoes the wire form of every code frame and checks start byte, address,
// check byte and payload against the plain bank.
void ExpectBankReceived(const std::vector<Bytes>& frames, size_t first, uint32_t base,
                        const Bytes& expected, bool scrambled) {
  ASSERT_GE(frames.size(), first + kBlocks);
  for (uint32_t i = 0; i < kBlocks; ++i) {
    link::CodeFrame f{};
    ASSERT_EQ(frames[first + i].size(), f.size());
    std::copy(frames[first + i].begin(), frames[first + i].end(), f.begin());
    if (scrambled) link::UnscrambleCodeFrame(f);
    ASSERT_EQ(f[0], 0x55) << "block " << i;
    ASSERT_EQ(link::ReadLe32(&f[1]), base + 256 * i) << "block " << i;
    ASSERT_EQ(link::XorCheck(f.data(), 261), f[261]) << "block " << i;
    ASSERT_TRUE(std::equal(f.begin() + 5, f.begin() + 261, expected.begin() + 256 * i))
        << "payload of block " << i;
  }
}

struct FullRunCase {
  const char* name;
  uint8_t version_minor;
  char encoding;
};

class CodeFullRun : public ::testing::TestWithParam<FullRunCase> {};

TEST_P(CodeFullRun, BothBanksReachTheBoardDecodedInOrder) {
  const FullRunCase& c = GetParam();
  UpdateHarness h;
  h.version_minor = c.version_minor;
  const Bytes bank_a = Pattern(image::CODE_IMAGE_SIZE, 1);
  const Bytes bank_b = Pattern(1000, 2);
  h.LoadCode(&bank_a, &bank_b, c.encoding);
  h.Open();
  h.progress.SetProgressCaption("Waiting...");

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kSuccess);

  EXPECT_EQ(h.sink.Text(), "Erase CODE... OK.\nWrite CODE... OK.\nWrite extended CODE... OK.\n");
  EXPECT_EQ(h.sink.ErrorText(), "");
  const auto frames = h.Frames(link::kCodeFrameSize);
  ASSERT_EQ(frames.size(), 2 * kBlocks);
  const bool scrambled = c.version_minor >= 8;
  ExpectBankReceived(frames, 0, 0x1A000000, bank_a, scrambled);
  ExpectBankReceived(frames, kBlocks, 0x1B000000, FullBank(bank_b), scrambled);
  EXPECT_EQ(h.Requests(CMD_BLOCK_START).size(), 2 * kBlocks);
  EXPECT_EQ(h.Requests(CMD_PREPARE).size(), 2u);
  EXPECT_EQ(h.clock.SleptMs(), 210u);

  // Every block is stepped once it is accepted: at frame k of a bank the
  // indicator shows k on a scale of 2047.
  std::vector<ProgressState> at_frames;
  for (const auto& s : h.sent)
    if (s.bytes.size() == link::kCodeFrameSize) at_frames.push_back(s.progress);
  for (uint32_t k = 0; k < 2 * kBlocks; ++k) {
    ASSERT_EQ(at_frames[k].position, k % kBlocks) << "frame " << k;
    ASSERT_EQ(at_frames[k].maximum, kBlocks - 1);
    ASSERT_EQ(at_frames[k].caption, "");
  }
  EXPECT_EQ(h.progress.State(), (ProgressState{0, kBlocks - 1, 1, ""}));
  h.ExpectEnding();
}

INSTANTIATE_TEST_SUITE_P(Versions, CodeFullRun,
                         ::testing::Values(FullRunCase{"plain_v27_mode0", 7, 'F'},
                                           FullRunCase{"scrambled_v28_mode1", 8, 'E'}),
                         CaseName());

TEST(CodeUpdate, FirstExchangesOnTheWire) {
  UpdateHarness h;
  const Bytes bank_a = Pattern(600);
  h.LoadCode(&bank_a, nullptr);
  h.Open();
  h.block_replies[1] = Error(link::ERR_INCORRECT_CRC);  // stop after two blocks

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kFailure);

  // Code frames are written straight after the block-start reply, no purge.
  const std::vector<std::string> expected{
      "purge 15",          "write 55 01 07 53", "read 4 -> 4",     "purge 15",
      "write 55 01 08 5C", "read 4 -> 4",       "purge 15",        "write 55 01 06 52",
      "read 4 -> 4",       "write frame 262",   "read 4 -> 4",     "purge 15",
      "write 55 01 06 52", "read 4 -> 4",       "write frame 262", "read 4 -> 4"};
  EXPECT_EQ(h.line->events, expected);
}

TEST(CodeUpdate, NeitherImageStillErases) {
  UpdateHarness h;
  h.Open();
  h.progress.SetProgressMaximum(10);
  h.progress.StepProgress();
  h.progress.SetProgressCaption("Waiting...");

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kSuccess);

  EXPECT_EQ(h.sink.Text(), "Erase CODE... OK.\n");
  EXPECT_EQ(h.line->events,
            (std::vector<std::string>{"purge 15", "write 55 01 07 53", "read 4 -> 4"}));
  EXPECT_EQ(h.clock.SleptMs(), 200u);
  EXPECT_EQ(h.progress.State().position, 0u);
  EXPECT_EQ(h.progress.State().caption, "");
  h.ExpectEnding();
}

TEST(CodeUpdate, OnlyExtendedImageWritesBankBAfterBothWaits) {
  UpdateHarness h;
  const Bytes bank_b = Pattern(256 * 3 + 17);
  h.LoadCode(nullptr, &bank_b);
  h.Open();

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kSuccess);

  EXPECT_EQ(h.sink.Text(), "Erase CODE... OK.\nWrite extended CODE... OK.\n");
  const auto erase = h.Requests(CMD_ERASE_CODE);
  const auto prepare = h.Requests(CMD_PREPARE);
  ASSERT_EQ(erase.size(), 1u);
  ASSERT_EQ(prepare.size(), 1u);
  EXPECT_EQ(prepare[0].at - erase[0].at, milliseconds(210));
  const auto frames = h.Frames(link::kCodeFrameSize);
  ExpectBankReceived(frames, 0, 0x1B000000, FullBank(bank_b), true);
  EXPECT_EQ(h.progress.State(), (ProgressState{0, kBlocks - 1, 1, ""}));
  h.ExpectEnding();
}

TEST(CodeUpdate, ScramblingKeepsTheCheckByteOfThePlainFrame) {
  const Bytes bank_a = Pattern(256 * 130, 7);
  auto run = [&](uint8_t minor) {
    UpdateHarness h;
    h.version_minor = minor;
    h.LoadCode(&bank_a, nullptr);
    h.Open();
    h.block_replies[128] = Error(0x42);  // enough blocks for the header check
    EXPECT_EQ(h.RunCode(), UpdateOutcome::kFailure);
    return h.Frames(link::kCodeFrameSize);
  };
  const auto plain = run(7);
  const auto scrambled = run(8);
  ASSERT_EQ(plain.size(), 129u);
  ASSERT_EQ(scrambled.size(), 129u);

  struct Header {
    uint32_t block;
    Bytes plain;
    Bytes scrambled;
  };
  const Header headers[] = {{0, {0x55, 0x00, 0x00, 0x00, 0x1A}, {0x55, 0xFF, 0xFF, 0xFF, 0xE5}},
                            {128, {0x55, 0x00, 0x80, 0x00, 0x1A}, {0x55, 0xFF, 0x7F, 0xFF, 0xE5}}};
  for (const auto& hd : headers) {
    SCOPED_TRACE(hd.block);
    const Bytes& p = plain[hd.block];
    const Bytes& s = scrambled[hd.block];
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 5), hd.plain);
    EXPECT_EQ(Bytes(s.begin(), s.begin() + 5), hd.scrambled);
    EXPECT_EQ(p[261], link::XorCheck(p.data(), 261));
    EXPECT_EQ(s[261], p[261]);
    for (int j = 0; j < 256; ++j) {
      const uint8_t want = bank_a[256 * hd.block + j];
      ASSERT_EQ(p[5 + j], want) << j;
      ASSERT_EQ(s[5 + j], static_cast<uint8_t>(~link::RotateRight(want, 3))) << j;
    }
  }
}

// --- failures ---

enum class Banks { kA, kB, kAB };

const Bytes kBankA = Pattern(2000, 3);
const Bytes kBankB = Pattern(700, 4);

void Load(UpdateHarness& h, Banks banks) {
  h.LoadCode(banks == Banks::kB ? nullptr : &kBankA, banks == Banks::kA ? nullptr : &kBankB);
}

constexpr const char* kErase = "Erase CODE... ";
constexpr const char* kEraseOk = "Erase CODE... OK.\n";
const std::string kWriteA = std::string(kEraseOk) + "Write CODE... ";
const std::string kWriteB = std::string(kEraseOk) + "Write extended CODE... ";
const std::string kWriteAB = kWriteA + "OK.\nWrite extended CODE... ";

struct CommandFailure {
  const char* name;
  Banks banks;
  uint8_t command;
  int nth;          // which request of that command fails
  int write_index;  // >= 0: that write of the run fails with `written`
  uint32_t written;
  Bytes reply;         // otherwise the reply to the request
  const char* error;   // the one error line
  std::string normal;  // all normal text
};

class CodeCommandFailure : public ::testing::TestWithParam<CommandFailure> {};

TEST_P(CodeCommandFailure, LogsItsMessageAndStops) {
  const CommandFailure& c = GetParam();
  UpdateHarness h;
  Load(h, c.banks);
  h.Open();
  if (c.write_index >= 0) {
    h.FailWrite(static_cast<size_t>(c.write_index), c.written);
  } else {
    h.command_replies[{c.command, c.nth}] = c.reply;
  }

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kFailure);

  const auto log = h.sink.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), (RecordingSink::Entry{1, c.error}));
  EXPECT_EQ(h.sink.ErrorText(), c.error);
  EXPECT_EQ(h.sink.Text(), c.normal + c.error);
  // Nothing goes out after the failing exchange.
  if (c.write_index >= 0) {
    EXPECT_EQ(h.line->events.back().rfind("write-failed 55 01", 0), 0u) << h.line->events.back();
  } else {
    ASSERT_FALSE(h.sent.empty());
    EXPECT_TRUE(h.sent.back().IsCommand(c.command));
    EXPECT_EQ(h.Requests(c.command).size(), static_cast<size_t>(c.nth) + 1);
    EXPECT_EQ(h.line->events.back().rfind("read 4 -> ", 0), 0u);
  }
  h.ExpectEnding();
}

// Write indexes: 0 erase; with bank A, 1 prepare and 2 + 2i the block start
// of block i; bank B's prepare follows bank A's 2048 blocks.
const int kPrepareB = 2 + 2 * static_cast<int>(kBlocks);

INSTANTIATE_TEST_SUITE_P(Table, CodeCommandFailure,
                         ::testing::Values(
                             // CMD_ERASE_CODE
                             CommandFailure{"erase_write0",
                                            Banks::kA,
                                            CMD_ERASE_CODE,
                                            0,
                                            0,
                                            0,
                                            {},
                                            "\nIncorrect received data size. lpSize = 0\n",
                                            kErase},
                             CommandFailure{"erase_write2",
                                            Banks::kA,
                                            CMD_ERASE_CODE,
                                            0,
                                            0,
                                            2,
                                            {},
                                            "\nIncorrect received data size. lpSize = 2\n",
                                            kErase},
                             CommandFailure{"erase_write4",
                                            Banks::kA,
                                            CMD_ERASE_CODE,
                                            0,
                                            0,
                                            4,
                                            {},
                                            "\nInvalid response format.\n",
                                            kErase},
                             CommandFailure{"erase_silent",
                                            Banks::kA,
                                            CMD_ERASE_CODE,
                                            0,
                                            -1,
                                            0,
                                            {},
                                            "\nIncorrect received data size. lpSize = 0\n",
                                            kErase},
                             CommandFailure{"erase_short",
                                            Banks::kA,
                                            CMD_ERASE_CODE,
                                            0,
                                            -1,
                                            0,
                                            {0xAA, 0x01, 0x00},
                                            "\nIncorrect received data size. lpSize = 3\n",
                                            kErase},
                             CommandFailure{"erase_not_aa",
                                            Banks::kA,
                                            CMD_ERASE_CODE,
                                            0,
                                            -1,
                                            0,
                                            {0xAB, 1, 0, 0},
                                            "\nIncorrect received data size. lpSize = 4\n",
                                            kErase},
                             CommandFailure{"erase_busy", Banks::kA, CMD_ERASE_CODE, 0, -1, 0,
                                            Busy(), "\nCommand not completed !!!\n", kErase},
                             CommandFailure{"erase_error", Banks::kA, CMD_ERASE_CODE, 0, -1, 0,
                                            Error(0xBB), "\nCommand not completed !!!\n", kErase},
                             // CMD_PREPARE before bank A
                             CommandFailure{"prepare_a_write1",
                                            Banks::kA,
                                            CMD_PREPARE,
                                            0,
                                            1,
                                            1,
                                            {},
                                            "\nIncorrect received data size. Write. lpSize = 1\n",
                                            kEraseOk},
                             CommandFailure{"prepare_a_write4",
                                            Banks::kA,
                                            CMD_PREPARE,
                                            0,
                                            1,
                                            4,
                                            {},
                                            "\nInvalid response format.\n",
                                            kEraseOk},
                             CommandFailure{"prepare_a_short",
                                            Banks::kA,
                                            CMD_PREPARE,
                                            0,
                                            -1,
                                            0,
                                            {0xAA, 0x01},
                                            "\nIncorrect received data size. Read. lpSize = 2\n",
                                            kEraseOk},
                             CommandFailure{"prepare_a_not_aa",
                                            Banks::kA,
                                            CMD_PREPARE,
                                            0,
                                            -1,
                                            0,
                                            {0, 1, 0, 0},
                                            "\nIncorrect received data size. Read. lpSize = 4\n",
                                            kEraseOk},
                             CommandFailure{"prepare_a_not_done",
                                            Banks::kA,
                                            CMD_PREPARE,
                                            0,
                                            -1,
                                            0,
                                            {0xAA, 1, 1, 0xAA},
                                            "\nCommand not completed !!!\n",
                                            kEraseOk},
                             // CMD_BLOCK_START in bank A
                             CommandFailure{"start_a_write0",
                                            Banks::kA,
                                            CMD_BLOCK_START,
                                            7,
                                            2 + 2 * 7,
                                            0,
                                            {},
                                            "\nIncorrect received data size. Write. lpSize = 0\n",
                                            kWriteA},
                             CommandFailure{"start_a_write4",
                                            Banks::kA,
                                            CMD_BLOCK_START,
                                            7,
                                            2 + 2 * 7,
                                            4,
                                            {},
                                            "\nInvalid response format.\n",
                                            kWriteA},
                             CommandFailure{"start_a_silent",
                                            Banks::kA,
                                            CMD_BLOCK_START,
                                            7,
                                            -1,
                                            0,
                                            {},
                                            "\nIncorrect received data size. Read. lpSize = 0\n",
                                            kWriteA},
                             CommandFailure{"start_a_short",
                                            Banks::kA,
                                            CMD_BLOCK_START,
                                            0,
                                            -1,
                                            0,
                                            {0xAA},
                                            "\nIncorrect received data size. Read. lpSize = 1\n",
                                            kWriteA},
                             CommandFailure{"start_a_not_done",
                                            Banks::kA,
                                            CMD_BLOCK_START,
                                            2047,
                                            -1,
                                            0,
                                            {0xAA, 2, 0, 0},
                                            "\nCommand not completed !!!\n",
                                            kWriteA},
                             // CMD_PREPARE before bank B, after bank A and alone
                             CommandFailure{"prepare_b_write3",
                                            Banks::kAB,
                                            CMD_PREPARE,
                                            1,
                                            kPrepareB,
                                            3,
                                            {},
                                            "\nIncorrect received data size. lpSize = 3\n",
                                            kWriteA + "OK.\n"},
                             CommandFailure{"prepare_b_write4",
                                            Banks::kAB,
                                            CMD_PREPARE,
                                            1,
                                            kPrepareB,
                                            4,
                                            {},
                                            "\nInvalid response format.\n",
                                            kWriteA + "OK.\n"},
                             CommandFailure{"prepare_b_not_aa",
                                            Banks::kAB,
                                            CMD_PREPARE,
                                            1,
                                            -1,
                                            0,
                                            {0x55, 1, 0, 0},
                                            "\nIncorrect received data size. lpSize = 4\n",
                                            kWriteA + "OK.\n"},
                             CommandFailure{"prepare_b_alone_short",
                                            Banks::kB,
                                            CMD_PREPARE,
                                            0,
                                            -1,
                                            0,
                                            {0xAA, 1, 0},
                                            "\nIncorrect received data size. lpSize = 3\n",
                                            kEraseOk},
                             CommandFailure{"prepare_b_alone_not_done", Banks::kB, CMD_PREPARE, 0,
                                            -1, 0, Error(0x11), "\nCommand not completed !!!\n",
                                            kEraseOk},
                             // CMD_BLOCK_START in bank B
                             CommandFailure{"start_b_write2",
                                            Banks::kAB,
                                            CMD_BLOCK_START,
                                            2048 + 5,
                                            kPrepareB + 1 + 2 * 5,
                                            2,
                                            {},
                                            "\nIncorrect received data size. lpSize = 2\n",
                                            kWriteAB},
                             CommandFailure{"start_b_write4",
                                            Banks::kB,
                                            CMD_BLOCK_START,
                                            5,
                                            2 + 2 * 5,
                                            4,
                                            {},
                                            "\nInvalid response format.\n",
                                            kWriteB},
                             CommandFailure{"start_b_silent",
                                            Banks::kAB,
                                            CMD_BLOCK_START,
                                            2048,
                                            -1,
                                            0,
                                            {},
                                            "\nIncorrect received data size. lpSize = 0\n",
                                            kWriteAB},
                             CommandFailure{"start_b_not_aa",
                                            Banks::kB,
                                            CMD_BLOCK_START,
                                            3,
                                            -1,
                                            0,
                                            {0xA0, 1, 0, 0},
                                            "\nIncorrect received data size. lpSize = 4\n",
                                            kWriteB},
                             CommandFailure{"start_b_not_done", Banks::kB, CMD_BLOCK_START, 3, -1,
                                            0, Busy(), "\nCommand not completed !!!\n", kWriteB}),
                         CaseName());

struct BlockFailure {
  const char* name;
  Banks banks;
  int frame;   // frame of the run that fails
  uint32_t i;  // its index within the bank
  bool write_fails;
  Bytes reply;
  std::string error;
  std::string normal;
};

class CodeBlockFailure : public ::testing::TestWithParam<BlockFailure> {};

TEST_P(CodeBlockFailure, LogsItsMessageAndKeepsTheProgress) {
  const BlockFailure& c = GetParam();
  UpdateHarness h;
  Load(h, c.banks);
  h.Open();
  if (c.write_fails) {
    // Frame k is write 3 + 2k of the run, bank B's one more for its prepare.
    const int extra = c.frame >= static_cast<int>(kBlocks) ? 1 : 0;
    h.FailWrite(static_cast<size_t>(3 + 2 * c.frame + extra), 262);
  } else {
    h.block_replies[c.frame] = c.reply;
  }

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kFailure);

  EXPECT_EQ(h.sink.ErrorText(), c.error);
  EXPECT_EQ(h.sink.Text(), c.normal + c.error);
  EXPECT_EQ(h.Frames(link::kCodeFrameSize).size(),
            static_cast<size_t>(c.frame) + (c.write_fails ? 0 : 1));
  if (c.write_fails) {
    EXPECT_EQ(h.line->events.back().rfind("write-failed 55", 0), 0u);
  } else {
    EXPECT_EQ(h.sent.back().bytes.size(), link::kCodeFrameSize);
  }
  // The indicator stays where the last accepted block left it.
  EXPECT_EQ(h.progress.State(), (ProgressState{c.i, kBlocks - 1, 1, ""}));
  h.ExpectEnding();
}

#define BLOCK_A(name, reply, error)                     \
  BlockFailure {                                        \
    name, Banks::kA, 3, 3, false, reply, error, kWriteA \
  }

INSTANTIATE_TEST_SUITE_P(
    Table, CodeBlockFailure,
    ::testing::Values(
        BLOCK_A("silent", Bytes{}, "\nIncorrect received data size. i = 3, lpSize = 0\n"),
        BLOCK_A("one_byte", Bytes{0xAA}, "\nIncorrect received data size. i = 3, lpSize = 1\n"),
        BLOCK_A("three_bytes", (Bytes{0xAA, 0x01, 0x00}),
                "\nIncorrect received data size. i = 3, lpSize = 3\n"),
        BLOCK_A("not_aa", (Bytes{0x55, 0x01, 0x00, 0x00}), "\nInvalid response format.\n"),
        BLOCK_A("header", Error(0xEE), "\nIncorrect header. i = 3\n"),
        BLOCK_A("crc", Error(0xCC), "\nIncorrect CRC. i = 3\n"),
        BLOCK_A("write", Error(0xBB), "\nFailed write CODE. i = 3\n"),
        BLOCK_A("unknown_11", Error(0x11), "\nUnknown error. i = 3  Err: 11\n"),
        BLOCK_A("unknown_0a", Error(0x0A), "\nUnknown error. i = 3  Err: 0A\n"),
        BLOCK_A("unknown_ff", Error(0xFF), "\nUnknown error. i = 3  Err: FF\n"),
        BLOCK_A("done_with_bad_s2", (Bytes{0xAA, 0x01, 0x05, 0x00}),
                "\nInvalid response format.\n"),
        BLOCK_A("error_with_bad_s2", (Bytes{0xAA, 0xFF, 0x00, 0xCC}),
                "\nInvalid response format.\n"),
        BLOCK_A("other_pair", (Bytes{0xAA, 0x00, 0x00, 0x00}), "\nInvalid response format.\n"),
        BLOCK_A("data_request_error", (Bytes{0xAA, 0x01, 0x01, 0xAA}),
                "\nInvalid response format.\n"),
        BlockFailure{
            "send_a", Banks::kA, 3, 3, true, {}, "\nFailed send request. i = 3\n", kWriteA},
        BlockFailure{"last_block_a", Banks::kA, 2047, 2047, false, Error(0xCC),
                     "\nIncorrect CRC. i = 2047\n", kWriteA},
        BlockFailure{"crc_sixth_b", Banks::kAB, 2048 + 5, 5, false, Error(0xCC),
                     "\nIncorrect CRC. i = 5\n", kWriteAB},
        BlockFailure{"write_b", Banks::kB, 9, 9, false, Error(0xBB), "\nFailed write CODE. i = 9\n",
                     kWriteB},
        BlockFailure{"size_b", Banks::kAB, 2048 + 1, 1, false, Bytes{0xAA, 0x01},
                     "\nIncorrect received data size. i = 1, lpSize = 2\n", kWriteAB},
        BlockFailure{"send_b_first",
                     Banks::kAB,
                     2048,
                     0,
                     true,
                     {},
                     "\nFailed send request. i = 0\n",
                     kWriteAB}),
    CaseName());

TEST(CodeUpdate, ExtraByteAfterABlockReplyIsPurgedAway) {
  UpdateHarness h;
  h.LoadCode(&kBankA, nullptr);
  h.Open();
  h.block_replies[3] = {0xAA, 0x01, 0x00, 0x00, 0x77};

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kSuccess);
  EXPECT_EQ(h.sink.Text(), kWriteA + "OK.\n");
  EXPECT_EQ(h.Frames(link::kCodeFrameSize).size(), kBlocks);
}

TEST(CodeUpdate, AbortFlagDoesNotStopIt) {
  UpdateHarness h;
  h.LoadCode(&kBankA, &kBankB);
  h.Open();
  h.flags.AbortFlag = 1;
  h.on_frame = [&](int frame) {
    EXPECT_EQ(h.flags.AbortFlag.load(), frame <= 10 ? 0u : 1u) << frame;
    if (frame == 10) h.flags.AbortFlag = 1;
  };

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kSuccess);
  EXPECT_EQ(h.Frames(link::kCodeFrameSize).size(), 2 * kBlocks);
  h.ExpectEnding();
}

TEST(CodeUpdate, WithoutPortOnlyTheEndingHappens) {
  UpdateHarness h;
  h.LoadCode(&kBankA, nullptr);
  h.flags.AbortFlag = 1;

  EXPECT_EQ(h.RunCode(), UpdateOutcome::kFailure);
  EXPECT_TRUE(h.line->events.empty());
  EXPECT_TRUE(h.sink.Log().empty());
  EXPECT_TRUE(h.sink.Progress().empty());
  EXPECT_EQ(h.clock.SleptMs(), 0u);
  h.ExpectEnding();
}

}  // namespace
}  // namespace quelmar::testing
