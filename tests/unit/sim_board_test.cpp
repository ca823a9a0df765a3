#include "board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "link/protocol.h"

namespace quelmar::sim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using link::CodeFrame;
using link::DataFrame;

const TimePoint kStart = TimePoint{} + 1h;
const Bytes kDone = {0xAA, 0x01, 0x00, 0x00};
const Bytes kBusy = {0xAA, 0x01, 0x05, 0x00};
const Bytes kBadCommand = {0xAA, 0xFF, 0xFF, 0x11};
const Bytes kBadHeader = {0xAA, 0xFF, 0xFF, 0xEE};
const Bytes kBadCrc = {0xAA, 0xFF, 0xFF, 0xCC};
const Bytes kWriteFailed = {0xAA, 0xFF, 0xFF, 0xBB};

Bytes Request(uint8_t command) {
  auto frame = link::MakeRequest(command);
  return Bytes(frame.begin(), frame.end());
}

// Payload byte j of block i of a bank: differs per block and bank, and is
// never 0xFF throughout so that a lost write shows.
uint8_t PayloadByte(int bank, uint32_t index, uint32_t j) {
  return static_cast<uint8_t>(index * 7 + j * 13 + static_cast<uint32_t>(bank) * 101 + 1);
}

Bytes CodeFrameBytes(int bank, uint32_t index, bool scramble) {
  CodeFrame frame{};
  for (uint32_t j = 0; j < link::kCodeBlockSize; ++j) frame[5 + j] = PayloadByte(bank, index, j);
  link::SealCodeFrame(frame, (bank == 0 ? link::kBankAAddress : link::kBankBAddress) + 256 * index);
  if (scramble) link::ScrambleCodeFrame(frame);
  return Bytes(frame.begin(), frame.end());
}

Bytes DataFrameBytes(uint32_t index) {
  DataFrame frame{};
  for (uint32_t j = 0; j < link::kDataBlockSize; ++j) {
    frame[5 + j] = static_cast<uint8_t>(index * 3 + j * 5 + 2);
  }
  link::SealDataFrame(frame, 512 * index);
  return Bytes(frame.begin(), frame.end());
}

class BoardTest : public ::testing::Test {
 protected:
  void Make(BoardConfig config = {}) { board_ = std::make_unique<Board>(std::move(config)); }
  Bytes Send(const Bytes& bytes, std::chrono::milliseconds after = 1ms) {
    now_ += after;
    Response response = board_->Receive(bytes, now_);
    hung_up_ = response.hang_up;
    return response.bytes;
  }
  Bytes Command(uint8_t command) { return Send(Request(command)); }
  // BLOCK_START and the frame; returns the frame's reply.
  Bytes Block(int bank, uint32_t index) {
    EXPECT_EQ(Command(link::CMD_BLOCK_START), kDone);
    return Send(CodeFrameBytes(bank, index, board_->VersionCode() >= 28));
  }
  void EraseDataAndEnterWrite() {
    ASSERT_EQ(Command(link::CMD_ERASE_FLASH), kDone);
    ASSERT_EQ(Send(Request(link::CMD_POLL_STATUS), 5s), kDone);
    ASSERT_EQ(Command(link::CMD_ENTER_FLASH_WRITE), kDone);
  }

  std::unique_ptr<Board> board_ = std::make_unique<Board>(BoardConfig{});
  TimePoint now_ = kStart;
  bool hung_up_ = false;
};

