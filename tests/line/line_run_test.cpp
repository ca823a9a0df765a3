// Runs with a [line] profile against simulated boards and a real
// PostgreSQL: stations at once on one pool, each board's flash against its
// record in the database, and the database stopped before a run, in the
// middle of a board, while an --auto run or a station waits; a station
// killed in the middle of a board. This program's server is stopped and
// started by its cases, so they run one at a time.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "image/image_writer.h"
#include "pg_support.h"
#include "printer.h"
#include "process.h"
#include "production/label.h"
#include "station_client.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr char kPassword[] = "Line-Run-5K";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits (bounded) until check() holds.
template <class Check>
bool Eventually(Check check, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    if (check()) return true;
    std::this_thread::sleep_for(100ms);
  }
  return check();
}

size_t SpoolFiles(const std::string& folder) {
  size_t n = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    if (entry.path().extension() == ".json" && entry.path().filename().string()[0] != '.') ++n;
  return n;
}

// The fields of every profile: a serial number, a MAC address and a label
// from a list, all in bank A (the data flash's erase takes a minute).
constexpr uint32_t kSerialAt = 0x100, kMacAt = 0x110, kLabelAt = 0x120, kLabelSize = 12;

// The first sign that a board's code is being written.
constexpr char kWriting[] = "\"type\":\"progress\"";

class LineRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The superuser over TCP with a password, as a station connects.
    Psql("postgres", std::string("ALTER ROLE quelmar PASSWORD '") + kPassword + "'");
  }
  void SetUp() override {
    db_ = FreshDatabase();
    conn_ = TcpConn(db_, "quelmar");
    server_ = "quelmar@127.0.0.1:" + Pg().port + "/" + db_;
    // The code image (a board writes its whole bank whatever the image's size).
    bank_a_ = RandomBytes(8 * 1024, 11);
    std::string error;
    ASSERT_TRUE(image::WriteFileAtomically(dir_.File("app.fcode"),
                                           image::BuildCodeFile(&bank_a_, nullptr, 'E'), &error));
    ASSERT_EQ(Line({"init"}).exit_code, 0);
    ASSERT_EQ(Line({"pool", "add", "serial", "--format", "u32le", "--start", "100000"}).exit_code,
              0);
    ASSERT_EQ(
        Line({"pool", "add", "mac", "--format", "mac", "--start", "02:51:4D:00:00:FC"}).exit_code,
        0);
    std::string labels;
    for (int i = 0; i < 30; ++i) labels += "LBL-" + std::to_string(500 + i) + "\n";
    WriteWholeFile(dir_.File("labels.txt"), labels);
    ASSERT_EQ(Line({"pool", "add", "labels", "--format", "text", "--list", dir_.File("labels.txt")})
                  .exit_code,
              0);
  }
  void TearDown() override {
    // A case that failed with the server stopped leaves it running for the next.
    if (!ServerUp()) StartServer();
  }

  std::vector<std::string> Env() const {
    return {std::string("PGPASSWORD=") + kPassword, "QUELMAR_PORT_DIR=" + dir_.File("ports")};
  }
  RunResult Line(std::vector<std::string> args) {
    args.insert(args.begin(), "line");
    args.insert(args.end(), {"--db", conn_});
    return RunProgram(QUELMAR_CLI_PATH, args, Env(), 60s);
  }
  bool ServerUp() {
    return RunProgram(Pg().bin + "/pg_isready", {"-h", Pg().socket, "-p", Pg().port}, {}, 30s)
               .exit_code == 0;
  }
  // A profile of station `station`, its records in STATION.jsonl and its
  // spool in STATION.spool beside it.
  std::string Profile(const std::string& station, const std::string& extra = "") {
    const std::string path = dir_.File(station + ".toml");
    WriteWholeFile(path, "code = \"app.fcode\"\nrecords = \"" + station + ".jsonl\"\n" + extra +
                             "\n[line]\ndatabase = \"" + conn_ + "\"\nstation = \"" + station +
                             "\"\n\n[[field]]\nname = \"serial\"\nat = \"0x1A000100\"\n"
                             "overwrite = true\npool = \"serial\"\n\n"
                             "[[field]]\nname = \"mac\"\nat = \"0x1A000110\"\nformat = \"mac\"\n"
                             "overwrite = true\npool = \"mac\"\n\n"
                             "[[field]]\nname = \"label\"\nat = \"0x1A000120\"\nformat = \"text\"\n"
                             "size = 12\noverwrite = true\npool = \"labels\"\n");
    return path;
  }
  // A simulated board that leaves its bank A in NAME.a when it stops.
  std::unique_ptr<SimProcess> Board(const std::string& name, std::vector<std::string> extra = {}) {
    auto sim = std::make_unique<SimProcess>();
    std::vector<std::string> args = {"--erase-ms", "10", "--dump-code-a", dir_.File(name + ".a")};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(sim->Start(args, Env()));
    return sim;
  }
  std::vector<json> DbRecords() {
    std::vector<json> records;
    for (const std::string& line :
         Lines(Sql("SELECT record::text FROM boards ORDER BY time_start")))
      records.push_back(json::parse(line));
    return records;
  }
  // The board's bank A holds what its record says, byte for byte.
  void ExpectFlashHolds(const json& record, const std::string& dump) {
    SCOPED_TRACE(dump);
    const Bytes flash = FileBytes(dump);
    ASSERT_GE(flash.size(), size_t{kLabelAt + kLabelSize});
    const uint64_t serial = record["fields"]["serial"].get<uint64_t>();
    for (int k = 0; k < 4; ++k) EXPECT_EQ(flash[kSerialAt + k], uint8_t(serial >> (8 * k)));
    std::string mac;
    for (int k = 0; k < 6; ++k) {
      char hex[4];
      std::snprintf(hex, sizeof hex, k == 0 ? "%02X" : ":%02X", flash[kMacAt + k]);
      mac += hex;
    }
    EXPECT_EQ(mac, record["fields"]["mac"].get<std::string>());
    std::string label(flash.begin() + kLabelAt, flash.begin() + kLabelAt + kLabelSize);
    label.resize(label.find('\0') == std::string::npos ? label.size() : label.find('\0'));
    EXPECT_EQ(label, record["fields"]["label"].get<std::string>());
  }
  std::string Sql(const std::string& sql) { return Psql(db_, sql); }
  // Station STATION's profile, its boards' labels going to `printer` with
  // a bound long enough that a run waits on a silent one until killed.
  std::string LabelProfile(const std::string& station, const Printer& printer) {
    WriteWholeFile(dir_.File("board.zpl"), "^XA^FDSN {serial}^FS^XZ\n");
    return Profile(station, "\n[label]\ntemplate = \"board.zpl\"\nprinter = \"" + printer.Target() +
                                "\"\ntimeout_ms = 120000\n");
  }
  // `run` flashes `board` with `profile`; back once the OK board's label
  // has reached `stalled`, which never answers.
  void StartWaitingOnLabel(BackgroundProgram& run, const SimProcess& board,
                           const std::string& profile, Printer& stalled) {
    ASSERT_TRUE(
        run.Start(QUELMAR_CLI_PATH, {"flash", board.device(), "--profile", profile}, Env()));
    ASSERT_TRUE(stalled.WaitForConnection(60s)) << run.Out() << run.Err();
  }
  // One board through `profile` on a fresh simulated board NAME.
  RunResult FlashOne(const std::string& name, const std::string& profile) {
    auto board = Board(name);
    const RunResult r =
        RunProgram(QUELMAR_CLI_PATH, {"flash", board->device(), "--profile", profile}, Env(), 120s);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    board->Stop();
    return r;
  }

  std::string db_, conn_, server_;
  TempDir dir_;
  Bytes bank_a_;
};

