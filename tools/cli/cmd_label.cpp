// quelmar-cli label: a board's label sent again, exactly the bytes its
// record keeps, to the printer it was for or another one.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli.h"
#include "line/line_db.h"
#include "production/label.h"
#include "production/record.h"
#include "production/records_view.h"

namespace quelmar::cli {
namespace {

constexpr char kHelp[] =
    "Usage: quelmar-cli label reprint (--records FILE.jsonl | --db CONNINFO)\n"
    "                                 (--unit ID | --serial V) [--printer TARGET]\n"
    "                                 [--timeout-ms N]\n"
    "\n"
    "Sends a board's label again: exactly the bytes its record keeps (the ZPL\n"
    "as it was sent after the board, its SHA-256 checked first), whether it\n"
    "was printed then or not. Of the boards that match, the newest OK one's.\n"
    "\n"
    "--records FILE.jsonl: the station's records file.\n"
    "--db CONNINFO: the line's database (see 'quelmar-cli line --help').\n"
    "--unit ID: the board scanned as the unit ID.\n"
    "--serial V: the board that got the value V in any field (a serial\n"
    "  number, a MAC address in either case with ':' or '-').\n"
    "--printer TARGET: where to, instead of the printer the record names (a\n"
    "  record's command: printer is never run: give it here):\n"
    "  tcp://HOST:PORT (raw, e.g. port 9100), command:PROGRAM ARGS... (the\n"
    "  label on its stdin) or file:FOLDER (one .zpl file).\n"
    "--timeout-ms N: the bound on the send (default 10000).\n"
    "\n"
    "Exit status: 0 sent, 1 no label to send or the printer did not take it,\n"
    "2 usage error.\n";

constexpr char kLabelHelp[] =
    "Usage: quelmar-cli label reprint ...\n"
    "\n"
    "  reprint  send a board's recorded label again (see 'quelmar-cli label\n"
    "           reprint --help')\n";

struct ReprintArgs {
  std::optional<std::string> records, db, unit, serial, printer;
  unsigned timeout_ms = 10000;
};

// argv[0] "label", argv[1] "reprint"; nullopt to go on.
std::optional<int> ParseReprint(int argc, char** argv, ReprintArgs* out) {
  const char* command = "label reprint";
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (IsHelp(arg)) {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
    std::optional<std::string> value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    std::optional<std::string>* slot = arg == "--records"   ? &out->records
                                       : arg == "--db"      ? &out->db
                                       : arg == "--unit"    ? &out->unit
                                       : arg == "--serial"  ? &out->serial
                                       : arg == "--printer" ? &out->printer
                                                            : nullptr;
    std::optional<std::string> timeout;
    if (arg == "--timeout-ms") slot = &timeout;
    if (slot == nullptr) return UsageError(command, "unexpected '" + arg + "'");
    if (!value) {
      if (i + 1 >= argc) return UsageError(command, arg + " needs a value");
      value = argv[++i];
    }
    if (slot->has_value()) return UsageError(command, arg + " may be given once");
    if (value->empty()) return UsageError(command, arg + " needs a value");
    *slot = std::move(value);
    if (timeout) {
      char* end = nullptr;
      const unsigned long n = std::strtoul(timeout->c_str(), &end, 10);
      if (*end != '\0' || (*timeout)[0] == '-' || n < 100 || n > 600000)
        return UsageError(command, "--timeout-ms takes 100 to 600000, not '" + *timeout + "'");
      out->timeout_ms = static_cast<unsigned>(n);
    }
  }
  if (out->records.has_value() == out->db.has_value())
    return UsageError(command, "give one of --records FILE or --db CONNINFO");
  if (out->unit.has_value() == out->serial.has_value())
    return UsageError(command, "give one of --unit ID or --serial V");
  return std::nullopt;
}

int Reprint(int argc, char** argv) {
  ReprintArgs args;
  if (auto done = ParseReprint(argc, argv, &args)) return *done;
  const auto fail = [](const std::string& why) {
    std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
    return kExitFailure;
  };
  std::string why;
  // Records that cannot be read are skipped, as `records` skips them.
  production::RecordsRead read;
  if (args.db) {
    line::LineDb db;
    line::RecordsQuery query;
    query.value = args.serial;
    query.unit = args.unit;
    std::vector<std::string> found;
    if (!db.Connect(*args.db, &why) || !db.CheckSchema(&why) || !db.Records(query, &found, &why))
      return fail(why);
    std::string text;
    for (const std::string& record : found) text += record + "\n";
    production::ReadRecordsText(text, &read);
  } else if (!production::ReadRecords(*args.records, &read, &why)) {
    return fail(why);
  }
  std::vector<nlohmann::ordered_json> chosen;
  for (auto& record : read.records) {
    if (args.serial && !production::RecordHasValue(record, *args.serial)) continue;
    if (args.unit && !production::RecordHasUnit(record, *args.unit)) continue;
    chosen.push_back(std::move(record));
  }
  const std::string wanted = args.unit ? "unit " + *args.unit : "value " + *args.serial;
  production::LabelRecord label;
  std::string board;
  if (!production::NewestLabel(chosen, &label, &board, &why)) return fail(wanted + ": " + why);
  const std::string target_text = args.printer ? *args.printer : label.printer;
  production::PrinterTarget target;
  if (!production::ParsePrinter(target_text, &target, &why)) return fail(why);
  // A record is data, not a program to run: a command is run only when the
  // user names it.
  if (!args.printer && target.kind == production::PrinterTarget::Kind::kCommand)
    return fail("the label of " + board + " was for the command printer \"" + target_text +
                "\": a record's command is not run; give it with --printer");
  // A folder's file says it is a reprint: the first one keeps its name.
  std::string name =
      "reprint-" + board + "-" + production::IsoUtc(std::chrono::system_clock::now());
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  }
  if (!production::SendLabel(target, label.text, name, std::chrono::milliseconds(args.timeout_ms),
                             &why))
    return fail("the label of " + board + " was not printed: " + why);
  std::printf("The label of %s (%zu bytes, SHA-256 %s) went to %s.\n", board.c_str(),
              label.text.size(), label.sha256.c_str(), target.text.c_str());
  return kExitOk;
}

}  // namespace

int CmdLabel(int argc, char** argv) {
  if (argc < 2) return UsageError("label", "missing a label command (reprint)");
  const std::string command = argv[1];
  if (IsHelp(command)) {
    std::fputs(kLabelHelp, stdout);
    return kExitOk;
  }
  if (command == "reprint") return Reprint(argc, argv);
  return UsageError("label", "unknown label command '" + command + "'");
}

}  // namespace quelmar::cli
