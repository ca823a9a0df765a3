#include "image/elf.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quelmar::image {

namespace {

constexpr size_t kHeaderSize = 52;
constexpr size_t kProgramHeaderSize = 32;
constexpr uint16_t kTypeRelocatable = 1;
constexpr uint16_t kTypeExecutable = 2;
constexpr uint16_t kTypeShared = 3;
constexpr uint16_t kTypeCore = 4;
constexpr uint16_t kMachineArm = 40;
constexpr uint32_t kSegmentLoad = 1;

uint16_t Word16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Word32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

std::string MachineName(uint16_t machine) {
  static const struct {
    uint16_t id;
    const char* name;
  } kNames[] = {{2, "SPARC"},   {3, "x86"},  {8, "MIPS"},    {20, "PowerPC"},  {42, "SuperH"},
                {62, "x86-64"}, {83, "AVR"}, {94, "Xtensa"}, {183, "AArch64"}, {243, "RISC-V"}};
  for (const auto& n : kNames)
    if (n.id == machine) return std::string(n.name) + " (machine " + std::to_string(machine) + ")";
  return "machine " + std::to_string(machine);
}

struct Segment {
  unsigned index;
  uint32_t address;  // where its first byte goes
  uint32_t size;     // its file bytes
  uint32_t offset;   // where they are in the file
};

std::string Range(uint32_t address, uint32_t size) {
  return Hex32(address) + "-" + Hex32(address + size - 1);
}

}  // namespace

bool ParseElf(const uint8_t* bytes, size_t size, CodeBanks* banks, std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  if (size < 4 || std::memcmp(bytes,
                              "\x7f"
                              "ELF",
                              4) != 0)
    return fail("no ELF header (the file does not start with 0x7F 'ELF')");
  if (size < kHeaderSize) return fail("the file ends inside the ELF header");
  if (bytes[4] == 2) return fail("a 64-bit ELF file; the LPC43xx runs 32-bit ARM code");
  if (bytes[4] != 1) return fail("unknown ELF class " + std::to_string(bytes[4]));
  if (bytes[5] == 2) return fail("a big-endian ELF file; the LPC43xx runs little-endian code");
  if (bytes[5] != 1) return fail("unknown ELF data encoding " + std::to_string(bytes[5]));
  if (bytes[6] != 1) return fail("unknown ELF version " + std::to_string(bytes[6]));
  const uint16_t machine = Word16(bytes + 18);
  if (machine != kMachineArm) return fail("built for " + MachineName(machine) + ", not for ARM");
  const uint16_t type = Word16(bytes + 16);
  switch (type) {
    case kTypeExecutable:
      break;
    case kTypeRelocatable:
      return fail("a relocatable object file (.o), not a linked executable");
    case kTypeShared:
      return fail("a shared object, not a linked executable");
    case kTypeCore:
      return fail("a core dump, not a linked executable");
    default:
      return fail("ELF file type " + std::to_string(type) + ", not a linked executable");
  }
  const uint32_t table = Word32(bytes + 28);
  const uint16_t entry_size = Word16(bytes + 42);
  const uint16_t count = Word16(bytes + 44);
  if (count == 0) return fail("no program headers: nothing to load");
  if (entry_size != kProgramHeaderSize)
    return fail("program header size " + std::to_string(entry_size) + ", not " +
                std::to_string(kProgramHeaderSize));
  if (uint64_t{table} + uint64_t{count} * kProgramHeaderSize > size)
    return fail("the program headers run past the end of the file");

  std::vector<Segment> segments;
  bool all_physical_zero = true;
  for (unsigned i = 0; i < count; ++i) {
    const uint8_t* ph = bytes + table + size_t{i} * kProgramHeaderSize;
    if (Word32(ph) != kSegmentLoad || Word32(ph + 16) == 0) continue;
    if (Word32(ph + 12) != 0) all_physical_zero = false;
  }
  for (unsigned i = 0; i < count; ++i) {
    const uint8_t* ph = bytes + table + size_t{i} * kProgramHeaderSize;
    const uint32_t file_size = Word32(ph + 16);
    // Only file bytes reach the flash; what memory adds (.bss) is zeroed
    // by the program itself.
    if (Word32(ph) != kSegmentLoad || file_size == 0) continue;
    const uint32_t offset = Word32(ph + 4);
    // Some tools leave every physical address 0; objcopy then takes the
    // virtual ones.
    const uint32_t address = all_physical_zero ? Word32(ph + 8) : Word32(ph + 12);
    const std::string name = "segment " + std::to_string(i);
    if (uint64_t{offset} + file_size > size) return fail(name + " runs past the end of the file");
    const int which = BankOf(address);
    if (which < 0) return fail(name + ": " + OutsideBanks(address));
    const uint64_t bank_end = uint64_t{BankStart(which)} + kBankSize;
    if (uint64_t{address} + file_size > bank_end)
      return fail(name + ": " + OutsideBanks(static_cast<uint32_t>(bank_end)));
    segments.push_back({i, address, file_size, offset});
  }
  if (segments.empty()) return fail("no loadable data: no PT_LOAD segment holds file bytes");

  std::sort(segments.begin(), segments.end(),
            [](const Segment& a, const Segment& b) { return a.address < b.address; });
  for (size_t k = 1; k < segments.size(); ++k) {
    const Segment& before = segments[k - 1];
    const Segment& after = segments[k];
    if (uint64_t{before.address} + before.size > after.address) {
      const Segment& first = before.index < after.index ? before : after;
      const Segment& second = before.index < after.index ? after : before;
      return fail("segments " + std::to_string(first.index) + " (" +
                  Range(first.address, first.size) + ") and " + std::to_string(second.index) +
                  " (" + Range(second.address, second.size) + ") overlap");
    }
  }

  CodeBanks out;
  for (const Segment& s : segments) {
    const int which = BankOf(s.address);
    const uint32_t begin = s.address - BankStart(which);
    const uint32_t end = begin + s.size;
    std::vector<uint8_t>& bank = out.Bank(which);
    if (bank.size() < end) bank.resize(end, 0xFF);
    std::memcpy(bank.data() + begin, bytes + s.offset, s.size);
    // Sorted and apart: a span only ever touches the one before it.
    std::vector<BankSpan>& used = out.Used(which);
    if (!used.empty() && used.back().end == begin) {
      used.back().end = end;
    } else {
      used.push_back({begin, end});
    }
  }
  *banks = std::move(out);
  return true;
}

}  // namespace quelmar::image
