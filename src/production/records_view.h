// Reading a records file back: for `quelmar-cli records` and the station.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quelmar::production {

struct RecordsRead {
  std::vector<nlohmann::ordered_json> records;  // each a JSON object
  std::vector<std::string> warnings;            // "line 7: torn or not JSON: skipped"
};

// Reads every line; a line that is not a JSON object (a record torn by a
// crash) is skipped with a warning. False with *why when the file cannot
// be read at all.
bool ReadRecords(const std::string& path, RecordsRead* out, std::string* why);

// Whether the record gave a field the value `wanted`: a number's decimal
// text, or text compared as is (a MAC address without regard to case or
// to ':' against '-').
bool RecordHasValue(const nlohmann::ordered_json& record, const std::string& wanted);

// One line for a listing: time, port, board, result, fields, failure.
std::string RecordSummaryLine(const nlohmann::ordered_json& record);

// A spreadsheet's table: a header line, then one line per record; the
// field names are the union over all records, in order of appearance.
std::string RecordsCsv(const std::vector<nlohmann::ordered_json>& records);

}  // namespace quelmar::production
