// quelmar-cli's command lines, read with CLI11. Each parser prints the
// command's help for -h/--help and reports a usage error as
// "quelmar-cli: <message>" plus a hint; it then returns the exit code to end
// with (0 after help, 2 after an error), or nullopt to go on.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "production/fields.h"
#include "production/profile.h"
#include "production/record.h"

namespace quelmar::cli {

// One argument, named name in the usage errors: identify PORT, reboot PORT,
// info FILE.
std::optional<int> ParseOneArgument(int argc, char** argv, const char* help, const char* name,
                                    std::string* value);
// ports: no arguments.
std::optional<int> ParseNoArguments(int argc, char** argv, const char* help);

struct PackArgs {
  std::string out;
  char encoding = 'F';
  std::string bank_a, bank_b;
  std::vector<std::string> inputs;
};
// pack-code (banks true) and pack-data: -o OUT, --encoding with one of the
// two letters in `encodings`, inputs.
std::optional<int> ParsePack(int argc, char** argv, const char* help, const char* encodings,
                             bool banks, PackArgs* args);

struct FlashArgs {
  std::vector<std::string> ports;
  std::optional<std::string> code;
  std::optional<std::string> data;
  bool reboot = false;
  bool auto_mode = false;
  unsigned count = 0;    // --count: 0 = no limit
  unsigned retries = 0;  // the profile's: a board the link spoiled is written again
  // The profile's [label]: each OK board's label and where it is sent.
  std::optional<std::string> label_template, label_printer;
  std::optional<unsigned> label_timeout_ms;
  std::optional<std::string> log_dir;
  // The production line: JSON Lines records, --json on stdout, the fields
  // (from --profile and the --serial-* shorthand) and the profile's hash.
  std::optional<std::string> records;
  bool json = false;
  std::vector<production::FieldDef> fields;
  std::optional<production::FileHash> profile;
  // The profile's pins of its own code and data files (none for a file
  // given on the command line).
  std::optional<std::string> code_sha256;
  std::optional<std::string> data_sha256;
  // The profile's [line]: its fields' values and the records go through
  // the line's database, its spool beside the profile.
  std::optional<production::LineSettings> line;
  // The profile's scans (--auto binds them to the boards as a station does).
  std::optional<std::string> scan, scan_pattern, slot_pattern, scanner;
  std::optional<unsigned> scanner_baud;
};
// With --profile, the profile fills in what the command line leaves out;
// a profile that cannot be read ends the command with status 1.
std::optional<int> ParseFlash(int argc, char** argv, const char* help, FlashArgs* args);

}  // namespace quelmar::cli

namespace quelmar::cli {

// records FILE.jsonl [--serial V] [--unit ID] [--failed] [--csv]
struct RecordsArgs {
  std::string file;
  std::optional<std::string> db;           // --db CONNINFO: the line's database instead
  std::optional<production::JobName> job;  // --job NAME[@V], with --db
  std::optional<std::string> value;
  std::optional<std::string> unit;  // --unit ID: the boards scanned as that unit
  bool failed = false;
  bool csv = false;
  bool summary = false;  // --summary: a line of totals after the boards
};
std::optional<int> ParseRecords(int argc, char** argv, const char* help, RecordsArgs* args);

}  // namespace quelmar::cli
