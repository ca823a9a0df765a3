// Intel HEX input: the program's bytes for flash banks A and B.
#pragma once

#include <string>
#include <string_view>

#include "image/code_banks.h"

namespace quelmar::image {

// Parses a whole Intel HEX text: data (00), end of file (01), extended
// segment (02) and linear (04) address records, and the start address
// records (03, 05), which are ignored. Checksums are checked and every data
// byte must lie in bank A or bank B. An address given two different values
// is refused (naming it and both lines); a repeat of the same value passes.
// False with *error naming the line on any fault.
bool ParseIntelHex(std::string_view text, CodeBanks* banks, std::string* error);

}  // namespace quelmar::image
