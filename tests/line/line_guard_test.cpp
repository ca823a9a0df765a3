// The line's database against its own users: roles set up as a line is
// set up (the superuser makes the group roles and the login roles, the
// engineer owns the database and runs init), then stations, a supervisor
// and a careless engineer try what their roles must not do. Every refusal
// leaves the tables as they were.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "line/line_db.h"
#include "line/spool.h"
#include "line/stations.h"
#include "pg_support.h"
#include "process.h"
#include "production/record.h"

namespace quelmar::testing {
namespace {

using namespace std::chrono_literals;
using line::LineDb;
using production::FieldValue;

constexpr char kPassword[] = "Guard-pw-7";
constexpr char kRunA[] = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
// A state quelmar_report takes; the cases below spoil one part of it.
constexpr char kState[] =
    "'{\"host\":\"pc-a\",\"version\":\"1.0\",\"profile_sha256\":\"\",\"images\":[],"
    "\"dashboard\":\"\",\"run\":\"running\",\"slots\":[{\"port\":\"COM1\",\"state\":\"waiting\","
    "\"percent\":0,\"failure\":\"\"}],\"ok\":0,\"failed\":0}'::jsonb";

const char* const kTables[] = {"quelmar_schema", "pools",           "pool_values",   "pool_queue",
                               "boards",         "stations",        "station_roles", "reservations",
                               "pool_skips",     "refused_filings", "jobs",          "job_images"};

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from << " in " << text;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// A text as an SQL literal's inside.
std::string SqlText(const std::string& text) {
  std::string quoted;
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted;
}

line::PoolField Field(const std::string& pool, const std::string& format, uint32_t size = 0) {
  line::PoolField f;
  f.pool = pool;
  f.def.name = pool;
  std::string why;
  EXPECT_TRUE(production::ParseFormat(format, &f.def.format, &f.def.pattern, &why)) << why;
  f.def.size = size;
  EXPECT_TRUE(production::SettleSize(&f.def, size != 0, &why)) << why;
  return f;
}

// A board whose values a station holds, and the key its record is sealed with.
struct Held {
  std::string id, station, port, key;
  std::vector<line::PoolField> fields;
  std::vector<FieldValue> values;
  std::string Shown(size_t i) const {
    const production::ShownValue v = production::ShowValue(fields[i].def, values[i]);
    return v.is_number ? std::to_string(v.number) : v.text;
  }
};

class Guard : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PGPASSWORD", kPassword, 1);
    std::string why, advice;
    int from = -1;
    {
      // The group roles are the cluster's: the superuser's init (of a
      // database of its own) makes them, or finds them made.
      LineDb superuser;
      ASSERT_TRUE(superuser.Connect(SocketConn(FreshDatabase()), &why)) << why;
      ASSERT_TRUE(superuser.Init(&from, &advice, &why)) << why;
    }
    db_ = FreshDatabase();
    eng_ = "eng_" + db_;
    st_a_ = "st_a_" + db_;
    st_b_ = "st_b_" + db_;
    sup_ = "sup_" + db_;
    const std::pair<std::string, const char*> roles[] = {{eng_, line::kEngineerGroup},
                                                         {st_a_, line::kStationGroup},
                                                         {st_b_, line::kStationGroup},
                                                         {sup_, line::kSupervisorGroup}};
    std::string sql;
    for (const auto& [role, group] : roles)
      sql += "CREATE ROLE " + role + " LOGIN PASSWORD '" + kPassword + "' IN ROLE " + group + ";";
    sql += "ALTER DATABASE " + db_ + " OWNER TO " + eng_ + ";REVOKE ALL ON DATABASE " + db_ +
           " FROM PUBLIC;GRANT CONNECT ON DATABASE " + db_ + " TO " + eng_ + "," + st_a_ + "," +
           st_b_ + "," + sup_;
    Psql("postgres", sql);

    engineer_ = Open(eng_);
    ASSERT_TRUE(engineer_->Init(&from, &advice, &why)) << why;
    ASSERT_EQ(from, 0);
    ASSERT_TRUE(engineer_->AddCounterPool({"serial", "u32le", 100000, 1, std::nullopt}, &why))
        << why;
    ASSERT_TRUE(engineer_->AddCounterPool({"mac", "mac", 0x02514D000000, 1, std::nullopt}, &why))
        << why;
    std::vector<line::ListEntry> labels;
    for (size_t n = 1; n <= 20; ++n)
      labels.push_back({n, "L" + std::string(n < 10 ? "0" : "") + std::to_string(n)});
    bool created = false;
    ASSERT_TRUE(engineer_->AddListValues("labels", "text", "labels.txt", labels, &created, &why))
        << why;
    ASSERT_TRUE(engineer_->AddStation("St A", st_a_, &why)) << why;
    ASSERT_TRUE(engineer_->AddStation("St B", st_b_, &why)) << why;
    ASSERT_TRUE(engineer_->Identity(&identity_, &why)) << why;
    fields_ = {Field("serial", "u32le"), Field("mac", "mac")};
  }

  void TearDown() override { unsetenv("PGPASSWORD"); }

  std::unique_ptr<LineDb> Open(const std::string& role) {
    auto db = std::make_unique<LineDb>();
    std::string why;
    EXPECT_TRUE(db->Connect(TcpConn(db_, role), &why)) << why;
    return db;
  }

  RunResult PsqlAs(const std::string& role, const std::string& sql) {
    return RunProgram(Pg().bin + "/psql",
                      {"-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p",
                       Pg().port, "-U", role, "-d", db_, "-c", sql},
                      {}, 60s);
  }

  RunResult Cli(std::vector<std::string> args) {
    args.insert(args.begin(), "line");
    args.push_back("--db");
    args.push_back(TcpConn(db_, eng_));
    return RunProgram(QUELMAR_CLI_PATH, args, {}, 60s);
  }

  // Every row of every table and the control numbers' sequence, as the
  // superuser sees them.
  std::string Tables(bool with_refused = true) {
    std::string sql = "SELECT concat_ws(E'\\n'";
    for (const std::string table : kTables) {
      if (!with_refused && table == "refused_filings") continue;
      sql += ", '" + table + ":', (SELECT string_agg(x::text, E'\\n' ORDER BY x::text) FROM " +
             table + " x)";
    }
    return Psql(db_,
                sql + ", (SELECT 'control_ids ' || last_value || is_called FROM control_ids))");
  }

