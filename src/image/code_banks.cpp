#include "image/code_banks.h"

#include <algorithm>
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
  records_.push_back({address, static_cast<uint32_t>(n), line});
  size_t i = 0;
  while (i < n) {
    const uint32_t at = address + static_cast<uint32_t>(i);
    const int which = BankOf(at);
    if (which < 0) {
      *error = OutsideBanks(at);
      return false;
    }
    // The run of bytes that stays in this bank.
    const uint32_t index = at - BankStart(which);
    const size_t run = std::min<size_t>(n - i, kBankSize - index);
    std::vector<uint8_t>& bank = bank_[which];
    std::vector<uint8_t>& given = given_[which];
    if (bank.size() < index + run) {
      // Each bank grows to its highest given byte; what it skips is erased.
      if (bank.capacity() == 0) {
        bank.reserve(kBankSize);
        given.reserve(kBankSize);
      }
      bank.resize(index + run, 0xFF);
      given.resize(index + run, 0);
    }
    for (size_t k = 0; k < run; ++k) {
      const uint8_t value = bytes[i + k];
      uint8_t& held = bank[index + k];
      if (given[index + k] != 0 && held != value) {
        const uint32_t where = at + static_cast<uint32_t>(k);
        *error = "address " + Hex32(where) + " is given " + Hex8(value) + ", but line " +
                 std::to_string(GivenBy(where)) + " gave it " + Hex8(held);
        return false;
      }
      held = value;
      given[index + k] = 1;
    }
    i += run;
  }
  return true;
}

uint32_t BankCollector::GivenBy(uint32_t address) const {
  // The record being put is the last one; the one before that covers the
  // address is the line that gave it its value.
  for (size_t r = records_.size() - 1; r-- > 0;) {
    const Record& rec = records_[r];
    if (address - rec.address < rec.size) return rec.line;
  }
  return 0;
}

void BankCollector::Finish(CodeBanks* banks) {
  for (int which = 0; which < 2; ++which) {
    std::vector<BankSpan>& used = banks->Used(which);
    used.clear();
    const std::vector<uint8_t>& given = given_[which];
    const uint32_t size = static_cast<uint32_t>(given.size());
    for (uint32_t i = 0; i < size;) {
      if (given[i] == 0) {
        ++i;
        continue;
      }
      const uint32_t begin = i;
      while (i < size && given[i] != 0) ++i;
      used.push_back({begin, i});
    }
    banks->Bank(which) = std::move(bank_[which]);
    bank_[which].clear();
    given_[which].clear();
  }
  records_.clear();
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

// Each character's value as a hex digit, -1 for any other.
struct HexTable {
  int8_t value[256];
  constexpr HexTable() : value() {
    for (int c = 0; c < 256; ++c) value[c] = -1;
    for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<int8_t>(c - '0');
    for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<int8_t>(c - 'A' + 10);
    for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<int8_t>(c - 'a' + 10);
  }
};
constexpr HexTable kHex;

int HexDigit(char c) {
  return kHex.value[static_cast<unsigned char>(c)];
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
