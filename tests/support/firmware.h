// The build output that tests/firmware makes with arm-none-eabi-gcc.
#pragma once

#include <cstdint>
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

}  // namespace quelmar::testing
