// A field: one value per board, written at a fixed place in what that board
// receives (a code bank or the data flash image), in a fixed format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar::production {

enum class Place { kBankA, kBankB, kData };

enum class Format {
  kU32Le,  // default
  kU32Be,
  kU64Le,
  kMac,          // 6 bytes, most significant first
  kTextPattern,  // "text:QM-%08u": a number through a pattern
  kText,         // a list's values as they stand
};

// Where a field goes, as read from "0x1A07FF00" or "data:0x10".
struct Where {
  Place place = Place::kBankA;
  uint32_t offset = 0;  // into the bank or the data image
};

struct FieldDef {
  std::string name;
  Where where;
  Format format = Format::kU32Le;
  std::string pattern;  // kTextPattern's printf-style pattern
  uint32_t size = 0;    // bytes written; the format's own size for numbers
  bool overwrite = false;
  // The source: a counter, or a list file when list_path is set.
  uint64_t start = 0;
  uint64_t step = 1;
  std::optional<uint64_t> end;
  std::string list_path;
  std::string state_path;
  // Or the line's pool the values come from (a profile with [line]): the
  // database keeps the counter or list, the profile only where and how.
  std::string pool;
  // Or source = "scan": the board's scanned unit is its value, so the
  // PCB's label and the firmware's serial are one.
  bool from_scan = false;
};

// A value as a source hands it out: a counter's number, or a list's line.
struct FieldValue {
  uint64_t number = 0;
  std::string text;
  bool from_list = false;
  bool operator==(const FieldValue&) const = default;
};

// "0x1A07FF00" (an address in bank A or B) or "data:OFFSET"; offsets and
// addresses decimal or 0x-hex. False with *why.
bool ParseWhere(std::string_view text, Where* where, std::string* why);
bool WhereFromAddress(uint64_t address, Where* where, std::string* why);
std::string WhereText(const Where& where);
// "u32le", "u32be", "u64le", "mac", "text", "text:PATTERN". False with *why.
bool ParseFormat(std::string_view text, Format* format, std::string* pattern, std::string* why);
// Decimal or 0x-hex, all of it; no sign.
bool ParseNumber(std::string_view text, uint64_t* value);
// "02:51:4D:00:00:2A" (or with '-') as a 48-bit number.
bool ParseMac(std::string_view text, uint64_t* value);
std::string MacText(uint64_t value);

// The last value a counter may give: its end; without one, for a MAC the
// last address of its start's block (start's low 24 bits counted up), so a
// MAC never carries into the next OUI; nullopt otherwise (the format alone
// bounds it).
std::optional<uint64_t> CounterEnd(const FieldDef& def);
// A counter's value as a profile writes it: a MAC's text, else decimal.
std::string CounterText(const FieldDef& def, uint64_t number);
// Whether a MAC address has the multicast bit (the first byte odd): no
// board's own address does.
bool IsMulticastMac(uint64_t mac);
// The number in text that PatternText(pattern, number) made; false when
// the text is not of the pattern.
bool ParsePatternText(const std::string& pattern, std::string_view text, uint64_t* number);

// The format's own size in bytes (0 for the text formats, which take size).
uint32_t NaturalSize(Format format);
// The pattern with the number in it.
std::string PatternText(const std::string& pattern, uint64_t number);

// The bytes written for a value: exactly def.size bytes. False with *why
// ("100000000000 does not fit u32le") when the value does not fit.
bool EncodeValue(const FieldDef& def, const FieldValue& value, std::vector<uint8_t>* bytes,
                 std::string* why);
// The value as a record shows it: a number for the number formats, text
// (JSON-quoted by the caller) otherwise.
struct ShownValue {
  bool is_number = false;
  uint64_t number = 0;
  std::string text;
};
ShownValue ShowValue(const FieldDef& def, const FieldValue& value);

// The formats a scan field takes: text, u32le, u32be, u64le.
bool ScanFormat(Format format);
// A scan field's value for the board scanned as unit: its text (as long as
// the field's size at most), or for a number format a decimal number
// without leading zeros, so that two units never give one value. False
// with one line in *why naming the unit, the field and what is wrong.
bool ScanValue(const FieldDef& def, const std::string& unit, FieldValue* value, std::string* why);

}  // namespace quelmar::production

namespace quelmar::production {

// Gives def.size its default when it was not given (the format's own size;
// for text:PATTERN the length of the start value's text) and checks a given
// one (a number format takes only its own size; text needs a size). False
// with *why.
bool SettleSize(FieldDef* def, bool size_given, std::string* why);

}  // namespace quelmar::production
