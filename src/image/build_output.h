// Build output (what the compiler wrote) as a code image: the file's format,
// told by its content and else by its name, and the one way from the file's
// bytes to the banks that a code image is packed from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "image/code_banks.h"

namespace quelmar::image {

enum class FileFormat { kUnknown, kCodeImage, kDataImage, kElf, kIntelHex, kSrec };

// "ELF", "Intel HEX", "S-record", ".fcode", ".fdata", "unknown".
const char* FormatName(FileFormat format);
bool IsBuildOutput(FileFormat format);

// How many of the first bytes DetectFormat looks at.
inline constexpr size_t kDetectBytes = 512;
// The format by the first bytes of the file ('C' a code image, 'D' a data
// image, 0x7F 'ELF', ':' Intel HEX or 'S' and a digit S-record, the text
// ones after any blank lines or byte order mark), else by the extension of
// path (any case: .fcode, .fdata, .elf .axf, .hex .ihex, .srec .s19 .s28
// .s37 .mot); kUnknown when neither tells.
FileFormat DetectFormat(const uint8_t* head, size_t size, std::string_view path);
// The format by the extension alone.
FileFormat FormatByName(std::string_view path);

// A build output may be this large at most (an ELF file carries its debug
// information beside the program).
inline constexpr uint64_t kMaxBuildOutputSize = uint64_t{256} << 20;

// Reads the banks out of a build output's bytes with the format's reader.
// False with *error when the file is refused.
bool ReadBuildOutput(FileFormat format, const uint8_t* bytes, size_t size, CodeBanks* banks,
                     std::string* error);

// The last part of a path, after its last '/' (or '\' on Windows).
std::string BaseName(std::string_view path);

// The log line after a build output was packed: "Packed app.elf (ELF):
// bank A 0x1A000000-0x1A00011B (284 bytes), bank B empty.\n" (the extent
// from the first to the last byte given, and how many bytes are given).
std::string PackedLine(std::string_view name, FileFormat format, const CodeBanks& banks);

}  // namespace quelmar::image
