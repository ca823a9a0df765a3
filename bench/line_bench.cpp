// line_bench: what the line's database costs a board.
//
// 1. Reserving a board's values (a serial number and a MAC address, each
//    from its pool) and filing its record, one board after another in one
//    process on loopback: median, 95th percentile and slowest per board,
//    with synchronous_commit on (the default: each commit waits for the
//    server's flush) and off (it does not; a server crash may lose the
//    last commits, never hand a value out twice). Goal: median at most
//    10 ms.
// 2. Eight processes doing the same at once on the same two pools: boards
//    per second in all, and every value once. Goal: at least 200 a second.
//
// Without --db the benchmark starts a private server (tests/line/
// pg_server.sh) with fsync on, as a real one runs, and connects over TCP
// on 127.0.0.1 with a password, as a station does. Times are printed, never
// judged: the exit status only says whether every board got its values and
// no value came twice.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "line/line_db.h"
#include "line/spool.h"
#include "production/record.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace line = quelmar::line;
namespace production = quelmar::production;

int Usage() {
  std::fprintf(stderr,
               "Usage: line_bench [--db CONNINFO] [--boards N] [--processes N] [--quick]\n"
               "  --db CONNINFO  a server of your own (default: a private one, fsync on)\n"
               "  --boards N     boards in part 1, and per process in part 2 (default 400)\n"
               "  --processes N  processes at once in part 2 (default 8)\n"
               "  --quick        100 boards\n");
  return 2;
}

std::vector<line::PoolField> Fields(const std::string& suffix) {
  line::PoolField serial, mac;
  serial.pool = "serial" + suffix;
  serial.def.name = "serial";
  serial.def.size = 4;
  mac.pool = "mac" + suffix;
  mac.def.name = "mac";
  mac.def.format = production::Format::kMac;
  mac.def.size = 6;
  return {serial, mac};
}

// A record of a real board's size: a log of about 1 KiB, hashes, fields.
std::string Record(const std::string& id, const std::string& station, unsigned board,
                   const std::vector<line::PoolField>& fields,
                   const std::vector<production::FieldValue>& values) {
  production::BoardRecord r;
  r.id = id;
  r.station = station;
  r.time_start = r.time_end = std::chrono::system_clock::now();
  r.port = "/dev/ttyUSB0";
  r.device = r.port;
  r.board = board;
  r.result = "ok";
  r.bootloader = "2.8";
  r.chip = "LPC4357";
  r.chip_words = {0xA001C830, 0, 0x4D4C4551, 0x0053494D, 0, 0, 0, 0};
  for (size_t i = 0; i < fields.size(); ++i)
    r.fields.emplace_back(fields[i].def.name, production::ShowValue(fields[i].def, values[i]));
  r.code = production::FileHash{"app.fcode", std::string(64, 'a')};
  r.sent.bank_a = std::string(64, 'b');
  r.host = "bench";
  r.version = id;
  for (int i = 0; i < 16; ++i) r.log += "Write CODE block " + std::to_string(i) + "... OK.\n";
  r.log += std::string(700, 'x') + "\n";
  return production::RecordJson(r);
}

// Boards one after another: each one's seconds; values printed when asked.
bool RunBoards(const std::string& conninfo, const std::string& suffix, const std::string& station,
               unsigned boards, std::vector<double>* seconds, bool print) {
  line::LineDb db;
  std::string why;
  const auto fields = Fields(suffix);
  if (!db.Connect(conninfo, &why) || !db.CheckFields(fields, &why)) {
    std::fprintf(stderr, "line_bench: %s\n", why.c_str());
    return false;
  }
  for (unsigned n = 1; n <= boards; ++n) {
    const auto start = Clock::now();
    const std::string id = production::NewBoardId();
    std::vector<production::FieldValue> values;
    std::string key;
    if (db.Reserve(fields, {id, station, "/dev/ttyUSB0"}, &values, &key, &why) !=
        line::LineDb::Reserved::kOk) {
      std::fprintf(stderr, "line_bench: %s\n", why.c_str());
      return false;
    }
    const std::string record = line::WithoutNul(Record(id, station, n, fields, values));
    const std::string now = production::IsoUtc(std::chrono::system_clock::now());
    if (db.File({id, station, "/dev/ttyUSB0", n, "ok", now, now, record,
                 line::SealRecord(key, record), "", ""},
                &why) != line::LineDb::Filed::kOk) {
      std::fprintf(stderr, "line_bench: %s\n", why.c_str());
      return false;
    }
    seconds->push_back(std::chrono::duration<double>(Clock::now() - start).count());
    if (print) {
      std::printf("%llu %s\n", static_cast<unsigned long long>(values[0].number),
                  production::MacText(values[1].number).c_str());
    }
  }
  return true;
}

