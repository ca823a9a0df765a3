// Sub-commands for image files: info, pack-code, pack-data.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "args.h"
#include "cli.h"
#include "common/log.h"
#include "common/utf8_path.h"
#include "image/build_output.h"
#include "image/file_system.h"
#include "image/image_store.h"
#include "image/image_writer.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace quelmar::cli {
namespace {

using Bytes = std::vector<uint8_t>;
using image::ImageStore;

constexpr uint32_t kDataBlock = 512;

// Prints "quelmar-cli: <message>" to stderr; returns kExitFailure.
int FileError(const std::string& message) {
  std::fprintf(stderr, "quelmar-cli: %s\n", message.c_str());
  return kExitFailure;
}

// Reads a whole file of at most max_size bytes.
bool ReadFile(const std::string& path, uint64_t max_size, Bytes* out, std::string* error) {
  std::FILE* f = OpenFile(path, "rb");
  if (f == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::fclose(f);
    *error = path + ": is a folder";
    return false;
  }
  out->clear();
  uint8_t chunk[1 << 16];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    if (out->size() + n > max_size) {
      std::fclose(f);
      *error = path + ": larger than " + std::to_string(max_size) + " bytes";
      return false;
    }
    out->insert(out->end(), chunk, chunk + n);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) {
    *error = path + ": read error";
    return false;
  }
  return true;
}