// Three stations at once, three boards each, one set of pools: nine boards,
// nine values of each pool, each board's flash holding what its record in
// the database says; the records files and the database agree.
TEST_F(LineRun, ThreeStationsNineBoards) {
  std::map<std::string, std::unique_ptr<SimProcess>> sims;  // by device path
  std::map<std::string, std::string> dumps;                 // device path -> dump
  std::vector<std::unique_ptr<BackgroundProgram>> stations;
  for (int s = 1; s <= 3; ++s) {
    std::vector<std::string> args = {"flash"};
    for (int b = 1; b <= 3; ++b) {
      const std::string name = "st" + std::to_string(s) + "b" + std::to_string(b);
      auto sim = Board(name);
      args.push_back(sim->device());
      dumps[sim->device()] = dir_.File(name + ".a");
      sims[sim->device()] = std::move(sim);
    }
    args.insert(args.end(), {"--profile", Profile("st" + std::to_string(s))});
    stations.push_back(std::make_unique<BackgroundProgram>());
    ASSERT_TRUE(stations.back()->Start(QUELMAR_CLI_PATH, args, Env()));
  }
  for (auto& station : stations)
    EXPECT_EQ(station->Wait(180s), 0) << station->Out() << station->Err();
  for (auto& [device, sim] : sims) sim->Stop();

  const std::vector<json> records = DbRecords();
  ASSERT_EQ(records.size(), 9u);
  std::set<std::string> serials, macs, labels, ids, devices;
  for (const json& r : records) {
    EXPECT_EQ(r["result"], "ok") << r.dump();
    serials.insert(std::to_string(r["fields"]["serial"].get<uint64_t>()));
    macs.insert(r["fields"]["mac"].get<std::string>());
    labels.insert(r["fields"]["label"].get<std::string>());
    ids.insert(r["id"].get<std::string>());
    devices.insert(r["device"].get<std::string>());
    ExpectFlashHolds(r, dumps.at(r["device"].get<std::string>()));
  }
  EXPECT_EQ(serials.size(), 9u);
  EXPECT_EQ(macs.size(), 9u);
  EXPECT_EQ(labels.size(), 9u);
  EXPECT_EQ(devices.size(), 9u);
  // The MAC counter carried from byte to byte, within its block.
  EXPECT_TRUE(macs.count("02:51:4D:00:00:FC") && macs.count("02:51:4D:00:01:04")) << *macs.rbegin();
  EXPECT_EQ(Sql("SELECT string_agg(pool || '=' || n, ' ' ORDER BY pool) FROM (SELECT pool, "
                "count(*) AS n FROM pool_values WHERE state = 'written' GROUP BY pool) s"),
            "labels=9 mac=9 serial=9");
  // Each station's records file holds its three boards, by the same ids.
  for (int s = 1; s <= 3; ++s) {
    const auto file = Lines(ReadWholeFile(dir_.File("st" + std::to_string(s) + ".jsonl")));
    ASSERT_EQ(file.size(), 3u);
    for (const std::string& line : file) {
      const json r = json::parse(line);
      EXPECT_EQ(r["station"], "st" + std::to_string(s));
      EXPECT_TRUE(ids.count(r["id"].get<std::string>())) << line;
    }
  }

  // A board looked up by a MAC as an operator types it.
  const json& one = records[4];
  std::string typed = one["fields"]["mac"].get<std::string>();
  for (char& c : typed) c = c == ':' ? '-' : static_cast<char>(std::tolower(c));
  RunResult r = RunProgram(QUELMAR_CLI_PATH, {"records", "--db", conn_, "--serial", typed}, Env());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(Lines(r.out).size(), 1u) << r.out;
  EXPECT_NE(r.out.find("  " + one["station"].get<std::string>() + "  " +
                       one["port"].get<std::string>() + "  board "),
            std::string::npos)
      << r.out;
  r = RunProgram(QUELMAR_CLI_PATH, {"records", "--db", conn_, "--failed"}, Env());
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quelmar-cli: no board matches.\n");
  r = RunProgram(QUELMAR_CLI_PATH, {"records", "--db", conn_, "--csv"}, Env());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Lines(r.out).size(), 10u);
  EXPECT_NE(r.out.find(",station,id,"), std::string::npos) << r.out;
}

