// Released jobs run against simulated boards and a real PostgreSQL: what a
// station writes is the job's bytes whatever its folder holds, a quantity
// holds across stations, a retired version changes over or stops, and a
// job that does not check touches no board.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "image/image_writer.h"
#include "pg_support.h"
#include "printer.h"
#include "process.h"
#include "station_client.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr char kPassword[] = "Job-Run-7Q";
constexpr uint32_t kSerialAt = 0x100;

class JobRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Psql("postgres", std::string("ALTER ROLE quelmar PASSWORD '") + kPassword + "'");
  }
  void SetUp() override {
    db_ = FreshDatabase();
    conn_ = TcpConn(db_, "quelmar");
    ASSERT_EQ(Cli({"line", "init"}).exit_code, 0);
    ASSERT_EQ(
        Cli({"line", "pool", "add", "serial", "--format", "u32le", "--start", "7000"}).exit_code,
        0);
  }

  std::vector<std::string> Env() const {
    return {std::string("PGPASSWORD=") + kPassword, "QUELMAR_PORT_DIR=" + dir_.File("ports")};
  }
  RunResult Cli(std::vector<std::string> args) {
    args.insert(args.end(), {"--db", conn_});
    return RunProgram(QUELMAR_CLI_PATH, args, Env(), 120s);
  }
  std::string Sql(const std::string& sql) { return Psql(db_, sql); }

  // Releases app.fcode holding bank as the next version of widget; the
  // bundle hash it printed.
  std::string Release(const Bytes& bank, const std::vector<std::string>& extra = {}) {
    std::string error;
    EXPECT_TRUE(image::WriteFileAtomically(dir_.File("app.fcode"),
                                           image::BuildCodeFile(&bank, nullptr, 'E'), &error));
    WriteWholeFile(dir_.File("widget.toml"),
                   "code = \"app.fcode\"\n\n[line]\ndatabase = \"" + conn_ +
                       "\"\n\n[[field]]\nname = \"serial\"\nat = \"0x1A000100\"\n"
                       "overwrite = true\npool = \"serial\"\n");
    std::vector<std::string> args = {"job", "release", dir_.File("widget.toml"), "--name",
                                     "widget"};
    args.insert(args.end(), extra.begin(), extra.end());
    const RunResult r = Cli(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::smatch m;
    EXPECT_TRUE(std::regex_search(r.out, m, std::regex("\\(sha256 ([0-9a-f]{64})\\)"))) << r.out;
    return m.size() > 1 ? m[1].str() : "";
  }
  // A station's profile running `job`.
  std::string Station(const std::string& name, const std::string& job) {
    const std::string path = dir_.File(name + ".toml");
    WriteWholeFile(path, "[line]\ndatabase = \"" + conn_ + "\"\nstation = \"" + name +
                             "\"\njob = \"" + job + "\"\n");
    return path;
  }
  // A board that leaves its bank A in NAME.a when it stops.
  std::unique_ptr<SimProcess> Board(const std::string& name, std::vector<std::string> extra = {}) {
    auto sim = std::make_unique<SimProcess>();
    std::vector<std::string> args = {"--erase-ms", "10", "--dump-code-a", dir_.File(name + ".a")};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_TRUE(sim->Start(args, Env()));
    return sim;
  }
  // Bank A as a board received it: bank with the serial at its place.
  static Bytes Written(Bytes bank, uint32_t serial) {
    for (int k = 0; k < 4; ++k) bank[kSerialAt + k] = uint8_t(serial >> (8 * k));
    return bank;
  }
  void ExpectBank(const std::string& dump, const Bytes& bank, uint32_t serial) {
    const Bytes flash = FileBytes(dump);
    ASSERT_GE(flash.size(), bank.size()) << dump;
    EXPECT_EQ(Bytes(flash.begin(), flash.begin() + bank.size()), Written(bank, serial)) << dump;
  }
  std::vector<json> Records() {
    std::vector<json> records;
    std::istringstream in(Sql("SELECT record::text FROM boards ORDER BY time_start"));
    for (std::string line; std::getline(in, line);) records.push_back(json::parse(line));
    return records;
  }

  std::string db_, conn_;
  TempDir dir_;
};

