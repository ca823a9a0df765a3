#include "production/records_view.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>

#include "common/utf8_path.h"
#include "production/sha256.h"

namespace quelmar::production {

namespace {

using json = nlohmann::ordered_json;

// What a key of a record holds.
enum class Kind {
  kText,
  kTextOrNull,
  kNumber,
  kCount,        // a whole number, not negative
  kFields,       // name -> a whole number or text
  kWordsOrNull,  // a list of text, or null
  kFileOrNull,   // {"file": text, "sha256": text}, or null
  kSent,         // {"bank_a_sha256": text or null, ...}
  kAttempts,     // [{"failure": text, "time": text}, ...]
};

struct Key {
  const char* name;
  Kind kind;
  bool required;  // the listing and the filters need it
};

constexpr Key kKeys[] = {
    {"id", Kind::kText, false},       // records before the line's have none
    {"station", Kind::kText, false},  // a line's station
    {"time_start", Kind::kText, true},
    {"time_end", Kind::kText, false},
    {"duration_s", Kind::kNumber, false},
    {"port", Kind::kText, true},
    {"device", Kind::kText, false},
    {"board", Kind::kCount, true},
    {"unit", Kind::kText, false},
    {"rework_of", Kind::kText, false},
    {"result", Kind::kText, true},
    {"failure", Kind::kTextOrNull, false},
    {"attempts", Kind::kAttempts, false},  // records before retries have none
    {"bootloader", Kind::kTextOrNull, false},
    {"chip", Kind::kTextOrNull, false},
    {"chip_words", Kind::kWordsOrNull, false},
    {"fields", Kind::kFields, true},
    {"code", Kind::kFileOrNull, false},
    {"data", Kind::kFileOrNull, false},
    {"profile", Kind::kFileOrNull, false},
    {"sent", Kind::kSent, false},
    {"host", Kind::kText, false},
    {"version", Kind::kText, false},
    {"log", Kind::kText, false},
};

const char* TypeText(const json& value) {
  if (value.is_null()) return "null";
  if (value.is_boolean()) return "true or false";
  if (value.is_number_float()) return "a fraction";
  if (value.is_number_integer() && !value.is_number_unsigned()) return "a negative number";
  if (value.is_number()) return "a number";
  if (value.is_string()) return "text";
  if (value.is_array()) return "a list";
  return "an object";
}

bool IsCount(const json& value) {
  return value.is_number_unsigned();
}

// Control characters as \xHH, and a bound on the length: for names taken
// from the file into a warning.
std::string Shown(std::string_view text, size_t limit = 64) {
  std::string out;
  for (char c : text.substr(0, limit)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  if (text.size() > limit) out += "...";
  return out;
}

std::string Wrong(const std::string& key, const char* wanted, const json& value) {
  return "'" + key + "' should be " + wanted + ", not " + TypeText(value);
}

std::string Problem(const Key& key, const json& value) {
  const std::string name = key.name;
  switch (key.kind) {
    case Kind::kText:
      return value.is_string() ? "" : Wrong(name, "text", value);
    case Kind::kTextOrNull:
      return value.is_string() || value.is_null() ? "" : Wrong(name, "text or null", value);
    case Kind::kNumber:
      return value.is_number() ? "" : Wrong(name, "a number", value);
    case Kind::kCount:
      return IsCount(value) ? "" : Wrong(name, "a whole number", value);
    case Kind::kFields:
      if (!value.is_object()) return Wrong(name, "an object", value);
      for (const auto& [field, v] : value.items()) {
        if (!IsCount(v) && !v.is_string())
          return Wrong("fields." + Shown(field), "a whole number or text", v);
      }
      return "";
    case Kind::kWordsOrNull:
      if (value.is_null()) return "";
      if (!value.is_array()) return Wrong(name, "a list or null", value);
      for (const json& word : value) {
        if (!word.is_string()) return Wrong(name + "[]", "text", word);
      }
      return "";
    case Kind::kFileOrNull:
      if (value.is_null()) return "";
      if (!value.is_object()) return Wrong(name, "an object or null", value);
      for (const char* part : {"file", "sha256"}) {
        const auto it = value.find(part);
        if (it != value.end() && !it->is_string()) return Wrong(name + "." + part, "text", *it);
      }
      return "";
    case Kind::kAttempts:
      if (!value.is_array()) return Wrong(name, "a list", value);
      for (const json& a : value) {
        if (!a.is_object()) return Wrong(name + "[]", "an object", a);
        for (const char* part : {"failure", "time"}) {
          const auto it = a.find(part);
          if (it == a.end() || !it->is_string())
            return Wrong(name + "[]." + part, "text", it == a.end() ? json() : *it);
        }
      }
      return "";
    case Kind::kSent:
      if (!value.is_object()) return Wrong(name, "an object", value);
      for (const char* part : {"bank_a_sha256", "bank_b_sha256", "data_sha256"}) {
        const auto it = value.find(part);
        if (it != value.end() && !it->is_string() && !it->is_null())
          return Wrong(name + "." + part, "text or null", *it);
      }
      return "";
  }
  return "";
}

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

// A cell as a spreadsheet reads it back: text that it would take as a
// formula gets a leading apostrophe (the cell then shows it), and a cell
// with a comma, a quote or a line end is quoted.
std::string CsvCell(const json& value) {
  std::string text = ValueText(value);
  if (value.is_string() && !text.empty() &&
      std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos)
    text.insert(0, 1, '\'');
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

const json& Member(const json& object, const std::string& key) {
  static const json kNull;
  const auto it = object.find(key);
  return it == object.end() ? kNull : *it;
}

}  // namespace

std::string RecordProblem(const json& record) {
  if (!record.is_object()) return "not an object";
  for (const Key& key : kKeys) {
    const auto it = record.find(key.name);
    if (it == record.end()) {
      if (key.required) return "no '" + std::string(key.name) + "'";
      continue;
    }
    std::string problem = Problem(key, *it);
    if (!problem.empty()) return problem;
  }
  return "";
}

namespace {

void TakeLine(std::string_view line, size_t number, RecordsRead* out) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return;
  json record = json::parse(line, nullptr, false);
  const std::string where = "line " + std::to_string(number) + ": ";
  if (record.is_discarded() || !record.is_object()) {
    out->warnings.push_back(where + "torn or not a record: skipped");
    return;
  }
  const std::string problem = RecordProblem(record);
  if (!problem.empty()) {
    out->warnings.push_back(where + problem + ": skipped");
    return;
  }
  out->records.push_back(std::move(record));
}

}  // namespace

void ReadRecordsText(std::string_view text, RecordsRead* out) {
  size_t number = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    TakeLine(text.substr(at, end - at), ++number, out);
    at = end + 1;
  }
}

bool ReadRecords(const std::string& path, RecordsRead* out, std::string* why) {
  std::ifstream in(PathFromUtf8(path), std::ios::binary);
  if (!in) {
    *why = "cannot read '" + path + "'";
    return false;
  }
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) TakeLine(line, number, out);
  if (in.bad()) {
    *why = "cannot read '" + path + "'";
    return false;
  }
  return true;
}