TEST_F(BoardTest, IdentificationRepliesByteForByte) {
  struct Case {
    uint8_t major, minor;
    uint32_t word0, word1;
  };
  for (const Case& c : {Case{2, 8, 0xA001C830, 0}, Case{2, 7, 0xA0000A30, 0},
                        Case{1, 9, 0xA001C830, 0x44}, Case{3, 15, 0x12345678, 0x9ABCDEF0}}) {
    BoardConfig config;
    config.major = c.major;
    config.minor = c.minor;
    config.chip_word0 = c.word0;
    config.chip_word1 = c.word1;
    Make(config);
    Bytes info = Command(link::CMD_GET_BOOTLOADER_INFO);
    ASSERT_EQ(info.size(), 6u);
    EXPECT_EQ(Bytes(info.begin(), info.begin() + 5), (Bytes{0xAA, 0x03, 0x01, c.major, c.minor}));

    Bytes chip = Command(link::CMD_GET_CHIP_INFO);
    ASSERT_EQ(chip.size(), 36u);
    EXPECT_EQ(chip[0], 0xAA);
    EXPECT_EQ(chip[2], 0x0A);
    EXPECT_EQ(link::ReadLe32(&chip[3]), c.word0);
    EXPECT_EQ(link::ReadLe32(&chip[7]), c.word1);
    EXPECT_EQ(chip[3], static_cast<uint8_t>(c.word0));  // least significant first
  }
}

TEST(ChipNames, AgreeWithTheHostsChipTable) {
  for (const char* name : {"LPC4310", "LPC4320", "LPC4330", "LPC4350", "LPC4353", "LPC4357"}) {
    uint32_t w0 = 0;
    uint32_t w1 = 0;
    ASSERT_TRUE(ChipWordsForName(name, &w0, &w1)) << name;
    EXPECT_EQ(link::LookupChip(w0, w1).line, std::string("Chip: ") + name + "\n");
  }
  uint32_t w0 = 0;
  uint32_t w1 = 0;
  EXPECT_FALSE(ChipWordsForName("LPC4300", &w0, &w1));
}

TEST_F(BoardTest, UnknownCommandAndBadCheckAreIncorrectCommands) {
  EXPECT_EQ(Command(0x09), kBadCommand);
  EXPECT_EQ(Command(0x0B), kBadCommand);
  EXPECT_EQ(Send({0x55, 0x01, 0x01, 0x54}), kBadCommand);
  EXPECT_EQ(Send({0x55, 0x02, 0x01, 0x56}), kBadCommand);
  // Still in step afterwards.
  EXPECT_EQ(Command(link::CMD_GET_BOOTLOADER_INFO).size(), 6u);
}

TEST_F(BoardTest, DataFlashEraseIsBusyUntilItsTimeHasPassed) {
  BoardConfig config;
  config.erase_duration = 2000ms;
  Make(config);
  EXPECT_EQ(Command(link::CMD_POLL_STATUS), kDone);  // nothing to wait for
  EXPECT_EQ(Command(link::CMD_ERASE_FLASH), kDone);
  EXPECT_EQ(Command(link::CMD_PREPARE), kDone);
  EXPECT_EQ(Send(Request(link::CMD_POLL_STATUS), 300ms), kBusy);
  EXPECT_EQ(Command(link::CMD_ENTER_FLASH_WRITE), kBusy);
  EXPECT_EQ(Send(Request(link::CMD_POLL_STATUS), 1600ms), kBusy);  // 1902 ms in
  EXPECT_EQ(Send(Request(link::CMD_POLL_STATUS), 98ms), kDone);    // exactly 2000 ms
  EXPECT_EQ(Command(link::CMD_POLL_STATUS), kDone);
  EXPECT_EQ(Command(link::CMD_ENTER_FLASH_WRITE), kDone);
  EXPECT_EQ(board_->data_flash()[0], 0xFF);
  EXPECT_EQ(board_->data_flash().back(), 0xFF);
}

class CodeWriteTest : public BoardTest, public ::testing::WithParamInterface<int> {};

TEST_P(CodeWriteTest, BothBanksHoldTheirPayloads) {
  BoardConfig config;
  config.minor = static_cast<uint8_t>(GetParam());
  Make(config);
  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  for (int bank = 0; bank < 2; ++bank) {
    ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
    for (uint32_t i = 0; i < 2048; ++i) ASSERT_EQ(Block(bank, i), kDone) << bank << " " << i;
  }
  for (int bank = 0; bank < 2; ++bank) {
    const Bytes& memory = board_->bank(bank);
    for (uint32_t i = 0; i < 2048; ++i) {
      for (uint32_t j = 0; j < 256; ++j) {
        ASSERT_EQ(memory[i * 256 + j], PayloadByte(bank, i, j)) << bank << " " << i << " " << j;
      }
    }
  }
  EXPECT_EQ(board_->stats().code_blocks[0], 2048u);
  EXPECT_EQ(board_->stats().code_blocks[1], 2048u);
}

