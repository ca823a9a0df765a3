// The build output readers (ELF, Intel HEX, S-record) against what
// arm-none-eabi-gcc and objcopy make of one program, their refusals, the
// format detection and the image store's load of build output.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/build_output.h"
#include "image/elf.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "image/intel_hex.h"
#include "image/srec.h"
#include "support/firmware.h"
#include "support/recording_sink.h"
#include "support/temp_dir.h"

namespace quelmar::image {
namespace {

using Bytes = std::vector<uint8_t>;
using Entry = testing::RecordingSink::Entry;
using testing::FirmwareBytes;
using testing::FirmwareFile;

bool Read(FileFormat format, const Bytes& bytes, CodeBanks* banks, std::string* error) {
  return ReadBuildOutput(format, bytes.data(), bytes.size(), banks, error);
}

// The bytes of each bank must be erased (0xFF) wherever the spans say the
// file gave nothing.
void ExpectErasedOutsideSpans(const CodeBanks& banks) {
  for (int which = 0; which < 2; ++which) {
    const Bytes& bank = banks.Bank(which);
    uint32_t pos = 0;
    for (const BankSpan& s : banks.Used(which)) {
      for (; pos < s.begin; ++pos) ASSERT_EQ(bank[pos], 0xFF) << which << " at " << pos;
      pos = s.end;
    }
    ASSERT_EQ(pos, bank.size()) << "the bank ends with its last given byte";
  }
}

TEST(BuildOutputReaders, AgreeWithObjcopyByteForByte) {
  struct Case {
    const char* stem;
    size_t spans_a, spans_b;
  };
  // app: code, constants and .data (placed by its load address) in one run,
  // then a gap, then a second block; bank B in one piece. full: both banks
  // full.
  for (const Case& c : {Case{"app", 2, 1}, Case{"full", 1, 1}}) {
    SCOPED_TRACE(c.stem);
    const std::string stem = c.stem;
    const Bytes a = FirmwareBytes(stem + "_a.bin"), b = FirmwareBytes(stem + "_b.bin");
    ASSERT_FALSE(a.empty() || b.empty()) << "objcopy's binaries";
    std::vector<BankSpan> spans[2];
    for (const auto& [ext, format] :
         {std::pair{".elf", FileFormat::kElf}, std::pair{".hex", FileFormat::kIntelHex},
          std::pair{".srec", FileFormat::kSrec}}) {
      SCOPED_TRACE(ext);
      const Bytes file = FirmwareBytes(stem + ext);
      ASSERT_FALSE(file.empty());
      EXPECT_EQ(DetectFormat(file.data(), std::min(file.size(), kDetectBytes), "x"), format)
          << "told by content alone";
      CodeBanks banks;
      std::string error;
      ASSERT_TRUE(Read(format, file, &banks, &error)) << error;
      EXPECT_TRUE(banks.bank_a == a) << "bank A differs from objcopy -O binary";
      EXPECT_TRUE(banks.bank_b == b) << "bank B differs from objcopy -O binary";
      EXPECT_EQ(banks.used_a.size(), c.spans_a);
      EXPECT_EQ(banks.used_b.size(), c.spans_b);
      ExpectErasedOutsideSpans(banks);
      // The three readers see the same bytes as given.
      if (spans[0].empty()) {
        spans[0] = banks.used_a;
        spans[1] = banks.used_b;
      } else {
        EXPECT_EQ(banks.used_a, spans[0]);
        EXPECT_EQ(banks.used_b, spans[1]);
      }
    }
  }
}

// --- ELF refusals ----------------------------------------------------------

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
         static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
// Offset of program header i of an ELF file.
size_t Ph(const Bytes& elf, unsigned i) {
  return Get32(elf, 28) + 32 * size_t{i};
}
// The index of the PT_LOAD segment holding the given physical address.
unsigned SegmentAt(const Bytes& elf, uint32_t address) {
  const unsigned count = elf[44] | elf[45] << 8;
  for (unsigned i = 0; i < count; ++i) {
    const size_t ph = Ph(elf, i);
    if (Get32(elf, ph) == 1 && Get32(elf, ph + 12) == address) return i;
  }
  ADD_FAILURE() << "no segment at " << address;
  return 0;
}

TEST(ElfReader, RefusesWhatCannotGoIntoTheBanksNamingWhy) {
  const Bytes app = FirmwareBytes("app.elf");
  ASSERT_GT(app.size(), 1000u);
  // overlap.elf's first two segments, as its program headers give them.
  const Bytes overlap = FirmwareBytes("overlap.elf");
  ASSERT_GT(overlap.size(), 1000u);
  auto extent = [&](unsigned i) {
    const uint32_t at = Get32(overlap, Ph(overlap, i) + 12);
    return Hex32(at) + "-" + Hex32(at + Get32(overlap, Ph(overlap, i) + 16) - 1);
  };
  ASSERT_EQ(Get32(overlap, Ph(overlap, 1) + 12), 0x1A000010u);
  const unsigned seg_b = SegmentAt(app, kBankBStart);
  const std::string b = std::to_string(seg_b);
  auto patched = [&](auto&& change) {
    Bytes e = app;
    change(e);
    return e;
  };
  struct Case {
    const char* name;
    Bytes file;
    std::string message;  // the whole error text
  };
  const std::string outside =
      "lies outside flash banks A (0x1A000000-0x1A07FFFF) and B "
      "(0x1B000000-0x1B07FFFF)";
  const std::vector<Case> cases = {
      // Real compiler output.
      {"object file before linking", FirmwareBytes("app.o"),
       "a relocatable object file (.o), not a linked executable"},
      {"big-endian build", FirmwareBytes("app_be.elf"),
       "a big-endian ELF file; the LPC43xx runs little-endian code"},
      {"bank B's block linked over bank A's code", overlap,
       "segments 0 (" + extent(0) + ") and 1 (" + extent(1) + ") overlap"},
      {"data loaded straight into RAM", FirmwareBytes("ram.elf"),
       "segment 0: data at 0x10000000 " + outside},
      // The linked program, changed where a real tool would differ.
      {"another machine", patched([](Bytes& e) { Put16(e, 18, 62); }),
       "built for x86-64 (machine 62), not for ARM"},
      {"an unnamed machine", patched([](Bytes& e) { Put16(e, 18, 999); }),
       "built for machine 999, not for ARM"},
      {"64-bit", patched([](Bytes& e) { e[4] = 2; }),
       "a 64-bit ELF file; the LPC43xx runs 32-bit ARM code"},
      {"class 0", patched([](Bytes& e) { e[4] = 0; }), "unknown ELF class 0"},
      {"data encoding 3", patched([](Bytes& e) { e[5] = 3; }), "unknown ELF data encoding 3"},
      {"version 2", patched([](Bytes& e) { e[6] = 2; }), "unknown ELF version 2"},
      {"shared object", patched([](Bytes& e) { Put16(e, 16, 3); }),
       "a shared object, not a linked executable"},
      {"core dump", patched([](Bytes& e) { Put16(e, 16, 4); }),
       "a core dump, not a linked executable"},
      {"no type", patched([](Bytes& e) { Put16(e, 16, 0); }),
       "ELF file type 0, not a linked executable"},
      {"no program headers", patched([](Bytes& e) { Put16(e, 44, 0); }),
       "no program headers: nothing to load"},
      {"odd program header size", patched([](Bytes& e) { Put16(e, 42, 56); }),
       "program header size 56, not 32"},
      {"program headers past the end", patched([&](Bytes& e) { Put32(e, 28, 0xFFFFFFF0u); }),
       "the program headers run past the end of the file"},
      {"segment past the end",
       patched([&](Bytes& e) { Put32(e, Ph(e, seg_b) + 16, static_cast<uint32_t>(e.size())); }),
       "segment " + b + " runs past the end of the file"},
      {"segment offset wraps", patched([&](Bytes& e) { Put32(e, Ph(e, seg_b) + 4, 0xFFFFFFFFu); }),
       "segment " + b + " runs past the end of the file"},
      {"segment runs out of bank B",
       patched([&](Bytes& e) { Put32(e, Ph(e, seg_b) + 12, kBankBStart + kBankSize - 0x10); }),
       "segment " + b + ": data at 0x1B080000 " + outside},
      {"segment wraps past 4 GiB",
       patched([&](Bytes& e) { Put32(e, Ph(e, seg_b) + 12, 0xFFFFFF00u); }),
       "segment " + b + ": data at 0xFFFFFF00 " + outside},
      {"segment between the banks",
       patched([&](Bytes& e) { Put32(e, Ph(e, seg_b) + 12, 0x1A080000u); }),
       "segment " + b + ": data at 0x1A080000 " + outside},
      {"nothing to load", patched([](Bytes& e) {
         const unsigned count = e[44] | e[45] << 8;
         for (unsigned i = 0; i < count; ++i) Put32(e, Ph(e, i), 4);  // PT_NOTE
       }),
       "no loadable data: no PT_LOAD segment holds file bytes"},
      // Some tools leave the physical addresses 0: the virtual ones count,
      // and .data's is in RAM.
      {"physical addresses all 0", patched([](Bytes& e) {
         const unsigned count = e[44] | e[45] << 8;
         for (unsigned i = 0; i < count; ++i) Put32(e, Ph(e, i) + 12, 0);
       }),
       "segment 1: data at 0x10000000 " + outside},
      {"not ELF at all", Bytes{'\x7f', 'E', 'L', 'G', 1, 1, 1},
       "no ELF header (the file does not start with 0x7F 'ELF')"},
      {"cut inside the header", Bytes(app.begin(), app.begin() + 51),
       "the file ends inside the ELF header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CodeBanks banks;
    banks.bank_a = {1, 2, 3};
    std::string error;
    EXPECT_FALSE(ParseElf(c.file.data(), c.file.size(), &banks, &error));
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(banks.bank_a, (Bytes{1, 2, 3})) << "a refused file leaves the banks alone";
  }
}

TEST(ElfReader, VirtualAddressesStandInOnlyWhenEveryPhysicalOneIsZero) {
  // full.elf loads where it runs: with its physical addresses cleared it
  // gives the same banks.
  Bytes full = FirmwareBytes("full.elf");
  CodeBanks expected, banks;
  std::string error;
  ASSERT_TRUE(ParseElf(full.data(), full.size(), &expected, &error)) << error;
  const unsigned count = full[44] | full[45] << 8;
  for (unsigned i = 0; i < count; ++i) Put32(full, Ph(full, i) + 12, 0);
  ASSERT_TRUE(ParseElf(full.data(), full.size(), &banks, &error)) << error;
  EXPECT_TRUE(banks.bank_a == expected.bank_a && banks.bank_b == expected.bank_b);
}

// The ELF file with one more PT_LOAD segment that has no file bytes (a
// .bss of 1 KiB in RAM at the given physical and virtual address); the
// program header table moves to the end of the file to make room.
Bytes WithBss(const Bytes& elf, uint32_t physical, uint32_t virtual_address) {
  const unsigned count = elf[44] | elf[45] << 8;
  Bytes out = elf;
  while (out.size() % 4 != 0) out.push_back(0);
  const size_t table = out.size();
  out.insert(out.end(), elf.begin() + static_cast<long>(Ph(elf, 0)),
             elf.begin() + static_cast<long>(Ph(elf, count)));
  Bytes bss(32, 0);
  Put32(bss, 0, 1);  // PT_LOAD
  Put32(bss, 8, virtual_address);
  Put32(bss, 12, physical);
  Put32(bss, 20, 0x400);  // in memory only
  Put32(bss, 24, 6);      // RW
  out.insert(out.end(), bss.begin(), bss.end());
  Put32(out, 28, static_cast<uint32_t>(table));
  Put16(out, 44, static_cast<uint16_t>(count + 1));
  return out;
}

TEST(ElfReader, SegmentsWithoutFileBytesPlayNoPartInTheAddresses) {
  // full.elf loads where it runs, so virtual and physical addresses agree.
  const Bytes full = FirmwareBytes("full.elf");
  CodeBanks expected;
  std::string error;
  ASSERT_TRUE(ParseElf(full.data(), full.size(), &expected, &error)) << error;
  Bytes no_physical = full;
  for (unsigned i = 0; i < 2; ++i) Put32(no_physical, Ph(no_physical, i) + 12, 0);
  struct Case {
    const char* name;
    Bytes file;
  };
  const Case cases[] = {
      {".bss in RAM beside the banks", WithBss(full, 0x10000000, 0x10000000)},
      // Only the .bss has a physical address: the segments with bytes
      // still have none, so the virtual addresses count.
      {".bss the only segment with a physical address", WithBss(no_physical, 0x10000000, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CodeBanks banks;
    ASSERT_TRUE(ParseElf(c.file.data(), c.file.size(), &banks, &error)) << error;
    EXPECT_TRUE(banks.bank_a == expected.bank_a && banks.bank_b == expected.bank_b);
  }
}

TEST(ElfReader, EveryCutOfAFileIsRefusedUntilItHoldsEverySegment) {
  // A read past the end shows as a crash here under the sanitizers.
  const Bytes small = FirmwareBytes("app_small.elf");
  ASSERT_GT(small.size(), 500u);
  CodeBanks whole;
  std::string error;
  ASSERT_TRUE(ParseElf(small.data(), small.size(), &whole, &error)) << error;
  // The section headers after the segments' bytes are not needed.
  size_t needed = 0;
  const unsigned count = small[44] | small[45] << 8;
  for (unsigned i = 0; i < count; ++i)
    needed =
        std::max<size_t>(needed, Get32(small, Ph(small, i) + 4) + Get32(small, Ph(small, i) + 16));
  ASSERT_LT(needed, small.size());
  for (size_t n = 0; n <= small.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes cut(small.begin(), small.begin() + static_cast<long>(n));
    CodeBanks banks;
    error.clear();
    if (n < needed) {
      EXPECT_FALSE(ParseElf(cut.data(), cut.size(), &banks, &error));
      EXPECT_FALSE(error.empty());
    } else {
      ASSERT_TRUE(ParseElf(cut.data(), cut.size(), &banks, &error)) << error;
      EXPECT_TRUE(banks.bank_a == whole.bank_a && banks.bank_b == whole.bank_b);
    }
  }
}

// --- S-record --------------------------------------------------------------

std::string S(int type, uint32_t address, const Bytes& data) {
  return testing::SrecLine(type, address, data);
}
const std::string kEnd = S(7, 0x1A000000, {});

TEST(SrecReader, DataRecordsCountsAndEnds) {
  const std::string text = S(0, 0, {'a', 'p', 'p'}) + S(3, 0x1A000000, {1, 2, 3}) +
                           S(3, 0x1A000010, {4}) +        // a gap of 0xFF between
                           "\n" +                         // blank lines pass
                           S(3, 0x1B00FFFE, {5, 6, 7}) +  // across 64 KiB
                           S(3, 0x1A000001, {2}) +        // the same value again
                           S(5, 4, {}) + kEnd + "S1 this comes after the end and is not read\n";
  CodeBanks banks;
  std::string error;
  ASSERT_TRUE(ParseSrec(text, &banks, &error)) << error;
  Bytes a(0x11, 0xFF);
  a[0] = 1, a[1] = 2, a[2] = 3, a[0x10] = 4;
  EXPECT_EQ(banks.bank_a, a);
  EXPECT_EQ(banks.used_a, (std::vector<BankSpan>{{0, 3}, {0x10, 0x11}}));
  ASSERT_EQ(banks.bank_b.size(), 0x10001u);
  EXPECT_EQ((Bytes(banks.bank_b.end() - 3, banks.bank_b.end())), (Bytes{5, 6, 7}));
  EXPECT_EQ(banks.used_b, (std::vector<BankSpan>{{0xFFFE, 0x10001}}));

  // Lower-case digits, CRLF, and the other ends (S8, S9) and count (S6).
  for (const std::string& end : {S(8, 0, {}), S(9, 0, {})}) {
    std::string crlf = S(3, 0x1B07FFFF, {0xAB}) + S(6, 1, {}) + end;
    for (size_t p = 0; (p = crlf.find('\n', p)) != std::string::npos; p += 2) crlf.insert(p, "\r");
    for (char& ch : crlf)
      if (ch >= 'A' && ch <= 'F') ch = static_cast<char>(ch - 'A' + 'a');
    ASSERT_TRUE(ParseSrec(crlf, &banks, &error)) << error;
    EXPECT_TRUE(banks.bank_a.empty());
    ASSERT_EQ(banks.bank_b.size(), kBankSize);
    EXPECT_EQ(banks.bank_b.back(), 0xAB);
  }
}

// The line with its checksum's last digit changed.
std::string Corrupt(std::string line) {
  char& digit = line[line.size() - 2];
  digit = digit == '0' ? '1' : '0';
  return line;
}

TEST(SrecReader, FaultsNameTheLine) {
  struct Case {
    const char* name;
    std::string text;
    const char* error;
  };
  const std::vector<Case> cases = {
      {"bad checksum",
       S(0, 0, {}) + S(3, 0x1A000000, {9}) + Corrupt(S(3, 0x1A000004, {1, 2})) + kEnd,
       "line 3: checksum mismatch"},
      {"bad checksum in the header", Corrupt(S(0, 0, {'x'})) + kEnd, "line 1: checksum mismatch"},
      {"16-bit address", S(1, 0x1000, {1}) + kEnd,
       "line 1: data at 0x00001000 lies outside flash banks A (0x1A000000-0x1A07FFFF) and B "
       "(0x1B000000-0x1B07FFFF)"},
      {"24-bit address", S(2, 0xFFFFFF, {1}) + kEnd, "line 1: data at 0x00FFFFFF lies outside"},
      {"record runs past bank A", S(3, 0x1A07FFFF, {1, 2}) + kEnd,
       "line 1: data at 0x1A080000 lies outside"},
      {"record wraps past 4 GiB", S(3, 0xFFFFFFFF, {1, 2}) + kEnd,
       "line 1: data at 0xFFFFFFFF lies outside"},
      // Two build outputs joined into one file: the later value must not win.
      {"an address given another value",
       S(3, 0x1A000010, {1, 2, 3}) + S(3, 0x1B000000, {7}) + S(3, 0x1A000012, {9}) + kEnd,
       "line 3: address 0x1A000012 is given 0x09, but line 1 gave it 0x03"},
      {"0xFF over a written byte", S(3, 0x1A000000, {0}) + S(3, 0x1A000000, {0xFF}) + kEnd,
       "line 2: address 0x1A000000 is given 0xFF, but line 1 gave it 0x00"},
      {"count too low", S(3, 0x1A000000, {1}) + S(3, 0x1A000001, {2}) + S(5, 1, {}) + kEnd,
       "line 3: count record says 1 data records, but 2 came before it"},
      {"count with data", S(5, 0, {1}) + kEnd, "line 1: count record carries data"},
      {"end with data", S(3, 0x1A000000, {1}) + S(7, 0x1A000000, {1}),
       "line 2: end record carries data"},
      {"missing end", S(3, 0x1A000000, {1}) + S(3, 0x1A000001, {2}),
       "line 3: missing end record (S7, S8 or S9)"},
      {"empty text", "", "line 1: missing end record (S7, S8 or S9)"},
      {"reserved S4", "S4030000FC\n" + kEnd, "line 1: unsupported record type S4"},
      {"no S", "s1030000FC\n", "line 1: record does not start with 'S'"},
      {"a HEX record", ":00000001FF\n", "line 1: record does not start with 'S'"},
      {"no type digit", "SX030000FC\n", "line 1: record type is not a digit after 'S'"},
      {"S alone", "S\n", "line 1: record type is not a digit after 'S'"},
      {"not hex", "S1030G00FC\n",
       "line 1: record holds a character that is not a hex digit, or an odd count"},
      {"odd count of digits", "S1030000F\n",
       "line 1: record holds a character that is not a hex digit, or an odd count"},
      {"no count", "S1\n", "line 1: record too short"},
      {"count says more", "S1050000FA\n", "line 1: record count 5 does not match its size"},
      {"too short for its address", "S3030000FC\n",
       "line 1: S3 record too short for its 4-byte address"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CodeBanks banks;
    std::string error;
    EXPECT_FALSE(ParseSrec(c.text, &banks, &error));
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
  }
}

// --- detection -------------------------------------------------------------

TEST(DetectFormat, ByContentFirstThenByName) {
  struct Case {
    std::string head;
    const char* path;
    FileFormat format;
  };
  const Case cases[] = {
      {"\x7f"
       "ELF\x01\x01",
       "app.bin", FileFormat::kElf},
      {":020000041A00E0", "app.txt", FileFormat::kIntelHex},
      {"\xEF\xBB\xBF\r\n\n  :00000001FF", "app", FileFormat::kIntelHex},  // BOM, blank lines
      {"S00F000068656C6C6F", "app.hex", FileFormat::kSrec},
      {"\n\tS3151A000000", "APP.MOT", FileFormat::kSrec},
      {"CFF_AB", "app.elf", FileFormat::kCodeImage},
      {"DFF_DD", "app.fcode", FileFormat::kDataImage},
      // Content that says nothing: the name decides, in any case.
      {"", "build/app.AXF", FileFormat::kElf},
      {"garbage", "app.elf", FileFormat::kElf},
      {"", "app.Hex", FileFormat::kIntelHex},
      {"", "app.ihex", FileFormat::kIntelHex},
      {"", "app.s19", FileFormat::kSrec},
      {"", "app.s28", FileFormat::kSrec},
      {"", "app.s37", FileFormat::kSrec},
      {"", "app.srec", FileFormat::kSrec},
      {"", "app.mot", FileFormat::kSrec},
      {"", "app.fcode", FileFormat::kCodeImage},
      {"", "app.fdata", FileFormat::kDataImage},
      {"", "app.elf.txt", FileFormat::kUnknown},
      {"", "elf", FileFormat::kUnknown},
      {"", "dir.elf/app", FileFormat::kUnknown},
      {"Sx", "notes", FileFormat::kUnknown},
      {"S", "notes", FileFormat::kUnknown},
      {"\x7f"
       "EL",
       "notes", FileFormat::kUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(DetectFormat(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size(), c.path),
              c.format);
  }
}

TEST(PackedLine, SaysEachBanksExtentAndBytes) {
  CodeBanks banks;
  std::string error;
  ASSERT_TRUE(
      ParseSrec(S(3, 0x1A000100, {1, 2, 3, 4}) + S(3, 0x1A000200, {5}) + kEnd, &banks, &error));
  EXPECT_EQ(PackedLine("app.s19", FileFormat::kSrec, banks),
            "Packed app.s19 (S-record): bank A 0x1A000100-0x1A000200 (5 bytes), bank B empty.\n");
  ASSERT_TRUE(ParseSrec(S(3, 0x1B07FFFF, {1}) + kEnd, &banks, &error));
  EXPECT_EQ(PackedLine("a b.hex", FileFormat::kIntelHex, banks),
            "Packed a b.hex (Intel HEX): bank A empty, bank B 0x1B07FFFF-0x1B07FFFF (1 bytes).\n");
}

// --- the image store ---------------------------------------------------------

class BuildOutputStoreTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const Bytes& bytes) const {
    const std::string p = (dir_ / name).string();
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  // What a present code image sends to its bank, decoded.
  Bytes Sent(const Image& image) const {
    Bytes out(image.length());
    for (size_t i = 0; i < out.size(); ++i) out[i] = store_.DecodeCodeByte(image.data()[i]);
    return out;
  }
  std::vector<Entry> TakeLog() {
    auto log = sink_.Log();
    sink_.Clear();
    return log;
  }
  static Bytes Padded(Bytes b) {
    b.resize(CODE_IMAGE_SIZE, 0xFF);
    return b;
  }

  std::filesystem::path dir_ = testing::MakeTempDir("quelmar_build_");
  testing::RecordingSink sink_;
  Log log_{&sink_};
  ImageStore store_{log_};

  ~BuildOutputStoreTest() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
};

TEST_F(BuildOutputStoreTest, EachFormatLoadsAsThePackedCodeImageWouldWithOneLineMore) {
  const Bytes a = FirmwareBytes("app_a.bin"), b = FirmwareBytes("app_b.bin");
  CodeBanks reference;
  std::string error;
  ASSERT_TRUE(Read(FileFormat::kIntelHex, FirmwareBytes("app.hex"), &reference, &error));
  struct Case {
    const char* file;
    const char* name;  // the file's name as the user sees it
    FileFormat format;
  };
  // The name is not what tells the format: app.elf as "firmware.fcode" is
  // still an ELF file.
  for (const Case& c : {Case{"app.elf", "app.axf", FileFormat::kElf},
                        Case{"app.hex", "app.hex", FileFormat::kIntelHex},
                        Case{"app.srec", "app.mot", FileFormat::kSrec},
                        Case{"app.elf", "firmware.fcode", FileFormat::kElf},
                        Case{"app.srec", "firmware", FileFormat::kSrec}}) {
    SCOPED_TRACE(c.name);
    const Bytes original = FirmwareBytes(c.file);
    const std::string path = Write(c.name, original);
    ASSERT_TRUE(store_.LoadCodeImageFromPath(path));
    EXPECT_EQ(TakeLog(), (std::vector<Entry>{{0, PackedLine(c.name, c.format, reference)},
                                             {0, "Loading CODE completed !\n"}}));
    ASSERT_TRUE(store_.CodeImage().present() && store_.ExtendedCodeImage().present());
    EXPECT_EQ(store_.CodeImage().length(), CODE_IMAGE_SIZE);
    EXPECT_TRUE(Sent(store_.CodeImage()) == Padded(a)) << "bank A";
    EXPECT_TRUE(Sent(store_.ExtendedCodeImage()) == Padded(b)) << "bank B";
    ASSERT_TRUE(store_.LastPacked().has_value());
    EXPECT_EQ(store_.LastPacked()->format, c.format);
    EXPECT_EQ(store_.LastPacked()->used[0], reference.used_a);
    EXPECT_EQ(store_.LastPacked()->bank_size[1], b.size());
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == original) << "file untouched";
  }
  // An .fcode loads as always, with nothing said about packing.
  const Bytes fcode = BuildCodeFile(&a, &b, 'E');
  ASSERT_TRUE(store_.LoadCodeImageFromPath(Write("named.elf", fcode)));
  EXPECT_EQ(TakeLog(), (std::vector<Entry>{{0, "Loading CODE completed !\n"}}));
  EXPECT_FALSE(store_.LastPacked().has_value());
  EXPECT_EQ(store_.CodeEncoding(), 1);
  EXPECT_TRUE(Sent(store_.CodeImage()) == Padded(a));
}

TEST_F(BuildOutputStoreTest, ARefusedFileLeavesNoCodeImageAFileNotOpenedChangesNothing) {
  ASSERT_TRUE(store_.LoadCodeImageFromPath(FirmwareFile("app.elf")));
  TakeLog();
  const uint8_t* before = store_.CodeImage().data();
  EXPECT_FALSE(store_.LoadCodeImageFromPath((dir_ / "missing.elf").string()));
  EXPECT_EQ(TakeLog(), (std::vector<Entry>{{1, "Failed open file !\n"}}));
  EXPECT_EQ(store_.CodeImage().data(), before);
  EXPECT_TRUE(store_.LastPacked().has_value());

  struct Case {
    const char* name;
    Bytes bytes;
    std::string line;
  };
  const std::string cut_srec = S(3, 0x1A000000, {0});
  const std::vector<Case> cases = {
      {"ram.elf", FirmwareBytes("ram.elf"),
       "Failed packing ram.elf (ELF): segment 0: data at 0x10000000 lies outside flash banks A "
       "(0x1A000000-0x1A07FFFF) and B (0x1B000000-0x1B07FFFF)\n"},
      {"app.o", FirmwareBytes("app.o"),
       "Failed packing app.o (ELF): a relocatable object file (.o), not a linked executable\n"},
      {"only_end.hex", Bytes{':', '0', '0', '0', '0', '0', '0', '0', '1', 'F', 'F', '\n'},
       "Failed packing only_end.hex (Intel HEX): no data for bank A or bank B\n"},
      {"cut.srec", Bytes(cut_srec.begin(), cut_srec.end()),
       "Failed packing cut.srec (S-record): line 2: missing end record (S7, S8 or S9)\n"},
      {"empty.elf", Bytes{},
       "Failed packing empty.elf (ELF): no ELF header (the file does not "
       "start with 0x7F 'ELF')\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(store_.LoadCodeImageFromPath(FirmwareFile("app.hex")));
    TakeLog();
    EXPECT_FALSE(store_.LoadCodeImageFromPath(Write(c.name, c.bytes)));
    EXPECT_EQ(TakeLog(), (std::vector<Entry>{{1, c.line}}));
    EXPECT_FALSE(store_.HasCodeImage()) << "the old images went when the file was opened";
    EXPECT_FALSE(store_.LastPacked().has_value());
  }
}

}  // namespace
}  // namespace quelmar::image
