// quelmar-cli line: the line's database: its tables, pools, orphans and
// void values. The runs themselves take their values from it through a
// profile's [line] table.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "db_options.h"
#include "line/line_db.h"
#include "production/fields.h"
#include "production/value_list.h"

namespace quelmar::cli {
namespace {

constexpr char kHelp[] =
    "Usage: quelmar-cli line init --db CONNINFO\n"
    "       quelmar-cli line pool add NAME --format FORMAT --db CONNINFO\n"
    "                                 (--start N [--end N] [--step N] | --list FILE)\n"
    "       quelmar-cli line pools --db CONNINFO\n"
    "       quelmar-cli line orphans [--older MINUTES] --db CONNINFO\n"
    "       quelmar-cli line void --pool NAME VALUE... --db CONNINFO\n"
    "       quelmar-cli line station add NAME --role ROLE --db CONNINFO\n"
    "       quelmar-cli line station remove NAME --db CONNINFO\n"
    "       quelmar-cli line stations --db CONNINFO\n"
    "       quelmar-cli line dashboard --db CONNINFO [--listen ADDR:PORT]\n"
    "                                  [--token TOKEN | --token-file FILE] [--hostname NAME]...\n"
    "\n"
    "The line's database (PostgreSQL): one pool of serial numbers, MAC\n"
    "addresses or labels for every station of a line, and every board's\n"
    "record in one place. 'quelmar-cli line COMMAND --help' tells more.\n"
    "\n"
    "  init     make the line's tables, or bring older ones up to date\n"
    "  pool add a counter pool, or a list pool (or more values for one)\n"
    "  pools    each pool with its free, reserved, written and void values\n"
    "  orphans  values reserved for boards whose record never came\n"
    "  void     values never to be handed out\n"
    "  station  register a station's name for its login role, or retire it\n"
    "  stations the registered stations, with what each last reported\n"
    "  dashboard  the line's page: every station live, from the database\n"
    "\n"
    "CONNINFO is a libpq connection string or URI, as psql takes it:\n"
    "\"postgresql://station@db-host/line3\" or \"host=db-host dbname=line3\".\n"
    "libpq's environment (PGHOST, PGUSER, ...) fills in what it leaves out.\n"
    "A password never goes into it: put it in ~/.pgpass (on Windows\n"
    "%APPDATA%\\postgresql\\pgpass.conf; or the file PGPASSFILE names) or in\n"
    "PGPASSWORD.\n"
    "\n"
    "Exit status: 0 done, 1 the database refused or did not answer, 2 usage\n"
    "error.\n";

constexpr char kInitHelp[] =
    "Usage: quelmar-cli line init --db CONNINFO\n"
    "\n"
    "Makes the line's tables (pools, pool_values, boards) in the database,\n"
    "or brings tables of an older quelmar-cli up to date, in one\n"
    "transaction. Tables already up to date are left as they are. Tables of\n"
    "a newer quelmar-cli are refused: update this one.\n"
    "\n"
    "First it makes the group roles quelmar_station, quelmar_supervisor and\n"
    "quelmar_engineer (NOLOGIN) when they are missing; a role that may not\n"
    "make roles is shown the SQL for PostgreSQL's superuser instead. After\n"
    "an upgrade it lists the grants an older line gave by hand that are\n"
    "needless now, as REVOKE statements to run.\n";
constexpr char kStationHelp[] =
    "Usage: quelmar-cli line station add NAME --role ROLE --db CONNINFO\n"
    "       quelmar-cli line station remove NAME --db CONNINFO\n"
    "\n"
    "add: the station NAME (its profile's [line] station) logs in as ROLE, a\n"
    "login role that is a member of quelmar_station. A station whose name is\n"
    "not registered for the role it logs in with is refused at start.\n"
    "remove: retires the name; its tile leaves the line's page.\n";
constexpr char kStationsHelp[] =
    "Usage: quelmar-cli line stations --db CONNINFO\n"
    "\n"
    "Lists the registered stations: name, role, who registered it and when,\n"
    "and what it last reported (its run and when it was last seen).\n";

constexpr char kPoolHelp[] =
    "Usage: quelmar-cli line pool add NAME --format FORMAT --db CONNINFO\n"
    "                                 (--start N [--end N] [--step N] | --list FILE)\n"
    "\n"
    "A counter pool: --start, and optionally --end (the last value) and\n"
    "--step (default 1). A MAC counter (--format mac, --start\n"
    "02:51:4D:00:00:00) stays in the 24-bit block of its start: without\n"
    "--end it ends at 02:51:4D:FF:FF:FF, and an --end outside the block is\n"
    "refused.\n"
    "\n"
    "A list pool: --list FILE, one value per line, handed out in the file's\n"
    "order. Values are compared as values (02:51:4d:00:00:2a is\n"
    "02:51:4D:00:00:2A; 16 is 0x10); a value twice in the file or already in\n"
    "the pool refuses the whole file. Adding another file to a list pool of\n"
    "the same format adds its values after the others.\n"
    "\n"
    "FORMAT is the format of the fields that take the pool: u32le, u32be,\n"
    "u64le, mac, text or text:PATTERN (a counter's number through a pattern\n"
    "with %u or %0Nu, e.g. text:QM-%08u). A field and its pool must have the\n"
    "same format.\n"
    "\n"
    "NAME: 1 to 64 letters, digits, '_', '-' or '.'.\n";

constexpr char kPoolsHelp[] =
    "Usage: quelmar-cli line pools --db CONNINFO\n"
    "\n"
    "Lists each pool: kind, format, how many values are free, reserved (a\n"
    "board is being written, or its station never filed it), written and\n"
    "void, and a counter's next and last value.\n";

constexpr char kOrphansHelp[] =
    "Usage: quelmar-cli line orphans [--older MINUTES] --db CONNINFO\n"
    "\n"
    "Lists the values reserved for a board whose record never came (its\n"
    "station crashed or lost power mid-board), with the station, port, board\n"
    "id and the time it was reserved. A board being written shows too until\n"
    "it ends: --older MINUTES lists only values reserved at least that long\n"
    "ago. An orphan is never handed out again; 'quelmar-cli line void'\n"
    "closes it.\n";

constexpr char kVoidHelp[] =
    "Usage: quelmar-cli line void --pool NAME VALUE... --db CONNINFO\n"
    "       quelmar-cli line void --board ID --db CONNINFO\n"
    "\n"
    "Makes the values void: they are never handed out. An orphan, a free\n"
    "value of a list, or a counter's value not reached yet (the counter then\n"
    "steps over it). A value written to a board cannot be made void. All\n"
    "values or none: one that cannot be made void refuses them all.\n"
    "\n"
    "--board ID closes a board whose station never filed it (the board id\n"
    "'line orphans' shows): its values become void and its count of its job\n"
    "is given back. A record of that board filed later is refused. A board\n"
    "reserved less than 15 minutes ago is refused (its station may still be\n"
    "writing it) unless its station has started again since.\n";

bool Connect(line::LineDb* db, const DbOptions& options, std::string* why) {
  return db->Connect(options.values.at("--db"), why);
}

int Init(int argc, char** argv) {
  DbOptions options;
  if (auto done = ReadDbOptions(argc, argv, 2, "line init", kInitHelp, {"--db"}, &options))
    return *done;
  if (!options.words.empty())
    return UsageError("line init", "unexpected argument '" + options.words[0] + "'");
  line::LineDb db;
  std::string why, advice;
  int from = 0;
  if (!Connect(&db, options, &why) || !db.Init(&from, &advice, &why)) return DbFailure(why);
  const std::string to = std::to_string(line::kSchemaVersion);
  if (from == line::kSchemaVersion) {
    std::printf("The line's tables in %s are up to date (schema version %s).\n",
                db.Server().c_str(), to.c_str());
  } else if (from == 0) {
    std::printf("Made the line's tables in %s (schema version %s).\n", db.Server().c_str(),
                to.c_str());
  } else {
    std::printf("Brought the line's tables in %s from schema version %d to %s.\n",
                db.Server().c_str(), from, to.c_str());
  }
  if (!advice.empty()) {
    std::printf(
        "Stations and dashboards now change the line only through its functions: these\n"
        "grants of an older line are needless, and each is a way around them. Drop them\n"
        "(as the tables' owner):\n%s",
        advice.c_str());
  }
  return kExitOk;
}

// A counter's --start or --end: a number, or for a MAC its text.
bool CounterValue(const std::string& format, const std::string& text, uint64_t* value) {
  return (format == "mac" && production::ParseMac(text, value)) ||
         production::ParseNumber(text, value);
}

// The list file's values as the pool stores them, read by the rules of
// every list (ReadValueList): one value written twice in any spelling is
// refused, naming both lines.
bool ReadList(const std::string& path, const std::string& format,
              std::vector<line::ListEntry>* entries, std::string* why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *why = "cannot read the list '" + path + "'";
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  production::FieldDef def;
  if (!production::ParseFormat(format, &def.format, &def.pattern, why)) return false;
  // A pool knows no field's size: a text value is checked against each
  // field's size before a run. Here it may be as long as a bank.
  def.size =
      production::NaturalSize(def.format) != 0 ? production::NaturalSize(def.format) : 0x80000;
  std::vector<production::ListValue> values;
  if (!production::ReadValueList(def, all.str(), path, &values, why)) return false;
  for (const production::ListValue& v : values) entries->push_back({v.line, v.canonical});
  return true;
}

int PoolAdd(int argc, char** argv) {
  const char* command = "line pool add";
  if (argc < 3 || std::strcmp(argv[2], "add") != 0) {
    for (int i = 2; i < argc; ++i) {
      if (IsHelp(argv[i])) {
        std::fputs(kPoolHelp, stdout);
        return kExitOk;
      }
    }
    return UsageError("line pool add", argc < 3 ? "missing 'add'"
                                                : "unknown word '" + std::string(argv[2]) +
                                                      "' (line pool add NAME ...)");
  }
  DbOptions options;
  if (auto done =
          ReadDbOptions(argc, argv, 3, command, kPoolHelp,
                        {"--db", "--format", "--start", "--end", "--step", "--list"}, &options))
    return *done;
  if (options.words.empty()) return UsageError(command, "missing NAME");
  if (options.words.size() > 1)
    return UsageError(command, "unexpected argument '" + options.words[1] + "'");
  const auto& v = options.values;
  if (v.count("--format") == 0) return UsageError(command, "missing --format FORMAT");
  const std::string name = options.words[0];
  const std::string format = v.at("--format");
  production::Format parsed;
  std::string pattern, why;
  if (!production::ParseFormat(format, &parsed, &pattern, &why))
    return UsageError(command, "--format: " + why);
  const bool list = v.count("--list") != 0;
  if (list == (v.count("--start") != 0))
    return UsageError(command, "give either --start (a counter) or --list FILE");
  if (list && (v.count("--end") != 0 || v.count("--step") != 0))
    return UsageError(command, "--end and --step are for a counter, not a --list");

  line::LineDb db;
  if (list) {
    std::vector<line::ListEntry> entries;
    if (!ReadList(v.at("--list"), format, &entries, &why)) return DbFailure(why);
    bool created = false;
    if (!Connect(&db, options, &why) ||
        !db.AddListValues(name, format, v.at("--list"), entries, &created, &why))
      return DbFailure(why);
    std::printf("Pool '%s' (list, %s): %zu values %s from '%s'.\n", name.c_str(), format.c_str(),
                entries.size(), created ? "added" : "added after the others",
                v.at("--list").c_str());
    return kExitOk;
  }
  line::CounterPool pool{name, format, 0, 1, std::nullopt};
  if (!CounterValue(format, v.at("--start"), &pool.start))
    return UsageError(command, "--start '" + v.at("--start") + "' is no number" +
                                   (format == "mac" ? " or MAC address" : ""));
  if (v.count("--end") != 0) {
    uint64_t end = 0;
    if (!CounterValue(format, v.at("--end"), &end))
      return UsageError(command, "--end '" + v.at("--end") + "' is no number" +
                                     (format == "mac" ? " or MAC address" : ""));
    pool.end = end;
  }
  if (v.count("--step") != 0 && !production::ParseNumber(v.at("--step"), &pool.step))
    return UsageError(command, "--step '" + v.at("--step") + "' is no number");
  if (!Connect(&db, options, &why) || !db.AddCounterPool(pool, &why)) return DbFailure(why);
  std::vector<line::PoolSummary> pools;
  std::string last = "?";
  if (db.Pools(&pools, &why)) {
    for (const auto& p : pools) {
      if (p.name == name) last = p.last;
    }
  }
  production::FieldDef def;
  def.format = parsed;
  def.pattern = pattern;
  const production::ShownValue start =
      production::ShowValue(def, production::FieldValue{pool.start, "", false});
  std::printf("Pool '%s' (counter, %s): %s to %s, step %llu.\n", name.c_str(), format.c_str(),
              start.is_number ? std::to_string(start.number).c_str() : start.text.c_str(),
              last.c_str(), static_cast<unsigned long long>(pool.step));
  return kExitOk;
}

int Pools(int argc, char** argv) {
  DbOptions options;
  if (auto done = ReadDbOptions(argc, argv, 2, "line pools", kPoolsHelp, {"--db"}, &options))
    return *done;
  if (!options.words.empty())
    return UsageError("line pools", "unexpected argument '" + options.words[0] + "'");
  line::LineDb db;
  std::string why;
  std::vector<line::PoolSummary> pools;
  if (!Connect(&db, options, &why) || !db.CheckSchema(&why) || !db.Pools(&pools, &why))
    return DbFailure(why);
  if (pools.empty()) {
    std::printf("No pools yet: add one with 'quelmar-cli line pool add'.\n");
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows = {
      {"POOL", "KIND", "FORMAT", "FREE", "RESERVED", "WRITTEN", "VOID", "NEXT", "LAST"}};
  for (const auto& p : pools)
    rows.push_back({p.name, p.kind, p.format, p.free, p.reserved, p.written, p.voided,
                    p.next.empty() ? "-" : p.next, p.last.empty() ? "-" : p.last});
  PrintTable(rows);
  return kExitOk;
}

int Orphans(int argc, char** argv) {
  DbOptions options;
  if (auto done =
          ReadDbOptions(argc, argv, 2, "line orphans", kOrphansHelp, {"--db", "--older"}, &options))
    return *done;
  if (!options.words.empty())
    return UsageError("line orphans", "unexpected argument '" + options.words[0] + "'");
  uint64_t older = 0;
  if (options.values.count("--older") != 0 &&
      (!production::ParseNumber(options.values.at("--older"), &older) || older > 5256000))
    return UsageError("line orphans", "--older takes minutes (0 to 5256000), not '" +
                                          options.values.at("--older") + "'");
  line::LineDb db;
  std::string why;
  std::vector<line::Orphan> orphans;
  if (!Connect(&db, options, &why) || !db.CheckSchema(&why) ||
      !db.Orphans(static_cast<unsigned>(older), &orphans, &why))
    return DbFailure(why);
  if (orphans.empty()) {
    std::printf("No orphans.\n");
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows = {
      {"POOL", "VALUE", "STATION", "PORT", "BOARD", "RESERVED"}};
  for (const auto& o : orphans)
    rows.push_back({o.pool, o.value, o.station, o.port, o.board_id,
                    o.reserved_at + " (" + std::to_string(o.minutes) + " min ago)"});
  PrintTable(rows);
  return kExitOk;
}

int Void(int argc, char** argv) {
  DbOptions options;
  if (auto done = ReadDbOptions(argc, argv, 2, "line void", kVoidHelp,
                                {"--db", "--pool", "--board"}, &options))
    return *done;
  if (options.values.count("--board") != 0) {
    if (options.values.count("--pool") != 0 || !options.words.empty())
      return UsageError("line void", "--board ID goes alone, without --pool or values");
    const std::string board = options.values.at("--board");
    line::LineDb db;
    std::string why, job;
    size_t values = 0;
    if (!Connect(&db, options, &why) || !db.CheckSchema(&why) ||
        !db.VoidBoard(board, &values, &job, &why))
      return DbFailure(why);
    std::printf("Board %s closed: %zu value%s made void%s.\n", board.c_str(), values,
                values == 1 ? "" : "s",
                job.empty() ? "" : (", its count of job " + job + " given back").c_str());
    return kExitOk;
  }
  if (options.values.count("--pool") == 0) return UsageError("line void", "missing --pool NAME");
  if (options.words.empty()) return UsageError("line void", "missing VALUE");
  line::LineDb db;
  std::string why;
  size_t changed = 0;
  const std::string pool = options.values.at("--pool");
  if (!Connect(&db, options, &why) || !db.CheckSchema(&why) ||
      !db.Void(pool, options.words, &changed, &why))
    return DbFailure(why);
  std::printf("Pool '%s': %zu value%s made void.\n", pool.c_str(), changed,
              changed == 1 ? "" : "s");
  return kExitOk;
}

int Station(int argc, char** argv) {
  const char* command = "line station";
  if (argc < 3 || (std::strcmp(argv[2], "add") != 0 && std::strcmp(argv[2], "remove") != 0)) {
    for (int i = 2; i < argc; ++i) {
      if (IsHelp(argv[i])) {
        std::fputs(kStationHelp, stdout);
        return kExitOk;
      }
    }
    return UsageError(command, argc < 3 ? "missing 'add' or 'remove'"
                                        : "unknown word '" + std::string(argv[2]) +
                                              "' (line station add|remove NAME ...)");
  }
  const bool add = std::strcmp(argv[2], "add") == 0;
  DbOptions options;
  if (auto done = ReadDbOptions(
          argc, argv, 3, command, kStationHelp,
          add ? std::set<std::string>{"--db", "--role"} : std::set<std::string>{"--db"}, &options))
    return *done;
  if (options.words.empty()) return UsageError(command, "missing NAME");
  if (options.words.size() > 1)
    return UsageError(command, "unexpected argument '" + options.words[1] + "'");
  if (add && options.values.count("--role") == 0) return UsageError(command, "missing --role ROLE");
  const std::string name = options.words[0];
  line::LineDb db;
  std::string why;
  if (!Connect(&db, options, &why) || !db.CheckSchema(&why)) return DbFailure(why);
  if (add) {
    const std::string role = options.values.at("--role");
    if (!db.AddStation(name, role, &why)) return DbFailure(why);
    std::printf("Station '%s' logs in as %s.\n", name.c_str(), role.c_str());
  } else {
    if (!db.RemoveStation(name, &why)) return DbFailure(why);
    std::printf("Station '%s' is retired.\n", name.c_str());
  }
  return kExitOk;
}

int Stations(int argc, char** argv) {
  DbOptions options;
  if (auto done = ReadDbOptions(argc, argv, 2, "line stations", kStationsHelp, {"--db"}, &options))
    return *done;
  if (!options.words.empty())
    return UsageError("line stations", "unexpected argument '" + options.words[0] + "'");
  line::LineDb db;
  std::string why;
  std::vector<line::RegisteredStation> stations;
  if (!Connect(&db, options, &why) || !db.CheckSchema(&why) || !db.Stations(&stations, &why))
    return DbFailure(why);
  if (stations.empty()) {
    std::printf("No stations yet: register one with 'quelmar-cli line station add'.\n");
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows = {
      {"STATION", "ROLE", "ADDED BY", "ADDED", "RUN", "LAST SEEN"}};
  for (const auto& s : stations)
    rows.push_back({s.name, s.role, s.added_by, s.added_at, s.run.empty() ? "-" : s.run,
                    s.last_seen.empty() ? "-" : s.last_seen});
  PrintTable(rows);
  return kExitOk;
}

}  // namespace

int CmdLine(int argc, char** argv) {
  if (argc < 2)
    return UsageError(
        "line",
        "missing a line command (init, pool, pools, orphans, void, station, stations, "
        "dashboard)");
  const std::string command = argv[1];
  if (IsHelp(command)) {
    std::fputs(kHelp, stdout);
    return kExitOk;
  }
  if (command == "init") return Init(argc, argv);
  if (command == "pool") return PoolAdd(argc, argv);
  if (command == "pools") return Pools(argc, argv);
  if (command == "orphans") return Orphans(argc, argv);
  if (command == "void") return Void(argc, argv);
  if (command == "station") return Station(argc, argv);
  if (command == "stations") return Stations(argc, argv);
  if (command == "dashboard") return CmdLineDashboard(argc, argv);
  return UsageError("line", "unknown line command '" + command + "'");
}

}  // namespace quelmar::cli
