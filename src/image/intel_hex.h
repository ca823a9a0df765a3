// Intel HEX input for the packer: the program's bytes for flash banks A and B.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar::image {

inline constexpr uint32_t kBankAStart = 0x1A000000;
inline constexpr uint32_t kBankBStart = 0x1B000000;
inline constexpr uint32_t kBankSize = 0x80000;

struct HexBanks {
  // Plain bytes from the start of each bank up to its highest written byte;
  // unwritten bytes in between are 0xFF (erased flash). Empty: no data there.
  std::vector<uint8_t> bank_a;
  std::vector<uint8_t> bank_b;
};

// Parses a whole Intel HEX text: data (00), end of file (01), extended
// segment (02) and linear (04) address records, and the start address
// records (03, 05), which are ignored. Checksums are checked and every data
// byte must lie in bank A or bank B. An address given two different values
// is refused (naming it and both lines); a repeat of the same value passes.
// False with *error naming the line on any fault.
bool ParseIntelHex(std::string_view text, HexBanks* banks, std::string* error);

}  // namespace quelmar::image