// 2.7 takes plain frames, 2.8 scrambled ones.
INSTANTIATE_TEST_SUITE_P(Versions, CodeWriteTest, ::testing::Values(7, 8));

TEST_F(BoardTest, BankBAloneFollowsASinglePrepare) {
  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  EXPECT_EQ(Block(1, 0), kDone);
  EXPECT_EQ(Block(1, 1), kDone);
  EXPECT_EQ(board_->bank(1)[256], PayloadByte(1, 1, 0));
  EXPECT_EQ(board_->bank(0)[0], 0xFF);
}

TEST_F(BoardTest, FrameOfTheWrongFormForTheVersionIsRefused) {
  // Payload whose XOR (0x01) changes under rotation, so the check byte
  // tells the two forms apart.
  CodeFrame frame{};
  frame[5] = 0x01;
  link::SealCodeFrame(frame, link::kBankAAddress);
  CodeFrame scrambled = frame;
  link::ScrambleCodeFrame(scrambled);
  struct Case {
    uint8_t minor;
    const CodeFrame& sent;
  };
  for (const Case& c : {Case{7, scrambled}, Case{8, frame}}) {
    BoardConfig config;
    config.minor = c.minor;
    Make(config);
    ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
    ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
    ASSERT_EQ(Command(link::CMD_BLOCK_START), kDone);
    EXPECT_EQ(Send(Bytes(c.sent.begin(), c.sent.end())), kBadCrc) << int{c.minor};
    EXPECT_EQ(board_->bank(0)[0], 0xFF);
    // With a payload whose XOR is the same either way, the address gives
    // the wrong form away.
    ASSERT_EQ(Command(link::CMD_BLOCK_START), kDone);
    EXPECT_EQ(Send(CodeFrameBytes(0, 0, c.minor == 7)), kBadHeader) << int{c.minor};
    EXPECT_EQ(board_->stats().code_blocks[0], 0u);
  }
}

TEST_F(BoardTest, WrongCheckByteIsRefusedAndNothingWritten) {
  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  ASSERT_EQ(Command(link::CMD_BLOCK_START), kDone);
  Bytes frame = CodeFrameBytes(0, 0, true);
  frame[261] ^= 0x01;
  EXPECT_EQ(Send(frame), kBadCrc);
  EXPECT_EQ(board_->bank(0)[0], 0xFF);
  // The same block may come again.
  EXPECT_EQ(Block(0, 0), kDone);
}

TEST_F(BoardTest, BlocksOutOfOrderAreIncorrectHeaders) {
  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  EXPECT_EQ(Block(0, 0), kBadHeader);  // no PREPARE since the erase
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  EXPECT_EQ(Block(0, 1), kBadHeader);  // must start at block 0
  EXPECT_EQ(Block(0, 0), kDone);
  EXPECT_EQ(Block(0, 2), kBadHeader);  // skipped block 1
  EXPECT_EQ(Block(0, 0), kBadHeader);  // repeated block 0
  EXPECT_EQ(Block(1, 1), kBadHeader);  // other bank without PREPARE
  EXPECT_EQ(Block(0, 1), kDone);

  // An address outside both banks.
  ASSERT_EQ(Command(link::CMD_BLOCK_START), kDone);
  CodeFrame frame{};
  link::SealCodeFrame(frame, link::kBankAAddress + 512 * 1024);
  link::ScrambleCodeFrame(frame);
  EXPECT_EQ(Send(Bytes(frame.begin(), frame.end())), kBadHeader);
  EXPECT_EQ(board_->stats().code_blocks[0], 2u);
}

