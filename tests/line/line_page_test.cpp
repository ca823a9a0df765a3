// The line's page from outside: stations as reporter objects and as
// processes (line_station), boards filed through LineDb::File, the page and
// its controls over raw connections as a browser and an attacker send
// them, the database taken away and given back.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "line/line_db.h"
#include "line/schema.h"
#include "line/stations.h"
#include "link/socket.h"
#include "pg_support.h"
#include "process.h"
#include "production/record.h"
#include "station/line_report.h"
#include "station/line_site.h"
#include "station/page_server.h"

namespace quelmar::testing {
namespace {

using namespace std::chrono_literals;
using line::LineControl;
using line::LineView;

constexpr char kHostile[] = "<img src=x onerror=alert(1)>";
constexpr char kToken[] = "line-token-0123456789abcdef";

const line::LineStation* Find(const LineView& v, const std::string& name) {
  for (const auto& s : v.stations)
    if (s.name == name) return &s;
  return nullptr;
}

// A station in this process: its reporter and the controls it was handed.
class FakeStation {
 public:
  FakeStation(const std::string& conn, const std::string& name, line::ReporterTimes times = {})
      : reporter_(
            conn, name,
            [this](LineControl c) {
              std::lock_guard lock(mutex_);
              controls_.push_back(c);
            },
            [this](const std::string& note) {
              std::lock_guard lock(mutex_);
              notes_.push_back(note);
            },
            times) {
    report_.host = "host-of-" + name;
    report_.version = "1.2.3";
    report_.profile_sha256 = std::string(64, 'c');
    report_.images = {{"app.elf", std::string(64, 'd')}};
    report_.slots = {{"COM1", "waiting", 0, ""}, {"COM2", "writing", 42, ""}};
  }
  void Start() {
    std::string why;
    ASSERT_TRUE(reporter_.Start(&why)) << why;
    reporter_.Report(report_);
  }
  void Report() { reporter_.Report(report_); }
  line::StationReport& report() { return report_; }
  line::StationReporter& reporter() { return reporter_; }
  std::vector<LineControl> Controls() {
    std::lock_guard lock(mutex_);
    return controls_;
  }
  std::vector<std::string> Notes() {
    std::lock_guard lock(mutex_);
    return notes_;
  }

 private:
  std::mutex mutex_;
  std::vector<LineControl> controls_;
  std::vector<std::string> notes_;
  line::StationReport report_;
  line::StationReporter reporter_;
};

// One HTTP exchange over a raw connection: the status, the head, the body.
struct Answer {
  int status = 0;
  std::string head, body;
};
Answer Http(uint16_t port, const std::string& request) {
  Answer a;
  auto c = link::ConnectTcp("127.0.0.1", port, 10000).stream;
  if (!c) return a;
  size_t sent = 0;
  while (sent < request.size()) {
    const int n = c->Send(reinterpret_cast<const uint8_t*>(request.data()) + sent,
                          request.size() - sent, 10000);
    if (n <= 0) return a;
    sent += static_cast<size_t>(n);
  }
  std::string got;
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < end) {
    uint8_t buffer[8192];
    const int n = c->Receive(buffer, sizeof buffer, 1000);
    if (n < 0) break;
    got.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(std::max(n, 0)));
  }
  const size_t blank = got.find("\r\n\r\n");
  if (got.rfind("HTTP/1.1 ", 0) != 0 || blank == std::string::npos) return a;
  a.status = std::stoi(got.substr(9, 3));
  a.head = got.substr(0, blank);
  a.body = got.substr(blank + 4);
  return a;
}

// A port nobody listens on now: one the system just gave out and took back.
uint16_t FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  close(probe);
  return ntohs(address.sin_port);
}

// The start of today in this machine's time zone, as seconds since 1970.
std::time_t LocalMidnight() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  local.tm_hour = local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  return std::mktime(&local);
}

std::string IsoUtc(std::time_t t) {
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &utc);
  return text;
}

class LinePage : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = FreshDatabase();
    conn_ = SocketConn(db_);
    const RunResult r = Cli({"init"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  RunResult Cli(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), "line");
    args.push_back("--db");
    args.push_back(conn_);
    return RunProgram(QUELMAR_CLI_PATH, args, env, 60s);
  }
  std::string Sql(const std::string& sql) { return Psql(db_, sql); }
  void StartWatcher(line::WatcherTimes times = {}) {
    watcher_ = std::make_unique<line::LineWatcher>(conn_, times);
    std::string why;
    ASSERT_TRUE(watcher_->Start(&why)) << why;
  }
  // Waits until the view satisfies `check`; the last view read.
  LineView WaitView(const std::function<bool(const LineView&)>& check,
                    std::chrono::milliseconds limit = 20s) {
    LineView v;
    WaitUntil(
        [&] {
          v = watcher_->View();
          return check(v);
        },
        limit);
    return v;
  }
  // The database turns every connection away, or takes them again.
  void TakeDatabaseAway() {
    Psql("postgres", "ALTER DATABASE " + db_ + " ALLOW_CONNECTIONS false");
    Psql("postgres",
         "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + db_ + "'");
  }
  void GiveDatabaseBack() { Psql("postgres", "ALTER DATABASE " + db_ + " ALLOW_CONNECTIONS true"); }

  std::string db_, conn_;
  std::unique_ptr<line::LineWatcher> watcher_;
};