// The board gets the released bytes though the folder's file changed
// after the release; the record, the boards table and `records --job`
// name the job.
TEST_F(JobRun, TheBoardGetsTheReleasedBytes) {
  const Bytes released = RandomBytes(8 * 1024, 31);
  const std::string hash = Release(released);
  WriteWholeFile(dir_.File("app.fcode"), "changed on the station's disk after the release");
  auto board = Board("b1");
  const RunResult r =
      RunProgram(QUELMAR_CLI_PATH,
                 {"flash", board->device(), "--profile", Station("st1", "widget")}, Env(), 120s);
  board->Stop();
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  ExpectBank(dir_.File("b1.a"), released, 7000);
  const std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["job"], (json{{"name", "widget"}, {"version", 1}, {"sha256", hash}}));
  EXPECT_EQ(records[0]["code"]["file"], "job widget@1/app.fcode");
  EXPECT_EQ(Sql("SELECT job || '@' || job_version FROM boards"), "widget@1");
  EXPECT_EQ(Sql("SELECT made FROM jobs"), "1");
  const RunResult listed = Cli({"records", "--job", "widget@1"});
  EXPECT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("st1"), std::string::npos) << listed.out;
  EXPECT_EQ(Cli({"records", "--job", "widget@2"}).exit_code, 1);

  // A sealed record of a board of the job that says another image was
  // written is refused.
  const std::string id = "7a0c1e52-9d3b-4f6e-8a41-0c5d2b7e9f13";
  const json reserved = json::parse(Sql("SELECT quelmar_reserve('st1', 'COM9', '" + id +
                                        "', '{serial}', '{serial}', 'widget', 1, true)"));
  json forged = records[0];
  forged["id"] = id;
  forged["port"] = "COM9";
  forged["fields"]["serial"] = std::stoull(reserved["values"][0].get<std::string>());
  forged["code"]["sha256"] = std::string(64, 'e');
  const std::string text = forged.dump();
  EXPECT_EQ(Sql("SELECT quelmar_file('st1', '" + id + "', 'ok', $q$" + text +
                "$q$, encode(quelmar_hmac(decode('" + reserved["key"].get<std::string>() +
                "', 'hex'), convert_to($q$" + text + "$q$, 'UTF8')), 'hex'))"),
            "refused: the record's images are not the ones of job widget@1");
}

// A job whose field takes the scanned unit: released with the line's
// pools for its other fields only, and a station running it with scans on
// stdin writes each board's unit into its flash and files it.
TEST_F(JobRun, AJobsScanFieldWritesTheScannedUnit) {
  const Bytes bank = RandomBytes(8 * 1024, 33);
  std::string error;
  ASSERT_TRUE(image::WriteFileAtomically(dir_.File("app.fcode"),
                                         image::BuildCodeFile(&bank, nullptr, 'E'), &error));
  WriteWholeFile(dir_.File("widget.toml"),
                 "code = \"app.fcode\"\nscan = \"required\"\n\n[line]\ndatabase = \"" + conn_ +
                     "\"\n\n[[field]]\nname = \"serial\"\nat = \"0x1A000100\"\n"
                     "overwrite = true\npool = \"serial\"\n\n[[field]]\nname = \"unit\"\n"
                     "at = \"0x1A000200\"\noverwrite = true\nsource = \"scan\"\n"
                     "format = \"text\"\nsize = 12\n");
  const RunResult released = Cli({"job", "release", dir_.File("widget.toml"), "--name", "widget"});
  ASSERT_EQ(released.exit_code, 0) << released.err;
  WriteWholeFile(dir_.File("scans.txt"), "PCB-0042\n");
  auto board = Board("b1");
  const RunResult r = RunProgram(
      QUELMAR_CLI_PATH, {"flash", board->device(), "--auto", "--profile", Station("st1", "widget")},
      Env(), 120s, dir_.File("scans.txt"));
  board->Stop();
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  Bytes want = Written(bank, 7000);
  const std::string unit = "PCB-0042";
  std::fill(want.begin() + 0x200, want.begin() + 0x20C, 0);
  std::copy(unit.begin(), unit.end(), want.begin() + 0x200);
  const Bytes flash = FileBytes(dir_.File("b1.a"));
  ASSERT_GE(flash.size(), want.size());
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + want.size()), want);
  const std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "ok");
  EXPECT_EQ(records[0]["unit"], unit);
  EXPECT_EQ(records[0]["fields"], (json{{"serial", 7000}, {"unit", unit}}));
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values"), "1");
}

