#include "image/intel_hex.h"

#include <cstdint>

namespace quelmar::image {

bool ParseIntelHex(std::string_view text, CodeBanks* banks, std::string* error) {
  BankCollector collector;
  detail::TextLines lines(text);
  uint32_t base = 0;
  bool ended = false;
  std::string_view line;
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = "line " + std::to_string(lines.Number()) + ": " + message;
    return false;
  };
  // A record is at most 255 data bytes with count, address, type and sum.
  uint8_t bytes[255 + 5];
  std::string why;
  while (!ended && lines.Next(&line)) {
    if (line.empty()) continue;
    if (line.front() != ':') return fail("record does not start with ':'");
    const long size = detail::DecodeHexPairs(line.substr(1), bytes, sizeof bytes);
    if (size < 0) return fail("record holds a character that is not a hex digit, or an odd count");
    if (size < 5) return fail("record too short");
    const uint8_t count = bytes[0];
    if (size != long{count} + 5)
      return fail("record length " + std::to_string(count) + " does not match its size");
    uint8_t sum = 0;
    for (long i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    if (sum != 0) return fail("checksum mismatch");
    const uint32_t offset = static_cast<uint32_t>(bytes[1]) << 8 | bytes[2];
    const uint8_t type = bytes[3];
    const uint8_t* payload = bytes + 4;
    switch (type) {
      case 0x00:
        if (!collector.Put(base + offset, payload, count, lines.Number(), &why)) return fail(why);
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
    if (error != nullptr)
      *error = "line " + std::to_string(lines.Number() + 1) + ": missing end-of-file record";
    return false;
  }
  collector.Finish(banks);
  return true;
}

}  // namespace quelmar::image
