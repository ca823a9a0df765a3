#include "production/fields.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "link/protocol.h"

namespace quelmar::production {

namespace {

constexpr uint32_t kBankSize = 0x80000;
constexpr uint64_t kMacMax = (uint64_t{1} << 48) - 1;

// The pattern's one conversion: "%u" or "%0Nu". Sets *at and *length to the
// conversion's place in the pattern and *width to N (0 for "%u").
bool FindConversion(const std::string& pattern, size_t* at, size_t* length, unsigned* width,
                    std::string* why) {
  bool found = false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%') continue;
    if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
      ++i;
      continue;
    }
    size_t j = i + 1;
    unsigned w = 0;
    if (j < pattern.size() && pattern[j] == '0') {
      ++j;
      const size_t digits = j;
      while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])) &&
             j - digits < 2)
        w = w * 10 + static_cast<unsigned>(pattern[j++] - '0');
      if (j == digits || w == 0 || w > 20) {
        *why = "the pattern's width must be 1 to 20 (%01u to %020u)";
        return false;
      }
    }
    if (j >= pattern.size() || pattern[j] != 'u') {
      *why = "the pattern takes only %u or %0Nu (and %% for a percent sign)";
      return false;
    }
    if (found) {
      *why = "the pattern has more than one %u";
      return false;
    }
    found = true;
    *at = i;
    *length = j + 1 - i;
    *width = w;
    i = j;
  }
  if (!found) *why = "the pattern has no %u";
  return found;
}

}  // namespace

bool ParseNumber(std::string_view text, uint64_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      digit = static_cast<unsigned>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    } else {
      return false;
    }
    if (v > (UINT64_MAX - digit) / static_cast<unsigned>(base)) return false;
    v = v * static_cast<unsigned>(base) + digit;
  }
  *value = v;
  return true;
}

bool ParseMac(std::string_view text, uint64_t* value) {
  if (text.size() != 17) return false;
  uint64_t v = 0;
  for (size_t i = 0; i < 17; ++i) {
    const char c = text[i];
    if (i % 3 == 2) {
      if (c != ':' && c != '-') return false;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    const int lower = std::tolower(static_cast<unsigned char>(c));
    v = v * 16 + static_cast<uint64_t>(lower <= '9' ? lower - '0' : lower - 'a' + 10);
  }
  *value = v;
  return true;
}

std::string MacText(uint64_t value) {
  char text[18];
  std::snprintf(
      text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X",
      static_cast<unsigned>((value >> 40) & 0xFF), static_cast<unsigned>((value >> 32) & 0xFF),
      static_cast<unsigned>((value >> 24) & 0xFF), static_cast<unsigned>((value >> 16) & 0xFF),
      static_cast<unsigned>((value >> 8) & 0xFF), static_cast<unsigned>(value & 0xFF));
  return text;
}

bool WhereFromAddress(uint64_t address, Where* where, std::string* why) {
  if (address >= link::kBankAAddress && address < link::kBankAAddress + kBankSize) {
    *where = {Place::kBankA, static_cast<uint32_t>(address - link::kBankAAddress)};
    return true;
  }
  if (address >= link::kBankBAddress && address < link::kBankBAddress + kBankSize) {
    *where = {Place::kBankB, static_cast<uint32_t>(address - link::kBankBAddress)};
    return true;
  }
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(address));
  *why = std::string(text) +
         " is in neither bank A (0x1A000000-0x1A07FFFF) nor bank B (0x1B000000-0x1B07FFFF)";
  return false;
}

bool ParseWhere(std::string_view text, Where* where, std::string* why) {
  uint64_t number = 0;
  if (text.rfind("data:", 0) == 0) {
    if (!ParseNumber(text.substr(5), &number) || number > UINT32_MAX) {
      *why = "'" + std::string(text) + "' is no data:OFFSET";
      return false;
    }
    *where = {Place::kData, static_cast<uint32_t>(number)};
    return true;
  }
  if (!ParseNumber(text, &number)) {
    *why = "'" + std::string(text) + "' is neither an address nor data:OFFSET";
    return false;
  }
  return WhereFromAddress(number, where, why);
}

std::string WhereText(const Where& where) {
  char text[32];
  if (where.place == Place::kData) {
    std::snprintf(text, sizeof text, "data:0x%X", where.offset);
  } else {
    const uint32_t base = where.place == Place::kBankA ? link::kBankAAddress : link::kBankBAddress;
    std::snprintf(text, sizeof text, "0x%08X", base + where.offset);
  }
  return text;
}

