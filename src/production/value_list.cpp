#include "production/value_list.h"

#include <cstdio>
#include <unordered_map>

namespace quelmar::production {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsNumberFormat(Format format) {
  return format != Format::kText;
}

// Why a text value cannot be written as it stands, or "".
std::string TextFault(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", byte);
      return std::string("the value holds a control character (") + hex + ")";
    }
  }
  if (text.front() == ' ') return "the value begins with a blank";
  if (text.back() == ' ') return "the value ends with a blank";
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