double At(std::vector<double> v, double fraction) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(fraction * static_cast<double>(v.size())))];
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int Run(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> copies = args;
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The private server: started here, its connection string returned.
struct PrivateServer {
  std::string env_file;
  std::map<std::string, std::string> values;
  bool Start() {
    env_file = "/tmp/quelmar-line-bench-" + std::to_string(getpid()) + ".env";
    setenv("QUELMAR_PG_FSYNC", "on", 1);
    if (Run("/bin/bash", {QUELMAR_PG_SERVER_SCRIPT, "start", env_file}) != 0) return false;
    std::istringstream lines(Read(env_file));
    std::string l;
    while (std::getline(lines, l)) {
      const size_t eq = l.find('=');
      if (eq != std::string::npos) values[l.substr(0, eq)] = l.substr(eq + 1);
    }
    // A station's own role over TCP on loopback, its password from the
    // environment, as on a line.
    const std::string psql = values["QUELMAR_PG_BIN"] + "/psql";
    for (const char* sql :
         {"CREATE ROLE quelmar_station NOLOGIN", "CREATE ROLE quelmar_supervisor NOLOGIN",
          "CREATE ROLE quelmar_engineer NOLOGIN",
          "CREATE ROLE bench LOGIN IN ROLE quelmar_engineer "
          "PASSWORD 'bench-password'",
          "CREATE DATABASE bench OWNER bench"}) {
      if (Run(psql, {"-X", "-q", "-h", values["QUELMAR_PG_SOCKET"], "-p", values["QUELMAR_PG_PORT"],
                     "-U", "quelmar", "-d", "postgres", "-c", sql}) != 0)
        return false;
    }
    setenv("PGPASSWORD", "bench-password", 1);
    return true;
  }
  std::string Conn() const {
    return "host=127.0.0.1 port=" + values.at("QUELMAR_PG_PORT") + " user=bench dbname=bench";
  }
  ~PrivateServer() {
    if (!env_file.empty()) Run("/bin/bash", {QUELMAR_PG_SERVER_SCRIPT, "stop", env_file});
  }
};

}  // namespace