#ifdef _WIN32
// The stat of Windows has no inode numbers: ask for the volume and file index.
bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION info[2] = {};
  const std::string* paths[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    HANDLE h = CreateFileW(WideFromUtf8(*paths[i]).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(h, &info[i]) != 0;
    CloseHandle(h);
    if (!ok) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}
#else
bool SameFile(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
#endif

std::string Hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

void DescribeSection(const char* title, const ImageStore::SectionInfo& info,
                     const image::Image& image, const char* target) {
  std::printf("%s: ", title);
  if (!info.length_read) {
    std::printf("not reached\n");
    return;
  }
  if (info.length_field == 0) {
    std::printf("empty\n");
    return;
  }
  std::printf("length field %u (%s), checksum %s", info.length_field,
              Hex(info.length_field).c_str(), Hex(info.checksum).c_str());
  if (!info.bytes_read) {
    std::printf(", stored bytes not read\n");
  } else if (info.verified()) {
    std::printf(", verified\n");
  } else {
    std::printf(", does not verify (sum %s)\n", Hex(info.computed_sum).c_str());
  }
  if (image.present()) std::printf("  sends %u bytes to %s\n", image.length(), target);
}

// What a bank of a packed build output receives.
void DescribeBank(const char* title, int which, const ImageStore::PackedBuild& packed,
                  const image::Image& image) {
  const uint32_t start = image::BankStart(which);
  std::printf("%s (%s-%s): ", title, image::Hex32(start).c_str(),
              image::Hex32(start + image::kBankSize - 1).c_str());
  const std::vector<image::BankSpan>& used = packed.used[which];
  if (used.empty()) {
    std::printf("no data; not written\n");
    return;
  }
  std::vector<image::BankSpan> gaps;
  for (size_t i = 1; i < used.size(); ++i) gaps.push_back({used[i - 1].end, used[i].begin});
  std::printf("%s-%s, %llu bytes used, ", image::Hex32(start + used.front().begin).c_str(),
              image::Hex32(start + used.back().end - 1).c_str(),
              static_cast<unsigned long long>(image::UsedBytes(used)));
  if (gaps.empty()) {
    std::printf("no gaps\n");
  } else {
    std::printf("%zu gap%s (%llu bytes of 0xFF)\n", gaps.size(), gaps.size() == 1 ? "" : "s",
                static_cast<unsigned long long>(image::UsedBytes(gaps)));
  }
  constexpr size_t kShownGaps = 10;
  for (size_t i = 0; i < gaps.size() && i < kShownGaps; ++i) {
    std::printf("  gap %s-%s (%u bytes)\n", image::Hex32(start + gaps[i].begin).c_str(),
                image::Hex32(start + gaps[i].end - 1).c_str(), gaps[i].end - gaps[i].begin);
  }
  if (gaps.size() > kShownGaps) std::printf("  ... and %zu more gaps\n", gaps.size() - kShownGaps);
  if (image.present())
    std::printf("  sends %u bytes to flash bank %c (%s), 0xFF after %s\n", image.length(),
                which == 0 ? 'A' : 'B', image::Hex32(start).c_str(),
                image::Hex32(start + used.back().end - 1).c_str());
}

constexpr const char* kInfoHelp =
    "Usage: quelmar-cli info FILE\n"
    "\n"
    "Loads an image file as the program does and describes it: kind,\n"
    "encoding, each section's length and checksum fields, whether the\n"
    "checksum verifies and how many bytes will be sent to the board.\n"
    "\n"
    "Build output (ELF .elf/.axf, Intel HEX .hex, S-record .srec/.s19/.mot)\n"
    "is packed in memory as flash does it, and each bank is described: the\n"
    "extent from the first to the last byte the file gives, how many bytes\n"
    "it gives, and the gaps between them (sent as 0xFF).\n"
    "\n"
    "The kind comes from the content (first byte 'C' code, 'D' data, an ELF\n"
    "header, HEX or S-record text), else from the extension; anything else\n"
    "is tried as a code file.\n"
    "\n"
    "Exit status: 0 the file yields an image, 1 it does not, 2 usage error.\n";

constexpr const char* kPackCodeHelp =
    "Usage: quelmar-cli pack-code -o OUT.fcode [--encoding F|E] [--bank-a FILE] [--bank-b FILE]\n"
    "       quelmar-cli pack-code -o OUT.fcode [--encoding F|E] APP\n"
    "\n"
    "Writes a code image file. The banks come either from raw binaries of\n"
    "1 to 524288 bytes (bank A from 0x1A000000, bank B from 0x1B000000) or\n"
    "from one build output APP whose data lies in those two banks: an ELF\n"
    "executable (.elf, .axf; 32-bit little-endian ARM, its PT_LOAD segments\n"
    "placed by their physical addresses), Intel HEX (.hex) or Motorola\n"
    "S-record (.srec, .s19, .mot), told apart by content. Gaps are filled\n"
    "with 0xFF. Encoding F (the default) or E. The file is written\n"
    "atomically and loaded back to check it; nothing is written when the\n"
    "input is refused.\n";

constexpr const char* kPackDataHelp =
    "Usage: quelmar-cli pack-data -o OUT.fdata [--encoding F|D] FILE\n"
    "\n"
    "Writes a data image file from a raw binary, padded with 0xFF to a\n"
    "multiple of 512 bytes. Encoding F (the default) or D. The file is\n"
    "written atomically and loaded back to check it.\n";

// The output must not be one of the inputs: the write would replace it.
std::optional<int> RefuseOverwritingInput(const char* command, const std::string& out,
                                          const std::vector<std::string>& inputs) {
  for (const std::string& in : inputs) {
    if (!in.empty() && SameFile(in, out))
      return UsageError(command, "-o " + out + " names the input file " + in);
  }
  return std::nullopt;
}

int WriteAndVerify(const std::string& out, const Bytes& file, bool code) {
  std::string error;
  if (!image::WriteFileAtomically(out, file, &error)) return FileError(error);
  TerminalSink sink;
  Log log(&sink);
  ImageStore store(log);
  const bool loaded = code ? store.LoadCodeImageFromPath(out) && store.HasCodeImage()
                           : store.LoadDataImageFromPath(out);
  if (!loaded) return FileError(out + ": written but does not load back");
  return kExitOk;
}

}  // namespace

int CmdInfo(int argc, char** argv) {
  std::string path;
  if (auto done = ParseOneArgument(argc, argv, kInfoHelp, "FILE", &path)) return *done;

  // Pick the loader by the content, then by the extension.
  uint8_t head[image::kDetectBytes];
  size_t head_size = 0;
  // Only a regular file is peeked at: a FIFO would wait for a writer.
  int64_t file_size = 0;
  if (std::FILE* f = image::detail::OpenRegularFile(path, &file_size)) {
    head_size = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
  }
  const image::FileFormat format = image::DetectFormat(head, head_size, path);
  const bool code = format != image::FileFormat::kDataImage;
  const bool build = image::IsBuildOutput(format);

  TerminalSink sink;
  Log log(&sink);
  ImageStore store(log);
  bool yields = false;
  if (code) {
    store.LoadCodeImageFromPath(path);
    yields = store.HasCodeImage();
  } else {
    yields = store.LoadDataImageFromPath(path);
  }
  std::fflush(stdout);

  std::printf("File: %s\n", path.c_str());
  if (build) {
    std::printf("Kind: build output (%s)\n", image::FormatName(format));
    if (const auto& packed = store.LastPacked()) {
      DescribeBank("Bank A", 0, *packed, store.CodeImage());
      DescribeBank("Bank B", 1, *packed, store.ExtendedCodeImage());
    }
    std::printf("Result: %s\n", yields ? "packs and loads" : "yields no image");
    return yields ? kExitOk : kExitFailure;
  }
  std::printf("Kind: %s\n", code ? "code image (.fcode)" : "data image (.fdata)");
  const bool header_read =
      code ? store.LastSectionA().length_read : store.LastDataSection().length_read;
  if (header_read && head_size >= 3) {
    const uint8_t mode = code ? store.CodeEncoding() : store.DataEncoding();
    std::printf("Encoding: '%c' (mode %u)\n", head[2], static_cast<unsigned>(mode));
  }
  if (code) {
    DescribeSection("Section A (_AB)", store.LastSectionA(), store.CodeImage(),
                    "flash bank A (0x1A000000)");
    DescribeSection("Section B (_BA)", store.LastSectionB(), store.ExtendedCodeImage(),
                    "flash bank B (0x1B000000)");
  } else {
    DescribeSection("Section (_DD)", store.LastDataSection(), store.DataImage(), "the data flash");
  }
  std::printf("Result: %s\n", yields ? "loads" : "yields no image");
  return yields ? kExitOk : kExitFailure;
}

int CmdPackCode(int argc, char** argv) {
  PackArgs args;
  if (auto done = ParsePack(argc, argv, kPackCodeHelp, "FE", true, &args)) return *done;
  const bool raw = !args.bank_a.empty() || !args.bank_b.empty();
  if (raw && !args.inputs.empty())
    return UsageError(argv[0], "give either --bank-a/--bank-b or one build output, not both");
  if (!raw && args.inputs.empty())
    return UsageError(argv[0], "missing input: --bank-a FILE, --bank-b FILE or APP");
  if (args.inputs.size() > 1) return UsageError(argv[0], "only one build output may be given");
  if (auto code = RefuseOverwritingInput(
          argv[0], args.out,
          raw ? std::vector<std::string>{args.bank_a, args.bank_b} : args.inputs))
    return *code;

  Bytes bank_a, bank_b;
  std::string error;
  if (raw) {
    for (const auto& [name, into] :
         {std::pair{&args.bank_a, &bank_a}, std::pair{&args.bank_b, &bank_b}}) {
      if (name->empty()) continue;
      if (!ReadFile(*name, image::CODE_IMAGE_SIZE, into, &error)) return FileError(error);
      if (into->empty()) return FileError(*name + ": empty file");
    }
  } else {
    const std::string& input = args.inputs[0];
    Bytes bytes;
    if (!ReadFile(input, image::kMaxBuildOutputSize, &bytes, &error)) return FileError(error);
    const image::FileFormat format =
        image::DetectFormat(bytes.data(), std::min(bytes.size(), image::kDetectBytes), input);
    if (format == image::FileFormat::kCodeImage || format == image::FileFormat::kDataImage)
      return FileError(input + ": an image file (" + image::FormatName(format) +
                       ") already, not build output");
    image::CodeBanks banks;
    if (!image::ReadBuildOutput(format, bytes.data(), bytes.size(), &banks, &error))
      return FileError(input + ": " + error);
    if (banks.Empty()) return FileError(input + ": no data for bank A or bank B");
    std::fputs(image::PackedLine(image::BaseName(input), format, banks).c_str(), stdout);
    bank_a = std::move(banks.bank_a);
    bank_b = std::move(banks.bank_b);
  }
  const Bytes file = image::BuildCodeFile(&bank_a, &bank_b, args.encoding);
  if (const int rc = WriteAndVerify(args.out, file, true); rc != kExitOk) return rc;
  std::printf("Wrote %s: encoding %c, bank A %zu bytes, bank B %zu bytes\n", args.out.c_str(),
              args.encoding, bank_a.size(), bank_b.size());
  return kExitOk;
}

int CmdPackData(int argc, char** argv) {
  PackArgs args;
  if (auto done = ParsePack(argc, argv, kPackDataHelp, "FD", false, &args)) return *done;
  if (args.inputs.empty()) return UsageError(argv[0], "missing FILE");
  if (args.inputs.size() > 1) return UsageError(argv[0], "only one FILE may be given");
  if (auto code = RefuseOverwritingInput(argv[0], args.out, args.inputs)) return *code;

  Bytes plain;
  std::string error;
  // The length field is 32 bits and must stay a multiple of 512 after padding.
  if (!ReadFile(args.inputs[0], 0xFFFFFE00u, &plain, &error)) return FileError(error);
  if (plain.empty()) return FileError(args.inputs[0] + ": empty file");
  const size_t raw_size = plain.size();
  plain.resize((plain.size() + kDataBlock - 1) / kDataBlock * kDataBlock, 0xFF);
  const Bytes file = image::BuildDataFile(plain, args.encoding);
  if (const int rc = WriteAndVerify(args.out, file, false); rc != kExitOk) return rc;
  std::printf("Wrote %s: encoding %c, %zu bytes (%zu from %s)\n", args.out.c_str(), args.encoding,
              plain.size(), raw_size, args.inputs[0].c_str());
  return kExitOk;
}

}  // namespace quelmar::cli
