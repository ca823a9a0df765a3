// The resident bootloader's wire protocol: request frames, command, status
// and error codes, and the code and data block frames. Shared by the host
// side and the simulated board.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quelmar::link {

inline constexpr uint8_t REQUEST_START = 0x55;
inline constexpr uint8_t REPLY_START = 0xAA;

inline constexpr uint8_t CMD_GET_BOOTLOADER_INFO = 0x01;
inline constexpr uint8_t CMD_POLL_STATUS = 0x02;
inline constexpr uint8_t CMD_ERASE_FLASH = 0x03;
inline constexpr uint8_t CMD_ENTER_FLASH_WRITE = 0x04;
inline constexpr uint8_t CMD_REBOOT = 0x05;
inline constexpr uint8_t CMD_BLOCK_START = 0x06;
inline constexpr uint8_t CMD_ERASE_CODE = 0x07;
inline constexpr uint8_t CMD_PREPARE = 0x08;
inline constexpr uint8_t CMD_GET_CHIP_INFO = 0x0A;

inline constexpr uint8_t ERR_INCORRECT_COMMAND = 0x11;
inline constexpr uint8_t ERR_INCORRECT_HEADER = 0xEE;
inline constexpr uint8_t ERR_INCORRECT_CRC = 0xCC;
inline constexpr uint8_t ERR_WRITE_FAILED = 0xBB;

inline constexpr uint32_t kStatusReplySize = 4;
inline constexpr uint32_t kBootloaderReplySize = 6;
inline constexpr uint32_t kChipReplySize = 36;

inline constexpr uint32_t kCodeBlockSize = 256;
inline constexpr uint32_t kCodeFrameSize = 262;
inline constexpr uint32_t kDataBlockSize = 512;
inline constexpr uint32_t kDataFrameSize = 518;
inline constexpr uint32_t kBankAAddress = 0x1A000000;
inline constexpr uint32_t kBankBAddress = 0x1B000000;
// Bootloaders from this version code on expect scrambled code frames.
inline constexpr uint8_t kScrambleVersionCode = 28;

using RequestFrame = std::array<uint8_t, 4>;
using CodeFrame = std::array<uint8_t, kCodeFrameSize>;
using DataFrame = std::array<uint8_t, kDataFrameSize>;

// XOR of n bytes.
uint8_t XorCheck(const uint8_t* bytes, size_t n);

// 0x55 0x01 command check.
RequestFrame MakeRequest(uint8_t command);

// Status replies: 0xAA s1 s2 s3.
inline bool IsStatusDone(uint8_t s1, uint8_t s2) { return s1 == 0x01 && s2 == 0x00; }
inline bool IsStatusError(uint8_t s1, uint8_t s2) { return s1 == 0xFF && s2 == 0xFF; }

inline uint8_t RotateRight(uint8_t v, unsigned k) {
  return static_cast<uint8_t>((v >> k) | (v << (8 - k)));
}
inline uint8_t RotateLeft(uint8_t v, unsigned k) {
  return static_cast<uint8_t>((v << k) | (v >> (8 - k)));
}

// Writes the start byte and the little-endian address into a code frame
// whose 256 payload bytes (offsets 5..260) are already in place, then the
// check byte over offsets 0..260.
void SealCodeFrame(CodeFrame& frame, uint32_t address);
// For bootloader version codes >= 28, after sealing: payload rotated right
// by 3, then address and payload inverted. Start and check bytes unchanged.
void ScrambleCodeFrame(CodeFrame& frame);
// The board's inverse of ScrambleCodeFrame.
void UnscrambleCodeFrame(CodeFrame& frame);

// As SealCodeFrame, for a data frame (payload at offsets 5..516, check over
// 0..516, address = byte offset in the data flash).
void SealDataFrame(DataFrame& frame, uint32_t offset);

// Little-endian 32-bit helpers.
inline uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void WriteLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The chip table: the log line for chip words 0 and 1 (with its line end),
// and whether the chip is known (unknown chips are logged as errors).
struct ChipName {
  std::string line;
  bool known = false;
};
ChipName LookupChip(uint32_t word0, uint32_t word1);

}  // namespace quelmar::link
