#include "image/build_output.h"

#include <cctype>

#include "image/elf.h"
#include "image/intel_hex.h"
#include "image/srec.h"

namespace quelmar::image {

const char* FormatName(FileFormat format) {
  switch (format) {
    case FileFormat::kCodeImage:
      return ".fcode";
    case FileFormat::kDataImage:
      return ".fdata";
    case FileFormat::kElf:
      return "ELF";
    case FileFormat::kIntelHex:
      return "Intel HEX";
    case FileFormat::kSrec:
      return "S-record";
    case FileFormat::kUnknown:
      break;
  }
  return "unknown";
}

bool IsBuildOutput(FileFormat format) {
  return format == FileFormat::kElf || format == FileFormat::kIntelHex ||
         format == FileFormat::kSrec;
}

namespace {

FileFormat ByContent(const uint8_t* head, size_t size) {
  if (size >= 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F')
    return FileFormat::kElf;
  if (size >= 1 && head[0] == 'C') return FileFormat::kCodeImage;
  if (size >= 1 && head[0] == 'D') return FileFormat::kDataImage;
  size_t i = 0;
  if (size >= 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) i = 3;
  while (i < size && (head[i] == ' ' || head[i] == '\t' || head[i] == '\r' || head[i] == '\n')) ++i;
  if (i < size && head[i] == ':') return FileFormat::kIntelHex;
  if (i + 1 < size && head[i] == 'S' && head[i + 1] >= '0' && head[i + 1] <= '9')
    return FileFormat::kSrec;
  return FileFormat::kUnknown;
}

}  // namespace

FileFormat FormatByName(std::string_view path) {
  const std::string name = BaseName(path);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return FileFormat::kUnknown;
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  static const struct {
    const char* ext;
    FileFormat format;
  } kExtensions[] = {
      {"fcode", FileFormat::kCodeImage}, {"fdata", FileFormat::kDataImage},
      {"elf", FileFormat::kElf},         {"axf", FileFormat::kElf},
      {"hex", FileFormat::kIntelHex},    {"ihex", FileFormat::kIntelHex},
      {"srec", FileFormat::kSrec},       {"s19", FileFormat::kSrec},
      {"s28", FileFormat::kSrec},        {"s37", FileFormat::kSrec},
      {"mot", FileFormat::kSrec},
  };
  for (const auto& e : kExtensions)
    if (ext == e.ext) return e.format;
  return FileFormat::kUnknown;
}

namespace {

std::string Extent(const char* title, const std::vector<BankSpan>& used, int which) {
  if (used.empty()) return std::string(title) + " empty";
  const uint32_t first = BankStart(which) + used.front().begin;
  const uint32_t last = BankStart(which) + used.back().end - 1;
  return std::string(title) + " " + Hex32(first) + "-" + Hex32(last) + " (" +
         std::to_string(UsedBytes(used)) + " bytes)";
}

}  // namespace

FileFormat DetectFormat(const uint8_t* head, size_t size, std::string_view path) {
  const FileFormat by_content = ByContent(head, size);
  return by_content != FileFormat::kUnknown ? by_content : FormatByName(path);
}

bool ReadBuildOutput(FileFormat format, const uint8_t* bytes, size_t size, CodeBanks* banks,
                     std::string* error) {
  const std::string_view text(reinterpret_cast<const char*>(bytes), size);
  switch (format) {
    case FileFormat::kElf:
      return ParseElf(bytes, size, banks, error);
    case FileFormat::kIntelHex:
      return ParseIntelHex(text, banks, error);
    case FileFormat::kSrec:
      return ParseSrec(text, banks, error);
    default:
      if (error != nullptr)
        *error = "neither its content nor its name says ELF, Intel HEX or S-record";
      return false;
  }
}

std::string BaseName(std::string_view path) {
#ifdef _WIN32
  const size_t cut = path.find_last_of("/\\");
#else
  const size_t cut = path.rfind('/');
#endif
  return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string PackedLine(std::string_view name, FileFormat format, const CodeBanks& banks) {
  return "Packed " + std::string(name) + " (" + FormatName(format) +
         "): " + Extent("bank A", banks.used_a, 0) + ", " + Extent("bank B", banks.used_b, 1) +
         ".\n";
}

}  // namespace quelmar::image
