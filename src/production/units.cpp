#include "production/units.h"

#include <cstdio>

#include "common/utf8_path.h"
#include "production/record.h"
#include "production/records_view.h"

namespace quelmar::production {

namespace {

using Json = nlohmann::ordered_json;

// "2026-12-09T10:11:12.345Z" as a person reads it: to the second.
std::string Seconds(const std::string& time) {
  const size_t dot = time.find('.');
  if (dot == std::string::npos || time.empty() || time.back() != 'Z') return time;
  return time.substr(0, dot) + "Z";
}

std::string Quoted(const std::string& unit) {
  return "unit \"" + unit + "\"";
}

Json RecordFieldsJson(const BoardRecord& record) {
  Json fields = Json::object();
  for (const auto& [name, value] : record.fields)
    fields[name] = value.is_number ? Json(value.number) : Json(value.text);
  return fields;
}

}  // namespace

bool RecordedValues(const std::vector<FieldDef>& defs, const Json& fields,
                    std::vector<FieldValue>* values, std::string* why) {
  values->clear();
  for (const FieldDef& def : defs) {
    const auto at = fields.is_object() ? fields.find(def.name) : fields.end();
    if (!fields.is_object() || at == fields.end()) {
      *why = "it holds no value of field '" + def.name + "'";
      return false;
    }
    FieldValue value;
    bool read = false;
    if (at->is_number_unsigned()) {
      value = FieldValue{at->get<uint64_t>(), "", false};
      read = def.format != Format::kText;
    } else if (at->is_string()) {
      const std::string text = at->get<std::string>();
      uint64_t n = 0;
      switch (def.format) {
        case Format::kMac:
          read = ParseMac(text, &n);
          break;
        case Format::kTextPattern:
          read = ParsePatternText(def.pattern, text, &n);
          break;
        case Format::kText:
          // A counter's number written as text, or a list's line as it is.
          read = true;
          if (def.list_path.empty() && def.pool.empty()) read = ParseNumber(text, &n);
          break;
        default:
          break;
      }
      value = def.format == Format::kText && (!def.list_path.empty() || !def.pool.empty())
                  ? FieldValue{0, text, true}
                  : FieldValue{n, "", false};
    }
    // What the board would show for the value must be what was recorded:
    // a record edited by hand is not taken for a value it never had.
    const ShownValue shown = ShowValue(def, value);
    const Json again = shown.is_number ? Json(shown.number) : Json(shown.text);
    std::vector<uint8_t> bytes;
    std::string not_fit;
    if (!read || again != *at || !EncodeValue(def, value, &bytes, &not_fit)) {
      *why = "its value " + at->dump() + " of field '" + def.name + "' is none this field takes";
      return false;
    }
    values->push_back(std::move(value));
  }
  return true;
}

bool UnitHistory::Load(const std::string& records_path, std::string* why) {
  RecordsRead read;
  std::FILE* file = OpenFile(records_path, "rb");
  if (file == nullptr) return true;
  std::fclose(file);
  if (!ReadRecords(records_path, &read, why)) return false;
  for (const Json& record : read.records) Add(record);
  return true;
}

void UnitHistory::Add(const Json& record) {
  auto text = [&](const char* key) {
    const auto at = record.find(key);
    return at != record.end() && at->is_string() ? at->get<std::string>() : std::string();
  };
  Entry entry{text("id"),
              text("station"),
              text("port"),
              Seconds(text("time_end")),
              text("result") == "ok",
              record.contains("fields") ? record["fields"] : Json()};
  std::lock_guard lock(mutex_);
  AddLocked(text("unit"), std::move(entry));
}

void UnitHistory::AddLocked(const std::string& unit, Entry entry) {
  if (entry.fields.is_object())
    for (const auto& [name, value] : entry.fields.items())
      holders_[{name, value.dump()}] = Holder{unit, entry.id};
  if (unit.empty()) return;
  if (entry.ok) newest_ok_[unit] = entry;
  // A board refused before its values holds none: the unit's values are
  // still those of the board before.
  if (entry.ok || (entry.fields.is_object() && !entry.fields.empty()))
    newest_[unit] = std::move(entry);
}

UnitHistory::Found UnitHistory::Begin(const std::string& unit, bool rework, const std::string& port,
                                      UnitRecord* again, std::string* why) {
  std::lock_guard lock(mutex_);
  if (const auto busy = in_progress_.find(unit); busy != in_progress_.end()) {
    *why =
        Quoted(unit) + " is being written on " + busy->second + " now: not written twice at once";
    return Found::kRefused;
  }
  if (const auto ok = newest_ok_.find(unit); ok != newest_ok_.end() && !rework) {
    const Entry& e = ok->second;
    *why = Quoted(unit) + " was written OK on " + (e.station.empty() ? "" : e.station + " ") +
           e.port + " at " + e.time + " (record " + e.id +
           "): not written again on a production station";
    return Found::kRefused;
  }
  const auto newest = newest_.find(unit);
  if (newest != newest_.end()) {
    const Entry& e = newest->second;
    // Its values are its own only while no other board's record holds
    // them since.
    if (e.fields.is_object()) {
      for (const auto& [name, value] : e.fields.items()) {
        const auto holder = holders_.find({name, value.dump()});
        if (holder == holders_.end() || holder->second.unit == unit) continue;
        *why = Quoted(unit) + ": its value " + value.dump() + " of field '" + name + "' (record " +
               e.id + ") is held by " +
               (holder->second.unit.empty() ? std::string("a board without a unit")
                                            : Quoted(holder->second.unit)) +
               " now (record " + holder->second.id + "): not written with it again";
        return Found::kRefused;
      }
    }
    again->id = e.id;
    again->fields = e.fields;
  }
  in_progress_[unit] = port;
  return newest == newest_.end() ? Found::kNew : Found::kAgain;
}

void UnitHistory::End(const std::string& unit, const BoardRecord* record) {
  std::lock_guard lock(mutex_);
  in_progress_.erase(unit);
  if (record == nullptr) return;
  AddLocked(unit,
            Entry{record->id, record->station, record->port, Seconds(IsoUtc(record->time_end)),
                  record->result == "ok", RecordFieldsJson(*record)});
}

}  // namespace quelmar::production