// What a station may be called on the line, and text as the database
// takes it.
TEST(StationNames, NamesAndText) {
  struct Case {
    std::string name;
    bool ok;
  };
  const Case cases[] = {
      {"line3-st2", true},
      {kHostile, true},
      {"Pr\xC3\xBC"
       "fplatz 3",
       true},
      {std::string(200, 'x'), true},
      {"", false},
      {std::string(201, 'x'), false},
      {"a\tb", false},
      {"a\nb", false},
      {"\xFF"
       "bad",
       false},
      {std::string("a\0b", 3), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_EQ(line::CheckStationName(c.name, &why), c.ok) << why;
    if (!c.ok) {
      EXPECT_FALSE(why.empty());
    }
  }
  const std::pair<std::string, std::string> texts[] = {
      {"plain", "plain"},
      {std::string("a\0b", 3),
       "a\xEF\xBF\xBD"
       "b"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // cut short
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                  // four bytes, whole
  };
  for (const auto& [in, out] : texts) EXPECT_EQ(line::ValidText(in), out);
  // Any name makes a channel PostgreSQL keeps whole (63 bytes), its own.
  std::set<std::string> channels;
  for (const std::string& name :
       {std::string(200, 'x'), std::string(kHostile), std::string("a"), std::string("A")}) {
    const std::string channel = line::ControlChannel(name);
    EXPECT_LE(channel.size(), 63u);
    EXPECT_EQ(channel, line::ControlChannel(name));
    channels.insert(channel);
  }
  EXPECT_EQ(channels.size(), 4u);
}

// Each station's row as it reported it, in the table and on the page;
// a job the database would refuse is left out of the row, not the row
// refused; a stopped station writes its last state.
TEST_F(LinePage, TilesFollowTheStationsRows) {
  StartWatcher();
  line::ReporterTimes fast;
  fast.min_period = 50ms;
  FakeStation a(conn_, "st-a"), hostile(conn_, kHostile, fast);
  a.report().job = line::JobReport{"widget", 2, std::string(64, 'b'), "made"};
  a.report().slots[1].retry = 1;
  a.report().slots[1].retries = 2;
  hostile.report().slots = {{"COM9", "failed", 30, "Write to FLASH... FAILED\xFF"}};
  hostile.report().dashboard = "http://10.0.0.9:8080/";
  a.Start();
  hostile.Start();
  LineView v = WaitView([](const LineView& w) { return w.stations.size() == 2; });
  ASSERT_EQ(v.stations.size(), 2u);
  // By name: '<' sorts before 's'.
  EXPECT_EQ(v.stations[0].name, kHostile);
  EXPECT_EQ(v.stations[1].name, "st-a");
  const line::LineStation& s = v.stations[1];
  EXPECT_EQ(s.host, "host-of-st-a");
  EXPECT_EQ(s.version, "1.2.3");
  EXPECT_EQ(s.run, "running");
  EXPECT_FALSE(s.offline);
  EXPECT_EQ(s.images, a.report().images);
  EXPECT_EQ(s.slots, a.report().slots);
  EXPECT_EQ(v.stations[0].slots[0].failure, "Write to FLASH... FAILED\xEF\xBF\xBD");
  EXPECT_EQ(v.stations[0].dashboard, "http://10.0.0.9:8080/");
  EXPECT_EQ(s.job, a.report().job);
  EXPECT_FALSE(v.stations[0].job);
  EXPECT_TRUE(v.connected);
  EXPECT_EQ(Sql("SELECT name || '|' || host || '|' || run || '|' || (slots -> 1 ->> 'percent') || "
                "'|' || profile_sha256 || '|' || (images -> 0 ->> 'file') || '|' || "
                "coalesce(dashboard, '-') FROM stations WHERE name = 'st-a'"),
            "st-a|host-of-st-a|running|42|" + std::string(64, 'c') + "|app.elf|-");

  // The page's JSON holds the hostile name as text, whatever the page
  // does with it.
  const nlohmann::json json = nlohmann::json::parse(station::LineViewJson(v));
  EXPECT_EQ(json["stations"][0]["name"], kHostile);
  EXPECT_TRUE(json["stations"][0]["job"].is_null());
  EXPECT_EQ(json["stations"][1]["job"]["state"], "made");

  // Jobs quelmar_report would refuse: the rest of each row is written.
  for (const line::JobReport& job :
       {line::JobReport{std::string(65, 'w'), 2, s.job->sha256, "made"},
        line::JobReport{"widget", 0, s.job->sha256, "made"},
        line::JobReport{"widget", 2, s.job->sha256, "paused"}}) {
    hostile.report().job = job;
    const uint64_t n = ++hostile.report().ok;
    hostile.Report();
    v = WaitView([&](const LineView& w) { return Find(w, kHostile)->run_ok == n; });
    EXPECT_EQ(Find(v, kHostile)->run_ok, n) << job.name << "@" << job.version << " " << job.state;
    EXPECT_FALSE(Find(v, kHostile)->job);
  }

  a.report().run = "stopped";
  a.report().slots[1] = {"COM2", "ok", 100, ""};
  a.report().ok = 1;
  a.Report();
  EXPECT_TRUE(a.reporter().Stop(10s));
  v = WaitView([](const LineView& w) {
    const auto* t = Find(w, "st-a");
    return t && t->run == "stopped";
  });
  ASSERT_NE(Find(v, "st-a"), nullptr);
  EXPECT_EQ(Find(v, "st-a")->slots[1].state, "ok");
  EXPECT_EQ(Find(v, "st-a")->run_ok, 1u);
  EXPECT_EQ(Sql("SELECT run || ' ' || ok FROM stations WHERE name = 'st-a'"), "stopped 1");
}

// A station whose slots change fifty times a second writes its row about
// once a second, and the row ends with the newest state.
TEST_F(LinePage, ManyChangesMakeFewWrites) {
  Sql("CREATE TABLE writes (n integer); "
      "CREATE FUNCTION count_write() RETURNS trigger LANGUAGE plpgsql AS "
      "$$BEGIN INSERT INTO public.writes VALUES (1); RETURN NULL; END$$; "
      "CREATE TRIGGER counted AFTER INSERT OR UPDATE ON stations "
      "FOR EACH ROW EXECUTE FUNCTION count_write()");
  FakeStation a(conn_, "busy");
  a.Start();
  ASSERT_TRUE(WaitUntil([&] { return Sql("SELECT count(*) FROM stations") == "1"; }));
  const std::string before = Sql("SELECT count(*) FROM writes");
  // A change every 20 ms for over a second, as a busy station makes them.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i <= 60; ++i) {
    a.report().slots[0] = {"COM1", "writing", i, "step " + std::to_string(i)};
    a.Report();
    std::this_thread::sleep_for(20ms);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(
      WaitUntil([&] { return Sql("SELECT slots -> 0 ->> 'failure' FROM stations") == "step 60"; }));
  const int writes = std::stoi(Sql("SELECT count(*) FROM writes")) - std::stoi(before);
  EXPECT_GE(writes, 1);
  // About one a second while they came, and the newest once more.
  EXPECT_LE(writes, static_cast<int>(seconds) + 2)
      << "a write per change, not the newest state about once a second (" << seconds << " s)";
}

// Boards as the stations filed them: today's totals, the last hour, the
// latest failures with their serial numbers and lines, whatever station
// filed them, and only today's.
TEST_F(LinePage, TotalsAndFailuresAreTheBoardsTable) {
  const std::time_t now = std::time(nullptr);
  const std::time_t midnight = LocalMidnight();
  struct Board {
    std::string station, port;
    std::string result;
    unsigned serial;
    std::string failure;
    long ago_s;  // its end, seconds before now
  };
  const Board boards[] = {
      {"st-a", "COM1", "ok", 100, "", 5},
      {"st-a", "COM2", "failed", 101, "Write to FLASH... FAILED (error 05 at block A:3)", 20},
      {"st-a", "COM1", "ok", 102, "", 40},
      {"st-b", "COM1", "ok", 103, "", 60},
      {"st-b", "COM3", "stopped", 104, "stopped by the operator", 90},
      {"bench-pc", "COM7", "ok", 105, "", 120},  // flash --profile: no station row
      {"st-a", "COM1", "ok", 106, "", 2 * 3600},
      {"st-b", "COM1", "failed", 107, "yesterday's failure", 2 * 86400},
  };
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  uint64_t ok = 0, failed = 0, last_hour = 0;
  std::map<std::string, std::array<uint64_t, 3>> per;
  for (const Board& b : boards) {
    const std::time_t end = now - b.ago_s;
    nlohmann::json record = {
        {"result", b.result},
        {"fields", {{"serial", b.serial}, {"mac", "02:51:4D:00:00:2A"}}},
        {"failure", b.failure.empty() ? nlohmann::json(nullptr) : nlohmann::json(b.failure)}};
    // As the database took them then: the page counts by its filing time.
    Sql("INSERT INTO boards (id, station, port, board, result, time_start, time_end, record, "
        "filed_at) VALUES ('" +
        production::NewBoardId() + "', '" + b.station + "', '" + b.port + "', " +
        std::to_string(b.serial - 99) + ", '" + b.result + "', '" + IsoUtc(end - 30) + "', '" +
        IsoUtc(end) + "', $r$" + record.dump() + "$r$, '" + IsoUtc(end) + "')");
    const bool today = end >= midnight, hour = b.ago_s < 3600;
    ok += today && b.result == "ok";
    failed += today && b.result != "ok";
    last_hour += hour;
    auto& p = per[b.station];
    p[0] += today && b.result == "ok";
    p[1] += today && b.result != "ok";
    p[2] += hour;
  }
  FakeStation a(conn_, "st-a"), b(conn_, "st-b");
  a.Start();
  b.Start();
  StartWatcher();
  const LineView v = WaitView([](const LineView& w) { return w.stations.size() == 2; });
  ASSERT_EQ(v.stations.size(), 2u);
  EXPECT_EQ(v.ok, ok);
  EXPECT_EQ(v.failed, failed);
  EXPECT_EQ(v.last_hour, last_hour);
  // And the same counted by SQL from the table, as an MES would.
  EXPECT_EQ(Sql("SELECT count(*) FILTER (WHERE result = 'ok') || ' ' || "
                "count(*) FILTER (WHERE result <> 'ok') FROM boards WHERE filed_at >= '" +
                IsoUtc(midnight) + "'"),
            std::to_string(v.ok) + " " + std::to_string(v.failed));
  for (const auto& s : v.stations) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ((std::array<uint64_t, 3>{s.ok, s.failed, s.last_hour}), per[s.name]);
  }
  // The latest failure first, yesterday's too (it is a failure still).
  ASSERT_EQ(v.failures.size(), 3u);
  EXPECT_EQ(v.failures[0].station, "st-a");
  EXPECT_EQ(v.failures[0].port, "COM2");
  EXPECT_EQ(v.failures[0].failure, "Write to FLASH... FAILED (error 05 at block A:3)");
  EXPECT_EQ(v.failures[0].fields, (std::vector<std::pair<std::string, std::string>>{
                                      {"mac", "02:51:4D:00:00:2A"}, {"serial", "101"}}));
  EXPECT_EQ(v.failures[1].failure, "stopped by the operator");
  EXPECT_EQ(v.failures[2].failure, "yesterday's failure");

  // A board filed now shows without anything else changing: its
  // station's row changes with it, as a station's does.
  // Its station's clock is a day behind: the page counts it today all
  // the same, by when the database took it.
  const std::string id = production::NewBoardId();
  std::vector<production::FieldValue> none;
  std::string key;
  ASSERT_EQ(db.Reserve({}, {id, "st-b", "COM1"}, &none, &key, &why), line::LineDb::Reserved::kOk)
      << why;
  line::FiledBoard late{id, "st-b", "COM1", 50, "ok", IsoUtc(now - 86400), IsoUtc(now - 86400),
                        "", "",     "",     ""};
  late.record = "{\"id\":\"" + id + "\",\"station\":\"st-b\",\"port\":\"COM1\",\"board\":50," +
                "\"result\":\"ok\",\"time_start\":\"" + late.time_start + "\",\"time_end\":\"" +
                late.time_end + "\",\"fields\":{}}";
  late.seal = line::SealRecord(key, late.record);
  ASSERT_EQ(db.File(late, &why), line::LineDb::Filed::kOk) << why;
  b.report().ok = 1;
  b.Report();
  EXPECT_EQ(WaitView([&](const LineView& w) { return w.ok == ok + 1; }).ok, ok + 1);
}

// Pause, Resume and Stop reach the station they are for, and the whole
// line's reach every station that runs; each in the order sent.
TEST_F(LinePage, ControlsReachOnlyTheAddressedStation) {
  StartWatcher();
  FakeStation a(conn_, "st-a"), b(conn_, "st-b"), hostile(conn_, kHostile);
  std::map<std::string, FakeStation*> stations = {{"st-a", &a}, {"st-b", &b}, {kHostile, &hostile}};
  for (auto& [name, s] : stations) s->Start();
  WaitView([](const LineView& w) { return w.stations.size() == 3; });
  struct Case {
    std::optional<std::string> to;  // nullopt: the whole line
    LineControl control;
  };
  const Case cases[] = {
      {"st-a", LineControl::kPause},        {kHostile, LineControl::kPause},
      {std::nullopt, LineControl::kResume}, {"st-b", LineControl::kStop},
      {"st-a", LineControl::kResume},       {std::nullopt, LineControl::kPause},
  };
  std::map<std::string, std::vector<LineControl>> expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to.value_or("the line") + " " + line::ControlWord(c.control));
    std::vector<std::string> names;
    ASSERT_EQ(watcher_->Control(c.to, c.control, &names), line::LineWatcher::Sent::kQueued);
    for (auto& [name, s] : stations) {
      if (!c.to || *c.to == name) {
        // A Stop stays: what comes after it is taken as a Stop.
        auto& list = expected[name];
        const bool stopped = std::find(list.begin(), list.end(), LineControl::kStop) != list.end();
        list.push_back(stopped ? LineControl::kStop : c.control);
      }
    }
    for (auto& [name, s] : stations) {
      const size_t n = expected[name].size();
      EXPECT_TRUE(WaitUntil([&, s = s] { return s->Controls().size() >= n; })) << name;
    }
  }
  // The last control went to every station: whatever one was not meant to
  // get would be there by now.
  for (auto& [name, s] : stations) EXPECT_EQ(s->Controls(), expected[name]) << name;

  // A station that has stopped gets nothing, and says so.
  b.report().run = "stopped";
  b.Report();
  WaitView([](const LineView& w) { return Find(w, "st-b") && Find(w, "st-b")->run == "stopped"; });
  std::vector<std::string> names;
  EXPECT_EQ(watcher_->Control("st-b", LineControl::kResume, &names),
            line::LineWatcher::Sent::kStopped);
  EXPECT_EQ(watcher_->Control("st-z", LineControl::kResume, &names),
            line::LineWatcher::Sent::kNoStation);
  EXPECT_EQ(watcher_->Control(std::nullopt, LineControl::kResume, &names),
            line::LineWatcher::Sent::kQueued);
  EXPECT_EQ(names, (std::vector<std::string>{kHostile, "st-a"}));
}

