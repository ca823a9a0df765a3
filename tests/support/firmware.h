// The build output that tests/firmware makes with arm-none-eabi-gcc.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace quelmar::testing {

// The path of one of its files (app.elf, app.hex, app_a.bin, ...).
inline std::string FirmwareFile(const std::string& name) {
  return std::string(QUELMAR_FIRMWARE_DIR) + "/" + name;
}

// Its bytes; empty when it cannot be read.
inline std::vector<uint8_t> FirmwareBytes(const std::string& name) {
  std::ifstream in(FirmwareFile(name), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// One Motorola S-record line: its type (S0..S9), the address in that type's
// size, the data and the checksum.
inline std::string SrecLine(int type, uint32_t address, const std::vector<uint8_t>& data) {
  static const int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
  std::vector<uint8_t> raw = {static_cast<uint8_t>(kAddressBytes[type] + data.size() + 1)};
  for (int i = kAddressBytes[type] - 1; i >= 0; --i)
    raw.push_back(static_cast<uint8_t>(address >> (8 * i)));
  raw.insert(raw.end(), data.begin(), data.end());
  uint8_t sum = 0;
  for (uint8_t x : raw) sum = static_cast<uint8_t>(sum + x);
  raw.push_back(static_cast<uint8_t>(~sum));
  std::string line = "S" + std::to_string(type);
  char hex[3];
  for (uint8_t x : raw) {
    std::snprintf(hex, sizeof hex, "%02X", x);
    line += hex;
  }
  return line + "\n";
}

}  // namespace quelmar::testing