bool RecordFailed(const json& record) {
  const json& result = Member(record, "result");
  return !result.is_string() || result.get_ref<const std::string&>() != "ok";
}

bool RecordHasValue(const json& record, const std::string& wanted) {
  const json& fields = Member(record, "fields");
  if (!fields.is_object()) return false;
  for (const auto& [name, value] : fields.items()) {
    if (value.is_number_unsigned() || value.is_number_integer()) {
      if (value.dump() == wanted) return true;
    } else if (value.is_string()) {
      const std::string& text = value.get_ref<const std::string&>();
      if (text == wanted || Normalised(text) == Normalised(wanted)) return true;
    }
  }
  return false;
}

bool RecordHasUnit(const json& record, const std::string& unit) {
  const auto at = record.find("unit");
  return at != record.end() && at->is_string() && at->get_ref<const std::string&>() == unit;
}

bool NewestLabel(const std::vector<json>& records, LabelRecord* label, std::string* board,
                 std::string* why) {
  const json* newest = nullptr;
  for (const json& r : records) {
    if (Get(r, "result") != "ok") continue;
    if (newest == nullptr || Get(r, "time_end") >= Get(*newest, "time_end")) newest = &r;
  }
  if (newest == nullptr) {
    *why = records.empty() ? "no record matches" : "no OK board matches: no label was printed";
    return false;
  }
  const json& r = *newest;
  *board = "board " + Shown(Get(r, "board")) + " on " + Shown(Get(r, "port"));
  if (const std::string station = Get(r, "station"); !station.empty())
    *board += " of " + Shown(station);
  *board += " at " + Shown(Get(r, "time_end"));
  if (const std::string unit = Get(r, "unit"); !unit.empty()) *board += ", unit " + Shown(unit);
  const auto at = r.find("label");
  if (at == r.end() || !at->is_object()) {
    *why = "the newest OK record (" + *board + ") has no label";
    return false;
  }
  const json& l = *at;
  const auto text = [&](const char* key) -> const std::string* {
    const auto found = l.find(key);
    return found != l.end() && found->is_string() ? &found->get_ref<const std::string&>() : nullptr;
  };
  const std::string* bytes = text("text");
  const std::string* printer = text("printer");
  const std::string* sha = text("sha256");
  if (bytes == nullptr || printer == nullptr || sha == nullptr) {
    *why = "the newest OK record (" + *board + ") has no whole label (text, printer, sha256)";
    return false;
  }
  if (Sha256Hex(bytes->data(), bytes->size()) != *sha) {
    *why = "the label of the newest OK record (" + *board +
           ") is not what was printed: its text's SHA-256 is not its sha256";
    return false;
  }
  label->text = *bytes;
  label->printer = *printer;
  label->sha256 = *sha;
  const auto printed = l.find("printed");
  label->printed = printed != l.end() && printed->is_boolean() && printed->get<bool>();
  const std::string* reason = text("why");
  label->why = reason ? *reason : std::string();
  return true;
}