int main(int argc, char** argv) {
  std::string conninfo;
  unsigned boards = 400, processes = 8;
  // --child CONNINFO SUFFIX STATION BOARDS: one of part 2's processes.
  if (argc == 6 && std::strcmp(argv[1], "--child") == 0) {
    std::vector<double> seconds;
    return RunBoards(argv[2], argv[3], argv[4], static_cast<unsigned>(std::atoi(argv[5])), &seconds,
                     true)
               ? 0
               : 1;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--db" && i + 1 < argc) {
      conninfo = argv[++i];
    } else if (arg == "--boards" && i + 1 < argc) {
      boards = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (arg == "--processes" && i + 1 < argc) {
      processes = static_cast<unsigned>(std::atoi(argv[++i]));
    } else if (arg == "--quick") {
      boards = 100;
    } else {
      return Usage();
    }
  }
  if (boards == 0 || processes == 0) return Usage();
  PrivateServer server;
  if (conninfo.empty()) {
    if (!server.Start()) {
      std::fprintf(stderr, "line_bench: the private server did not start\n");
      return 1;
    }
    conninfo = server.Conn();
  }
  const std::string suffix = "_bench" + std::to_string(getpid());
  line::LineDb db;
  std::string why;
  int from = 0;
  std::string advice;
  // Pools never overlap: each run's counters have ranges of their own.
  const uint64_t slot = static_cast<uint64_t>(getpid()) % 4000;
  if (!db.Connect(conninfo, &why) || !db.Init(&from, &advice, &why) ||
      !db.AddCounterPool({"serial" + suffix, "u32le", 100000 + slot * 1000000, 1,
                          100000 + slot * 1000000 + 999999},
                         &why) ||
      !db.AddCounterPool({"mac" + suffix, "mac", 0x020000000000 | (slot << 24), 1, std::nullopt},
                         &why)) {
    std::fprintf(stderr, "line_bench: %s\n", why.c_str());
    return 1;
  }
  std::printf("Server: %s\n", db.Server().c_str());

  std::printf("1. Reserve a serial number and a MAC address, file the record (%u boards):\n",
              boards);
  for (const char* commit : {"on", "off"}) {
    std::vector<double> seconds;
    const std::string conn = conninfo + " options='-c synchronous_commit=" + commit + "'";
    if (!RunBoards(conn, suffix, "bench", boards, &seconds, false)) return 1;
    std::printf("   synchronous_commit=%-3s median %.2f ms, 95%% %.2f ms, slowest %.2f ms\n",
                commit, At(seconds, 0.5) * 1000, At(seconds, 0.95) * 1000, At(seconds, 1.0) * 1000);
  }

  std::printf("2. %u processes at once, %u boards each:\n", processes, boards);
  std::vector<pid_t> pids;
  std::vector<std::string> outs;
  const auto start = Clock::now();
  for (unsigned p = 0; p < processes; ++p) {
    outs.push_back("/tmp/line-bench-" + std::to_string(getpid()) + "-" + std::to_string(p));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outs.back().c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {
        "/proc/self/exe",      "--child", conninfo, suffix, "station" + std::to_string(p),
        std::to_string(boards)};
    std::vector<char*> child_argv;
    for (std::string& a : args) child_argv.push_back(a.data());
    child_argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, child_argv.data(), environ) != 0) {
      std::fprintf(stderr, "line_bench: cannot start a process\n");
      return 1;
    }
    posix_spawn_file_actions_destroy(&actions);
    pids.push_back(pid);
  }
  bool ok = true;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::set<std::string> serials, macs;
  size_t lines = 0;
  for (const std::string& out : outs) {
    std::istringstream text(Read(out));
    std::string serial, mac;
    while (text >> serial >> mac) {
      ++lines;
      serials.insert(serial);
      macs.insert(mac);
    }
    std::remove(out.c_str());
  }
  const size_t total = size_t{processes} * boards;
  const bool distinct = lines == total && serials.size() == total && macs.size() == total;
  std::printf("   %.0f boards a second (%zu boards in %.2f s); %s\n",
              static_cast<double>(lines) / elapsed, lines, elapsed,
              distinct ? "every value once" : "VALUES MISSING OR GIVEN TWICE");

  // A board's record goes to the spool (written, flushed, renamed) before
  // its filing starts, and leaves it once filed: what that adds to a board.
  std::printf("3. The record into the spool and out again (%u boards):\n", boards);
  const std::string folder = "/tmp/line-bench-" + std::to_string(getpid()) + ".spool";
  line::Spool spool;
  if (!spool.Open(folder, &why)) {
    std::fprintf(stderr, "line_bench: %s\n", why.c_str());
    return 1;
  }
  std::vector<double> spooled;
  const auto fields = Fields(suffix);
  for (unsigned n = 1; n <= boards; ++n) {
    const std::string id = production::NewBoardId();
    const std::vector<production::FieldValue> values = {{100000ULL + n, "", false},
                                                        {0x02514D000000ULL + n, "", false}};
    const std::string record = Record(id, "bench", n, fields, values);
    const std::string now = production::IsoUtc(std::chrono::system_clock::now());
    const line::FiledBoard board{id,  "bench", "/dev/ttyUSB0",
                                 n,   "ok",    now,
                                 now, record,  line::SealRecord(std::string(64, '7'), record),
                                 "",  ""};
    const auto put = Clock::now();
    if (!spool.Put(board, &why) || !spool.Remove(id, &why)) {
      std::fprintf(stderr, "line_bench: %s\n", why.c_str());
      return 1;
    }
    spooled.push_back(std::chrono::duration<double>(Clock::now() - put).count());
  }
  std::filesystem::remove_all(folder);
  std::printf("   median %.2f ms, 95%% %.2f ms, slowest %.2f ms (%zu bytes a record)\n",
              At(spooled, 0.5) * 1000, At(spooled, 0.95) * 1000, At(spooled, 1.0) * 1000,
              Record(production::NewBoardId(), "bench", 1, fields,
                     {{100001, "", false}, {0x02514D000001, "", false}})
                  .size());
  return ok && distinct ? 0 : 1;
}