TEST_F(BoardTest, CodeFrameWithoutBlockStartIsRefusedWhole) {
  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  EXPECT_EQ(Send(CodeFrameBytes(0, 0, true)), kBadHeader);
  EXPECT_EQ(board_->bank(0)[0], 0xFF);
  // The payload was not taken for requests: the next request is answered.
  EXPECT_EQ(Command(link::CMD_GET_BOOTLOADER_INFO).size(), 6u);
  // A request right after BLOCK_START is a request, not a frame.
  ASSERT_EQ(Command(link::CMD_BLOCK_START), kDone);
  EXPECT_EQ(Command(link::CMD_BLOCK_START), kDone);
  EXPECT_EQ(Send(CodeFrameBytes(0, 0, true)), kDone);
}

TEST_F(BoardTest, WritingFlashThatWasNotErasedFails) {
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  EXPECT_EQ(Block(0, 0), kWriteFailed);
  EXPECT_EQ(board_->bank(0)[0], 0x00);
  ASSERT_EQ(Command(link::CMD_ENTER_FLASH_WRITE), kDone);
  EXPECT_EQ(Send(DataFrameBytes(0)), kWriteFailed);
}

TEST_F(BoardTest, DataFramesWithSequentialOffsets) {
  EraseDataAndEnterWrite();
  for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(Send(DataFrameBytes(i)), kDone) << i;
  // A request between data frames is told apart by its second byte.
  EXPECT_EQ(Command(link::CMD_POLL_STATUS), kDone);
  EXPECT_EQ(Send(DataFrameBytes(5)), kBadHeader);
  EXPECT_EQ(Send(DataFrameBytes(2)), kBadHeader);
  Bytes bad = DataFrameBytes(3);
  bad[517] ^= 0x80;
  EXPECT_EQ(Send(bad), kBadCrc);
  EXPECT_EQ(Send(DataFrameBytes(3)), kDone);

  ASSERT_EQ(board_->WrittenData().size(), 4u * 512);
  for (uint32_t i = 0; i < 4; ++i) {
    Bytes frame = DataFrameBytes(i);
    for (uint32_t j = 0; j < 512; ++j) ASSERT_EQ(board_->data_flash()[512 * i + j], frame[5 + j]);
  }
  EXPECT_EQ(board_->data_flash()[4 * 512], 0xFF);
  EXPECT_EQ(board_->stats().data_blocks, 4u);
}

TEST_F(BoardTest, DataFrameBeyondTheFlashFailsToWrite) {
  BoardConfig config;
  config.data_size = 1024 + 256;
  Make(config);
  EraseDataAndEnterWrite();
  EXPECT_EQ(Send(DataFrameBytes(0)), kDone);
  EXPECT_EQ(Send(DataFrameBytes(1)), kDone);
  EXPECT_EQ(Send(DataFrameBytes(2)), kWriteFailed);  // only half of it would fit
  EXPECT_EQ(board_->WrittenData().size(), 1024u);
}

TEST_F(BoardTest, PartialFrameIsDroppedAfterASilence) {
  EXPECT_EQ(Send({0x55, 0x01}), Bytes{});
  // More than 200 ms later: the two bytes are gone, a whole request follows.
  Bytes reply = Send(Request(link::CMD_GET_BOOTLOADER_INFO), 201ms);
  EXPECT_EQ(reply.size(), 6u);
  EXPECT_EQ(board_->stats().dropped_partial, 1u);

  // Pieces with shorter pauses make one frame.
  EXPECT_EQ(Send({0x55, 0x01}), Bytes{});
  EXPECT_EQ(Send({0x01}, 150ms), Bytes{});
  EXPECT_EQ(Send({0x55}, 200ms).size(), 6u);

  // A code frame in pieces.
  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  ASSERT_EQ(Command(link::CMD_BLOCK_START), kDone);
  Bytes frame = CodeFrameBytes(0, 0, true);
  EXPECT_EQ(Send(Bytes(frame.begin(), frame.begin() + 100)), Bytes{});
  EXPECT_EQ(Send(Bytes(frame.begin() + 100, frame.end()), 50ms), kDone);
}