std::string RecordSummaryLine(const json& record) {
  auto get = [&](const char* key) { return Shown(Get(record, key), std::string::npos); };
  // A line's record says its station: ports repeat from station to station.
  const std::string station = get("station");
  std::string line = get("time_start") + "  " + (station.empty() ? "" : station + "  ") +
                     get("port") + "  board " + get("board") + "  " + get("result");
  if (const std::string unit = get("unit"); !unit.empty()) line += "  unit " + unit;
  if (const std::string of = get("rework_of"); !of.empty()) line += "  rework of " + of;
  // A board tried again says how many attempts it took.
  const json& attempts = Member(record, "attempts");
  if (attempts.is_array() && !attempts.empty())
    line += "  " + std::to_string(attempts.size() + 1) + " attempts";
  const json& fields = Member(record, "fields");
  if (fields.is_object()) {
    for (const auto& [name, value] : fields.items())
      line +=
          "  " + Shown(name, std::string::npos) + "=" + Shown(ValueText(value), std::string::npos);
  }
  const std::string failure = get("failure");
  if (!failure.empty()) line += "  (" + failure + ")";
  return line;
}

std::string RecordsTotals(const std::vector<json>& records) {
  size_t ok = 0, first_pass = 0;
  for (const json& r : records) {
    if (RecordFailed(r)) continue;
    ++ok;
    const json& attempts = Member(r, "attempts");
    if (!attempts.is_array() || attempts.empty()) ++first_pass;
  }
  const size_t total = records.size();
  auto percent = [&](size_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%",
                  100.0 * static_cast<double>(n) / static_cast<double>(total));
    return std::string(text);
  };
  std::string line = std::to_string(total) + " boards: " + std::to_string(ok) + " ok, " +
                     std::to_string(total - ok) + " not ok";
  if (total > 0)
    line += "; yield " + percent(ok) + ", first pass " + percent(first_pass) + " (" +
            std::to_string(first_pass) + " ok at their first attempt)";
  return line;
}

std::string RecordsCsv(const std::vector<json>& records) {
  std::vector<std::string> names;
  for (const json& r : records) {
    const json& fields = Member(r, "fields");
    if (!fields.is_object()) continue;
    for (const auto& [name, value] : fields.items())
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  static const char* const kColumns[] = {"time_start", "time_end", "duration_s", "port",
                                         "device",     "board",    "result",     "failure",
                                         "bootloader", "chip"};
  static const char* const kSentColumns[] = {"bank_a_sha256", "bank_b_sha256", "data_sha256"};
  // A line's records name their station and board: columns of their own
  // at the end of the fixed ones.
  const bool line = std::any_of(records.begin(), records.end(),
                                [](const json& r) { return r.contains("station"); });
  std::string csv;
  for (const char* column : kColumns) csv += std::string(column) + ",";
  if (line) csv += "station,id,";
  for (const std::string& name : names) csv += CsvCell(json(name)) + ",";
  csv += "bank_a_sha256,bank_b_sha256,data_sha256\r\n";
  for (const json& r : records) {
    for (const char* column : kColumns) csv += CsvCell(Member(r, column)) + ",";
    if (line) csv += CsvCell(Member(r, "station")) + "," + CsvCell(Member(r, "id")) + ",";
    const json& fields = Member(r, "fields");
    for (const std::string& name : names)
      csv += (fields.is_object() ? CsvCell(Member(fields, name)) : std::string()) + ",";
    const json& sent = Member(r, "sent");
    for (const char* column : kSentColumns) {
      csv += sent.is_object() ? CsvCell(Member(sent, column)) : std::string();
      csv += column == kSentColumns[2] ? "\r\n" : ",";
    }
  }
  return csv;
}

}  // namespace quelmar::production
