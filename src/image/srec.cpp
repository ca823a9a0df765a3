#include "image/srec.h"

#include <cstdint>

namespace quelmar::image {

namespace {

// Address bytes of each record type S0..S9; 0 for the reserved S4.
constexpr int kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

uint32_t BigEndian(const uint8_t* p, int n) {
  uint32_t value = 0;
  for (int i = 0; i < n; ++i) value = value << 8 | p[i];
  return value;
}

}  // namespace

bool ParseSrec(std::string_view text, CodeBanks* banks, std::string* error) {
  BankCollector collector;
  detail::TextLines lines(text);
  uint32_t data_records = 0;
  bool ended = false;
  std::string_view line;
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = "line " + std::to_string(lines.Number()) + ": " + message;
    return false;
  };
  // The count byte says how many bytes follow it: at most 255.
  uint8_t bytes[1 + 255];
  std::string why;
  while (!ended && lines.Next(&line)) {
    if (line.empty()) continue;
    if (line.front() != 'S') return fail("record does not start with 'S'");
    if (line.size() < 2 || line[1] < '0' || line[1] > '9')
      return fail("record type is not a digit after 'S'");
    const int type = line[1] - '0';
    if (type == 4) return fail("unsupported record type S4");
    const long size = detail::DecodeHexPairs(line.substr(2), bytes, sizeof bytes);
    if (size < 0) return fail("record holds a character that is not a hex digit, or an odd count");
    if (size < 1) return fail("record too short");
    const uint8_t count = bytes[0];
    if (size != long{count} + 1)
      return fail("record count " + std::to_string(count) + " does not match its size");
    const int address_bytes = kAddressBytes[type];
    if (count < address_bytes + 1)
      return fail("S" + std::to_string(type) + " record too short for its " +
                  std::to_string(address_bytes) + "-byte address");
    // The sum of count, address, data and checksum bytes ends in 0xFF.
    uint8_t sum = 0;
    for (long i = 0; i < size; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    if (sum != 0xFF) return fail("checksum mismatch");
    const uint32_t address = BigEndian(bytes + 1, address_bytes);
    const uint8_t* payload = bytes + 1 + address_bytes;
    const size_t payload_size = size_t{count} - static_cast<size_t>(address_bytes) - 1;
    switch (type) {
      case 0:
        break;  // a header: a name or a comment
      case 1:
      case 2:
      case 3:
        if (!collector.Put(address, payload, payload_size, lines.Number(), &why)) return fail(why);
        ++data_records;
        break;
      case 5:
      case 6:
        if (payload_size != 0) return fail("count record carries data");
        // A count that disagrees means records went missing (or came twice).
        if (address != data_records)
          return fail("count record says " + std::to_string(address) + " data records, but " +
                      std::to_string(data_records) + " came before it");
        break;
      default:  // 7, 8, 9
        if (payload_size != 0) return fail("end record carries data");
        ended = true;  // where execution starts is the bootloader's business
        break;
    }
  }
  if (!ended) {
    if (error != nullptr)
      *error = "line " + std::to_string(lines.Number() + 1) + ": missing end record (S7, S8 or S9)";
    return false;
  }
  collector.Finish(banks);
  return true;
}

}  // namespace quelmar::image