bool ParseFormat(std::string_view text, Format* format, std::string* pattern, std::string* why) {
  pattern->clear();
  if (text == "u32le") {
    *format = Format::kU32Le;
  } else if (text == "u32be") {
    *format = Format::kU32Be;
  } else if (text == "u64le") {
    *format = Format::kU64Le;
  } else if (text == "mac") {
    *format = Format::kMac;
  } else if (text == "text") {
    *format = Format::kText;
  } else if (text.rfind("text:", 0) == 0) {
    *format = Format::kTextPattern;
    *pattern = std::string(text.substr(5));
    size_t at = 0, length = 0;
    unsigned width = 0;
    if (!FindConversion(*pattern, &at, &length, &width, why)) return false;
  } else {
    *why =
        "unknown format '" + std::string(text) + "' (u32le, u32be, u64le, mac, text, text:PATTERN)";
    return false;
  }
  return true;
}

uint32_t NaturalSize(Format format) {
  switch (format) {
    case Format::kU32Le:
    case Format::kU32Be:
      return 4;
    case Format::kU64Le:
      return 8;
    case Format::kMac:
      return 6;
    default:
      return 0;
  }
}

std::string PatternText(const std::string& pattern, uint64_t number) {
  size_t at = 0, length = 0;
  unsigned width = 0;
  std::string why;
  if (!FindConversion(pattern, &at, &length, &width, &why)) return pattern;
  char digits[32];
  std::snprintf(digits, sizeof digits, "%0*llu", static_cast<int>(width),
                static_cast<unsigned long long>(number));
  std::string text;
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (i == at) {
      text += digits;
      i += length - 1;
    } else if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] == '%') {
      text += '%';
      ++i;
    } else {
      text += pattern[i];
    }
  }
  return text;
}

std::optional<uint64_t> CounterEnd(const FieldDef& def) {
  if (def.end) return def.end;
  if (def.format == Format::kMac) return def.start | 0xFFFFFF;
  return std::nullopt;
}

std::string CounterText(const FieldDef& def, uint64_t number) {
  return def.format == Format::kMac ? MacText(number) : std::to_string(number);
}

bool IsMulticastMac(uint64_t mac) {
  return ((mac >> 40) & 1) != 0;
}

bool ParsePatternText(const std::string& pattern, std::string_view text, uint64_t* number) {
  size_t at = 0, length = 0;
  unsigned width = 0;
  std::string why;
  if (!FindConversion(pattern, &at, &length, &width, &why)) return false;
  // The fixed text before and after the number, with "%%" as '%'.
  auto fixed = [&](size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to; ++i) {
      out += pattern[i];
      if (pattern[i] == '%') ++i;
    }
    return out;
  };
  const std::string before = fixed(0, at);
  const std::string after = fixed(at + length, pattern.size());
  if (text.size() <= before.size() + after.size() || text.substr(0, before.size()) != before ||
      text.substr(text.size() - after.size()) != after)
    return false;
  const std::string_view digits =
      text.substr(before.size(), text.size() - before.size() - after.size());
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  return ParseNumber(digits, number);
}

namespace {

// A list value for a number format.
bool NumberOf(const FieldDef& def, const FieldValue& value, uint64_t* number, std::string* why) {
  if (!value.from_list) {
    *number = value.number;
    return true;
  }
  const bool ok =
      def.format == Format::kMac ? ParseMac(value.text, number) : ParseNumber(value.text, number);
  if (!ok)
    *why = "'" + value.text + "' is no " + (def.format == Format::kMac ? "MAC address" : "number");
  return ok;
}

}  // namespace

