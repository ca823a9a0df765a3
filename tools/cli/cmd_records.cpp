// quelmar-cli records: a production records file read back, for people
// (one line per board) and spreadsheets (--csv).
#include <cstdio>
#include <string>

#include "args.h"
#include "cli.h"
#include "line/line_db.h"
#include "production/records_view.h"

namespace quelmar::cli {
namespace {

constexpr char kHelp[] =
    "Usage: quelmar-cli records FILE.jsonl [--serial V] [--unit ID] [--failed] [--csv]\n"
    "                           [--summary]\n"
    "       quelmar-cli records --db CONNINFO [--job NAME[@V]] [--serial V] [--unit ID]\n"
    "                           [--failed] [--csv] [--summary]\n"
    "\n"
    "Reads the records that flash --records appended, one JSON object per\n"
    "board, and prints one line per board: start time, port, board number,\n"
    "result, the values its fields received and, for a failed board, why.\n"
    "\n"
    "--db CONNINFO: the records of every station of a line, from the line's\n"
    "  database (a libpq connection string or URI, see 'quelmar-cli line\n"
    "  --help'), oldest first, each with its station.\n"
    "--job NAME[@V]: with --db, only the boards of the released job (of\n"
    "  version V); see 'quelmar-cli job --help'.\n"
    "\n"
    "--serial V: only the boards that got the value V in any field (a serial\n"
    "  number, a MAC address in either case with ':' or '-', a label).\n"
    "--unit ID: only the boards scanned as the unit ID (from the board's own\n"
    "  label), compared as written: its first board and every rework.\n"
    "--failed: only the boards whose result is not ok.\n"
    "--csv: the same boards as a table for a spreadsheet: the fixed columns,\n"
    "  one column per field, and the SHA-256 of what each board was sent.\n"
    "  Text starting with = + - @, a tab or a carriage return, which a\n"
    "  spreadsheet would run as a formula, gets a leading apostrophe.\n"
    "--summary: after the boards, one line of totals: boards, ok, not ok, the\n"
    "  yield and the first-pass yield (boards ok at their first attempt, with\n"
    "  no retry, of all boards listed).\n"
    "\n"
    "A line that is not a whole record (torn by a crash, or with a value of\n"
    "the wrong type) is skipped with a warning on stderr naming the line.\n"
    "\n"
    "Exit status: 0 when something was listed, 1 when nothing matched or the\n"
    "file cannot be read, 2 usage error.\n";

}  // namespace

int CmdRecords(int argc, char** argv) {
  RecordsArgs args;
  if (auto done = ParseRecords(argc, argv, kHelp, &args)) return *done;
  production::RecordsRead read;
  std::string why;
  std::string source = args.file;
  if (args.db) {
    // The database narrows the search; the same checks as for a file
    // decide what is shown.
    line::LineDb db;
    std::vector<std::string> found;
    line::RecordsQuery query;
    query.value = args.value;
    query.unit = args.unit;
    query.failed = args.failed;
    if (args.job) {
      query.job = args.job->name;
      query.job_version = args.job->version;
    }
    if (!db.Connect(*args.db, &why) || !db.CheckSchema(&why) || !db.Records(query, &found, &why)) {
      std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
      return kExitFailure;
    }
    std::string text;
    for (const std::string& record : found) text += record + "\n";
    production::ReadRecordsText(text, &read);
    source = db.Server();
  } else if (!production::ReadRecords(args.file, &read, &why)) {
    std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
    return kExitFailure;
  }
  for (const std::string& warning : read.warnings)
    std::fprintf(stderr, "quelmar-cli: %s: %s\n", source.c_str(), warning.c_str());
  std::vector<nlohmann::ordered_json> chosen;
  for (auto& record : read.records) {
    if (args.failed && !production::RecordFailed(record)) continue;
    if (args.value && !production::RecordHasValue(record, *args.value)) continue;
    if (args.unit && !production::RecordHasUnit(record, *args.unit)) continue;
    chosen.push_back(std::move(record));
  }
  if (args.csv) {
    std::fputs(production::RecordsCsv(chosen).c_str(), stdout);
  } else {
    for (const auto& record : chosen)
      std::printf("%s\n", production::RecordSummaryLine(record).c_str());
    if (args.summary) std::printf("%s\n", production::RecordsTotals(chosen).c_str());
  }
  if (chosen.empty() && (args.value || args.unit || args.failed || args.job)) {
    std::fprintf(stderr, "quelmar-cli: no board matches.\n");
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace quelmar::cli
