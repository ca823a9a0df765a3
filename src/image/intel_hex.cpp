#include "image/intel_hex.h"

#include <cstdio>
#include <optional>

namespace quelmar::image {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decodes the hex digit pairs after the ':'; nullopt on a non-hex digit or
// an odd count.
std::optional<std::vector<uint8_t>> HexBytes(std::string_view digits) {
  if (digits.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> bytes;
  bytes.reserve(digits.size() / 2);
  for (size_t i = 0; i < digits.size(); i += 2) {
    const int hi = HexDigit(digits[i]);
    const int lo = HexDigit(digits[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return bytes;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string Hex8(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

}  // namespace

bool ParseIntelHex(std::string_view text, HexBanks* banks, std::string* error) {
  // Each bank grows to its highest written byte; what it skips is erased.
  std::vector<uint8_t> bank[2];
  // The line that gave each byte its value (0: none yet), so that a second
  // record giving a byte another value is caught: two build outputs joined
  // into one file would otherwise flash whichever came last.
  std::vector<uint32_t> given_by[2];

  uint32_t base = 0;
  bool ended = false;
  size_t line_number = 0;
  size_t pos = 0;
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = "line " + std::to_string(line_number) + ": " + message;
    return false;
  };
  while (pos < text.size() && !ended) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (line.empty()) continue;
    if (line.front() != ':') return fail("record does not start with ':'");
    const auto bytes = HexBytes(line.substr(1));
    if (!bytes) return fail("record holds a character that is not a hex digit, or an odd count");
    if (bytes->size() < 5) return fail("record too short");
    const uint8_t count = (*bytes)[0];
    if (bytes->size() != size_t{count} + 5)
      return fail("record length " + std::to_string(count) + " does not match its size");
    uint8_t sum = 0;
    for (uint8_t b : *bytes) sum = static_cast<uint8_t>(sum + b);
    if (sum != 0) return fail("checksum mismatch");
    const uint32_t offset = static_cast<uint32_t>((*bytes)[1]) << 8 | (*bytes)[2];
    const uint8_t type = (*bytes)[3];
    const uint8_t* payload = bytes->data() + 4;
    switch (type) {
      case 0x00:
        for (uint32_t i = 0; i < count; ++i) {
          const uint32_t address = base + offset + i;
          int which = -1;
          if (address >= kBankAStart && address < kBankAStart + kBankSize) which = 0;
          if (address >= kBankBStart && address < kBankBStart + kBankSize) which = 1;
          if (which < 0)
            return fail("data at " + Hex32(address) + " lies outside flash banks A (" +
                        Hex32(kBankAStart) + ") and B (" + Hex32(kBankBStart) + ")");
          const uint32_t index = address - (which == 0 ? kBankAStart : kBankBStart);
          if (index >= bank[which].size()) {
            bank[which].resize(size_t{index} + 1, 0xFF);
            given_by[which].resize(size_t{index} + 1, 0);
          }
          const uint32_t earlier = given_by[which][index];
          if (earlier != 0 && bank[which][index] != payload[i])
            return fail("address " + Hex32(address) + " is given " + Hex8(payload[i]) +
                        ", but line " + std::to_string(earlier) + " gave it " +
                        Hex8(bank[which][index]));
          bank[which][index] = payload[i];
          given_by[which][index] = static_cast<uint32_t>(line_number);
        }
        break;
      case 0x01:
        if (count != 0) return fail("end-of-file record carries data");
        ended = true;
        break;
      case 0x02:
        if (count != 2) return fail("extended segment address record must carry 2 bytes");
        base = (static_cast<uint32_t>(payload[0]) << 8 | payload[1]) << 4;
        break;
      case 0x04:
        if (count != 2) return fail("extended linear address record must carry 2 bytes");
        base = (static_cast<uint32_t>(payload[0]) << 8 | payload[1]) << 16;
        break;
      case 0x03:
      case 0x05:
        if (count != 4) return fail("start address record must carry 4 bytes");
        break;  // where execution starts is the bootloader's business
      default:
        return fail("unsupported record type " + std::to_string(type));
    }
  }
  if (!ended) {
    ++line_number;
    return fail("missing end-of-file record");
  }
  banks->bank_a = std::move(bank[0]);
  banks->bank_b = std::move(bank[1]);
  return true;
}

}  // namespace quelmar::image
