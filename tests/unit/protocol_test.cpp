#include <gtest/gtest.h>

#include <numeric>

#include "link/protocol.h"

namespace quelmar::link {
namespace {

TEST(Protocol, RequestFramesCarryTheXorOfTheirFirstThreeBytes) {
  const std::pair<uint8_t, RequestFrame> cases[] = {
      {CMD_GET_BOOTLOADER_INFO, {0x55, 0x01, 0x01, 0x55}},
      {CMD_POLL_STATUS, {0x55, 0x01, 0x02, 0x56}},
      {CMD_ERASE_FLASH, {0x55, 0x01, 0x03, 0x57}},
      {CMD_ENTER_FLASH_WRITE, {0x55, 0x01, 0x04, 0x50}},
      {CMD_REBOOT, {0x55, 0x01, 0x05, 0x51}},
      {CMD_BLOCK_START, {0x55, 0x01, 0x06, 0x52}},
      {CMD_ERASE_CODE, {0x55, 0x01, 0x07, 0x53}},
      {CMD_PREPARE, {0x55, 0x01, 0x08, 0x5C}},
      {CMD_GET_CHIP_INFO, {0x55, 0x01, 0x0A, 0x5E}},
  };
  for (const auto& [command, frame] : cases) EXPECT_EQ(MakeRequest(command), frame) << int(command);
}

CodeFrame FrameWithPayload(uint32_t address) {
  CodeFrame f{};
  for (uint32_t j = 0; j < kCodeBlockSize; ++j) f[5 + j] = static_cast<uint8_t>(j * 7 + 3);
  SealCodeFrame(f, address);
  return f;
}

TEST(Protocol, CodeFrameHeaderAndCheckByte) {
  const CodeFrame f = FrameWithPayload(kBankAAddress + 256 * 128);
  EXPECT_EQ(f[0], 0x55);
  EXPECT_EQ(f[1], 0x00);
  EXPECT_EQ(f[2], 0x80);
  EXPECT_EQ(f[3], 0x00);
  EXPECT_EQ(f[4], 0x1A);
  EXPECT_EQ(XorCheck(f.data(), kCodeFrameSize), 0) << "check byte must make the XOR vanish";
}

TEST(Protocol, ScramblingKeepsStartAndCheckAndIsUndone) {
  const CodeFrame plain = FrameWithPayload(kBankBAddress + 256 * 5);
  CodeFrame scrambled = plain;
  ScrambleCodeFrame(scrambled);
  EXPECT_EQ(scrambled[0], plain[0]);
  EXPECT_EQ(scrambled[261], plain[261]);
  // Address bytes are inverted, payload bytes rotated right by 3 then inverted.
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(scrambled[i], static_cast<uint8_t>(~plain[i]));
  EXPECT_EQ(scrambled[5], static_cast<uint8_t>(~RotateRight(plain[5], 3)));
  EXPECT_EQ(scrambled[260], static_cast<uint8_t>(~RotateRight(plain[260], 3)));
  CodeFrame back = scrambled;
  UnscrambleCodeFrame(back);
  EXPECT_EQ(back, plain);
}

TEST(Protocol, DataFrameOffsetBytes) {
  DataFrame f{};
  SealDataFrame(f, 512 * 128);
  EXPECT_EQ(f[1], 0x00);
  EXPECT_EQ(f[2], 0x00);
  EXPECT_EQ(f[3], 0x01);
  EXPECT_EQ(f[4], 0x00);
  EXPECT_EQ(XorCheck(f.data(), kDataFrameSize), 0);
}

TEST(Protocol, ChipTable) {
  struct Case {
    uint32_t w0, w1;
    const char* line;
    bool known;
  };
  const Case cases[] = {
      {0xA00A8B3F, 7, "Chip: LPC4310\n", true},
      {0xA0008B3C, 0, "Chip: LPC4320\n", true},
      {0xA0000A30, 0, "Chip: LPC4330\n", true},
      {0xA0000830, 1, "Chip: LPC4350\n", true},
      {0xA001C830, 0, "Chip: LPC4357\n", true},
      {0xA001C830, 0x10, "Chip: LPC4353\n", true},
      {0x00001234, 0, "Chip: unknown - 00001234\n", false},
      {0xDEADBEEF, 0, "Chip: unknown - DEADBEEF\n", false},
  };
  for (const Case& c : cases) {
    const ChipName name = LookupChip(c.w0, c.w1);
    EXPECT_EQ(name.line, c.line);
    EXPECT_EQ(name.known, c.known);
  }
}

}  // namespace
}  // namespace quelmar::link
