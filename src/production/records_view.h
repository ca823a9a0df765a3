// Reading a records file back: for `quelmar-cli records` and the station.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "production/record.h"

namespace quelmar::production {

struct RecordsRead {
  std::vector<nlohmann::ordered_json> records;  // each a record as written
  std::vector<std::string> warnings;            // "line 7: torn or not a record: skipped"
};

// Reads every line; a line that is not a record (torn by a crash, not JSON,
// or a key of a type no record has: a null result, a number as the port,
// fields that are not an object) is skipped with a warning naming the
// line. So every record kept has text in time_start, port and result, a
// board number and fields of numbers and text; the other keys, when
// present, have their record's types. False with *why when the file cannot
// be read at all.
bool ReadRecords(const std::string& path, RecordsRead* out, std::string* why);
// The same for a file's contents already in memory.
void ReadRecordsText(std::string_view text, RecordsRead* out);

// Why a JSON object is not a record ("'result' should be text, not null"),
// or "" when it is one.
std::string RecordProblem(const nlohmann::ordered_json& record);

// Whether the record's result is other than "ok".
bool RecordFailed(const nlohmann::ordered_json& record);

// Whether the record gave a field the value `wanted`: a number's decimal
// text, or text compared as is (a MAC address without regard to case or
// to ':' against '-').
bool RecordHasValue(const nlohmann::ordered_json& record, const std::string& wanted);

// Whether the record is of the board scanned as unit (compared as is).
bool RecordHasUnit(const nlohmann::ordered_json& record, const std::string& unit);

// Of records already chosen (a unit's, a serial number's), the newest OK
// one (by time_end; the later one read wins a tie) and its label as
// recorded, with *board naming that board in one line. False with one line
// in *why: no record is OK, the newest OK one has no label, or its label is
// not whole (its text's SHA-256 is not the one recorded).
bool NewestLabel(const std::vector<nlohmann::ordered_json>& records, LabelRecord* label,
                 std::string* board, std::string* why);

// One line for a listing: time, port, board, result, fields, failure. A
// control character (an escape sequence in a board's log) is shown as
// \xHH, never sent to the terminal.
std::string RecordSummaryLine(const nlohmann::ordered_json& record);

// One line of totals: boards, ok, not ok, the yield and the first-pass
// yield (boards ok at their first attempt, of all boards).
std::string RecordsTotals(const std::vector<nlohmann::ordered_json>& records);

// A spreadsheet's table: a header line, then one line per record; the
// field names are the union over all records, in order of appearance. A
// text cell a spreadsheet would take as a formula (starting with = + - @,
// a tab or a carriage return) gets a leading apostrophe.
std::string RecordsCsv(const std::vector<nlohmann::ordered_json>& records);

}  // namespace quelmar::production
