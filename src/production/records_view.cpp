#include "production/records_view.h"

#include <algorithm>
#include <cctype>
#include <fstream>

namespace quelmar::production {

namespace {

using json = nlohmann::ordered_json;

std::string ValueText(const json& value) {
  if (value.is_null()) return "";
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

std::string Get(const json& record, const char* key) {
  const auto it = record.find(key);
  return it == record.end() ? std::string() : ValueText(*it);
}

std::string Normalised(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c == '-') c = ':';
  }
  return text;
}

std::string CsvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

bool ReadRecords(const std::string& path, RecordsRead* out, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot read '" + path + "'";
    return false;
  }
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    json record = json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object()) {
      out->warnings.push_back("line " + std::to_string(number) + ": torn or not a record: skipped");
      continue;
    }
    out->records.push_back(std::move(record));
  }
  return true;
}

bool RecordHasValue(const json& record, const std::string& wanted) {
  const auto fields = record.find("fields");
  if (fields == record.end() || !fields->is_object()) return false;
  for (const auto& [name, value] : fields->items()) {
    if (value.is_number_unsigned() || value.is_number_integer()) {
      if (value.dump() == wanted) return true;
    } else if (value.is_string()) {
      const std::string text = value.get<std::string>();
      if (text == wanted || Normalised(text) == Normalised(wanted)) return true;
    }
  }
  return false;
}

std::string RecordSummaryLine(const json& record) {
  std::string line = Get(record, "time_start") + "  " + Get(record, "port") + "  board " +
                     Get(record, "board") + "  " + Get(record, "result");
  const auto fields = record.find("fields");
  if (fields != record.end() && fields->is_object()) {
    for (const auto& [name, value] : fields->items()) line += "  " + name + "=" + ValueText(value);
  }
  const std::string failure = Get(record, "failure");
  if (!failure.empty()) line += "  (" + failure + ")";
  return line;
}

std::string RecordsCsv(const std::vector<json>& records) {
  std::vector<std::string> names;
  for (const json& r : records) {
    const auto fields = r.find("fields");
    if (fields == r.end() || !fields->is_object()) continue;
    for (const auto& [name, value] : fields->items())
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  static const char* const kColumns[] = {"time_start", "time_end", "duration_s", "port",
                                         "device",     "board",    "result",     "failure",
                                         "bootloader", "chip"};
  std::string csv;
  for (const char* column : kColumns) csv += std::string(column) + ",";
  for (const std::string& name : names) csv += CsvCell(name) + ",";
  csv += "bank_a_sha256,bank_b_sha256,data_sha256\r\n";
  for (const json& r : records) {
    for (const char* column : kColumns) csv += CsvCell(Get(r, column)) + ",";
    const auto fields = r.find("fields");
    for (const std::string& name : names) {
      std::string cell;
      if (fields != r.end() && fields->is_object() && fields->contains(name))
        cell = ValueText((*fields)[name]);
      csv += CsvCell(cell) + ",";
    }
    const auto sent = r.find("sent");
    const json none = json::object();
    const json& s = sent != r.end() && sent->is_object() ? *sent : none;
    csv += CsvCell(Get(s, "bank_a_sha256")) + "," + CsvCell(Get(s, "bank_b_sha256")) + "," +
           CsvCell(Get(s, "data_sha256")) + "\r\n";
  }
  return csv;
}

}  // namespace quelmar::production