TEST_F(BoardTest, RebootKeepsFlashAndForgetsProtocolState) {
  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  ASSERT_EQ(Block(0, 0), kDone);
  EraseDataAndEnterWrite();
  EXPECT_EQ(Command(link::CMD_REBOOT), kDone);
  EXPECT_EQ(board_->bank(0)[0], PayloadByte(0, 0, 0));
  EXPECT_EQ(Block(0, 1), kBadHeader);  // a new PREPARE is needed
  // Out of flash-write mode, a data frame is not taken.
  EXPECT_NE(Send(DataFrameBytes(0)), kDone);
  EXPECT_EQ(board_->stats().data_blocks, 0u);
}

// The reply of a board with the default configuration and no faults.
Bytes NormalReply(uint8_t command) {
  Board board({});
  return board.Receive(Request(command), kStart).bytes;
}
Bytes BadStartChip() {
  Bytes reply = NormalReply(link::CMD_GET_CHIP_INFO);
  reply[0] = 0x55;
  return reply;
}

struct FaultCase {
  const char* fault;
  Bytes expected;  // reply at the faulty place
  bool hang_up;
};

class FaultTest : public BoardTest, public ::testing::WithParamInterface<FaultCase> {
 protected:
  void SetUp() override {
    BoardConfig config;
    Fault fault;
    std::string error;
    ASSERT_TRUE(ParseFault(GetParam().fault, &fault, &error)) << error;
    config.faults.push_back(fault);
    Make(config);
  }
};

// A short session touching every kind of place: the place the fault names
// gets the faulty reply, every other place the normal one.
TEST_P(FaultTest, StrikesAtItsPlaceOnly) {
  const FaultCase& c = GetParam();
  std::string where = std::string(c.fault).substr(std::string(c.fault).find('@') + 1);
  where = where.substr(0, where.find('#'));
  auto check = [&](const std::string& place, const Bytes& reply, const Bytes& normal) {
    if (place == where) {
      EXPECT_EQ(reply, c.expected) << place;
      EXPECT_EQ(hung_up_, c.hang_up) << place;
    } else {
      EXPECT_EQ(reply, normal) << place;
      EXPECT_FALSE(hung_up_) << place;
    }
  };
  check("cmd=0x01", Command(link::CMD_GET_BOOTLOADER_INFO),
        NormalReply(link::CMD_GET_BOOTLOADER_INFO));
  check("cmd=0x0A", Command(link::CMD_GET_CHIP_INFO), NormalReply(link::CMD_GET_CHIP_INFO));
  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  for (uint32_t i = 0; i < 3; ++i) check("block=A:" + std::to_string(i), Block(0, i), kDone);
  check("cmd=0x02", Command(link::CMD_POLL_STATUS), kDone);
  EraseDataAndEnterWrite();
  for (uint32_t i = 0; i < 3; ++i)
    check("data=" + std::to_string(i), Send(DataFrameBytes(i)), kDone);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FaultTest,
    ::testing::Values(FaultCase{"silent@block=A:1", {}, false},
                      FaultCase{"short@block=A:2", {0xAA, 0x01}, false},
                      FaultCase{"badstart@data=1", {0x55, 0x01, 0x00, 0x00}, false},
                      FaultCase{"status=01,05,00@cmd=0x02#1", {0xAA, 0x01, 0x05, 0x00}, false},
                      FaultCase{"error=CC@data=2", {0xAA, 0xFF, 0xFF, 0xCC}, false},
                      FaultCase{"hangup@block=A:0", {}, true},
                      FaultCase{"badstart@cmd=0x0A", BadStartChip(), false},
                      FaultCase{"short@cmd=0x0A", {0xAA, 0x20}, false}));

