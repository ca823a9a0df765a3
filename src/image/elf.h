// ELF input: the program's bytes for flash banks A and B from a linked
// 32-bit little-endian ARM executable (.elf, or .axf as MCUXpresso names it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/code_banks.h"

namespace quelmar::image {

// Takes the file bytes of every PT_LOAD segment and places them by their
// physical address (the load address), as objcopy does; when every segment's
// physical address is 0, their virtual addresses stand in. Refuses anything
// but a 32-bit little-endian ARM executable, segments that run past the end
// of the file or overlap each other, and data outside banks A and B, with
// *error naming the segment (numbered from 0, as readelf shows them) and
// the address.
bool ParseElf(const uint8_t* bytes, size_t size, CodeBanks* banks, std::string* error);

}  // namespace quelmar::image