// A station's own state reaches its row in the words the line's page
// shows, step by step as its slots go; the line's controls reach the
// station as its own page's buttons do; it writes its last state as it
// stops.
TEST_F(LinePage, AStationsStateIsItsRow) {
  StartWatcher();
  station::StationState state;
  state.SetHeader("Line 3", "1.2.3", {{"app.elf", std::string(64, 'e')}});
  const size_t a = state.AddSlot("COM1");
  const size_t b = state.AddSlot("rfc2217://10.0.0.9:4001");
  std::mutex mutex;
  std::vector<station::Control> controls;
  line::ReporterTimes fast;
  fast.min_period = 50ms;
  station::LineReport report(
      state, conn_, kHostile, {"pc-7", "1.2.3", std::string(64, 'f'), "http://10.0.0.7:8080/"},
      [&](station::Control c) {
        std::lock_guard lock(mutex);
        controls.push_back(c);
      },
      {}, fast);
  std::string why;
  ASSERT_TRUE(report.Start(&why)) << why;
  const std::string row =
      "SELECT run || ';' || ok || '/' || failed || ';' || coalesce((SELECT string_agg(e ->> "
      "'port' || ' ' || (e ->> 'state') || coalesce(' ' || (e ->> 'retry') || '/' || (e ->> "
      "'retries'), '') || ' ' || (e ->> 'percent') || ' ' || (e ->> 'failure'), "
      "'|' ORDER BY n) FROM jsonb_array_elements(slots) WITH ORDINALITY AS t(e, n)), '') FROM "
      "stations WHERE name = '" +
      std::string(kHostile) + "'";
  const std::string fail = "Write to FLASH... FAILED (error 05 at block A:3)";
  const std::string remote = "rfc2217://10.0.0.9:4001";
  struct Step {
    std::function<void()> act;
    std::string row;
  };
  const Step steps[] = {
      {[] {}, "running;0/0;COM1 waiting 0 |" + remote + " waiting 0 "},
      {[&] {
         state.SetPhase(a, station::SlotPhase::kIdentifying);
         state.SetPhase(b, station::SlotPhase::kWriting);
         state.SetProgress(b, 42);
       },
       "running;0/0;COM1 identifying 0 |" + remote + " writing 42 "},
      {[&] { state.FinishBoard(a, false, fail, "log"); },
       "running;0/1;COM1 failed 0 " + fail + "|" + remote + " writing 42 "},
      // The failed board taken away: its line goes with it.
      {[&] { state.MarkPresence(a, false); },
       "running;0/1;COM1 gone 0 |" + remote + " writing 42 "},
      {[&] {
         state.MarkPresence(a, true);
         state.SetPhase(a, station::SlotPhase::kIdentifying);
       },
       "running;0/1;COM1 identifying 0 |" + remote + " writing 42 "},
      // Written again after its link failed: a retry of those allowed.
      {[&] {
         state.SetRetry(b, 1, 2);
         state.SetProgress(b, 30);
       },
       "running;0/1;COM1 identifying 0 |" + remote + " writing 1/2 30 "},
      {[&] {
         state.FinishBoard(a, true, "", "log");
         state.FinishBoard(b, true, "", "log");
         state.MarkPresence(b, false);
       },
       "running;2/1;COM1 ok 0 |" + remote + " gone 0 "},
      {[&] { state.SetRunState(station::RunState::kPaused); },
       "paused;2/1;COM1 ok 0 |" + remote + " gone 0 "},
  };
  for (size_t i = 0; i < std::size(steps); ++i) {
    SCOPED_TRACE("step " + std::to_string(i));
    steps[i].act();
    EXPECT_TRUE(WaitUntil([&] { return Sql(row) == steps[i].row; })) << Sql(row);
  }
  // The job it runs, and none after a change-over to a profile.
  const std::string job =
      "SELECT coalesce((job ->> 'name') || '@' || (job ->> 'version') || ' ' || (job ->> "
      "'state') || ' ' || (job ->> 'sha256'), 'none') FROM stations";
  state.SetJob(station::JobShown{"widget", 3, std::string(64, 'a'), "made"});
  EXPECT_TRUE(WaitUntil([&] { return Sql(job) == "widget@3 made " + std::string(64, 'a'); }));
  state.SetJob(std::nullopt);
  EXPECT_TRUE(WaitUntil([&] { return Sql(job) == "none"; })) << Sql(job);
  EXPECT_EQ(Sql("SELECT host || ' ' || version || ' ' || profile_sha256 || ' ' || dashboard || ' ' "
                "|| (images -> 0 ->> 'file') || ' ' || (images -> 0 ->> 'sha256') FROM stations"),
            "pc-7 1.2.3 " + std::string(64, 'f') + " http://10.0.0.7:8080/ app.elf " +
                std::string(64, 'e'));

  // Each control from the line's page as the station's own button.
  const std::pair<LineControl, station::Control> sent[] = {
      {LineControl::kResume, station::Control::kResume},
      {LineControl::kPause, station::Control::kPause},
      {LineControl::kStop, station::Control::kStop},
  };
  std::vector<station::Control> expected;
  for (const auto& [control, as] : sent) {
    std::vector<std::string> names;
    ASSERT_EQ(watcher_->Control(kHostile, control, &names), line::LineWatcher::Sent::kQueued);
    expected.push_back(as);
    EXPECT_TRUE(WaitUntil([&] {
      std::lock_guard lock(mutex);
      return controls.size() >= expected.size();
    }));
  }
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(controls, expected);
  }

  // Stopped: the row holds the last state at once, not a second later.
  state.SetRunState(station::RunState::kStopped);
  EXPECT_TRUE(report.Stop(10s));
  EXPECT_EQ(Sql(row), "stopped;2/1;COM1 ok 0 |" + remote + " gone 0 ");
}