bool EncodeValue(const FieldDef& def, const FieldValue& value, std::vector<uint8_t>* bytes,
                 std::string* why) {
  bytes->assign(def.size, 0);
  uint64_t number = 0;
  switch (def.format) {
    case Format::kU32Le:
    case Format::kU32Be:
    case Format::kU64Le:
    case Format::kMac: {
      if (!NumberOf(def, value, &number, why)) return false;
      const uint64_t max = def.format == Format::kU64Le ? UINT64_MAX
                           : def.format == Format::kMac ? kMacMax
                                                        : UINT32_MAX;
      if (number > max) {
        *why = std::to_string(number) + " does not fit " +
               (def.format == Format::kU32Le   ? "u32le"
                : def.format == Format::kU32Be ? "u32be"
                                               : "mac");
        return false;
      }
      const uint32_t n = NaturalSize(def.format);
      if (bytes->size() != n) {
        *why = "its size must be " + std::to_string(n);
        return false;
      }
      const bool big = def.format == Format::kU32Be || def.format == Format::kMac;
      for (uint32_t i = 0; i < n; ++i) {
        const uint32_t shift = 8 * (big ? n - 1 - i : i);
        (*bytes)[i] = static_cast<uint8_t>(number >> shift);
      }
      return true;
    }
    case Format::kTextPattern:
    case Format::kText: {
      std::string text;
      if (def.format == Format::kText) {
        text = value.from_list ? value.text : std::to_string(value.number);
      } else {
        if (!NumberOf(def, value, &number, why)) return false;
        text = PatternText(def.pattern, number);
      }
      if (text.size() > def.size) {
        *why = "\"" + text + "\" is longer than its size, " + std::to_string(def.size);
        return false;
      }
      std::copy(text.begin(), text.end(), bytes->begin());
      return true;
    }
  }
  return false;
}

ShownValue ShowValue(const FieldDef& def, const FieldValue& value) {
  ShownValue shown;
  uint64_t number = 0;
  std::string why;
  switch (def.format) {
    case Format::kMac:
      shown.text = NumberOf(def, value, &number, &why) ? MacText(number) : value.text;
      break;
    case Format::kTextPattern:
      shown.text =
          NumberOf(def, value, &number, &why) ? PatternText(def.pattern, number) : value.text;
      break;
    case Format::kText:
      shown.text = value.from_list ? value.text : std::to_string(value.number);
      break;
    default:
      shown.is_number = NumberOf(def, value, &number, &why);
      shown.number = number;
      if (!shown.is_number) shown.text = value.text;
      break;
  }
  return shown;
}

bool ScanFormat(Format format) {
  return format == Format::kText || format == Format::kU32Le || format == Format::kU32Be ||
         format == Format::kU64Le;
}

bool ScanValue(const FieldDef& def, const std::string& unit, FieldValue* value, std::string* why) {
  const std::string named = "unit \"" + unit + "\"";
  const std::string field = "field '" + def.name + "'";
  if (def.format == Format::kText) {
    if (unit.size() > def.size) {
      *why = named + " (" + std::to_string(unit.size()) + " bytes) is longer than " + field +
             "'s size, " + std::to_string(def.size) + ": the board is not written";
      return false;
    }
    *value = FieldValue{0, unit, true};
    return true;
  }
  const char* format = def.format == Format::kU32Le   ? "u32le"
                       : def.format == Format::kU32Be ? "u32be"
                                                      : "u64le";
  const bool digits = !unit.empty() && std::all_of(unit.begin(), unit.end(),
                                                   [](char c) { return c >= '0' && c <= '9'; });
  uint64_t number = 0;
  if (!digits || (unit.size() > 1 && unit[0] == '0')) {
    *why = named + " is no decimal number without leading zeros, as " + field + " (" + format +
           ") takes: the board is not written";
    return false;
  }
  const uint64_t max = def.format == Format::kU64Le ? UINT64_MAX : UINT32_MAX;
  if (!ParseNumber(unit, &number) || number > max) {
    *why = named + " does not fit " + field + " (" + format + ", 0 to " + std::to_string(max) +
           "): the board is not written";
    return false;
  }
  *value = FieldValue{number, "", false};
  return true;
}

}  // namespace quelmar::production

namespace quelmar::production {

bool SettleSize(FieldDef* def, bool size_given, std::string* why) {
  const uint32_t natural = NaturalSize(def->format);
  if (natural != 0) {
    if (size_given && def->size != natural) {
      *why = "size must be " + std::to_string(natural) + " for this format";
      return false;
    }
    def->size = natural;
    return true;
  }
  if (size_given) {
    if (def->size == 0) {
      *why = "size must be at least 1";
      return false;
    }
    return true;
  }
  if (def->format == Format::kText) {
    *why = "format \"text\" needs a size";
    return false;
  }
  def->size = static_cast<uint32_t>(PatternText(def->pattern, def->start).size());
  return true;
}

}  // namespace quelmar::production