// The job carries its label's template, in its bundle hash like its
// images; the station names the printer. The label goes out with the
// board's serial from the pool and the job's name, and `label reprint
// --db` sends the same bytes again.
TEST_F(JobRun, AJobsLabelGoesToTheStationsPrinterAndIsReprintedFromTheDatabase) {
  const Bytes bank = RandomBytes(8 * 1024, 41);
  WriteWholeFile(dir_.File("widget.zpl"),
                 "^XA^FO20,20^FDSN {serial} {job}^FS^FO20,60^BQN,2,5^FDQA,{serial}^FS^XZ\n");
  std::string error;
  ASSERT_TRUE(image::WriteFileAtomically(dir_.File("app.fcode"),
                                         image::BuildCodeFile(&bank, nullptr, 'E'), &error));
  const std::string product =
      "code = \"app.fcode\"\n\n[line]\ndatabase = \"" + conn_ +
      "\"\n\n[[field]]\nname = \"serial\"\nat = \"0x1A000100\"\noverwrite = true\n"
      "pool = \"serial\"\n\n[label]\ntemplate = \"widget.zpl\"\n";
  WriteWholeFile(dir_.File("widget.toml"), product);
  // The printer is the station's: a job that names one is refused.
  WriteWholeFile(dir_.File("printer.toml"), product + "printer = \"tcp://zebra:9100\"\n");
  RunResult r = Cli({"job", "release", dir_.File("printer.toml"), "--name", "widget"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("'label.printer' belongs to a station, not to a job"), std::string::npos)
      << r.err;
  r = Cli({"job", "release", dir_.File("widget.toml"), "--name", "widget"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("label widget.zpl ("), std::string::npos) << r.out;
  EXPECT_EQ(Sql("SELECT kind || ' ' || format FROM job_images ORDER BY kind"),
            "code fcode\nlabel zpl");
  // The template on the station's disk is not the one printed.
  WriteWholeFile(dir_.File("widget.zpl"), "^XA^FDchanged^FS^XZ\n");

  Printer printer(Printer::Mode::kTake);
  const std::string station = Station("st1", "widget");
  WriteWholeFile(station, ReadWholeFile(station) + "\n[label]\nprinter = \"" + printer.Target() +
                              "\"\ntimeout_ms = 5000\n");
  auto board = Board("b1");
  r = RunProgram(QUELMAR_CLI_PATH, {"flash", board->device(), "--profile", station}, Env(), 120s);
  board->Stop();
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  ASSERT_TRUE(printer.WaitForLabels(1, 10s));
  const std::vector<json> records = Records();
  ASSERT_EQ(records.size(), 1u);
  const json& label = records[0]["label"];
  EXPECT_EQ(label["printed"], true) << label.dump();
  EXPECT_EQ(label["text"],
            "^XA^FO20,20^FH\\^FDSN 7000 widget@1^FS^FO20,60^BQN,2,5^FH\\^FDQA,7000^FS^XZ\n");
  EXPECT_EQ(printer.Labels()[0], label["text"].get<std::string>());

  r = Cli({"label", "reprint", "--serial", "7000"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  ASSERT_TRUE(printer.WaitForLabels(2, 10s));
  EXPECT_EQ(printer.Labels()[1], printer.Labels()[0]);
  r = Cli({"label", "reprint", "--serial", "7001"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quelmar-cli: value 7001: no record matches\n");
}

// Quantity 3, two stations of two boards each at once: three OK boards,
// the fourth refused in one line before its first erase.
TEST_F(JobRun, TheQuantityHoldsAcrossStations) {
  const Bytes released = RandomBytes(8 * 1024, 32);
  Release(released, {"--quantity", "3"});
  std::vector<std::unique_ptr<SimProcess>> boards;
  std::vector<std::unique_ptr<BackgroundProgram>> stations;
  for (int s = 1; s <= 2; ++s) {
    std::vector<std::string> args = {"flash"};
    for (int b = 1; b <= 2; ++b) {
      boards.push_back(Board("s" + std::to_string(s) + "b" + std::to_string(b)));
      args.push_back(boards.back()->device());
    }
    args.insert(args.end(), {"--profile", Station("st" + std::to_string(s), "widget")});
    stations.push_back(std::make_unique<BackgroundProgram>());
    ASSERT_TRUE(stations.back()->Start(QUELMAR_CLI_PATH, args, Env()));
  }
  std::string err;
  int failed_runs = 0;
  for (auto& station : stations) {
    failed_runs += station->Wait(180s) != 0;
    err += station->Err();
  }
  for (auto& board : boards) board->Stop();
  EXPECT_EQ(failed_runs, 1) << err;
  EXPECT_EQ(Sql("SELECT count(*) FROM boards WHERE result = 'ok'"), "3");
  EXPECT_EQ(Sql("SELECT made FROM jobs"), "3");
  EXPECT_NE(err.find("job widget@1 has made its 3 boards: "), std::string::npos) << err;
  // The refused board was identified and never erased: no bank A of it
  // holds the image.
  int written = 0;
  for (const char* name : {"s1b1", "s1b2", "s2b1", "s2b2"}) {
    const Bytes flash = FileBytes(dir_.File(std::string(name) + ".a"));
    written +=
        flash.size() >= released.size() &&
        std::equal(released.begin() + kSerialAt + 4, released.end(), flash.begin() + kSerialAt + 4);
  }
  EXPECT_EQ(written, 3);
}

// Version 1 retired while an --auto run waits: its next board waits
// untouched until version 2 is released, then gets version 2, and the
// terminal says so. A profile pinned to
// the retired version then starts no board.
TEST_F(JobRun, ARetiredVersionChangesOverOrStops) {
  const Bytes v1 = RandomBytes(8 * 1024, 33), v2 = RandomBytes(8 * 1024, 34);
  Release(v1);
  BackgroundProgram run;
  ASSERT_TRUE(run.Start(
      QUELMAR_CLI_PATH,
      {"flash", "COM44", "--auto", "--count", "2", "--profile", Station("st1", "widget")}, Env()));
  {
    auto first = Board("first", {"--com", "44"});
    ASSERT_TRUE(run.WaitForOutput("COM44: board 1: OK", 1, 120s)) << run.Out() << run.Err();
  }  // unplugged
  ASSERT_EQ(Cli({"job", "retire", "widget@1"}).exit_code, 0);
  // Retired before a newer version is out: the next board waits, untouched.
  auto second = Board("second", {"--com", "44"});
  ASSERT_TRUE(WaitUntil([&] {
    return run.Err().find(
               "COM44: job widget@1 is retired: no new board of it starts and no "
               "newer version is released; the board waits, untouched, until one "
               "is") != std::string::npos;
  })) << run.Err();
  const std::string v2_hash = Release(v2);
  EXPECT_EQ(run.Wait(120s), 0) << run.Out() << run.Err();
  second->Stop();
  EXPECT_NE(run.Err().find("changed over to job widget@2 (sha256 " + v2_hash +
                           "): job widget@1 is retired"),
            std::string::npos)
      << run.Err();
  ExpectBank(dir_.File("first.a"), v1, 7000);
  ExpectBank(dir_.File("second.a"), v2, 7001);
  EXPECT_EQ(
      Sql("SELECT string_agg(job || '@' || job_version, ' ' ORDER BY time_start) FROM boards"),
      "widget@1 widget@2");

  SimProcess untouched;  // not quiet: it counts the requests it saw
  ASSERT_TRUE(untouched.Start({"--erase-ms", "10"}, Env()));
  const RunResult pinned = RunProgram(
      QUELMAR_CLI_PATH, {"flash", untouched.device(), "--profile", Station("st2", "widget@1")},
      Env(), 60s);
  untouched.Stop();
  EXPECT_EQ(pinned.exit_code, 1);
  EXPECT_EQ(pinned.err, "quelmar-cli: job widget@1 is retired: no new board of it starts\n");
  EXPECT_NE(untouched.Stderr().find(" 0 requests"), std::string::npos) << untouched.Stderr();
}

// Refused before any board, in one line: a job the line does not have,
// and a job whose bytes were changed in the database behind the line's
// back.
TEST_F(JobRun, AJobThatDoesNotCheckTouchesNoBoard) {
  const std::string hash = Release(RandomBytes(8 * 1024, 35));
  struct Case {
    const char* what;
    std::string sql, job, says;
  };
  const Case cases[] = {
      {"no such job", "", "gadget",
       "quelmar-cli: no released version of job gadget in the line's database"},
      {"no such version", "", "widget@9", "quelmar-cli: no job widget@9 in the line's database"},
      {"bytes changed",
       "UPDATE job_images SET bytes = set_byte(bytes, 40, get_byte(bytes, 40) # 1)", "widget",
       "quelmar-cli: job widget@1: its code image 'app.fcode' has SHA-256 "},
      {"bytes and their hash changed",
       "UPDATE job_images SET bytes = set_byte(bytes, 41, get_byte(bytes, 41) # 1), "
       "sha256 = encode(sha256(set_byte(bytes, 41, get_byte(bytes, 41) # 1)), 'hex')",
       "widget", "quelmar-cli: job widget@1: its bundle hash is "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.sql.empty()) Sql(c.sql);
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--erase-ms", "10"}, Env()));
    const RunResult r = RunProgram(
        QUELMAR_CLI_PATH, {"flash", sim.device(), "--profile", Station("st1", c.job)}, Env(), 60s);
    sim.Stop();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind(c.says, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(sim.Stderr().find(" 0 requests"), std::string::npos) << sim.Stderr();
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM boards"), "0");
  EXPECT_EQ(Sql("SELECT sha256 FROM jobs"), hash);
}

// A station's page and its row on the line show the job it runs, and in
// words when the job has made its quantity: its next board waits untouched.
TEST_F(JobRun, AStationShowsItsJobAndWhenItIsMade) {
  const std::string hash = Release(RandomBytes(8 * 1024, 36), {"--quantity", "1"});
  StationRun station;
  ASSERT_TRUE(station.Start(dir_, "ports = [\"COM45\"]\n" + ReadWholeFile(Station("st3", "widget")),
                            Env()));
  json last;
  const auto job_is = [&](const char* state) {
    return [&hash, state](const json& s) {
      return s["job"] ==
             json{{"name", "widget"}, {"version", 1}, {"sha256", hash}, {"state", state}};
    };
  };
  ASSERT_TRUE(station.WaitFor(job_is("running"), 20s, &last)) << last.dump();
  {
    auto first = Board("first", {"--com", "45"});
    ASSERT_TRUE(station.WaitFor([](const json& s) { return s["ok"] == 1; }, 60s, &last))
        << last.dump() << station.program().Err();
  }
  auto second = Board("second", {"--com", "45"});
  EXPECT_TRUE(station.WaitFor(job_is("made"), 60s, &last)) << last.dump();
  EXPECT_TRUE(WaitUntil([&] { return Sql("SELECT job ->> 'state' FROM stations") == "made"; }));
  EXPECT_EQ(station.Stop(), 1) << station.program().Err();
  second->Stop();
  EXPECT_NE(station.program().Out().find(
                "COM45: board 2: FAILED (job widget@1 has made its 1 boards: 1 OK, 0 in progress"),
            std::string::npos)
      << station.program().Out() << "\n---\n"
      << station.program().Err();
  EXPECT_EQ(Sql("SELECT count(*) || ' ' || min(result) FROM boards"), "2 failed");
}

// A station killed mid-board: its board holds its count (never one board
// more than ordered) until an engineer closes it; then the count is back.
TEST_F(JobRun, AKilledBoardHoldsItsCountUntilClosed) {
  Release(RandomBytes(8 * 1024, 37), {"--quantity", "1"});
  auto slow = Board("slow", {"--pace"});
  BackgroundProgram run;
  ASSERT_TRUE(run.Start(QUELMAR_CLI_PATH,
                        {"flash", slow->device(), "--profile", Station("st4", "widget"), "--json"},
                        Env()));
  ASSERT_TRUE(run.WaitForOutput("\"type\":\"progress\"", 1, 60s)) << run.Out() << run.Err();
  run.Signal(SIGKILL);
  run.Wait(30s);
  slow->Stop();
  const auto flash = [&](const std::string& name) {
    auto board = Board(name);
    const RunResult r =
        RunProgram(QUELMAR_CLI_PATH,
                   {"flash", board->device(), "--profile", Station("st4", "widget")}, Env(), 120s);
    board->Stop();
    return r;
  };
  RunResult r = flash("refused");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("job widget@1 has made its 1 boards: 0 OK, 1 in progress"),
            std::string::npos)
      << r.err;
  const std::string board = Sql("SELECT board_id FROM reservations WHERE counted");
  EXPECT_NE(Cli({"line", "orphans"}).out.find(board), std::string::npos);
  // Not while its station might still be writing it.
  EXPECT_NE(Cli({"line", "void", "--board", board})
                .err.find(" min ago: its station may still be "
                          "writing it"),
            std::string::npos);
  Sql("UPDATE reservations SET reserved_at = now() - interval '20 minutes'");
  r = Cli({"line", "void", "--board", board});
  EXPECT_EQ(r.out, "Board " + board +
                       " closed: 1 value made void, its count of job widget@1 given back.\n")
      << r.err;
  EXPECT_EQ(flash("after").exit_code, 0);
  EXPECT_EQ(Sql("SELECT made FROM jobs"), "1");
}

}  // namespace
}  // namespace quelmar::testing