TEST_F(BoardTest, ErrorFaultRefusesTheBlockAndNthOccurrenceHitsOnce) {
  BoardConfig config;
  Fault fault;
  std::string error;
  ASSERT_TRUE(ParseFault("error=BB@block=B:1", &fault, &error)) << error;
  config.faults.push_back(fault);
  ASSERT_TRUE(ParseFault("silent@cmd=01#2", &fault, &error)) << error;
  config.faults.push_back(fault);
  Make(config);

  EXPECT_EQ(Command(link::CMD_GET_BOOTLOADER_INFO).size(), 6u);
  EXPECT_EQ(Command(link::CMD_GET_BOOTLOADER_INFO), Bytes{});
  EXPECT_EQ(Command(link::CMD_GET_BOOTLOADER_INFO).size(), 6u);

  ASSERT_EQ(Command(link::CMD_ERASE_CODE), kDone);
  ASSERT_EQ(Command(link::CMD_PREPARE), kDone);
  EXPECT_EQ(Block(1, 0), kDone);
  EXPECT_EQ(Block(1, 1), kWriteFailed);
  EXPECT_EQ(board_->bank(1)[256], 0xFF);  // refused: not written
  EXPECT_EQ(Block(1, 1), kWriteFailed);   // every time, without #N
  EXPECT_EQ(board_->stats().faults, 3u);
}

TEST_F(BoardTest, HangupStopsTakingBytes) {
  BoardConfig config;
  Fault fault;
  std::string error;
  ASSERT_TRUE(ParseFault("hangup@cmd=0x05", &fault, &error)) << error;
  config.faults.push_back(fault);
  Make(config);
  Bytes both = Request(link::CMD_REBOOT);
  Bytes info = Request(link::CMD_GET_BOOTLOADER_INFO);
  both.insert(both.end(), info.begin(), info.end());
  EXPECT_EQ(Send(both), Bytes{});
  EXPECT_TRUE(hung_up_);
  EXPECT_EQ(board_->stats().requests, 1u);
}

TEST_F(BoardTest, WhatFollowsAConfirmedReboot) {
  const struct {
    AfterReboot after;
    bool hangs_up;
    bool answers_again;
  } cases[] = {
      {AfterReboot::kBootloader, false, true},
      {AfterReboot::kSilent, false, false},
      {AfterReboot::kHangup, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.after));
    BoardConfig config;
    config.after_reboot = c.after;
    Make(config);
    EXPECT_EQ(Command(link::CMD_GET_BOOTLOADER_INFO), NormalReply(link::CMD_GET_BOOTLOADER_INFO));
    // The reboot is always confirmed: the host must see it succeed.
    EXPECT_EQ(Command(link::CMD_REBOOT), kDone);
    EXPECT_EQ(hung_up_, c.hangs_up);
    const Bytes again = Command(link::CMD_GET_BOOTLOADER_INFO);
    EXPECT_EQ(again == NormalReply(link::CMD_GET_BOOTLOADER_INFO), c.answers_again);
    if (!c.answers_again) {
      EXPECT_EQ(again, Bytes{});
    }
  }
}

TEST(ParseFault, RejectsMalformedFaults) {
  for (const char* text :
       {"silent", "silent@", "loud@cmd=01", "silent@cmd=", "silent@cmd=100", "silent@block=C:1",
        "silent@block=A", "silent@block=A:x", "silent@data=", "silent@cmd=01#0", "silent@cmd=01#",
        "status=01,02@cmd=01", "status=01,02,03,04@cmd=01", "error=@cmd=01", "error=123@cmd=01",
        "silent@page=1"}) {
    Fault fault;
    std::string error;
    EXPECT_FALSE(ParseFault(text, &fault, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  Fault fault;
  std::string error;
  ASSERT_TRUE(ParseFault("status=0x01,5,AA@block=B:2047#3", &fault, &error)) << error;
  EXPECT_EQ(fault.kind, FaultKind::kStatus);
  EXPECT_EQ(fault.status, (std::array<uint8_t, 3>{0x01, 0x05, 0xAA}));
  EXPECT_EQ(fault.site, FaultSite::kCodeBlock);
  EXPECT_EQ(fault.bank, 1);
  EXPECT_EQ(fault.index, 2047u);
  EXPECT_EQ(fault.occurrence, 3u);
}

}  // namespace
}  // namespace quelmar::sim