  Held Reserve(LineDb& db, const std::string& station, const std::string& port,
               const std::vector<line::PoolField>& fields) {
    Held b{production::NewBoardId(), station, port, "", fields, {}};
    std::string why;
    EXPECT_EQ(db.Reserve(fields, {b.id, station, port}, &b.values, &b.key, &why),
              LineDb::Reserved::kOk)
        << why;
    return b;
  }
  Held Reserve(LineDb& db, const std::string& station, const std::string& port) {
    return Reserve(db, station, port, fields_);
  }

  // The record a station writes after the board, sealed with the board's key.
  line::FiledBoard Sealed(const Held& b, const std::string& result, const std::string& unit = "") {
    production::BoardRecord r;
    if (!unit.empty()) r.unit = unit;
    r.id = b.id;
    r.station = b.station;
    r.port = r.device = b.port;
    r.board = 1;
    r.result = result;
    if (result != "ok") r.failure = "Write to FLASH... FAILED (error 05 at block A:3)";
    r.time_end = std::chrono::system_clock::now();
    r.time_start = r.time_end - 3s;
    for (size_t i = 0; i < b.fields.size(); ++i)
      r.fields.emplace_back(b.fields[i].def.name,
                            production::ShowValue(b.fields[i].def, b.values[i]));
    line::FiledBoard f{b.id,
                       b.station,
                       b.port,
                       r.board,
                       result,
                       production::IsoUtc(r.time_start),
                       production::IsoUtc(r.time_end),
                       line::WithoutNul(production::RecordJson(r)),
                       "",
                       identity_,
                       engineer_->Server()};
    f.seal = line::SealRecord(b.key, f.record);
    return f;
  }

  std::string db_, eng_, st_a_, st_b_, sup_, identity_;
  std::unique_ptr<LineDb> engineer_;
  std::vector<line::PoolField> fields_;
};