// A database that takes the connection and never answers (a host whose
// cable was pulled): the station's state goes on changing, and its stop
// gives up on the last write within the limit it was given.
TEST_F(LinePage, AStationIsNotHeldByASilentDatabase) {
  const int silent = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 16), 0);
  getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  station::StationState state;
  const size_t a = state.AddSlot("COM1");
  station::LineReport report(state,
                             "host=127.0.0.1 port=" + std::to_string(ntohs(address.sin_port)) +
                                 " user=quelmar dbname=line connect_timeout=3",
                             "st-silent", {"pc-7", "1.2.3", "", ""}, [](station::Control) {}, {});
  std::string why;
  ASSERT_TRUE(report.Start(&why)) << why;
  for (int i = 0; i < 2000; ++i) {
    state.SetPhase(a, station::SlotPhase::kWriting);
    state.SetProgress(a, i % 101);
    if (i % 100 == 99) state.FinishBoard(a, true, "", "log");
  }
  EXPECT_EQ(state.Snapshot().ok, 20u);
  EXPECT_FALSE(report.Stop(500ms)) << "the last state written to a database that never answered";
  close(silent);
}

// A request in the row is taken by the station's run it was for: one left
// from an earlier run of the same name is not, and one whose NOTIFY was
// missed is taken when the station next writes its row.
TEST_F(LinePage, ARequestInTheRowIsTakenByItsRunOnly) {
  Sql("INSERT INTO stations (name, host, version, profile_sha256, images, run_id, started_at, "
      "last_seen, run, slots, ok, failed, control, control_id, control_at) VALUES ('st-a', 'h', "
      "'v', '', '[]', gen_random_uuid(), now() - interval '1 day', now() - interval '1 day', "
      "'running', '[]', 0, 0, 'stop', 7, now() - interval '1 day')");
  StartWatcher();
  FakeStation a(conn_, "st-a");
  a.Start();
  WaitView(
      [](const LineView& w) { return Find(w, "st-a") && Find(w, "st-a")->host == "host-of-st-a"; });
  // The row written, the heartbeats going: the old stop was not taken.
  ASSERT_TRUE(WaitUntil([&] {
    return Sql("SELECT last_seen > now() - interval '1 minute' AND started_at > now() - "
               "interval '1 minute' FROM stations") == "t";
  }));
  const std::string seen = Sql("SELECT last_seen FROM stations");
  ASSERT_TRUE(WaitUntil([&] { return Sql("SELECT last_seen FROM stations") != seen; }));
  EXPECT_TRUE(a.Controls().empty());

  // Written into the row without its NOTIFY, as if the station's
  // connection had been down the moment it was sent.
  Sql("UPDATE stations SET control = 'pause', control_id = control_id + 1");
  EXPECT_TRUE(WaitUntil([&] { return !a.Controls().empty(); }));
  // Taken once: the heartbeats after it find the same number in the row.
  for (int beat = 0; beat < 2; ++beat) {
    const std::string before = Sql("SELECT last_seen FROM stations");
    ASSERT_TRUE(WaitUntil([&] { return Sql("SELECT last_seen FROM stations") != before; }));
  }
  EXPECT_EQ(a.Controls(), std::vector<LineControl>{LineControl::kPause});
}