// The database stopped before a run: one line naming the server, exit 1,
// and the board is not asked anything.
TEST_F(LineRun, DatabaseStoppedBeforeARun) {
  SimProcess sim;  // not quiet: it counts the requests it saw
  ASSERT_TRUE(sim.Start({"--erase-ms", "10"}, Env()));
  const std::string profile = Profile("st1");
  StopServer();
  const RunResult r =
      RunProgram(QUELMAR_CLI_PATH, {"flash", sim.device(), "--profile", profile}, Env(), 60s);
  StartServer();
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quelmar-cli: cannot connect to the line's database " + server_ +
                       ": Connection refused\n");
  EXPECT_EQ(r.out, "Loading CODE completed !\n");
  sim.Stop();
  EXPECT_NE(sim.Stderr().find(" 0 requests"), std::string::npos) << sim.Stderr();
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE state <> 'free'"), "0");
}

// The database stopped in the middle of a board: the board finishes, its
// record waits in the spool (and is in the records file), and the next run
// files it, once.
TEST_F(LineRun, DatabaseStoppedMidBoard) {
  auto slow = Board("slow");
  const std::string profile = Profile("st1");
  BackgroundProgram run;
  ASSERT_TRUE(run.Start(QUELMAR_CLI_PATH, {"flash", slow->device(), "--profile", profile, "--json"},
                        Env()));
  // Held still while the server stops, its values reserved and its board
  // half written (a paced board would take the whole bank's wire time).
  ASSERT_TRUE(run.WaitForOutput(kWriting, 1, 60s)) << run.Out() << run.Err();
  run.Signal(SIGSTOP);
  ASSERT_EQ(run.Out().find("\"type\":\"record\""), std::string::npos)
      << "the board ended before the station could be held";
  StopServer();
  run.Signal(SIGCONT);
  EXPECT_EQ(run.Wait(120s), 0) << run.Out() << run.Err();
  slow->Stop();
  EXPECT_NE(run.Err().find("cannot connect to the line's database " + server_ +
                           ": Connection refused; the record waits in '" + dir_.File("st1.spool") +
                           "' until it answers"),
            std::string::npos)
      << run.Err();
  EXPECT_EQ(SpoolFiles(dir_.File("st1.spool")), 1u);
  const auto file = Lines(ReadWholeFile(dir_.File("st1.jsonl")));
  ASSERT_EQ(file.size(), 1u);
  const json first = json::parse(file[0]);
  EXPECT_EQ(first["result"], "ok");
  ExpectFlashHolds(first, dir_.File("slow.a"));

  StartServer();
  auto next = Board("next");
  const RunResult r =
      RunProgram(QUELMAR_CLI_PATH, {"flash", next->device(), "--profile", profile}, Env(), 120s);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  next->Stop();
  EXPECT_EQ(SpoolFiles(dir_.File("st1.spool")), 0u);
  const std::vector<json> records = DbRecords();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0]["id"], first["id"]);
  EXPECT_EQ(records[0], first);
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE state = 'written'"), "6");
  EXPECT_NE(records[1]["fields"]["serial"], first["fields"]["serial"]);
}

