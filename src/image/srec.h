// Motorola S-record input: the program's bytes for flash banks A and B.
#pragma once

#include <string>
#include <string_view>

#include "image/code_banks.h"

namespace quelmar::image {

// Parses a whole S-record text: the header (S0, not used), data with 16-,
// 24- and 32-bit addresses (S1, S2, S3), the record counts (S5, S6), which
// must equal the number of data records before them, and the ends (S7, S8,
// S9), whose start address is not used. Reading stops at the end record,
// which must be there. Checksums are checked, every data byte must lie in
// bank A or bank B, and an address given two different values is refused
// as in Intel HEX. False with *error naming the line on any fault.
bool ParseSrec(std::string_view text, CodeBanks* banks, std::string* error);

}  // namespace quelmar::image
