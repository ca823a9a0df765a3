#include "image/code_banks.h"

#include <cstdio>

namespace quelmar::image {

int BankOf(uint32_t address) {
  if (address >= kBankAStart && address - kBankAStart < kBankSize) return 0;
  if (address >= kBankBStart && address - kBankBStart < kBankSize) return 1;
  return -1;
}

uint64_t UsedBytes(const std::vector<BankSpan>& spans) {
  uint64_t total = 0;
  for (const BankSpan& s : spans) total += s.end - s.begin;
  return total;
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

std::string OutsideBanks(uint32_t address) {
  return "data at " + Hex32(address) + " lies outside flash banks A (" + Hex32(kBankAStart) + "-" +
         Hex32(kBankAStart + kBankSize - 1) + ") and B (" + Hex32(kBankBStart) + "-" +
         Hex32(kBankBStart + kBankSize - 1) + ")";
}

bool BankCollector::Put(uint32_t address, const uint8_t* bytes, size_t n, uint32_t line,
                        std::string* error) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t at = address + static_cast<uint32_t>(i);
    const int which = BankOf(at);
    if (which < 0) {
      *error = OutsideBanks(at);
      return false;
    }
    std::vector<uint8_t>& bank = bank_[which];
    std::vector<uint32_t>& given_by = given_by_[which];
    const uint32_t index = at - BankStart(which);
    if (index >= bank.size()) {
      // Each bank grows to its highest given byte; what it skips is erased.
      bank.resize(size_t{index} + 1, 0xFF);
      given_by.resize(size_t{index} + 1, 0);
    }
    const uint32_t earlier = given_by[index];
    if (earlier != 0 && bank[index] != bytes[i]) {
      *error = "address " + Hex32(at) + " is given " + Hex8(bytes[i]) + ", but line " +
               std::to_string(earlier) + " gave it " + Hex8(bank[index]);
      return false;
    }
    bank[index] = bytes[i];
    given_by[index] = line;
  }
  return true;
}

void BankCollector::Finish(CodeBanks* banks) {
  for (int which = 0; which < 2; ++which) {
    std::vector<BankSpan>& used = banks->Used(which);
    used.clear();
    const std::vector<uint32_t>& given_by = given_by_[which];
    const uint32_t size = static_cast<uint32_t>(given_by.size());
    for (uint32_t i = 0; i < size;) {
      if (given_by[i] == 0) {
        ++i;
        continue;
      }
      const uint32_t begin = i;
      while (i < size && given_by[i] != 0) ++i;
      used.push_back({begin, i});
    }
    banks->Bank(which) = std::move(bank_[which]);
    bank_[which].clear();
    given_by_[which].clear();
  }
}

namespace detail {

bool TextLines::Next(std::string_view* line) {
  if (pos_ >= text_.size()) return false;
  size_t end = text_.find('\n', pos_);
  if (end == std::string_view::npos) end = text_.size();
  std::string_view l = text_.substr(pos_, end - pos_);
  pos_ = end + 1;
  ++number_;
  while (!l.empty() && (l.back() == '\r' || l.back() == ' ' || l.back() == '\t'))
    l.remove_suffix(1);
  *line = l;
  return true;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

long DecodeHexPairs(std::string_view digits, uint8_t* out, size_t capacity) {
  if (digits.size() % 2 != 0) return -1;
  const size_t count = digits.size() / 2;
  for (size_t i = 0; i < count; ++i) {
    const int hi = HexDigit(digits[2 * i]);
    const int lo = HexDigit(digits[2 * i + 1]);
    if (hi < 0 || lo < 0) return -1;
    if (i < capacity) out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return static_cast<long>(count);
}

}  // namespace detail

}  // namespace quelmar::image
