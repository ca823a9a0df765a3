#include "production/value_list.h"

#include <cstdio>
#include <unordered_map>

namespace quelmar::production {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsNumberFormat(Format format) {
  return format != Format::kText;
}

// The UTF-8 character at text[at] and its length; false for a byte that
// starts none: a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate, beyond U+10FFFF.
bool Decode(std::string_view text, size_t at, char32_t* c, size_t* length) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  // 0x80-0xBF continue a character, 0xC0 and 0xC1 could only start an
  // overlong one, 0xF5 up only one beyond U+10FFFF.
  const size_t n = lead < 0x80   ? 1
                   : lead < 0xC2 ? 0
                   : lead < 0xE0 ? 2
                   : lead < 0xF0 ? 3
                   : lead < 0xF5 ? 4
                                 : 0;
  if (n == 0 || at + n > text.size()) return false;
  *c = n == 1 ? lead : lead & (0x7F >> n);
  for (size_t i = 1; i < n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return false;
    *c = (*c << 6) | (byte(i) & 0x3F);
  }
  static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (*c < kLeast[n] || (*c >= 0xD800 && *c <= 0xDFFF) || *c > 0x10FFFF) return false;
  *length = n;
  return true;
}

// Why a line is not UTF-8, or "": a list saved in another encoding (a
// spreadsheet's "ANSI") would put other bytes on the board than the ones the
// record and the line's database keep.
std::string Utf8Fault(std::string_view line) {
  size_t characters = 0;
  for (size_t at = 0, length = 0; at < line.size(); at += length, ++characters) {
    char32_t c = 0;
    if (!Decode(line, at, &c, &length)) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X",
                    static_cast<unsigned>(static_cast<unsigned char>(line[at])));
      return std::string("not UTF-8 (byte ") + byte + " at character " +
             std::to_string(characters + 1) + "); save the list as UTF-8";
    }
  }
  return "";
}

// Unicode's blanks beyond the ASCII space (a no-break space pasted from a
// web page, an ideographic space).
bool IsBlank(char32_t c) {
  return c == ' ' || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Characters that print as nothing: two values that differ only by one
// look the same on a label.
bool IsInvisible(char32_t c) {
  return c == 0xAD || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// Why a text value (UTF-8) cannot be written as it stands, or "".
std::string TextFault(std::string_view text) {
  char32_t first = 0, last = 0;
  for (size_t at = 0, length = 0; at < text.size(); at += length) {
    char32_t c = 0;
    if (!Decode(text, at, &c, &length)) return Utf8Fault(text);
    char code[16];
    std::snprintf(code, sizeof code, c < 0x80 ? "0x%02X" : "U+%04X", static_cast<unsigned>(c));
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F))
      return std::string("the value holds a control character (") + code + ")";
    if (IsInvisible(c)) return std::string("the value holds an invisible character (") + code + ")";
    if (at == 0) first = c;
    last = c;
  }
  if (IsBlank(first)) return "the value begins with a blank";
  if (IsBlank(last)) return "the value ends with a blank";
  return "";
}

}  // namespace

std::string CanonicalText(const FieldDef& def, const FieldValue& value) {
  if (!IsNumberFormat(def.format))
    return value.from_list ? value.text : std::to_string(value.number);
  uint64_t number = value.number;
  if (value.from_list) {
    const bool ok = def.format == Format::kMac ? ParseMac(value.text, &number)
                                               : ParseNumber(value.text, &number);
    if (!ok) return value.text;
  }
  return def.format == Format::kMac ? MacText(number) : std::to_string(number);
}

bool ReadValueList(const FieldDef& def, std::string_view bytes, const std::string& file_name,
                   std::vector<ListValue>* values, std::string* why) {
  values->clear();
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark)
    bytes.remove_prefix(kByteOrderMark.size());
  std::unordered_map<std::string, size_t> lines;  // canonical text -> its line
  size_t number = 0;
  while (!bytes.empty()) {
    ++number;
    const size_t end = bytes.find('\n');
    std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    auto refuse = [&](const std::string& reason) {
      *why = "'" + file_name + "' line " + std::to_string(number) + ": " + reason;
      values->clear();
      return false;
    };
    if (const std::string fault = Utf8Fault(line); !fault.empty()) return refuse(fault);
    if (!IsNumberFormat(def.format)) {
      const std::string fault = TextFault(line);
      if (!fault.empty()) return refuse(fault);
    }
    ListValue v;
    v.value = FieldValue{0, std::string(line), true};
    std::vector<uint8_t> encoded;
    std::string not_fit;
    if (!EncodeValue(def, v.value, &encoded, &not_fit)) return refuse(not_fit);
    v.canonical = CanonicalText(def, v.value);
    if (IsNumberFormat(def.format)) {
      if (def.format == Format::kMac) {
        ParseMac(v.value.text, &v.value.number);
      } else {
        ParseNumber(v.value.text, &v.value.number);
      }
    }
    v.value.text = v.canonical;
    v.line = number;
    const auto [seen, added] = lines.emplace(v.canonical, number);
    if (!added) {
      *why = "'" + file_name + "' lines " + std::to_string(seen->second) + " and " +
             std::to_string(number) + " hold the same value, " +
             (IsNumberFormat(def.format) ? v.canonical : "\"" + v.canonical + "\"");
      values->clear();
      return false;
    }
    values->push_back(std::move(v));
  }
  return true;
}

}  // namespace quelmar::production