// Plain SQL on every table: a station and the supervisor change nothing
// but through the functions, and neither reads the boards' seal keys.
TEST_F(Guard, NoTableIsWrittenButThroughTheFunctions) {
  const Held held = Reserve(*Open(st_a_), "St A", "COM1");
  ASSERT_FALSE(held.key.empty());
  const std::string before = Tables();
  const std::pair<std::string, std::string> tables[] = {{"quelmar_schema", "version"},
                                                        {"pools", "next_value"},
                                                        {"pool_values", "state"},
                                                        {"pool_queue", "position"},
                                                        {"boards", "result"},
                                                        {"stations", "control_id"},
                                                        {"station_roles", "role"},
                                                        {"reservations", "seal_key"},
                                                        {"pool_skips", "last_value"},
                                                        {"refused_filings", "reason"},
                                                        {"jobs", "made"},
                                                        {"job_images", "bytes"}};
  struct Case {
    std::string sql, says;
  };
  std::vector<Case> cases;
  for (const auto& [table, column] : tables) {
    for (const std::string& sql : {"INSERT INTO " + table + " DEFAULT VALUES",
                                   "UPDATE " + table + " SET " + column + " = " + column,
                                   "DELETE FROM " + table, "TRUNCATE " + table})
      cases.push_back({sql, "permission denied for table " + table});
  }
  cases.push_back(
      {"SELECT seal_key FROM reservations", "permission denied for table reservations"});
  cases.push_back(
      {"SELECT setval('control_ids', 1000000)", "permission denied for sequence control_ids"});
  cases.push_back({"SELECT nextval('control_ids')", "permission denied for sequence control_ids"});
  // A function of its own beside the line's could be taken by theirs.
  cases.push_back(
      {"CREATE FUNCTION convert_to(text, text) RETURNS bytea LANGUAGE sql AS "
       "'SELECT ''x''::bytea'",
       "permission denied for schema public"});
  for (const std::string& role : {st_a_, sup_}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(role + ": " + c.sql);
      const RunResult r = PsqlAs(role, c.sql);
      EXPECT_NE(r.exit_code, 0) << r.out;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(Tables(), before);
}

// A schema any role may create in (a cluster upgraded from PostgreSQL 14
// keeps it so, or an engineer grants it): a function a station plants
// there beside the server's own is never run by the line's functions,
// which run as the tables' owner.
TEST_F(Guard, FunctionsNeverRunWhatAStationPlanted) {
  RunResult r = PsqlAs(eng_, "GRANT CREATE ON SCHEMA public TO PUBLIC");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string planted =
      "RETURNS bytea LANGUAGE plpgsql AS $$BEGIN INSERT INTO pools (name, kind, format) "
      "VALUES ('planted', 'list', 'text'); RETURN pg_catalog.convert_to(t, e::name); END$$";
  r = PsqlAs(st_a_, "CREATE FUNCTION public.convert_to(t text, e text) " + planted);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::unique_ptr<LineDb> a = Open(st_a_);
  const Held a1 = Reserve(*a, "St A", "COM1");
  std::string why;
  EXPECT_EQ(a->File(Sealed(a1, "ok"), &why), LineDb::Filed::kOk) << why;
  EXPECT_EQ(Psql(db_, "SELECT string_agg(name, ',' ORDER BY name) FROM pools"),
            "labels,mac,serial");
}

// Each function called as an attacker at a station calls it: another
// station's name, a name nobody registered, a state out of bounds, a
// function of another role. Refused, and nothing changed.
TEST_F(Guard, FunctionsRefuseWhatIsNotTheCallersOwn) {
  RunResult r = PsqlAs(st_a_, "SELECT control_id FROM quelmar_report('St A', '" +
                                  std::string(kRunA) + "', 5, " + kState + ")");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Held b1 = Reserve(*Open(st_b_), "St B", "COM1");
  auto report = [](const std::string& station, const std::string& uptime,
                   const std::string& state) {
    return "SELECT * FROM quelmar_report('" + station + "', '" + kRunA + "', " + uptime + ", " +
           state + ")";
  };
  auto spoilt = [](const std::string& path, const std::string& value) {
    return "jsonb_set(" + std::string(kState) + ", '" + path + "', " + value + ")";
  };
  const std::string reserve =
      "SELECT quelmar_reserve('%s', 'COM1', %b, '{serial}', '{serial}', NULL, NULL, true)";
  auto reserve_as = [&](const std::string& station, const std::string& board) {
    return Replaced(Replaced(reserve, "%s", station), "%b", board);
  };
  const std::string others =
      "station 'St B' is registered for the role " + st_b_ + ", not " + st_a_;
  const std::string slot_rule = "a slot has a port of at most 200 bytes";
  const std::string job_rule = "a job is a name, a version, its SHA-256 and a state";
  auto job = [&](const std::string& name, const std::string& version, const std::string& state) {
    return spoilt("{job}", "jsonb_build_object('name', " + name + ", 'version', " + version +
                               ", 'sha256', repeat('a', 64), 'state', " + state + ")");
  };
  struct Case {
    std::string role, sql, says;
  };
  const Case cases[] = {
      {st_a_, report("St B", "5", kState), others},
      {st_a_, "SELECT * FROM quelmar_heartbeat('St B', '" + std::string(kRunA) + "')", others},
      {st_a_, "SELECT * FROM quelmar_take_control('St B', '" + std::string(kRunA) + "')", others},
      {st_a_, "SELECT quelmar_station_start('St B', NULL)", others},
      {st_a_, reserve_as("St B", "gen_random_uuid()"), others},
      {st_a_, report("St Z", "5", kState), "station 'St Z' is not registered on this line"},
      {st_a_, reserve_as("St Z", "gen_random_uuid()"),
       "station 'St Z' is not registered on this line"},
      {st_a_, reserve_as("St A", "'" + b1.id + "'"), "board " + b1.id + " has its values already"},
      {st_a_, report("St A", "'infinity'::float8", kState), "the uptime must be 0 to 10 years"},
      {st_a_, report("St A", "'NaN'::float8", kState), "the uptime must be 0 to 10 years"},
      {st_a_, report("St A", "-1", kState), "the uptime must be 0 to 10 years"},
      {st_a_, report("St A", "5", spoilt("{run}", "'\"STOPPED\"'")),
       "run must be running, paused, stopping or stopped"},
      {st_a_, report("St A", "5", spoilt("{run}", "'\"offline\"'")),
       "run must be running, paused, stopping or stopped"},
      {st_a_,
       report("St A", "5",
              spoilt("{slots}",
                     "(SELECT jsonb_agg(jsonb_build_object('port', 'COM' || i, 'state', "
                     "'waiting', 'percent', 0, 'failure', '')) FROM generate_series(1, 65) i)")),
       "at most 64 slots and 16 images"},
      {st_a_,
       report("St A", "5",
              spoilt("{images}",
                     "(SELECT jsonb_agg(jsonb_build_object('file', 'a' || i || '.fcode', "
                     "'sha256', '')) FROM generate_series(1, 17) i)")),
       "at most 64 slots and 16 images"},
      {st_a_, report("St A", "5", spoilt("{slots,0,port}", "to_jsonb(repeat('p', 201))")),
       slot_rule},
      {st_a_, report("St A", "5", spoilt("{slots,0,failure}", "to_jsonb(repeat('f', 501))")),
       slot_rule},
      {st_a_, report("St A", "5", spoilt("{slots,0,percent}", "'101'")), slot_rule},
      {st_a_, report("St A", "5", spoilt("{slots,0,percent}", "'-1'")), slot_rule},
      {st_a_, report("St A", "5", spoilt("{slots,0,state}", "'\"hacked\"'")), slot_rule},
      {st_a_, report("St A", "5", spoilt("{pad}", "to_jsonb(repeat('x', 65536))")),
       "a station's state is an object of at most 64 KiB"},
      {st_a_, report("St A", "5", spoilt("{host}", "to_jsonb(repeat('h', 256))")),
       "host (255 bytes)"},
      {st_a_, report("St A", "5", spoilt("{ok}", "'-1'")), "host (255 bytes)"},
      {st_a_, report("St A", "5", job("repeat('w', 65)", "2", "'made'")), job_rule},
      {st_a_, report("St A", "5", job("'<img src=x>'", "2", "'made'")), job_rule},
      {st_a_, report("St A", "5", job("'widget'", "2", "'paused'")), job_rule},
      {st_a_, report("St A", "5", job("'widget'", "0", "'made'")), job_rule},
      {st_a_, "SELECT quelmar_send_control('St B', 'stop')",
       "permission denied for function quelmar_send_control"},
      {st_a_, "SELECT quelmar_caller_is('St B')",
       "permission denied for function quelmar_caller_is"},
      {st_a_, "SELECT quelmar_hmac('k'::bytea, 'm'::bytea)",
       "permission denied for function quelmar_hmac"},
      {sup_, report("St A", "5", kState), "permission denied for function quelmar_report"},
      {sup_, reserve_as("St A", "gen_random_uuid()"),
       "permission denied for function quelmar_reserve"},
      {sup_, "SELECT quelmar_file('St B', '" + b1.id + "', 'ok', '{}', '')",
       "permission denied for function quelmar_file"},
      {sup_, "SELECT quelmar_send_control('St A', 'reboot')", "a control is pause, resume or stop"},
      // Jobs: released and retired by engineers only, their bytes read
      // by stations only through quelmar_job_fetch.
      {st_a_,
       "SELECT quelmar_job_release('w', NULL, '', 'reboot = true', '{}', '{}', '{}', '{}', "
       "repeat('0', 64))",
       "permission denied for function quelmar_job_release"},
      {sup_,
       "SELECT quelmar_job_release('w', NULL, '', 'reboot = true', '{}', '{}', '{}', '{}', "
       "repeat('0', 64))",
       "permission denied for function quelmar_job_release"},
      {st_a_, "SELECT quelmar_job_retire('w', 1)",
       "permission denied for function quelmar_job_retire"},
      {st_a_, "SELECT bytes FROM job_images", "permission denied for table job_images"},
      {st_a_, "SELECT profile FROM jobs", "permission denied for table jobs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.role + ": " + c.sql.substr(0, 300));
    const std::string before = Tables();
    r = PsqlAs(c.role, c.sql);
    EXPECT_NE(r.exit_code, 0) << r.out;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(Tables(), before);
  }
  // The bounds themselves are taken: 64 slots, a port of 200 bytes, a
  // failure of 500, 100 percent.
  const std::string edge = spoilt(
      "{slots}",
      "(SELECT jsonb_agg(jsonb_build_object('port', CASE WHEN i = 1 THEN repeat('p', 200) ELSE "
      "'COM' || i END, 'state', 'failed', 'percent', 100, 'failure', repeat('f', 500))) FROM "
      "generate_series(1, 64) i)");
  r = PsqlAs(st_a_, report("St A", "5", edge));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(Psql(db_, "SELECT jsonb_array_length(slots) FROM stations WHERE name = 'St A'"), "64");
}

// Filings a station could try: another station's board, a board never
// reserved, a record changed after its seal, another board's values.
// Each is refused and logged, and the board can still be filed by its own
// station with its own record.
TEST_F(Guard, FilingsRefusedUnlessTheBoardsOwnRecord) {
  std::unique_ptr<LineDb> a = Open(st_a_), b = Open(st_b_);
  const Held a1 = Reserve(*a, "St A", "COM1"), a2 = Reserve(*a, "St A", "COM2");
  const Held b1 = Reserve(*b, "St B", "COM1");

  Held b1_as_a = b1;  // its key stolen
  b1_as_a.station = "St A";
  Held ghost = a1;
  ghost.id = production::NewBoardId();
  line::FiledBoard wrong_seal = Sealed(a1, "ok");
  wrong_seal.seal = line::SealRecord(std::string(64, '0'), wrong_seal.record);
  line::FiledBoard other_key = Sealed(a1, "ok");
  other_key.seal = line::SealRecord(a2.key, other_key.record);
  line::FiledBoard no_seal = Sealed(a1, "ok");
  no_seal.seal.clear();
  line::FiledBoard result_only = Sealed(a1, "failed");
  result_only.result = "ok";
  line::FiledBoard edited = Sealed(a1, "failed");
  edited.record = Replaced(edited.record, "\"result\":\"failed\"", "\"result\":\"ok\"");
  edited.result = "ok";
  Held swapped = a1;  // a2's MAC in a1's record, sealed with a1's key
  swapped.values[1] = a2.values[1];
  Held moved = a2;  // a2's record filed as a1's
  moved.key = a1.key;
  line::FiledBoard as_a1 = Sealed(moved, "ok");
  as_a1.id = a1.id;
  Held other_port = a1;
  other_port.port = "COM9";
  line::FiledBoard extra = Sealed(a1, "ok");
  extra.record = Replaced(extra.record, "\"fields\":{", "\"fields\":{\"labels\":\"L01\",");
  extra.seal = line::SealRecord(a1.key, extra.record);
  line::FiledBoard not_json = Sealed(a1, "ok");
  not_json.record = "{\"id\":";
  not_json.seal = line::SealRecord(a1.key, not_json.record);

  struct Case {
    const char* what;
    line::FiledBoard board;
    std::string says;
    bool logged;
  };
  const std::string seal_rule = "its seal does not match its record";
  const Case cases[] = {
      {"St B's board under St B's name", Sealed(b1, "ok"),
       "station 'St B' is registered for the role " + st_b_, false},
      {"St B's board under St A's name", Sealed(b1_as_a, "ok"),
       "refused: the board was reserved by station 'St B'", true},
      {"a board never reserved", Sealed(ghost, "ok"), "refused: no board of this id was reserved",
       true},
      {"a seal of another key", wrong_seal, seal_rule, true},
      {"a seal of another board's key", other_key, seal_rule, true},
      {"no seal", no_seal, seal_rule, true},
      {"the result changed, the record not", result_only,
       "refused: the record's result is not the one filed", true},
      {"the result changed in the record", edited, seal_rule, true},
      {"another board's MAC", Sealed(swapped, "ok"),
       "refused: field 'mac' holds " + a2.Shown(1) + ", not the value " + a1.Shown(1) +
           " reserved for it",
       true},
      {"another board's record", as_a1,
       "refused: the record's id, station or port is not its reservation's", true},
      {"another port", Sealed(other_port, "ok"),
       "refused: the record's id, station or port is not its reservation's", true},
      {"a field not reserved", extra, "refused: the record holds fields that were not reserved",
       true},
      {"no JSON", not_json, "refused: the record is no JSON", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string before = Tables(false);
    const std::string logged = Psql(db_, "SELECT count(*) FROM refused_filings");
    std::string why;
    EXPECT_EQ(a->File(c.board, &why), LineDb::Filed::kRefused);
    EXPECT_NE(why.find(c.says), std::string::npos) << why;
    EXPECT_EQ(Tables(false), before);
    EXPECT_EQ(Psql(db_, "SELECT count(*) FROM refused_filings"),
              std::to_string(std::stoi(logged) + (c.logged ? 1 : 0)));
    if (c.logged) {
      EXPECT_EQ("refused: " + Psql(db_,
                                   "SELECT reason || ' ' || role || ' ' || board_id "
                                   "FROM refused_filings ORDER BY id DESC LIMIT 1"),
                why + " " + st_a_ + " " + c.board.id);
    }
  }

  // Their own stations file them as they are.
  std::string why;
  const line::FiledBoard a1_ok = Sealed(a1, "ok");
  EXPECT_EQ(a->File(a1_ok, &why), LineDb::Filed::kOk) << why;
  EXPECT_EQ(a->File(Sealed(a2, "failed"), &why), LineDb::Filed::kOk) << why;
  EXPECT_EQ(b->File(Sealed(b1, "ok"), &why), LineDb::Filed::kOk) << why;
  EXPECT_EQ(Psql(db_,
                 "SELECT string_agg(b.station || ' ' || b.result || ' ' || v.state, ',' "
                 "  ORDER BY b.station, b.result, v.pool) "
                 "FROM boards b JOIN pool_values v ON v.board_id = b.id"),
            "St A failed void,St A failed void,St A ok written,St A ok written,"
            "St B ok written,St B ok written");
  EXPECT_EQ(Psql(db_, "SELECT count(*) FROM reservations"), "0");

  // Filed again: the same record changes nothing; another one is refused
  // and logged, the filed record kept.
  const line::FiledBoard& again = a1_ok;
  std::string before = Tables();
  EXPECT_EQ(a->File(again, &why), LineDb::Filed::kOk) << why;
  const RunResult already = PsqlAs(st_a_, "SELECT quelmar_file('St A', '" + a1.id + "', 'ok', '" +
                                              SqlText(again.record) + "', '')");
  EXPECT_EQ(already.out, "already\n") << already.err;
  EXPECT_EQ(Tables(), before);
  before = Tables(false);
  EXPECT_EQ(a->File(Sealed(a1, "failed"), &why), LineDb::Filed::kRefused);
  EXPECT_NE(why.find("refused: the board was filed before with another record"), std::string::npos)
      << why;
  EXPECT_EQ(b->File(again, &why), LineDb::Filed::kRefused);
  EXPECT_NE(why.find("is registered for the role " + st_a_), std::string::npos) << why;
  EXPECT_EQ(Tables(false), before);
  EXPECT_EQ(Psql(db_, "SELECT count(*) FROM refused_filings WHERE board_id = '" + a1.id +
                          "' AND reason = 'the board was filed before with another record'"),
            "1");
}

// One record sent twice at once (a station filing again while its first
// try still waits on the server) is filed once and refused never.
TEST_F(Guard, OneRecordFiledTwiceAtOnceIsFiledOnce) {
  std::unique_ptr<LineDb> a = Open(st_a_), again = Open(st_a_);
  const Held a1 = Reserve(*a, "St A", "COM1");
  const line::FiledBoard record = Sealed(a1, "ok");
  // The board's reservation held until both filings wait on it.
  BackgroundProgram holder;
  ASSERT_TRUE(holder.Start(
      Pg().bin + "/psql",
      {"-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", Pg().socket, "-p", Pg().port, "-U",
       "quelmar", "-d", db_, "-c",
       "BEGIN; SELECT 1 FROM reservations FOR UPDATE; "
       "DO $$BEGIN FOR i IN 1..3000 LOOP EXIT WHEN (SELECT count(*) FROM pg_stat_activity "
       "  WHERE datname = current_database() AND wait_event_type = 'Lock' "
       "    AND query LIKE 'SELECT quelmar_file%') >= 2; "
       "  PERFORM pg_sleep(0.01); PERFORM pg_stat_clear_snapshot(); END LOOP; END$$; "
       "COMMIT; SELECT 'released'"}));
  ASSERT_TRUE(WaitUntil([&] {
    return Psql(db_,
                "SELECT count(*) FROM pg_locks l JOIN pg_class c ON c.oid = l.relation "
                "WHERE l.database = (SELECT oid FROM pg_database WHERE datname = "
                "current_database()) "
                "  AND c.relname = 'reservations' AND l.mode = 'RowShareLock'") == "1";
  }));
  std::string why_first, why_second;
  LineDb::Filed first = LineDb::Filed::kAway, second = LineDb::Filed::kAway;
  std::thread one([&] { first = a->File(record, &why_first); });
  std::thread two([&] { second = again->File(record, &why_second); });
  one.join();
  two.join();
  EXPECT_TRUE(holder.WaitForOutput("released\n", 1, 30s)) << holder.Err();
  EXPECT_EQ(first, LineDb::Filed::kOk) << why_first;
  EXPECT_EQ(second, LineDb::Filed::kOk) << why_second;
  EXPECT_EQ(Psql(db_, "SELECT count(*) FROM boards"), "1");
  EXPECT_EQ(Psql(db_, "SELECT coalesce(string_agg(reason, ','), '') FROM refused_filings"), "");
}

// Controls are the supervisor's and numbered by the database: a station
// cannot send one, nor pass one off as the supervisor's with a NOTIFY.
TEST_F(Guard, ControlsNumberedByTheDatabase) {
  RunResult r = PsqlAs(st_a_, "SELECT control_id FROM quelmar_report('St A', '" +
                                  std::string(kRunA) + "', 5, " + kState + ")");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::mutex mutex;
  std::vector<line::LineControl> taken;
  line::StationReporter st_b(TcpConn(db_, st_b_), "St B", [&](line::LineControl c) {
    std::lock_guard lock(mutex);
    taken.push_back(c);
  });
  std::string why;
  ASSERT_TRUE(st_b.Start(&why)) << why;
  st_b.Report(line::StationReport{});
  ASSERT_TRUE(WaitUntil(
      [&] { return Psql(db_, "SELECT count(*) FROM stations WHERE name = 'St B'") == "1"; }));
  auto sent = [&](const std::string& sql) {
    const RunResult s = PsqlAs(sup_, sql);
    EXPECT_EQ(s.exit_code, 0) << s.err;
    return s.out;
  };
  auto control_of = [&](const std::string& station) {
    return sent("SELECT control || ' ' || control_id FROM stations WHERE name = '" + station + "'");
  };
  auto id_of = [&](const std::string& station) {
    const std::string text = control_of(station);
    return std::stoll(text.substr(text.find(' ') + 1));
  };

  // A station's NOTIFY on another's channel says "look", and the row
  // holds nothing new for it.
  r = PsqlAs(st_a_, "NOTIFY " + line::ControlChannel("St B") + ", 'stop'");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(sent("SELECT quelmar_send_control('St B', 'pause')"), "St B\n");
  auto taken_now = [&] {
    std::lock_guard lock(mutex);
    return taken;
  };
  EXPECT_TRUE(WaitUntil([&] { return !taken_now().empty(); }));
  EXPECT_EQ(taken_now(), std::vector<line::LineControl>{line::LineControl::kPause});
  EXPECT_EQ(sent("SELECT quelmar_send_control('St A', 'pause')"), "St A\n");
  const long long first = id_of("St A");
  EXPECT_EQ(sent("SELECT quelmar_send_control('St A', 'resume')"), "St A\n");
  const long long second = id_of("St A");
  EXPECT_GT(second, first);
  EXPECT_GT(first, id_of("St B"));
  EXPECT_EQ(sent("SELECT s FROM quelmar_send_control(NULL, 'stop') s ORDER BY s"), "St A\nSt B\n");
  EXPECT_GT(id_of("St A"), second);
  EXPECT_NE(id_of("St A"), id_of("St B"));
  // A Stop stays a Stop; a station's report neither changes nor clears it.
  const long long stop = id_of("St A");
  EXPECT_EQ(sent("SELECT quelmar_send_control('St A', 'pause')"), "St A\n");
  EXPECT_EQ(control_of("St A"), "stop " + std::to_string(id_of("St A")) + "\n");
  EXPECT_GT(id_of("St A"), stop);
  const std::string before = control_of("St A");
  r = PsqlAs(st_a_, "SELECT control || ' ' || control_id FROM quelmar_report('St A', '" +
                        std::string(kRunA) + "', 6, " + kState + ")");
  EXPECT_EQ(r.out, before) << r.err;
  EXPECT_EQ(control_of("St A"), before);

  EXPECT_TRUE(WaitUntil([&] { return taken_now().size() == 2; }));
  EXPECT_EQ(taken_now(),
            (std::vector<line::LineControl>{line::LineControl::kPause, line::LineControl::kStop}));
  st_b.Stop();
}

// A value the engineer made void is handed out to nobody, whichever
// station asks; a station cannot make one void itself.
TEST_F(Guard, VoidValuesAreNeverHandedOut) {
  size_t changed = 0;
  std::string why;
  ASSERT_TRUE(engineer_->Void("serial", {"100002", "100004"}, &changed, &why)) << why;
  EXPECT_EQ(changed, 2u);
  ASSERT_TRUE(engineer_->Void("labels", {"L02"}, &changed, &why)) << why;
  EXPECT_EQ(changed, 1u);
  std::unique_ptr<LineDb> a = Open(st_a_), b = Open(st_b_);
  const std::vector<line::PoolField> fields = {Field("serial", "u32le"),
                                               Field("labels", "text", 8)};
  std::vector<std::string> serials, labels;
  for (int n = 0; n < 6; ++n) {
    const Held h = Reserve(n % 2 == 0 ? *a : *b, n % 2 == 0 ? "St A" : "St B", "COM1", fields);
    if (h.values.size() != 2) break;
    serials.push_back(h.Shown(0));
    labels.push_back(h.Shown(1));
  }
  EXPECT_EQ(serials,
            (std::vector<std::string>{"100000", "100001", "100003", "100005", "100006", "100007"}));
  EXPECT_EQ(labels, (std::vector<std::string>{"L01", "L03", "L04", "L05", "L06", "L07"}));
  const std::string before = Tables();
  EXPECT_FALSE(a->Void("serial", {"100009"}, &changed, &why));
  EXPECT_NE(why.find("permission denied"), std::string::npos) << why;
  EXPECT_EQ(Tables(), before);
}

// 100,000 values ahead of a counter made void at once are stepped over at
// once, and counted void, not free.
TEST_F(Guard, ManyVoidValuesAheadAreSteppedOverAtOnce) {
  std::vector<std::string> ahead;
  for (uint64_t n = 100000; n < 200000; ++n) ahead.push_back(std::to_string(n));
  size_t changed = 0;
  std::string why;
  ASSERT_TRUE(engineer_->Void("serial", ahead, &changed, &why)) << why;
  EXPECT_EQ(changed, ahead.size());
  auto serial = [&]() -> line::PoolSummary {
    std::vector<line::PoolSummary> pools;
    EXPECT_TRUE(engineer_->Pools(&pools, &why)) << why;
    for (const line::PoolSummary& p : pools)
      if (p.name == "serial") return p;
    ADD_FAILURE() << "no pool serial";
    return {};
  };
  const uint64_t last = 4294967295;
  line::PoolSummary p = serial();
  EXPECT_EQ(p.voided, "100000");
  EXPECT_EQ(p.free, std::to_string(last - 100000 + 1 - 100000));

  std::unique_ptr<LineDb> a = Open(st_a_);
  const auto start = std::chrono::steady_clock::now();
  const Held h = Reserve(*a, "St A", "COM1", {Field("serial", "u32le")});
  const auto took = std::chrono::steady_clock::now() - start;
  std::printf(
      "reservation after 100000 void values: %lld ms\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  EXPECT_LT(took, 5s);
  ASSERT_EQ(h.values.size(), 1u);
  EXPECT_EQ(h.Shown(0), "200000");
  p = serial();
  EXPECT_EQ(p.voided, "100000");
  EXPECT_EQ(p.reserved, "1");
  EXPECT_EQ(p.free, std::to_string(last - 200001 + 1));
  EXPECT_EQ(p.next, "200001");
  // Made void again: nothing changes, nothing is counted twice.
  ASSERT_TRUE(engineer_->Void("serial", {"150000", "100000"}, &changed, &why)) << why;
  EXPECT_EQ(changed, 0u);
  EXPECT_EQ(serial().voided, "100000");
}

// Pools that could hand out one value twice are refused, naming the other
// pool and the first value they share; neighbours are taken.
TEST_F(Guard, OverlappingPoolsRefused) {
  struct Add {
    std::string name, format, start, end, step, list;  // list: a list pool's file
  };
  struct Case {
    const char* what;
    std::vector<Add> before;
    Add add;
    std::vector<std::string> says;  // empty: taken
  };
  const Add serial{"serial", "u32le", "100000", "", "", ""};
  const Add mac{"mac", "mac", "02:51:4D:00:00:00", "", "", ""};
  const Case cases[] = {
      {"one range twice",
       {serial},
       {"serial2", "u32le", "100000", "", "", ""},
       {"pool 'serial'", "both hold 100000"}},
      {"u32le and u64le",
       {serial},
       {"wide", "u64le", "4294967000", "", "", ""},
       {"pool 'serial'", "both hold 4294967000"}},
      {"evens and odds",
       {{"even", "u32le", "100000", "", "2", ""}},
       {"odd", "u32le", "100001", "", "2", ""},
       {}},
      {"steps 2 and 3",
       {{"even", "u32le", "100000", "", "2", ""}},
       {"third", "u32le", "100001", "", "3", ""},
       {"pool 'even'", "both hold 100004"}},
      {"end to start",
       {{"low", "u32le", "100000", "199999", "", ""}},
       {"high", "u32le", "200000", "", "", ""},
       {}},
      {"one value shared",
       {{"low", "u32le", "100000", "199999", "", ""}},
       {"high", "u32le", "199999", "", "", ""},
       {"pool 'low'", "both hold 199999"}},
      {"a list holding a counter's value",
       {serial},
       {"nums", "u32le", "", "", "", "5\n0x249F0\n"},
       {"line 2", "\"150000\" is a value of pool 'serial'"}},
      {"a list below a counter", {serial}, {"nums", "u32le", "", "", "", "99999\n"}, {}},
      {"a list holding a pattern's value",
       {{"qm", "text:QM-%08u", "100000", "", "", ""}},
       {"tags", "text", "", "", "", "QM-00100003\n"},
       {"\"QM-00100003\" is a value of pool 'qm'"}},
      {"one MAC in two lists",
       {{"macs1", "mac", "", "", "", "02:51:4D:00:00:2A\n"}},
       {"macs2", "mac", "", "", "", "02-51-4d-00-00-2a\n"},
       {"\"02:51:4D:00:00:2A\" is in pool 'macs1'"}},
      {"a MAC list in a counter's block",
       {mac},
       {"maclist", "mac", "", "", "", "02:51:4e:00:00:01\n02:51:4d:12:34:56\n"},
       {"line 2", "\"02:51:4D:12:34:56\" is a value of pool 'mac'"}},
      {"a MAC counter over a list",
       {{"maclist", "mac", "", "", "", "02:51:4E:00:00:20\n02:51:4E:00:00:10\n"}},
       {"mac", "mac", "02:51:4E:00:00:00", "", "", ""},
       {"the list pool 'maclist', which holds 02:51:4E:00:00:10"}},
      {"MAC counters in one block",
       {{"mac", "mac", "02:51:4D:00:00:00", "02:51:4D:00:FF:FF", "", ""}},
       {"mac2", "mac", "02:51:4D:00:FF:00", "", "", ""},
       {"pool 'mac'", "both hold 02:51:4D:00:FF:00"}},
      {"MAC neighbours",
       {mac},
       {"maclist", "mac", "", "", "", "02:51:4E:00:00:01\n02:51:4C:FF:FF:FF\n"},
       {}},
      {"broadcast",
       {},
       {"bad", "mac", "", "", "", "02:51:4D:00:00:01\nFF:FF:FF:FF:FF:FF\n"},
       {"line 2", "the broadcast address"}},
      {"multicast", {}, {"bad", "mac", "", "", "", "01:00:5E:00:00:01\n"}, {"a multicast address"}},
      {"all zero", {}, {"bad", "mac", "", "", "", "00:00:00:00:00:00\n"}, {"the all-zero address"}},
  };
  TempDir dir;
  auto add = [&](const Add& a) {
    std::vector<std::string> args = {"pool", "add", a.name, "--format", a.format};
    if (!a.list.empty()) {
      WriteWholeFile(dir.File(a.name + ".txt"), a.list);
      args.insert(args.end(), {"--list", dir.File(a.name + ".txt")});
    } else {
      args.insert(args.end(), {"--start", a.start});
      if (!a.end.empty()) args.insert(args.end(), {"--end", a.end});
      if (!a.step.empty()) args.insert(args.end(), {"--step", a.step});
    }
    return Cli(args);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Psql(db_, "TRUNCATE pools CASCADE");
    for (const Add& a : c.before) {
      const RunResult r = add(a);
      ASSERT_EQ(r.exit_code, 0) << r.err;
    }
    const std::string before = Tables();
    const RunResult r = add(c.add);
    EXPECT_EQ(r.exit_code, c.says.empty() ? 0 : 1) << r.out << r.err;
    for (const std::string& s : c.says) EXPECT_NE(r.err.find(s), std::string::npos) << r.err;
    if (!c.says.empty()) {
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
      EXPECT_EQ(Tables(), before);
    }
  }
}

// What the line's page reads is bounded, whatever a row holds: an
// engineer's row of 400,000 slots, a 1 MB host and a 2 MB job's name, a
// board of a thousand fields and a 1 MB failure line.
TEST_F(Guard, PageReadsBoundedRows) {
  const RunResult r = PsqlAs(
      eng_,
      "INSERT INTO stations (name, host, version, profile_sha256, images, run_id, started_at, "
      "  last_seen, run, slots, ok, failed, job) "
      "SELECT 'Big', repeat('h', 1000000), 'v', '', '[]', gen_random_uuid(), now(), now(), "
      "  'running', (SELECT jsonb_agg(jsonb_build_object('port', 'COM' || i, 'state', "
      "  'writing', 'percent', 50, 'failure', '', 'retry', (ARRAY['7', '100000', '\"x\"', "
      "  '-1', '\"5\"'])[i % 5 + 1]::jsonb, 'retries', '[2]'::jsonb)) "
      "  FROM generate_series(1, 400000) i), 0, 0, "
      "  jsonb_build_object('name', repeat('\u00e9', 1000000), 'version', 7, 'sha256', "
      "  repeat('s', 1000000), 'state', 'made');"
      "INSERT INTO boards (id, station, port, board, result, time_start, time_end, record) "
      "SELECT gen_random_uuid(), 'Big', repeat('p', 10000), 1, 'failed', now(), now(), "
      "  jsonb_build_object('failure', repeat('f', 1000000), 'fields', "
      "  (SELECT jsonb_object_agg(repeat('k', 300) || i, repeat('v', 1000)) "
      "   FROM generate_series(1, 1000) i))");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  line::LineWatcher watcher(TcpConn(db_, sup_));
  std::string why;
  ASSERT_TRUE(watcher.Start(&why)) << why;
  line::LineView v;
  EXPECT_TRUE(WaitUntil(
      [&] {
        v = watcher.View();
        return !v.stations.empty() && !v.failures.empty();
      },
      30s))
      << v.problem;
  watcher.Stop();
  ASSERT_EQ(v.stations.size(), 1u) << v.problem;
  const line::LineStation& s = v.stations[0];
  EXPECT_LE(s.slots.size(), 64u);
  ASSERT_GE(s.slots.size(), 5u);
  // A retry is a number of one or two digits, or none.
  const unsigned retries[] = {0, 0, 0, 0, 7};  // COM1's 100000, then "x", -1, "5" and 7
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(s.slots[i].retry, retries[i]) << s.slots[i].port;
    EXPECT_EQ(s.slots[i].retries, 0u) << s.slots[i].port;
  }
  EXPECT_LE(s.host.size(), 255u);
  ASSERT_TRUE(s.job);
  EXPECT_LE(s.job->name.size(), 64u);
  EXPECT_LE(s.job->sha256.size(), 64u);
  ASSERT_EQ(v.failures.size(), 1u);
  const line::LineFailure& f = v.failures[0];
  EXPECT_LE(f.failure.size(), 500u);
  EXPECT_LE(f.port.size(), 200u);
  EXPECT_LE(f.fields.size(), 64u);
  for (const auto& [name, value] : f.fields) {
    EXPECT_LE(name.size(), 100u);
    EXPECT_LE(value.size(), 200u);
  }
}

// The spool is a station PC's folder: a record edited there is set aside
// with its reason and never sent again; a record of another line is left
// for that line.
TEST_F(Guard, SpoolSetsAsideWhatTheLineMayNotTake) {
  namespace fs = std::filesystem;
  std::unique_ptr<LineDb> a = Open(st_a_);
  std::string identity, why;
  ASSERT_TRUE(a->StartStation("St A", &identity, &why)) << why;
  EXPECT_EQ(identity, identity_);
  TempDir dir;
  line::Spool spool;
  ASSERT_TRUE(spool.Open(dir.File("line.spool"), &why)) << why;
  const Held edited = Reserve(*a, "St A", "COM1"), elsewhere = Reserve(*a, "St A", "COM2"),
             good = Reserve(*a, "St A", "COM3");
  line::FiledBoard other_line = Sealed(elsewhere, "ok");
  other_line.line = "7000000000000000000/other_line";
  other_line.server = "st@db-other:5432/other_line";
  for (const line::FiledBoard& f : {Sealed(edited, "failed"), other_line, Sealed(good, "ok")})
    ASSERT_TRUE(spool.Put(f, &why)) << why;

  // Failed made ok, everywhere in the file, and still a spooled record.
  const std::string path = dir.File("line.spool/" + edited.id + ".json");
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(ReadWholeFile(path));
  const std::string sealed =
      Replaced(j["sealed"].get<std::string>(), "\"result\":\"failed\"", "\"result\":\"ok\"");
  j["sealed"] = sealed;
  j["record"] = nlohmann::ordered_json::parse(sealed);
  j["result"] = "ok";
  WriteWholeFile(path, j.dump() + "\n");

  size_t filed = 0;
  std::vector<std::string> notes;
  ASSERT_EQ(spool.FileAll(*a, identity, &filed, &notes, &why), LineDb::Filed::kOk) << why;
  EXPECT_EQ(filed, 1u);
  EXPECT_EQ(Psql(db_, "SELECT string_agg(id::text, ',') FROM boards"), good.id);
  const std::string folder = dir.File("line.spool/");
  EXPECT_FALSE(fs::exists(folder + edited.id + ".json"));
  EXPECT_TRUE(fs::exists(folder + edited.id + ".refused"));
  EXPECT_NE(ReadWholeFile(folder + edited.id + ".reason").find("its seal does not match"),
            std::string::npos);
  EXPECT_TRUE(fs::exists(folder + elsewhere.id + ".json"));
  EXPECT_FALSE(fs::exists(folder + good.id + ".json"));
  std::string said;
  for (const std::string& n : notes) said += n + "\n";
  EXPECT_NE(said.find("spooled board " + edited.id + " was refused: its seal does not match"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("the spool holds 1 record of the line 'other_line' on db-other:5432"),
            std::string::npos)
      << said;
  for (const Held* h : {&edited, &elsewhere})
    EXPECT_EQ(Psql(db_, "SELECT string_agg(state, ',') FROM pool_values WHERE board_id = '" +
                            h->id + "'"),
              "reserved,reserved");

  // Filed again: the refused record is not sent, the other line's waits.
  const std::string before = Tables();
  ASSERT_EQ(spool.FileAll(*a, identity, &filed, &notes, &why), LineDb::Filed::kOk) << why;
  EXPECT_EQ(filed, 0u);
  EXPECT_EQ(Tables(), before);
  EXPECT_TRUE(fs::exists(folder + elsewhere.id + ".json"));
}

}  // namespace
}  // namespace quelmar::testing

namespace quelmar::testing {
namespace {

// A station that calls the functions itself to give a unit written OK
// elsewhere new values, to pass as another station, or to file one unit's
// values as another's: refused, and nothing changes.
TEST_F(Guard, NoStationTakesAnotherUnitsValues) {
  auto a = Open(st_a_);
  auto b = Open(st_b_);
  std::string why;
  Held a1{production::NewBoardId(), "St A", "COM1", "", fields_, {}};
  line::BoardTag tag{a1.id, "St A", "COM1"};
  tag.unit = "U-1";
  ASSERT_EQ(a->Reserve(fields_, tag, &a1.values, &a1.key, &why), LineDb::Reserved::kOk) << why;
  ASSERT_EQ(a->File(Sealed(a1, "ok", "U-1"), &why), LineDb::Filed::kOk) << why;
  const std::string before = Tables();
  const auto reserve = [](const std::string& station, const std::string& unit, bool rework) {
    return "SELECT quelmar_reserve_unit('" + station +
           "', 'COM1', gen_random_uuid(), ARRAY['serial', 'mac'], ARRAY['serial', 'mac'], NULL, "
           "NULL, true, " +
           unit + ", " + (rework ? "true" : "false") + ")";
  };
  const struct {
    const char* name;
    std::string sql, says;
  } cases[] = {
      {"a unit written OK, on a production station", reserve("St B", "'U-1'", false),
       "unit \"U-1\" was written OK on St A COM1 at "},
      {"as the other station", reserve("St A", "'U-1'", true), "is registered for the role"},
      {"a unit with a control character", reserve("St B", "E'U-1\\n'", true),
       "a unit is 1 to 200 bytes without control characters"},
      {"no unit", reserve("St B", "NULL", true), "a unit is 1 to 200 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = PsqlAs(st_b_, c.sql);
    EXPECT_NE(r.exit_code, 0) << r.out;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(Tables(), before);
  }
  // A board of a new unit filed with U-1's values, under either unit.
  Held b1{production::NewBoardId(), "St B", "COM1", "", fields_, {}};
  line::BoardTag b_tag{b1.id, "St B", "COM1"};
  b_tag.unit = "U-2";
  ASSERT_EQ(b->Reserve(fields_, b_tag, &b1.values, &b1.key, &why), LineDb::Reserved::kOk) << why;
  b1.values = a1.values;
  for (const char* unit : {"U-1", "U-2"}) {
    SCOPED_TRACE(unit);
    EXPECT_EQ(b->File(Sealed(b1, "ok", unit), &why), LineDb::Filed::kRefused);
    EXPECT_NE(
        why.find(std::string(unit) == "U-1" ? "the record's unit is not \"U-2\"" : "not the value"),
        std::string::npos)
        << why;
  }
  EXPECT_EQ(Psql(db_, "SELECT count(*) FROM boards WHERE unit = 'U-1'"), "1");
}

}  // namespace
}  // namespace quelmar::testing
