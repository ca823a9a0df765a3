// Feeds arbitrary text to the records reader as a records file, then lists,
// filters and exports what it kept, as `quelmar-cli records` does: nothing
// may throw, every line is either a record or a warning, the listing never
// carries a control character to the terminal, and the CSV keeps one cell
// per column in every row, none of them a formula.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.h"
#include "production/records_view.h"

using namespace quelmar;

namespace {

// The rows of a CSV as a spreadsheet splits them.
std::vector<std::vector<std::string>> SplitCsv(const std::string& csv) {
  std::vector<std::vector<std::string>> rows(1);
  std::string cell;
  bool quoted = false, was_quoted = false;
  for (size_t i = 0; i < csv.size(); ++i) {
    const char c = csv[i];
    if (quoted) {
      if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cell += c;
      }
      continue;
    }
    if (c == '"') {
      fuzz::Check(cell.empty() && !was_quoted, "a quote opens a cell");
      quoted = was_quoted = true;
    } else if (c == ',' || c == '\r') {
      rows.back().push_back(cell);
      cell.clear();
      was_quoted = false;
      if (c == '\r') {
        fuzz::Check(i + 1 < csv.size() && csv[i + 1] == '\n', "rows end in CR LF");
        ++i;
        rows.emplace_back();
      }
    } else {
      fuzz::Check(!was_quoted, "nothing follows a quoted cell but a comma or a row's end");
      fuzz::Check(c != '\n', "a line end is only inside a quoted cell");
      cell += c;
    }
  }
  fuzz::Check(!quoted && cell.empty() && rows.back().empty(), "the CSV ends with a whole row");
  rows.pop_back();
  return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  production::RecordsRead read;
  production::ReadRecordsText(text, &read);

  size_t lines = 0;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) ++lines;
    at = end + 1;
  }
  fuzz::Check(read.records.size() + read.warnings.size() == lines,
              "every line that is not empty is a record or a warning");

  for (const std::string& warning : read.warnings) {
    fuzz::Check(warning.rfind("line ", 0) == 0, "a warning names its line");
    for (char c : warning)
      fuzz::Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F,
                  "a warning carries no control character");
  }
  for (const auto& record : read.records) {
    fuzz::Check(production::RecordProblem(record).empty(), "what is kept is a record");
    const std::string line = production::RecordSummaryLine(record);
    for (char c : line)
      fuzz::Check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F,
                  "a listing carries no control character");
    (void)production::RecordFailed(record);
    (void)production::RecordHasValue(record, "100042");
    (void)production::RecordHasValue(record, "02-51-4d-00-00-2a");
  }

  const std::string csv = production::RecordsCsv(read.records);
  const auto rows = SplitCsv(csv);
  fuzz::Check(rows.size() == read.records.size() + 1, "a header and one row per record");
  for (const auto& row : rows) {
    fuzz::Check(row.size() == rows[0].size(), "every row has a cell per column");
    for (const std::string& cell : row)
      fuzz::Check(cell.empty() ||
                      std::string_view("=+-@\t\r").find(cell[0]) == std::string_view::npos ||
                      (cell[0] == '-' && cell.size() > 1 &&
                       std::string_view("0123456789").find(cell[1]) != std::string_view::npos &&
                       cell.find_first_not_of("0123456789.eE+-") == std::string::npos),
                  "no cell is a formula (a negative number is a number)");
  }
  return 0;
}