// With the page's own reads and the station's heartbeats a minute apart,
// only the notifications can bring a station's change to the page and a
// control to its station within seconds.
TEST_F(LinePage, NotificationsCarryChangesAtOnce) {
  StartWatcher({.refresh = 60s});
  FakeStation a(conn_, "st-a", {.min_period = 100ms, .heartbeat = 60s});
  a.Start();
  ASSERT_NE(Find(WaitView([](const LineView& w) { return Find(w, "st-a") != nullptr; }), "st-a"),
            nullptr);
  a.report().ok = 41;
  a.Report();
  LineView v = WaitView(
      [](const LineView& w) { return Find(w, "st-a") && Find(w, "st-a")->run_ok == 41; }, 5s);
  ASSERT_NE(Find(v, "st-a"), nullptr);
  EXPECT_EQ(Find(v, "st-a")->run_ok, 41u);
  std::vector<std::string> names;
  ASSERT_EQ(watcher_->Control("st-a", LineControl::kPause, &names),
            line::LineWatcher::Sent::kQueued);
  EXPECT_TRUE(WaitUntil([&] { return !a.Controls().empty(); }, 5s));
  EXPECT_EQ(a.Controls(), std::vector<LineControl>{LineControl::kPause});
}

// The page over its server: what a browser asks for, what an attacker
// sends, and what reaches the stations.
TEST_F(LinePage, PageAndControlsOverHttp) {
  StartWatcher();
  FakeStation a(conn_, "st-a"), hostile(conn_, kHostile);
  a.Start();
  hostile.Start();
  WaitView([](const LineView& w) { return w.stations.size() == 2; });
  station::LineSite site(*watcher_);
  station::ServerOptions options;
  options.port = 0;
  options.token = kToken;
  station::PageServer server(site, options);
  std::string why;
  ASSERT_TRUE(server.Start(&why)) << why;
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  const std::string token = std::string("X-Quelmar-Token: ") + kToken + "\r\n";
  auto request = [&](const std::string& method, const std::string& path,
                     const std::string& headers) {
    return method + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + headers +
           "Content-Length: 0\r\nConnection: close\r\n\r\n";
  };
  struct Case {
    const char* name;
    std::string method, path, headers;
    int status;
    std::string says;    // in the body
    size_t reaches = 0;  // stations it is carried to
  };
  const std::string hostile_path = "/api/station/%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E/";
  size_t carried = 0;
  const Case cases[] = {
      {"the page", "GET", "/", "", 200, "/line.js"},
      {"its script", "GET", "/line.js", "", 200, "textContent"},
      {"the shared script", "GET", "/page.js", "", 200, "sendControl"},
      {"the shared style", "GET", "/style.css", "", 200, "--green"},
      {"the station's script is not the line's", "GET", "/app.js", "", 404, ""},
      {"the state", "GET", "/api/state", "", 200, "\"name\":\"st-a\""},
      {"a control without the token", "POST", "/api/station/st-a/pause", "", 401, "token missing"},
      {"a wrong token", "POST", "/api/line/stop",
       "X-Quelmar-Token: line-token-0123456789abcdee\r\n", 403, "wrong token"},
      {"the token in the URL", "POST", "/api/line/stop?token=" + std::string(kToken), "", 401,
       "token missing"},
      {"from a foreign origin", "POST", "/api/station/st-a/stop",
       token + "Origin: http://evil.example\r\n", 403, "foreign origin"},
      {"from another site by fetch metadata", "POST", "/api/line/stop",
       token + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: cors\r\n", 403, "foreign origin"},
      {"a form of another site posted as a navigation", "POST", "/api/line/stop",
       token + "Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: navigate\r\nSec-Fetch-Dest: "
               "document\r\n",
       403, "foreign origin"},
      {"by GET, token and all", "GET", "/api/station/st-a/stop", token, 405, ""},
      {"through a rebound name", "POST", "/api/line/stop", "", 0, ""},  // Host replaced below
      {"an unknown station", "POST", "/api/station/st-z/pause", token, 404,
       "no station 'st-z' on the line"},
      {"an unknown action", "POST", "/api/station/st-a/explode", token, 404, ""},
      {"a name that is no percent-encoding", "POST", "/api/station/%zz/pause", token, 404, ""},
      {"a control for the hostile station", "POST", hostile_path + "pause", token, 202,
       "\"stations\":[\"<img src=x onerror=alert(1)>\"]", 1},
      {"a control for the whole line", "POST", "/api/line/pause", token, 202,
       "\"control\":\"pause\"", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = request(c.method, c.path, c.headers);
    int status = c.status;
    if (status == 0) {
      text.replace(text.find(host), host.size(), "evil.example:" + std::to_string(server.Port()));
      text.insert(text.find("\r\n") + 2, token);
      status = 421;
    }
    const Answer answer = Http(server.Port(), text);
    EXPECT_EQ(answer.status, status) << answer.head << answer.body;
    EXPECT_NE(answer.body.find(c.says), std::string::npos) << answer.body;
    EXPECT_NE(answer.head.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
    EXPECT_NE(answer.head.find("X-Content-Type-Options: nosniff"), std::string::npos);
    // Each carried control arrives before the next is sent.
    carried += c.reaches;
    EXPECT_TRUE(
        WaitUntil([&] { return hostile.Controls().size() + a.Controls().size() == carried; }));
  }
  // Only the two controls carried reached anyone: the hostile station's
  // pause, then the line's.
  EXPECT_EQ(hostile.Controls(),
            (std::vector<LineControl>{LineControl::kPause, LineControl::kPause}));
  EXPECT_EQ(a.Controls(), std::vector<LineControl>{LineControl::kPause});

  // The event stream carries the state, with the page's headers.
  auto c = link::ConnectTcp("127.0.0.1", server.Port(), 10000).stream;
  ASSERT_TRUE(c);
  const std::string events = "GET /events HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
  ASSERT_EQ(c->Send(reinterpret_cast<const uint8_t*>(events.data()), events.size(), 10000),
            static_cast<int>(events.size()));
  std::string got;
  ASSERT_TRUE(WaitUntil([&] {
    uint8_t buffer[8192];
    const int n = c->Receive(buffer, sizeof buffer, 100);
    if (n > 0) got.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    return got.find("onerror=alert(1)>") != std::string::npos;
  })) << got;
  EXPECT_NE(got.find("Content-Type: text/event-stream"), std::string::npos);
  EXPECT_NE(got.find("event: state\ndata: {"), std::string::npos);
  server.Stop();
}

// A station whose process is killed shows OFFLINE once the database has
// not seen it for 10 s; one that stopped shows STOPPED however long ago.
TEST_F(LinePage, AKilledStationShowsOfflineAStoppedOneStopped) {
  StartWatcher();
  BackgroundProgram killed, stopped;
  ASSERT_TRUE(killed.Start(QUELMAR_LINE_STATION, {"--db", conn_, "--name", "st-killed", "--boards",
                                                  "0", "--step-ms", "200", "--no-file"}));
  ASSERT_TRUE(stopped.Start(QUELMAR_LINE_STATION,
                            {"--db", conn_, "--name", "st-stopped", "--boards", "1", "--no-file"}));
  LineView v = WaitView([](const LineView& w) {
    const auto* k = Find(w, "st-killed");
    const auto* t = Find(w, "st-stopped");
    return k && t && k->run == "running" && !t->slots.empty() && t->slots[0].state == "ok";
  });
  ASSERT_NE(Find(v, "st-killed"), nullptr);
  std::vector<std::string> names;
  ASSERT_EQ(watcher_->Control("st-stopped", LineControl::kStop, &names),
            line::LineWatcher::Sent::kQueued);
  EXPECT_EQ(stopped.Wait(30s), 0) << stopped.Err();
  EXPECT_NE(stopped.Out().find("control stop\n"), std::string::npos) << stopped.Out();
  EXPECT_NE(stopped.Out().find("stopped\n"), std::string::npos) << stopped.Out();
  killed.Signal(SIGKILL);
  killed.Wait(10s);
  // 10 s of silence, judged by the database's clock, and the read that
  // comes when it runs out: the tile turns within 12 s.
  v = WaitView(
      [](const LineView& w) {
        const auto* k = Find(w, "st-killed");
        return k && k->offline;
      },
      12s);
  ASSERT_NE(Find(v, "st-killed"), nullptr);
  EXPECT_TRUE(Find(v, "st-killed")->offline);
  EXPECT_EQ(Find(v, "st-killed")->run, "running");  // as it last said
  ASSERT_NE(Find(v, "st-stopped"), nullptr);
  EXPECT_EQ(Find(v, "st-stopped")->run, "stopped");
  EXPECT_FALSE(Find(v, "st-stopped")->offline);
  const std::string json = station::LineViewJson(v);
  EXPECT_NE(json.find("\"state\":\"offline\""), std::string::npos);
  EXPECT_EQ(json.find("\"state\":\"offline\""), json.rfind("\"state\":\"offline\""));
  // A control for the dead station goes into its row: should the same run
  // come back (its network was cut), it takes it.
  EXPECT_EQ(watcher_->Control("st-killed", LineControl::kPause, &names),
            line::LineWatcher::Sent::kQueued);
}

// The database away: the page says so in one line, controls are refused
// (503), stations go on, and everything comes back by itself.
TEST_F(LinePage, TheDatabaseAwayIsSaidAndTheLineComesBack) {
  StartWatcher({.retry = 300ms});
  FakeStation a(conn_, "st-a", {.retry = 300ms});
  a.Start();
  WaitView([](const LineView& w) { return Find(w, "st-a") != nullptr; });
  station::LineSite site(*watcher_);
  station::ServerOptions options;
  options.port = 0;
  options.token = kToken;
  station::PageServer server(site, options);
  std::string why;
  ASSERT_TRUE(server.Start(&why)) << why;

  TakeDatabaseAway();
  LineView v = WaitView([](const LineView& w) { return !w.connected; });
  EXPECT_FALSE(v.connected);
  EXPECT_NE(v.problem.find("the line's database quelmar@"), std::string::npos) << v.problem;
  EXPECT_EQ(v.problem.find('\n'), std::string::npos) << v.problem;
  ASSERT_NE(Find(v, "st-a"), nullptr) << "the page keeps what it read last";
  const Answer refused = Http(
      server.Port(),
      "POST /api/line/pause HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
          "\r\nX-Quelmar-Token: " + kToken + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(refused.status, 503);
  EXPECT_NE(refused.body.find("does not answer: nothing was sent"), std::string::npos)
      << refused.body;
  EXPECT_NE(station::LineViewJson(v).find("\"connected\":false"), std::string::npos);

  // The station goes on meanwhile; its newest state goes in when the
  // database is back.
  a.report().slots[0] = {"COM1", "ok", 100, ""};
  a.report().ok = 7;
  a.Report();
  ASSERT_TRUE(WaitUntil([&] { return !a.reporter().Connected(); }));
  GiveDatabaseBack();
  v = WaitView([](const LineView& w) {
    const auto* t = Find(w, "st-a");
    return w.connected && t && t->run_ok == 7;
  });
  EXPECT_TRUE(v.connected);
  EXPECT_TRUE(v.problem.empty()) << v.problem;
  ASSERT_NE(Find(v, "st-a"), nullptr);
  EXPECT_EQ(Find(v, "st-a")->slots[0].state, "ok");
  const auto notes = a.Notes();
  ASSERT_GE(notes.size(), 2u);
  EXPECT_NE(notes.front().find("the station goes on and reports when it answers"),
            std::string::npos)
      << notes.front();
  EXPECT_NE(notes.back().find("answers again"), std::string::npos) << notes.back();
  server.Stop();
}

// A server that stops answering while its connections stay up (a paused
// VM): the page says so within its limit, and comes back with the server.
TEST_F(LinePage, AStoppedDatabaseIsSaidToo) {
  StartWatcher({.retry = 300ms});
  FakeStation a(conn_, "st-a", {.retry = 300ms});
  a.Start();
  WaitView([](const LineView& w) { return Find(w, "st-a") != nullptr; });
  std::istringstream listed(
      Sql("SELECT pid FROM pg_stat_activity WHERE datname = current_database() "
          "AND application_name = 'quelmar'"));
  std::vector<pid_t> pids;
  for (int pid = 0; listed >> pid;) pids.push_back(pid);
  ASSERT_FALSE(pids.empty());
  for (const pid_t pid : pids) kill(pid, SIGSTOP);
  const LineView v = WaitView([](const LineView& w) { return !w.connected; }, 40s);
  for (const pid_t pid : pids) kill(pid, SIGCONT);
  EXPECT_FALSE(v.connected) << "the page went on showing a server that stopped answering";
  EXPECT_NE(v.problem.find("the line's database quelmar@"), std::string::npos) << v.problem;
  a.report().ok = 3;
  a.Report();
  EXPECT_TRUE(WaitView([](const LineView& w) {
                const auto* t = Find(w, "st-a");
                return w.connected && t && t->run_ok == 3;
              }).connected);
}

// A database of the first schema is brought up to date by line init, its
// boards kept; until then a station says what to do.
TEST_F(LinePage, InitBringsTheFirstSchemaUp) {
  const std::string old_db = FreshDatabase();
  Psql(old_db, line::SchemaSteps()[0] + "UPDATE quelmar_schema SET version = 1;");
  Psql(old_db,
       "INSERT INTO boards VALUES (gen_random_uuid(), 'st', 'COM1', 1, 'ok', now(), now(), '{}')");
  const std::string old_conn = SocketConn(old_db);
  FakeStation early(old_conn, "st", {.retry = 200ms});
  early.Start();
  ASSERT_TRUE(WaitUntil([&] { return !early.Notes().empty(); }));
  EXPECT_NE(early.Notes()[0].find("has schema version 1; this quelmar-cli needs " +
                                  std::to_string(line::kSchemaVersion) +
                                  ": bring it up to date with 'quelmar-cli line init --db ...'"),
            std::string::npos)
      << early.Notes()[0];
  const RunResult r = RunProgram(QUELMAR_CLI_PATH, {"line", "init", "--db", old_conn}, {}, 60s);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("from schema version 1 to " + std::to_string(line::kSchemaVersion) + "."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Psql(old_db, "SELECT count(*) FROM boards"), "1");
  // The station's row comes by itself once the tables are there.
  EXPECT_TRUE(WaitUntil([&] { return Psql(old_db, "SELECT count(*) FROM stations") == "1"; }));
}

// The roles of docs/line.md as the docs give them: a station writes its
// row and takes its controls, the dashboard reads and sends controls, and
// neither does the other's part, nor writes any table itself.
TEST_F(LinePage, RolesFromTheDocs) {
  const DocsLine docs = LineFromTheDocs("Role-7");
  db_ = docs.db;
  const std::string engineer = docs.engineer, station = docs.station, supervisor = docs.supervisor;
  auto cli_as = [&](const std::string& user, std::vector<std::string> args) {
    args.insert(args.begin(), "line");
    args.push_back("--db");
    args.push_back(TcpConn(db_, user));
    return RunProgram(QUELMAR_CLI_PATH, args, {"PGPASSWORD=Role-7"}, 60s);
  };
  RunResult r = cli_as(engineer, {"init"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = cli_as(engineer, {"station", "add", "st-a", "--role", station});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto psql_as = [&](const std::string& user, const std::string& sql) {
    return RunProgram(Pg().bin + "/psql",
                      {"-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p",
                       Pg().port, "-U", user, "-d", db_, "-c", sql},
                      {"PGPASSWORD=Role-7"}, 60s);
  };

  BackgroundProgram st;
  ASSERT_TRUE(
      st.Start(QUELMAR_LINE_STATION,
               {"--db", TcpConn(db_, station), "--name", "st-a", "--boards", "0", "--no-file"},
               {"PGPASSWORD=Role-7"}));
  setenv("PGPASSWORD", "Role-7", 1);
  watcher_ = std::make_unique<line::LineWatcher>(TcpConn(db_, supervisor));
  std::string why;
  ASSERT_TRUE(watcher_->Start(&why)) << why;
  const LineView v = WaitView([](const LineView& w) { return Find(w, "st-a") != nullptr; });
  ASSERT_NE(Find(v, "st-a"), nullptr) << v.problem << st.Err();
  std::vector<std::string> names;
  ASSERT_EQ(watcher_->Control("st-a", LineControl::kPause, &names),
            line::LineWatcher::Sent::kQueued);
  EXPECT_TRUE(st.WaitForOutput("control pause\n", 1, 20s)) << st.Out() << st.Err();
  EXPECT_TRUE(WaitView([](const LineView& w) {
                return Find(w, "st-a") && Find(w, "st-a")->run == "paused";
              }).notice.empty());

  struct Case {
    std::string role, sql, says;
  };
  const Case cases[] = {
      {supervisor, "UPDATE stations SET run = 'stopped'", "permission denied for table stations"},
      {supervisor,
       "INSERT INTO boards VALUES (gen_random_uuid(), 's', 'p', 1, 'ok', now(), now(), '{}')",
       "permission denied for table boards"},
      {supervisor, "DELETE FROM refused_filings", "permission denied for table refused_filings"},
      {supervisor, "SELECT * FROM quelmar_report('st-a', gen_random_uuid(), 1, '{}')",
       "permission denied for function quelmar_report"},
      {station, "UPDATE stations SET control_id = control_id + 1",
       "permission denied for table stations"},
      {station, "UPDATE stations SET last_seen = 'infinity'",
       "permission denied for table stations"},
      {station, "SELECT quelmar_send_control('st-a', 'stop')",
       "permission denied for function quelmar_send_control"},
      {station, "SELECT * FROM quelmar_report('st-b', gen_random_uuid(), 1, '{}')",
       "station 'st-b' is not registered on this line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    r = psql_as(c.role, c.sql);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  watcher_->Stop();
  unsetenv("PGPASSWORD");
  st.Signal(SIGKILL);
  st.Wait(10s);
}

// quelmar-cli line dashboard as a supervisor starts it, and the mistakes
// one makes.
TEST_F(LinePage, DashboardCommand) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    std::string says;  // on stderr (stdout for --help)
  };
  const Case cases[] = {
      {{"line", "dashboard", "--help"}, 0, "Usage: quelmar-cli line dashboard --db CONNINFO"},
      {{"line", "dashboard"}, 2, "missing --db CONNINFO"},
      {{"line", "dashboard", "--db", conn_, "--listen", "8090"}, 2, "'8090' is not ADDR:PORT"},
      {{"line", "dashboard", "--db", conn_, "--db", conn_}, 2, "--db may be given once"},
      {{"line", "dashboard", "--db", conn_, "--port", "1"}, 2, "unknown option '--port'"},
      {{"line", "dashboard", "--db", conn_, "--token="}, 2, "--token is empty"},
      {{"line", "dashboard", "--db", "postgresql://u:Secret-9@h/db"},
       1,
       "the connection string holds a password"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const RunResult r = RunProgram(QUELMAR_CLI_PATH, c.args, {}, 20s);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_NE((c.exit == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("Secret-9"), std::string::npos);
    EXPECT_EQ(r.err.find("Secret-9"), std::string::npos);
  }

  FakeStation a(conn_, "st-a");
  a.Start();
  BackgroundProgram dashboard;
  const std::string listen = "127.0.0.1:" + std::to_string(FreePort());
  ASSERT_TRUE(dashboard.Start(QUELMAR_CLI_PATH, {"line", "dashboard", "--db", conn_, "--listen",
                                                 listen, "--token", kToken}));
  ASSERT_TRUE(dashboard.WaitForOutput("Token: " + std::string(kToken) + "\n", 1, 20s))
      << dashboard.Out() << dashboard.Err();
  const std::string out = dashboard.Out();
  const size_t at = out.find("Line dashboard: http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << out;
  const uint16_t port = static_cast<uint16_t>(std::stoi(out.substr(at + 33)));
  const std::string host = "127.0.0.1:" + std::to_string(port);
  Answer state;
  ASSERT_TRUE(WaitUntil([&] {
    state =
        Http(port, "GET /api/state HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    return state.body.find("\"name\":\"st-a\"") != std::string::npos;
  })) << state.body;
  const Answer paused = Http(port, "POST /api/station/st-a/pause HTTP/1.1\r\nHost: " + host +
                                       "\r\nX-Quelmar-Token: " + kToken +
                                       "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(paused.status, 202) << paused.body;
  EXPECT_TRUE(
      WaitUntil([&] { return a.Controls() == std::vector<LineControl>{LineControl::kPause}; }));
  // A name the line reaches it by is given with --hostname: no profile here.
  const Answer foreign =
      Http(port, "GET / HTTP/1.1\r\nHost: line3.example:" + std::to_string(port) +
                     "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(foreign.status, 421);
  EXPECT_EQ(foreign.body, "unknown host: add the name to the dashboard's --hostname\n");
  dashboard.Signal(SIGTERM);
  dashboard.Wait(10s);
}

// quelmar-cli line dashboard's address, names and token: without --listen
// only loopback reaches it, --hostname adds a name the page answers to,
// the token comes from --token-file before QUELMAR_TOKEN, and a weak one,
// two at once or a file that is not there stop it before it serves.
TEST_F(LinePage, DashboardListenHostnameAndTokenOptions) {
  TempDir dir;
  const std::string file = dir.File("token.txt");
  const std::string file_token = "dashboard-file-token-0123";
  WriteWholeFile(file, file_token + "\n");
  const std::string env_token = "dashboard-env-token-0123";
  const struct {
    std::vector<std::string> args;
    std::string env;
    int exit;
    std::string says;  // the first line on stderr
  } refused[] = {
      {{"--token", "0123456789abcde"},
       "QUELMAR_TOKEN=",
       2,
       "quelmar-cli: --token is shorter than 16 characters"},
      {{"--token", kToken, "--token-file", file},
       "QUELMAR_TOKEN=",
       2,
       "quelmar-cli: give --token or --token-file, not both"},
      {{"--token-file=" + file, "--token-file", file},
       "QUELMAR_TOKEN=",
       2,
       "quelmar-cli: --token-file may be given once"},
      {{"--token-file", dir.File("absent")},
       "QUELMAR_TOKEN=",
       1,
       "quelmar-cli: cannot read the token file '" + dir.File("absent") +
           "': No such file or directory"},
      {{}, "QUELMAR_TOKEN=short", 2, "quelmar-cli: QUELMAR_TOKEN is shorter than 16 characters"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> args = {"line", "dashboard", "--db", conn_};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = RunProgram(QUELMAR_CLI_PATH, args, {c.env}, 20s);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_EQ(r.out, "") << "the page was served";
    EXPECT_EQ(r.err.substr(0, r.err.find('\n')), c.says) << r.err;
  }

  {
    // The default port may be another program's on this machine: the
    // refusal then names the address tried.
    BackgroundProgram dashboard;
    ASSERT_TRUE(dashboard.Start(QUELMAR_CLI_PATH, {"line", "dashboard", "--db", conn_},
                                {"QUELMAR_TOKEN="}));
    if (dashboard.WaitForOutput("Token: ", 1, 20s)) {
      const std::string out = dashboard.Out();
      EXPECT_EQ(out.substr(0, out.find("Token: ")), "Line dashboard: http://127.0.0.1:8090/\n");
      EXPECT_EQ(Http(8090,
                     "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:8090\r\nConnection: "
                     "close\r\n\r\n")
                    .status,
                200);
      const link::ConnectResult other = link::ConnectTcp("127.0.0.2", 8090, 5000);
      EXPECT_EQ(other.stream, nullptr) << "the page is served beyond loopback";
      EXPECT_EQ(other.error, link::ConnectError::kRefused) << other.detail;
    } else {
      EXPECT_EQ(dashboard.Err().rfind(
                    "quelmar-cli: line dashboard: cannot listen on 127.0.0.1:8090: ", 0),
                0u)
          << dashboard.Out() << dashboard.Err();
    }
    dashboard.Signal(SIGTERM);
    dashboard.Wait(10s);
  }

  BackgroundProgram dashboard;
  const uint16_t port = FreePort();
  const std::string p = std::to_string(port);
  ASSERT_TRUE(
      dashboard.Start(QUELMAR_CLI_PATH,
                      {"line", "dashboard", "--db", conn_, "--listen", "127.0.0.1:" + p,
                       "--hostname", "line3.example", "--hostname=10.9.8.7", "--token-file", file},
                      {"QUELMAR_TOKEN=" + env_token}));
  ASSERT_TRUE(dashboard.WaitForOutput("Token: " + file_token + "\n", 1, 20s))
      << dashboard.Out() << dashboard.Err();
  const struct {
    const char* host;
    int status;
  } hosts[] = {
      {"line3.example", 200},
      {"LINE3.example", 200},
      {"10.9.8.7", 200},
      {"line4.example", 421},
      {"line3.example.evil.example", 421},
  };
  for (const auto& h : hosts) {
    SCOPED_TRACE(h.host);
    const Answer a = Http(port, "GET /api/state HTTP/1.1\r\nHost: " + std::string(h.host) + ":" +
                                    p + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(a.status, h.status) << a.body;
  }
  const auto pause = [&](const std::string& token) {
    return Http(port, "POST /api/line/pause HTTP/1.1\r\nHost: line3.example:" + p +
                          "\r\nX-Quelmar-Token: " + token +
                          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  };
  const Answer with_env = pause(env_token);
  EXPECT_EQ(with_env.status, 403) << "the environment's token was taken";
  EXPECT_EQ(with_env.body, "wrong token\n");
  // Past the token the answer is the line's (no station runs, or the
  // database not yet reached).
  const Answer with_file = pause(file_token);
  EXPECT_NE(with_file.status, 0);
  EXPECT_NE(with_file.status, 403) << with_file.body;
  dashboard.Signal(SIGTERM);
  dashboard.Wait(10s);
}

}  // namespace
}  // namespace quelmar::testing
