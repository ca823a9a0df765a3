// Writing image files: the inverse of the loaders, used by the packer and
// by tests to make their images.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quelmar::image {

// A whole ".fcode" file. A null or empty bank gives an empty section; a bank
// of L plain bytes (1..0x80000) gives length field L and L + 1 stored bytes,
// the last the stored form of an erased byte (0xFF). encoding is 'F' or 'E'.
// Both builders return an empty vector for input they cannot represent.
std::vector<uint8_t> BuildCodeFile(const std::vector<uint8_t>* bank_a,
                                   const std::vector<uint8_t>* bank_b, char encoding);
// A whole ".fdata" file for plain bytes whose count is a non-zero multiple
// of 256. encoding is 'F' or 'D'.
std::vector<uint8_t> BuildDataFile(const std::vector<uint8_t>& plain, char encoding);

// Writes bytes to path through a temporary file in the same folder renamed
// into place, so a reader never sees half a file. False with *error set on
// failure; the target is then left as it was.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error);

}  // namespace quelmar::image
