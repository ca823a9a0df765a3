// The program's bytes for flash banks A and B as a build output gives them,
// before they are packed into a code image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar::image {

inline constexpr uint32_t kBankAStart = 0x1A000000;
inline constexpr uint32_t kBankBStart = 0x1B000000;
inline constexpr uint32_t kBankSize = 0x80000;

// Offsets [begin, end) within a bank.
struct BankSpan {
  uint32_t begin = 0;
  uint32_t end = 0;
  bool operator==(const BankSpan&) const = default;
};

struct CodeBanks {
  // Plain bytes from the start of each bank up to its highest given byte;
  // bytes the file does not give are 0xFF (erased flash). Empty: no data
  // there.
  std::vector<uint8_t> bank_a;
  std::vector<uint8_t> bank_b;
  // The bytes the file gives, as ascending spans that neither overlap nor
  // touch.
  std::vector<BankSpan> used_a;
  std::vector<BankSpan> used_b;

  bool Empty() const { return bank_a.empty() && bank_b.empty(); }
  std::vector<uint8_t>& Bank(int which) { return which == 0 ? bank_a : bank_b; }
  const std::vector<uint8_t>& Bank(int which) const { return which == 0 ? bank_a : bank_b; }
  std::vector<BankSpan>& Used(int which) { return which == 0 ? used_a : used_b; }
  const std::vector<BankSpan>& Used(int which) const { return which == 0 ? used_a : used_b; }
};

// The bank an address lies in: 0 for A, 1 for B, -1 for neither.
int BankOf(uint32_t address);
inline uint32_t BankStart(int which) {
  return which == 0 ? kBankAStart : kBankBStart;
}
// The number of bytes the spans cover.
uint64_t UsedBytes(const std::vector<BankSpan>& spans);

// "0x1A000000"
std::string Hex32(uint32_t value);
// "0xAB"
std::string Hex8(uint8_t value);
// What is wrong with data at an address outside both banks.
std::string OutsideBanks(uint32_t address);

// Gathers the bytes of a text format record by record. It remembers which
// line gave each byte, so that a later line giving a byte another value is
// refused: two build outputs joined into one file would otherwise flash
// whichever came last. The same value again passes.
class BankCollector {
 public:
  // Puts n bytes from address on, given by line (1 and up). False with
  // *error (without the line) when a byte lies outside both banks or an
  // earlier line gave it another value; the bytes before it are kept.
  bool Put(uint32_t address, const uint8_t* bytes, size_t n, uint32_t line, std::string* error);
  // The banks and their used spans; the collector is empty afterwards.
  void Finish(CodeBanks* banks);

 private:
  struct Record {
    uint32_t address;
    uint32_t size;
    uint32_t line;
  };
  // The last line before the record now being put that gave the address.
  uint32_t GivenBy(uint32_t address) const;

  std::vector<uint8_t> bank_[2];
  std::vector<uint8_t> given_[2];  // 1: given by a line
  // Every record put, in order: only searched when a byte is given another
  // value, which keeps the common case to a flag per byte.
  std::vector<Record> records_;
};

namespace detail {

// Steps through a text line by line, counting lines from 1, with trailing
// CR, blanks and tabs cut off.
class TextLines {
 public:
  explicit TextLines(std::string_view text) : text_(text) {}
  // False at the end of the text.
  bool Next(std::string_view* line);
  uint32_t Number() const { return number_; }

 private:
  std::string_view text_;
  size_t pos_ = 0;
  uint32_t number_ = 0;
};

// Decodes pairs of hex digits (either case) into out, which has room for
// capacity bytes. Returns the number of bytes the digits stand for (which
// may exceed capacity; only the first capacity are stored), or -1 when a
// character is not a hex digit or the count is odd.
long DecodeHexPairs(std::string_view digits, uint8_t* out, size_t capacity);

}  // namespace detail

}  // namespace quelmar::image
