#include "image/image_writer.h"

#include "image/file_system.h"

#include <algorithm>
#include <cstring>

#include "image/image_store.h"

namespace quelmar::image {

namespace {

void PutWord(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutText(std::vector<uint8_t>& out, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) out.push_back(static_cast<uint8_t>(*p));
}

void PutCodeSection(std::vector<uint8_t>& out, const char* tag, const std::vector<uint8_t>* bank,
                    uint8_t mode) {
  PutText(out, tag);
  if (bank == nullptr || bank->empty()) {
    PutWord(out, 0);
    return;
  }
  PutWord(out, static_cast<uint32_t>(bank->size()));
  // The loader reads one byte more than the length field says: an erased one.
  uint32_t sum = 0xFF;
  for (uint8_t b : *bank) sum += b;
  PutWord(out, sum);
  for (uint8_t b : *bank) out.push_back(EncodeCodeByte(b, mode));
  out.push_back(EncodeCodeByte(0xFF, mode));
}

}  // namespace

std::vector<uint8_t> BuildCodeFile(const std::vector<uint8_t>* bank_a,
                                   const std::vector<uint8_t>* bank_b, char encoding) {
  if (encoding != 'F' && encoding != 'E') return {};
  for (const auto* bank : {bank_a, bank_b})
    if (bank != nullptr && bank->size() > CODE_IMAGE_SIZE) return {};
  const uint8_t mode = encoding == 'E' ? 1 : 0;
  std::vector<uint8_t> out;
  out.reserve(3 + 2 * 12 + (bank_a ? bank_a->size() : 0) + (bank_b ? bank_b->size() : 0));
  out.push_back('C');
  out.push_back('F');
  out.push_back(static_cast<uint8_t>(encoding));
  PutCodeSection(out, "_AB", bank_a, mode);
  PutCodeSection(out, "_BA", bank_b, mode);
  return out;
}

std::vector<uint8_t> BuildDataFile(const std::vector<uint8_t>& plain, char encoding) {
  if (encoding != 'F' && encoding != 'D') return {};
  if (plain.empty() || plain.size() % 256 != 0 || plain.size() > 0xFFFFFF00u) return {};
  const uint8_t mode = encoding == 'D' ? 1 : 0;
  std::vector<uint8_t> out;
  out.reserve(14 + plain.size());
  out.push_back('D');
  out.push_back('F');
  out.push_back(static_cast<uint8_t>(encoding));
  PutText(out, "_DD");
  PutWord(out, static_cast<uint32_t>(plain.size()));
  uint32_t sum = 0;
  for (uint8_t b : plain) sum += b;
  PutWord(out, sum);
  for (uint8_t b : plain) out.push_back(EncodeDataByte(b, mode));
  return out;
}

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  return detail::ReplaceWithBytes(path, bytes, error);
}

}  // namespace quelmar::image
