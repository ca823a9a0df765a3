#include "link/protocol.h"

#include <cstdio>

namespace quelmar::link {

uint8_t XorCheck(const uint8_t* bytes, size_t n) {
  uint8_t check = 0;
  for (size_t i = 0; i < n; ++i) check ^= bytes[i];
  return check;
}

RequestFrame MakeRequest(uint8_t command) {
  RequestFrame frame{REQUEST_START, 0x01, command, 0};
  frame[3] = XorCheck(frame.data(), 3);
  return frame;
}

void SealCodeFrame(CodeFrame& frame, uint32_t address) {
  frame[0] = REQUEST_START;
  WriteLe32(&frame[1], address);
  frame[kCodeFrameSize - 1] = XorCheck(frame.data(), kCodeFrameSize - 1);
}

void ScrambleCodeFrame(CodeFrame& frame) {
  for (size_t i = 5; i < kCodeFrameSize - 1; ++i) frame[i] = RotateRight(frame[i], 3);
  for (size_t i = 1; i < kCodeFrameSize - 1; ++i) frame[i] = static_cast<uint8_t>(~frame[i]);
}

void UnscrambleCodeFrame(CodeFrame& frame) {
  for (size_t i = 1; i < kCodeFrameSize - 1; ++i) frame[i] = static_cast<uint8_t>(~frame[i]);
  for (size_t i = 5; i < kCodeFrameSize - 1; ++i) frame[i] = RotateLeft(frame[i], 3);
}

void SealDataFrame(DataFrame& frame, uint32_t offset) {
  frame[0] = REQUEST_START;
  WriteLe32(&frame[1], offset);
  frame[kDataFrameSize - 1] = XorCheck(frame.data(), kDataFrameSize - 1);
}

ChipName LookupChip(uint32_t word0, uint32_t word1) {
  const char* name = nullptr;
  switch (word0) {
    case 0xA00A8B3F: name = "LPC4310"; break;
    case 0xA0008B3C: name = "LPC4320"; break;
    case 0xA0000A30: name = "LPC4330"; break;
    case 0xA0000830: name = "LPC4350"; break;
    case 0xA001C830: name = word1 == 0 ? "LPC4357" : "LPC4353"; break;
    default: break;
  }
  char line[64];
  if (name != nullptr) {
    std::snprintf(line, sizeof line, "Chip: %s\n", name);
    return {line, true};
  }
  std::snprintf(line, sizeof line, "Chip: unknown - %08X\n", word0);
  return {line, false};
}

}  // namespace quelmar::link