// A station killed in the middle of a board: its values are orphans, listed
// with station and port, and never handed out again.
TEST_F(LineRun, KilledMidBoardLeavesOrphans) {
  auto slow = Board("slow", {"--pace"});
  const std::string profile = Profile("st7");
  BackgroundProgram run;
  ASSERT_TRUE(run.Start(QUELMAR_CLI_PATH, {"flash", slow->device(), "--profile", profile, "--json"},
                        Env()));
  ASSERT_TRUE(run.WaitForOutput(kWriting, 1, 60s)) << run.Out() << run.Err();
  run.Signal(SIGKILL);
  run.Wait(30s);
  slow->Stop();
  RunResult r = Line({"orphans"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto orphans = Lines(r.out);
  ASSERT_EQ(orphans.size(), 4u) << r.out;  // a heading, then serial, mac and label
  std::string orphaned;
  for (size_t i = 1; i < orphans.size(); ++i) {
    EXPECT_NE(orphans[i].find("st7"), std::string::npos) << orphans[i];
    EXPECT_NE(orphans[i].find(slow->device()), std::string::npos) << orphans[i];
    orphaned += orphans[i] + "\n";
  }
  auto next = Board("next");
  r = RunProgram(QUELMAR_CLI_PATH, {"flash", next->device(), "--profile", profile, "--json"}, Env(),
                 120s);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  next->Stop();
  const std::vector<json> records = DbRecords();
  ASSERT_EQ(records.size(), 1u);
  for (const char* field : {"mac", "label"}) {
    const std::string value = records[0]["fields"][field].get<std::string>();
    EXPECT_EQ(orphaned.find(" " + value + " "), std::string::npos) << value << "\n" << orphaned;
  }
  EXPECT_EQ(records[0]["fields"]["serial"], 100001);
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE state = 'reserved'"), "3");
}

// A station killed while an OK board's label waits for a silent printer:
// the board's record was held, sealed, before the label went out; the
// station's next start files it (its values written, never drawn again)
// with its label not known to have printed.
TEST_F(LineRun, KilledWhileALabelPrintsFilesTheBoardAtTheNextStart) {
  Printer stalled(Printer::Mode::kStall);
  const std::string profile = LabelProfile("st9", stalled);
  auto first = Board("first");
  BackgroundProgram run;
  ASSERT_NO_FATAL_FAILURE(StartWaitingOnLabel(run, *first, profile, stalled));
  run.Signal(SIGKILL);
  run.Wait(30s);
  first->Stop();
  EXPECT_TRUE(DbRecords().empty());

  Printer taking(Printer::Mode::kTake);
  LabelProfile("st9", taking);
  const RunResult r = FlashOne("next", profile);
  EXPECT_NE(r.err.find("was OK when the station ended while printing its label: its record goes "
                       "into the spool now, to be filed from there"),
            std::string::npos)
      << r.err;
  const std::vector<json> records = DbRecords();
  ASSERT_EQ(records.size(), 2u) << r.err;
  EXPECT_EQ(records[0]["result"], "ok");
  EXPECT_EQ(records[0]["label"]["printed"], false);
  EXPECT_EQ(records[0]["label"]["why"], production::kLabelNotKnown);
  EXPECT_EQ(records[1]["label"]["printed"], true);
  EXPECT_NE(records[1]["fields"]["serial"], records[0]["fields"]["serial"]);
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE state = 'written'"), "6");
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE state = 'reserved'"), "0");
  EXPECT_EQ(SpoolFiles(dir_.File("st9.spool")), 0u);
  EXPECT_EQ(SpoolFiles(dir_.File("st9.spool/held")), 0u);
}

// Two runs of one station share its spool: the one that starts while the
// other's label waits leaves that held record to its holder, and only once
// the holder is killed does a later start file it, once.
TEST_F(LineRun, AHeldRecordOfARunStillGoingIsLeftToIt) {
  Printer stalled(Printer::Mode::kStall);
  const std::string profile = LabelProfile("st8", stalled);
  auto first = Board("first");
  BackgroundProgram holder;
  ASSERT_NO_FATAL_FAILURE(StartWaitingOnLabel(holder, *first, profile, stalled));

  Printer taking(Printer::Mode::kTake);
  LabelProfile("st8", taking);
  const auto run = [&](const std::string& name) { return FlashOne(name, profile).err; };
  const std::string filed_now = "was OK when the station ended while printing its label";
  std::string err = run("second");
  EXPECT_EQ(err.find(filed_now), std::string::npos) << err;
  std::vector<json> records = DbRecords();
  ASSERT_EQ(records.size(), 1u) << err;
  EXPECT_EQ(records[0]["label"]["printed"], true);

  holder.Signal(SIGKILL);
  holder.Wait(30s);
  first->Stop();
  // And the lock of a run killed between its lock and its folder.
  WriteWholeFile(dir_.File("st8.spool/held/pc-9_4711_0.lock"), "");
  err = run("third");
  EXPECT_NE(err.find(filed_now), std::string::npos) << err;
  records = DbRecords();
  ASSERT_EQ(records.size(), 3u) << err;
  EXPECT_EQ(records[0]["label"]["why"], production::kLabelNotKnown);
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE state = 'written'"), "9");
  EXPECT_EQ(Sql("SELECT count(*) FROM refused_filings"), "0");
  // Every run that ended took its folder and lock file with it, or the
  // next one swept them.
  EXPECT_TRUE(std::filesystem::is_empty(dir_.File("st8.spool/held")));
}

// What is refused before any board is touched, each in one line that holds
// no password: a wrong password, a password inside the profile's
// connection string, a field with both a pool and a list, a pool the
// database does not have.
TEST_F(LineRun, RefusedBeforeAnyBoard) {
  const std::string wrong = "Wrong-Run-8T";
  struct Case {
    const char* what;
    std::string from, to;  // the profile's text edited so
    std::vector<std::string> env;
    std::string says;  // the line on stderr starts so
  };
  const std::string uri = "postgresql://quelmar:" + wrong + "@127.0.0.1:" + Pg().port + "/" + db_;
  const Case cases[] = {
      {"a wrong password",
       "",
       "",
       {"PGPASSWORD=" + wrong},
       "quelmar-cli: cannot connect to the line's database " + server_ +
           ": password authentication failed for user \"quelmar\""},
      {"a password in the profile",
       conn_,
       uri,
       {},
       "quelmar-cli: the connection string holds a password: passwords go in ~/.pgpass"},
      {"a pool and a list",
       "pool = \"serial\"",
       "pool = \"serial\"\nlist = \"labels.txt\"",
       {},
       "quelmar-cli: "},
      {"a pool not there", "pool = \"mac\"", "pool = \"macs\"", {}, "quelmar-cli: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string text = ReadWholeFile(Profile("st5"));
    if (!c.from.empty()) text.replace(text.find(c.from), c.from.size(), c.to);
    WriteWholeFile(dir_.File("st5.toml"), text);
    SimProcess sim;  // not quiet: it counts the requests it saw
    ASSERT_TRUE(sim.Start({"--erase-ms", "10"}, Env()));
    std::vector<std::string> env = Env();
    env.insert(env.end(), c.env.begin(), c.env.end());
    const RunResult r =
        RunProgram(QUELMAR_CLI_PATH,
                   {"flash", sim.device(), "--profile", dir_.File("st5.toml"), "--json"}, env, 60s);
    sim.Stop();
    EXPECT_EQ(r.exit_code, 1);
    // One line says why (--json sends the images' loading lines there too).
    const auto lines = Lines(r.err);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind(c.says, 0), 0u) << r.err;
    EXPECT_EQ(Occurrences(r.err, "quelmar-cli: "), 1) << r.err;
    EXPECT_EQ(r.out.find(wrong) + r.err.find(wrong), 2 * std::string::npos) << r.out << r.err;
    EXPECT_NE(sim.Stderr().find(" 0 requests"), std::string::npos) << sim.Stderr();
    if (std::filesystem::exists(dir_.File("st5.jsonl"))) {
      EXPECT_EQ(ReadWholeFile(dir_.File("st5.jsonl")), "");
    }
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE state <> 'free'"), "0");
  EXPECT_EQ(Sql("SELECT count(*) FROM boards"), "0");
}

// An --auto run whose database goes away while it waits for a board: the
// board that comes is held (the run says why, in one line naming the
// server), not touched, and written once the database is back.
TEST_F(LineRun, AutoRunCarriesOnWhenTheDatabaseReturns) {
  const std::string profile = Profile("st3");
  BackgroundProgram run;
  ASSERT_TRUE(run.Start(
      QUELMAR_CLI_PATH,
      {"flash", "COM41", "--auto", "--count", "1", "--profile", profile, "--json"}, Env()));
  // Past its checks: its connection is there.
  ASSERT_TRUE(Eventually(
      [&] {
        return Psql("postgres", "SELECT count(*) FROM pg_stat_activity WHERE datname = '" + db_ +
                                    "' AND application_name = 'quelmar'") != "0";
      },
      60s));
  StopServer();
  auto board = Board("auto", {"--com", "41"});
  // Refused, or (a look in the middle of the server's stop) told it shuts down.
  const std::string away = "cannot connect to the line's database " + server_ + ": ";
  const auto held = [&](const std::string& text, const std::string& after) {
    for (const std::string& line : Lines(text)) {
      const size_t at = line.find(away);
      if (at != std::string::npos && line.find(after) != std::string::npos) return true;
    }
    return false;
  };
  ASSERT_TRUE(
      Eventually([&] { return held(run.Err(), "; no new board starts until it answers"); }, 60s))
      << run.Err();
  ASSERT_TRUE(
      Eventually([&] { return held(run.Out(), "\"type\":\"held\",\"port\":\"COM41\""); }, 10s))
      << run.Out();
  // Held: a few polls go by and no board starts.
  std::this_thread::sleep_for(3s);
  EXPECT_EQ(run.Out().find("board_start"), std::string::npos) << run.Out();
  StartServer();
  EXPECT_EQ(run.Wait(120s), 0) << run.Out() << run.Err();
  board->Stop();
  EXPECT_NE(run.Err().find("COM41: the line's database answers again"), std::string::npos)
      << run.Err();
  EXPECT_NE(run.Out().find("{\"type\":\"held\",\"port\":\"COM41\",\"why\":null}"),
            std::string::npos)
      << run.Out();
  // Each said once (the loads' lines go to stderr with --json).
  EXPECT_EQ(Occurrences(run.Err(), "no new board starts"), 1) << run.Err();
  EXPECT_EQ(Occurrences(run.Err(), "answers again"), 1) << run.Err();
  const std::vector<json> records = DbRecords();
  ASSERT_EQ(records.size(), 1u);
  ExpectFlashHolds(records[0], dir_.File("auto.a"));
}

// A station whose database goes away while it waits: the board plugged in
// is held, the slot (as the page reads it) and the terminal say why in one
// line, and the station carries on by itself once the database is back.
TEST_F(LineRun, StationHoldsItsSlotWhileTheDatabaseIsAway) {
  const std::string profile = ReadWholeFile(Profile("st9", "ports = [\"COM43\"]\n"));
  StationRun station;
  ASSERT_TRUE(station.Start(dir_, profile, Env()));
  nlohmann::json last;
  ASSERT_TRUE(station.WaitFor([](const json& s) { return s["slots"].size() == 1u; }, 20s, &last))
      << last.dump();
  StopServer();
  auto board = Board("station", {"--com", "43"});
  const std::string why =
      "cannot connect to the line's database " + server_ + ": Connection refused";
  ASSERT_TRUE(
      station.WaitFor([&](const json& s) { return s["slots"][0]["note"] == why; }, 60s, &last))
      << last.dump() << station.program().Err();
  std::this_thread::sleep_for(2s);  // a few looks at the database
  last = station.State();
  EXPECT_EQ(last["slots"][0]["boards"], 0) << last.dump();
  EXPECT_NE(station.program().Err().find("quelmar-cli: COM43: " + why +
                                         "; no new board starts until it answers\n"),
            std::string::npos)
      << station.program().Err();
  StartServer();
  EXPECT_TRUE(station.WaitFor(
      [](const json& s) { return s["slots"][0]["boards"] == 1 && s["slots"][0]["note"] == ""; },
      60s, &last))
      << last.dump() << station.program().Err();
  EXPECT_EQ(station.Stop(), 0) << station.program().Err();
  board->Stop();
  EXPECT_NE(station.program().Err().find("quelmar-cli: COM43: the line's database answers again"),
            std::string::npos)
      << station.program().Err();
  const std::vector<json> records = DbRecords();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["station"], "st9");
  EXPECT_EQ(records[0]["result"], "ok");
  ExpectFlashHolds(records[0], dir_.File("station.a"));
}

}  // namespace
}  // namespace quelmar::testing
