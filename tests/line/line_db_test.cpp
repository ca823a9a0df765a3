// The line's database from outside: quelmar-cli line as an engineer runs
// it, stations as separate processes (line_worker) racing for one pool,
// and what an operator or an attacker does to a connection string.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "line/line_db.h"
#include "line/line_seams.h"
#include "line/spool.h"
#include "line/stations.h"
#include "pg_support.h"
#include "process.h"
#include "production/record.h"

namespace quelmar::testing {
namespace {

using namespace std::chrono_literals;

// The spooled records waiting in `folder`.
size_t SpoolFiles(const std::string& folder) {
  line::Spool spool;
  std::string why;
  std::vector<line::FiledBoard> boards;
  std::vector<std::string> unreadable;
  if (!spool.Open(folder, &why) || !spool.Pending(&boards, &unreadable, &why)) return 99;
  return boards.size();
}

// A finished board as a station files it: its record names the board, its
// station and port, holds the values reserved for it (`fields`, a JSON
// object's text) and is sealed with the board's key.
line::FiledBoard Sealed(const std::string& id, const std::string& station, const std::string& port,
                        unsigned board, const std::string& result, const std::string& key,
                        const std::string& fields = "{}", const std::string& more = "") {
  const std::string start = "2026-12-08T07:59:51.282Z", end = "2026-12-08T07:59:52.282Z";
  line::FiledBoard b{id, station, port, board, result, start, end, "", "", "", ""};
  b.record = "{\"id\":\"" + id + "\",\"station\":\"" + station + "\",\"time_start\":\"" + start +
             "\",\"time_end\":\"" + end + "\",\"port\":\"" + port +
             "\",\"board\":" + std::to_string(board) + ",\"result\":\"" + result +
             "\",\"fields\":" + fields + more + "}";
  b.record = line::WithoutNul(b.record);
  b.seal = line::SealRecord(key, b.record);
  return b;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// The values line_worker printed: pool -> values in order, and the boards.
struct Worked {
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> boards;
};
Worked ParseWorker(const std::string& out) {
  Worked w;
  for (const std::string& line : Lines(out)) {
    std::istringstream words(line);
    std::string word, id;
    words >> word >> id;
    if (word != "board") continue;
    w.boards.push_back(id);
    while (words >> word) {
      const size_t eq = word.find('=');
      w.values[word.substr(0, eq)].push_back(word.substr(eq + 1));
    }
  }
  return w;
}

class Line : public ::testing::Test {
 protected:
  // A field of four bytes drawn from the pool of its name.
  static line::PoolField Drawn(const std::string& name) {
    line::PoolField f;
    f.pool = f.def.name = name;
    f.def.size = 4;
    return f;
  }
  void SetUp() override {
    db_ = FreshDatabase();
    conn_ = SocketConn(db_);
  }
  // quelmar-cli line ARGS --db CONN
  RunResult Cli(std::vector<std::string> args, const std::string& conn = "",
                const std::vector<std::string>& env = {}) {
    args.insert(args.begin(), "line");
    args.push_back("--db");
    args.push_back(conn.empty() ? conn_ : conn);
    return RunProgram(QUELMAR_CLI_PATH, args, env, 60s);
  }
  void Ok(const std::vector<std::string>& args) {
    const RunResult r = Cli(args);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  }
  RunResult Worker(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--db", conn_};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(QUELMAR_LINE_WORKER, all, {}, 120s);
  }
  std::string Sql(const std::string& sql) { return Psql(db_, sql); }
  std::string List(const std::string& name, const std::string& text) {
    const std::string path = dir_.File(name);
    WriteWholeFile(path, text);
    return path;
  }

  std::string db_, conn_;
  TempDir dir_;
};

// Each refusal is one line on stderr, and the pools are as they were.
TEST_F(Line, PoolAddRefusals) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "100000"});
  Ok({"pool", "add", "macs", "--format", "mac", "--list",
      List("first.txt", "02:51:4D:00:00:2A\n")});
  struct Case {
    std::vector<std::string> args;
    std::string list;  // written to the --list file when set
    int exit;
    std::string says;
  };
  const Case cases[] = {
      {{"big", "--format", "u32le", "--start", "4294967296"},
       "",
       1,
       "--start 4294967296 does not fit u32le"},
      {{"low", "--format", "u32le", "--start", "10", "--end", "9"},
       "",
       1,
       "--end 9 is below --start 10"},
      {{"nostep", "--format", "u32le", "--start", "1", "--step", "0"},
       "",
       1,
       "--step must be 1 or more"},
      {{"multi", "--format", "mac", "--start", "03:00:00:00:00:00"},
       "",
       1,
       "is a multicast address"},
      {{"wide", "--format", "mac", "--start", "02:51:4D:FF:FF:00", "--end", "02:51:4E:00:00:10"},
       "",
       1,
       "--end 02:51:4E:00:00:10 is outside the block of --start (02:51:4D:00:00:00 to "
       "02:51:4D:FF:FF:FF)"},
      {{"odd", "--format", "u16", "--start", "1"}, "", 2, "unknown format 'u16'"},
      {{"both", "--format", "u32le", "--start", "1", "--list"},
       "1\n",
       2,
       "give either --start (a counter) or --list FILE"},
      {{"neither", "--format", "u32le"}, "", 2, "give either --start"},
      {{"a b", "--format", "u32le", "--start", "1"}, "", 1, "'a b' is no pool name"},
      {{"serial", "--format", "u32le", "--start", "1"}, "", 1, "pool 'serial' exists already"},
      // A profile's pool = "Serial" would take another pool than the line's.
      {{"Serial", "--format", "u32le", "--start", "100000"},
       "",
       1,
       "pool 'Serial' differs from pool 'serial' only in case: use 'serial' or another name"},
      {{"MACS", "--format", "mac", "--list"},
       "02:51:4D:00:00:2B\n",
       1,
       "pool 'MACS' differs from pool 'macs' only in case: use 'macs' or another name"},
      {{"dup", "--format", "mac", "--list"},
       "02:51:4d:00:00:01\n02-51-4D-00-00-01\n",
       1,
       "lines 1 and 2 hold the same value, 02:51:4D:00:00:01"},
      {{"dupnum", "--format", "u32le", "--list"},
       "7\n16\n0x10\n",
       1,
       "lines 2 and 3 hold the same value, 16"},
      {{"macs", "--format", "mac", "--list"},
       "02:51:4D:00:00:07\n02-51-4d-00-00-2a\n",
       1,
       "line 2: \"02:51:4D:00:00:2A\" is in pool 'macs' already"},
      {{"serial", "--format", "u32le", "--list"},
       "5\n",
       1,
       "pool 'serial' is a counter: values cannot be added to it"},
      {{"macs", "--format", "u32le", "--list"}, "5\n", 1, "pool 'macs' is mac, not u32le"},
      {{"pattern", "--format", "text:QM-%04u", "--list"}, "1\n", 1, "a list pool takes"},
      {{"blank", "--format", "text", "--list"},
       "abc\nlabel \n",
       1,
       "line 2: the value ends with a blank"},
      {{"control", "--format", "text", "--list"},
       "abc\nla\tbel\n",
       1,
       "line 2: the value holds a control character (0x09)"},
      {{"empty", "--format", "text", "--list"}, "\n\n", 1, "holds no values"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::vector<std::string> args = {"pool", "add"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (!c.list.empty()) args.push_back(List("list" + std::to_string(++n) + ".txt", c.list));
    const RunResult r = Cli(args);
    SCOPED_TRACE(c.says);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(Lines(r.err).size(), c.exit == 2 ? 2u : 1u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(Sql("SELECT string_agg(name, ',' ORDER BY name) FROM pools"), "macs,serial");
  EXPECT_EQ(Sql("SELECT string_agg(value, ',') FROM pool_values"), "02:51:4D:00:00:2A");
}

// A list saved by an editor that writes a byte order mark: the value is
// the value, not EF BB BF and the value.
TEST_F(Line, ListWithByteOrderMark) {
  Ok({"init"});
  Ok({"pool", "add", "macs", "--format", "mac", "--list",
      List("bom.txt",
           "\xEF\xBB\xBF"
           "02:51:4d:00:00:09\r\n02:51:4D:00:00:0A\r\n")});
  EXPECT_EQ(Sql("SELECT string_agg(value, ',' ORDER BY value) FROM pool_values"),
            "02:51:4D:00:00:09,02:51:4D:00:00:0A");
}

TEST_F(Line, InitTwiceChangesNothing) {
  RunResult r = Cli({"init"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Made the line's tables in quelmar@"), std::string::npos) << r.out;
  // Every catalog row of the schema and the version row keep the
  // transaction that wrote them: a second init that altered, dropped,
  // recreated or rewrote anything would change one.
  const std::string snapshot =
      "SELECT string_agg(c.relname || ':' || c.xmin::text, ',' ORDER BY c.relname) || '|' || "
      "(SELECT xmin::text || ':' || version FROM quelmar_schema) FROM pg_class c "
      "WHERE c.relnamespace = 'public'::regnamespace";
  const std::string before = Sql(snapshot);
  r = Cli({"init"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(
      r.out.find("are up to date (schema version " + std::to_string(line::kSchemaVersion) + ")"),
      std::string::npos)
      << r.out;
  EXPECT_EQ(Sql(snapshot), before);
}

// The schema as found, and what each command says of it.
TEST_F(Line, SchemaStates) {
  const std::string known = std::to_string(line::kSchemaVersion);
  const std::string newer = std::to_string(line::kSchemaVersion + 1);
  struct Case {
    std::string setup;  // SQL run first
    std::vector<std::string> args;
    int exit;
    std::string says;
  };
  const Case cases[] = {
      {"", {"pools"}, 1, "has no line tables yet: make them with 'quelmar-cli line init --db ...'"},
      {"", {"orphans"}, 1, "has no line tables yet"},
      {"", {"init"}, 0, "Made the line's tables"},
      {"UPDATE quelmar_schema SET version = " + newer,
       {"pools"},
       1,
       "has schema version " + newer + ", newer than this quelmar-cli knows (" + known +
           "): update quelmar-cli"},
      {"", {"init"}, 1, "has schema version " + newer + ", newer than this quelmar-cli knows"},
      {"",
       {"pool", "add", "s", "--format", "u32le", "--start", "1"},
       1,
       "has schema version " + newer + ", newer"},
      {"", {"void", "--pool", "s", "1"}, 1, "has schema version " + newer + ", newer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    if (!c.setup.empty()) Sql(c.setup);
    const RunResult r = Cli(c.args);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_NE((c.exit == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.out << r.err;
    if (c.exit != 0) {
      EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    }
  }
  // The newer schema was left alone.
  EXPECT_EQ(Sql("SELECT version FROM quelmar_schema"), newer);
  EXPECT_EQ(Sql("SELECT count(*) FROM pools"), "0");
}

// Another program's table named pools: init refuses and leaves nothing
// half made.
TEST_F(Line, InitNextToForeignTables) {
  Sql("CREATE TABLE pools (id integer)");
  const RunResult r = Cli({"init"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot make schema version 1: relation \"pools\" already exists"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Sql("SELECT count(*) FROM pg_class WHERE relname IN "
                "('quelmar_schema', 'pool_values', 'boards')"),
            "0");
}

// A password in a connection string is refused before anything is sent;
// a wrong one from the password file or the environment is one line. No
// output ever holds a password, right or wrong.
TEST_F(Line, PasswordsStayOutOfEveryOutput) {
  Ok({"init"});
  const std::string right = "Right-Secret-7Q";
  const std::string wrong = "Wrong-Secret-9Z";
  Sql("CREATE ROLE station LOGIN PASSWORD '" + right + "'");
  Sql("GRANT SELECT ON ALL TABLES IN SCHEMA public TO station");
  const std::string tcp = TcpConn(db_, "station");
  auto passfile = [&](const std::string& name, const std::string& password) {
    const std::string path = dir_.File(name);
    WriteWholeFile(path, "127.0.0.1:" + Pg().port + ":" + db_ + ":station:" + password + "\n");
    chmod(path.c_str(), 0600);
    return path;
  };
  const std::string wrong_file = passfile("wrong.pgpass", wrong);
  const std::string right_file = passfile("right.pgpass", right);
  const std::string uri = "postgresql://station:" + wrong + "@127.0.0.1:" + Pg().port + "/" + db_;
  const std::string server = "station@127.0.0.1:" + Pg().port + "/" + db_;
  struct Case {
    std::string conn;
    std::vector<std::string> env;
    int exit;
    std::string says;
  };
  const Case cases[] = {
      {tcp,
       {"PGPASSWORD=" + wrong},
       1,
       "cannot connect to the line's database " + server +
           ": password authentication failed for user \"station\""},
      {tcp, {"PGPASSFILE=" + wrong_file}, 1, "password authentication failed for user \"station\""},
      {uri, {}, 1, "the connection string holds a password: passwords go in ~/.pgpass"},
      {tcp + " password=" + wrong, {}, 1, "the connection string holds a password"},
      {tcp + " password='" + wrong + " x'", {}, 1, "the connection string holds a password"},
      // libpq cannot read it, and would repeat it whole in its message.
      {"postgresql://station:" + wrong + "@[::1/" + db_,
       {},
       1,
       "the connection string holds a password"},
      {"postgresql://station@[::1/" + db_,
       {},
       1,
       "libpq cannot read the connection string: end of string reached when looking for "
       "matching \"]\" in IPv6 host address in URI: \"the connection string\""},
      {tcp, {"PGPASSFILE=" + right_file}, 0, "No pools yet"},
      {tcp, {"PGPASSWORD=" + right}, 0, "No pools yet"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const RunResult r = Cli({"pools"}, c.conn, c.env);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_NE((c.exit == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.out << r.err;
    if (c.exit != 0) {
      EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    }
    for (const std::string& secret : {right, wrong}) {
      EXPECT_EQ(r.out.find(secret), std::string::npos) << r.out;
      EXPECT_EQ(r.err.find(secret), std::string::npos) << r.err;
    }
  }
}

// A server that is not there, a name that does not resolve, a database
// that does not exist: one line naming the server, exit 1.
TEST_F(Line, ServerAwayOneLine) {
  // A port nobody listens on: one the system just gave out and took back.
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
  close(probe);
  const std::string closed = std::to_string(ntohs(address.sin_port));
  struct Case {
    std::string conn;
    std::string says;
  };
  const Case cases[] = {
      {"host=127.0.0.1 port=" + closed + " user=station dbname=line3",
       "cannot connect to the line's database station@127.0.0.1:" + closed +
           "/line3: Connection refused"},
      {"postgresql://station@no-such-host.invalid/line3",
       "cannot connect to the line's database station@no-such-host.invalid:5432/line3: could "
       "not translate host name \"no-such-host.invalid\" to address"},
      {SocketConn("nosuch_db"), "cannot connect to the line's database quelmar@" + Pg().socket +
                                    ":" + Pg().port +
                                    "/nosuch_db: database \"nosuch_db\" does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const RunResult r = Cli({"pools"}, c.conn);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    // The resolver's own words may follow its line.
    EXPECT_EQ(r.err.rfind("quelmar-cli: " + c.says, 0), 0u) << r.err;
    EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
  }
}

// A station stopped in the middle of its reservation (a debugger, a laptop
// put to sleep, a paused VM) keeps its connection, and with it the
// counter's row lock: the server ends its transaction after a few seconds,
// and the other stations go on.
TEST_F(Line, AStationStoppedInItsReservationHoldsNoPool) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "1"});
  BackgroundProgram stopped;
  ASSERT_TRUE(
      stopped.Start(QUELMAR_LINE_WORKER, {"--db", conn_, "--station", "st-stopped", "--boards",
                                          "1000000", "--pool", "serial:u32le", "--no-file"}));
  const std::string backend =
      "SELECT coalesce(string_agg(state, ','), '') FROM pg_stat_activity "
      "WHERE datname = current_database() AND application_name = 'quelmar'";
  bool caught = false;
  for (int i = 0; i < 2000 && !caught; ++i) {
    stopped.Signal(SIGSTOP);
    caught = Sql(backend) == "idle in transaction";
    if (!caught) {
      stopped.Signal(SIGCONT);
      std::this_thread::sleep_for(std::chrono::milliseconds(1 + i % 7));
    }
  }
  ASSERT_TRUE(caught) << "never stopped inside a transaction";
  bool ended = false;
  for (int i = 0; i < 300 && !ended; ++i) {
    std::this_thread::sleep_for(100ms);
    ended = Sql(backend).empty();
  }
  EXPECT_TRUE(ended) << "the stopped station's transaction held on: " << Sql(backend);
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  line::PoolField f = Drawn("serial");
  std::vector<production::FieldValue> values;
  std::string key;
  EXPECT_EQ(db.Reserve({f}, {production::NewBoardId(), "st", "COM1"}, &values, &key, &why),
            line::LineDb::Reserved::kOk)
      << why;
  stopped.Signal(SIGKILL);
  stopped.Wait(10s);
}

// Four stations at once on a counter and a list: every value once, the
// counter without gaps, each board's values written or void as it ended.
TEST_F(Line, StationsRacingForOnePool) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "1000"});
  std::string labels;
  for (int i = 0; i < 120; ++i) labels += "LBL-" + std::to_string(7000 + i) + "\n";
  Ok({"pool", "add", "labels", "--format", "text", "--list", List("labels.txt", labels)});
  constexpr int kStations = 4, kBoards = 25;
  std::vector<std::unique_ptr<BackgroundProgram>> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.push_back(std::make_unique<BackgroundProgram>());
    ASSERT_TRUE(stations.back()->Start(
        QUELMAR_LINE_WORKER,
        {"--db", conn_, "--station", "st" + std::to_string(s), "--boards", std::to_string(kBoards),
         "--pool", "serial:u32le", "--pool", "labels:text:16", "--fail-every", "5"}));
  }
  std::multiset<std::string> serials, texts;
  for (auto& station : stations) {
    ASSERT_EQ(station->Wait(120s), 0) << station->Err();
    const Worked w = ParseWorker(station->Out());
    ASSERT_EQ(w.boards.size(), size_t{kBoards});
    serials.insert(w.values.at("serial").begin(), w.values.at("serial").end());
    texts.insert(w.values.at("labels").begin(), w.values.at("labels").end());
  }
  const std::set<std::string> distinct_serials(serials.begin(), serials.end());
  const std::set<std::string> distinct_texts(texts.begin(), texts.end());
  EXPECT_EQ(distinct_serials.size(), size_t{kStations * kBoards});
  EXPECT_EQ(distinct_texts.size(), size_t{kStations * kBoards});
  std::set<std::string> expected;
  for (int i = 0; i < kStations * kBoards; ++i) expected.insert(std::to_string(1000 + i));
  EXPECT_EQ(distinct_serials, expected);
  for (const std::string& label : distinct_texts)
    EXPECT_NE(labels.find(label + "\n"), std::string::npos);
  EXPECT_EQ(Sql("SELECT string_agg(pool || ':' || state || '=' || n, ' ' ORDER BY pool, state) "
                "FROM (SELECT pool, state, count(*) AS n FROM pool_values GROUP BY 1, 2) s"),
            "labels:free=20 labels:void=20 labels:written=80 serial:void=20 serial:written=80");
  EXPECT_EQ(Sql("SELECT count(*) FROM boards"), "100");
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_queue"), "20");
  // Each board's record names what the pool says it got.
  EXPECT_EQ(Sql("SELECT count(*) FROM boards b JOIN pool_values v ON v.board_id = b.id "
                "WHERE b.record -> 'fields' ->> v.pool = v.value"),
            "200");
}

// A station stopped in the middle of a reservation (a debugger, SIGSTOP)
// holds its pool's row: the others give up after a bounded wait with a
// line, rather than hang with it.
TEST_F(Line, HeldPoolEndsWithALine) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "1"});
  BackgroundProgram holder;
  ASSERT_TRUE(holder.Start(
      Pg().bin + "/psql",
      {"-X", "-q", "-At", "-h", Pg().socket, "-p", Pg().port, "-U", "quelmar", "-d", db_, "-c",
       "BEGIN", "-c", "SELECT 'held' FROM pools WHERE name = 'serial' FOR UPDATE", "-c",
       "SELECT pg_sleep(90)"}));
  ASSERT_TRUE(holder.WaitForOutput("held", 1, 30s)) << holder.Err();
  const RunResult r = Worker({"--boards", "1", "--pool", "serial:u32le"});
  holder.Signal(SIGTERM);
  holder.Wait(30s);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_NE(r.err.find("kept the rows locked for more than 10 s (a station stopped in the "
                       "middle of a reservation?)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values"), "0");
}

// A list is handed out in its file's order; a second file goes after it.
TEST_F(Line, ListInFileOrder) {
  Ok({"init"});
  Ok({"pool", "add", "labels", "--format", "text", "--list", List("a.txt", "zeta\nalpha\nmu\n")});
  Ok({"pool", "add", "labels", "--format", "text", "--list", List("b.txt", "beta\n")});
  const RunResult r = Worker({"--boards", "5", "--pool", "labels:text:8"});
  EXPECT_EQ(r.exit_code, 3) << r.err;
  EXPECT_EQ(ParseWorker(r.out).values["labels"],
            (std::vector<std::string>{"zeta", "alpha", "mu", "beta"}));
  EXPECT_NE(r.out.find("used up: pool 'labels' is used up"), std::string::npos) << r.out;
}

// A counter ends at its last value, the format's end or, for a MAC, its
// block's end; the board that finds it used up reserves nothing.
TEST_F(Line, CountersStayInTheirRange) {
  Ok({"init"});
  struct Case {
    std::vector<std::string> add;
    std::string field;
    std::vector<std::string> values;
  };
  const Case cases[] = {
      {{"mac", "--format", "mac", "--start", "02:51:4D:FF:FF:FE"},
       "mac:mac",
       {"02:51:4D:FF:FF:FE", "02:51:4D:FF:FF:FF"}},
      {{"top", "--format", "u32le", "--start", "4294967294"},
       "top:u32le",
       {"4294967294", "4294967295"}},
      {{"stepped", "--format", "u32be", "--start", "10", "--end", "15", "--step", "2"},
       "stepped:u32be",
       {"10", "12", "14"}},
      // QM-10000 would not fit the field's 7 bytes.
      {{"text", "--format", "text:QM-%04u", "--start", "9998"},
       "text:text:QM-%04u:7",
       {"QM-9998", "QM-9999"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    std::vector<std::string> add = {"pool", "add"};
    add.insert(add.end(), c.add.begin(), c.add.end());
    Ok(add);
    const RunResult r = Worker({"--boards", "9", "--pool", c.field});
    EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
    const std::string pool = c.add[0];
    EXPECT_EQ(ParseWorker(r.out).values[pool], c.values);
    EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE pool = '" + pool + "'"),
              std::to_string(c.values.size()));
  }
}

// A board whose station never filed it: its values are listed with the
// station and port, never handed out again, and closed by void.
TEST_F(Line, OrphansAndVoid) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "500"});
  RunResult r =
      Worker({"--station", "st-a", "--boards", "2", "--no-file", "--pool", "serial:u32le"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Worked lost = ParseWorker(r.out);
  ASSERT_EQ(lost.values["serial"], (std::vector<std::string>{"500", "501"}));

  r = Cli({"orphans"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0].rfind("POOL", 0), 0u);
  for (int i = 0; i < 2; ++i) {
    const std::string& line = lines[static_cast<size_t>(i) + 1];
    EXPECT_NE(line.find("serial"), std::string::npos) << line;
    EXPECT_NE(line.find(std::to_string(500 + i)), std::string::npos) << line;
    EXPECT_NE(line.find("st-a"), std::string::npos) << line;
    EXPECT_NE(line.find("COM" + std::to_string(i + 1)), std::string::npos) << line;
    EXPECT_NE(line.find(lost.boards[static_cast<size_t>(i)]), std::string::npos) << line;
    EXPECT_NE(line.find(" UTC (0 min ago)"), std::string::npos) << line;
  }
  r = Cli({"orphans", "--older", "60"});
  EXPECT_EQ(r.out, "No orphans.\n");

  r = Worker({"--boards", "1", "--pool", "serial:u32le"});
  EXPECT_EQ(ParseWorker(r.out).values["serial"], (std::vector<std::string>{"502"}));

  struct Case {
    std::vector<std::string> values;
    int exit;
    std::string says;
  };
  const Case cases[] = {
      {{"502"}, 1, "\"502\" was written to board "},
      {{"500", "499"}, 1, "\"499\" is not a value of pool 'serial'"},
      {{"0x1F4", "abc"}, 1, "pool 'serial' is u32le: \"abc\" is no number"},
      {{"500", "0x1F5", "501"}, 0, "Pool 'serial': 2 values made void."},
      {{"510"}, 0, "Pool 'serial': 1 value made void."},
      {{"500"}, 0, "Pool 'serial': 0 values made void."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> args = {"void", "--pool", "serial"};
    args.insert(args.end(), c.values.begin(), c.values.end());
    r = Cli(args);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_NE((c.exit == 0 ? r.out : r.err).find(c.says), std::string::npos) << r.out << r.err;
  }
  r = Cli({"void", "--pool", "nosuch", "1"});
  EXPECT_NE(r.err.find("no pool 'nosuch' in the line's database"), std::string::npos) << r.err;
  EXPECT_EQ(Cli({"orphans"}).out, "No orphans.\n");
  // The counter steps over the value made void ahead of it.
  r = Worker({"--boards", "8", "--pool", "serial:u32le"});
  EXPECT_EQ(ParseWorker(r.out).values["serial"],
            (std::vector<std::string>{"503", "504", "505", "506", "507", "508", "509", "511"}));
  r = Cli({"pools"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto table = Lines(r.out);
  ASSERT_EQ(table.size(), 2u) << r.out;
  std::istringstream row(table[1]);
  std::vector<std::string> cells;
  for (std::string cell; row >> cell;) cells.push_back(cell);
  EXPECT_EQ(cells, (std::vector<std::string>{"serial", "counter", "u32le",
                                             std::to_string(4294967295ULL - 512 + 1), "0", "9", "3",
                                             "512", "4294967295"}));
}

// Fields are checked against their pools before any board: nothing is
// reserved for a run that would be refused.
TEST_F(Line, FieldsCheckedBeforeAnyBoard) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "1"});
  Ok({"pool", "add", "long", "--format", "text:SN-%06u", "--start", "1"});
  Ok({"pool", "add", "labels", "--format", "text", "--list",
      List("l.txt", "short\nmuch-longer-label-20\n")});
  struct Case {
    std::vector<std::string> pools;
    std::string says;
  };
  const Case cases[] = {
      {{"serial:u32be"}, "field 'serial': it is u32be but pool 'serial' is u32le"},
      {{"nosuch:u32le"}, "field 'nosuch': no pool 'nosuch' in the line's database"},
      {{"labels:text:8"},
       "field 'labels': pool 'labels' holds values longer than its size, 8 (the longest is 20 "
       "bytes)"},
      {{"long:text:SN-%06u:6"}, "field 'long': pool 'long''s next value \"SN-000001\" is longer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> args = {"--boards", "1"};
    for (const std::string& p : c.pools) {
      args.push_back("--pool");
      args.push_back(p);
    }
    const RunResult r = Worker(args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  line::PoolField a, b;
  a.pool = b.pool = "serial";
  a.def.name = "serial";
  b.def.name = "serial2";
  a.def.size = b.def.size = 4;
  EXPECT_FALSE(db.CheckFields({a, b}, &why));
  EXPECT_EQ(why,
            "field 'serial2': field 'serial' takes pool 'serial' too: each field needs a "
            "pool of its own");
  EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE state <> 'free'"), "0");
}

// A record the database could not take waits in the spool and is filed
// once, even when the same file is filed again (the removal lost in a
// crash), and even while the database turns connections away.
TEST_F(Line, SpoolFiledOnce) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "42"});
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  line::PoolField f = Drawn("serial");
  const std::string id = production::NewBoardId();
  std::vector<production::FieldValue> values;
  std::string key, identity;
  ASSERT_EQ(db.Reserve({f}, {id, "st", "COM3"}, &values, &key, &why), line::LineDb::Reserved::kOk)
      << why;
  ASSERT_TRUE(db.Identity(&identity, &why)) << why;
  line::FiledBoard board =
      Sealed(id, "st", "COM3", 1, "ok", key, "{\"serial\":42}", ",\"log\":\"a\\u0000b\"");
  board.line = identity;
  std::vector<std::string> notes;
  line::Spool spool;
  ASSERT_TRUE(spool.Open(dir_.File("line3.spool"), &why)) << why;
  ASSERT_TRUE(spool.Put(board, &why)) << why;
  WriteWholeFile(dir_.File("line3.spool/.tmp-cut-short"), "{");

  // The database turns every connection away meanwhile.
  Psql("postgres", "ALTER DATABASE " + db_ + " ALLOW_CONNECTIONS false");
  Psql("postgres",
       "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + db_ + "'");
  size_t filed = 0;
  EXPECT_EQ(spool.FileAll(db, identity, &filed, &notes, &why), line::LineDb::Filed::kAway);
  EXPECT_NE(why.find("cannot connect to the line's database quelmar@"), std::string::npos) << why;
  EXPECT_EQ(filed, 0u);
  std::vector<line::FiledBoard> pending;
  std::vector<std::string> unreadable;
  ASSERT_TRUE(spool.Pending(&pending, &unreadable, &why));
  ASSERT_EQ(pending.size(), 1u);
  Psql("postgres", "ALTER DATABASE " + db_ + " ALLOW_CONNECTIONS true");

  EXPECT_EQ(spool.FileAll(db, identity, &filed, &notes, &why), line::LineDb::Filed::kOk) << why;
  EXPECT_EQ(filed, 1u);
  EXPECT_EQ(Sql("SELECT state FROM pool_values WHERE value = '42'"), "written");
  const std::string written = Sql("SELECT xmin || ' ' || record::text FROM boards");
  // Filed again, as after a crash between the filing and the removal.
  ASSERT_TRUE(spool.Put(board, &why)) << why;
  EXPECT_EQ(spool.FileAll(db, identity, &filed, &notes, &why), line::LineDb::Filed::kOk) << why;
  EXPECT_EQ(Sql("SELECT xmin || ' ' || record::text FROM boards"), written);
  EXPECT_EQ(Sql("SELECT count(*) FROM boards"), "1");
  EXPECT_NE(written.find("\"log\": \"a\xEF\xBF\xBD"
                         "b\""),
            std::string::npos)
      << written;
  ASSERT_TRUE(spool.Pending(&pending, &unreadable, &why));
  EXPECT_TRUE(pending.empty());

  // Something that is no spooled record is named and left alone.
  WriteWholeFile(dir_.File("line3.spool/notes.json"), "[]");
  EXPECT_EQ(spool.FileAll(db, identity, &filed, &notes, &why), line::LineDb::Filed::kRefused);
  EXPECT_NE(why.find("notes.json': look at them and move them out of the spool to go on"),
            std::string::npos)
      << why;
  EXPECT_EQ(ReadWholeFile(dir_.File("line3.spool/notes.json")), "[]");
}

// What else an operator or an attacker puts into the spool under a
// record's name is named and left alone, and nothing is waited for: a pipe
// nobody writes to, a link (even to a record), a folder.
TEST_F(Line, SpoolStrayFilesAreNamed) {
  const std::string id = production::NewBoardId();
  const line::FiledBoard board = Sealed(id, "st", "COM3", 1, "ok", std::string(64, '0'));
  const std::string other = "0b6f1d0e-1111-4111-8111-111111111111.json";
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> make;
  };
  const Case cases[] = {
      {"a pipe", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
      {"a link to a record",
       [&](const std::string& path) {
         ASSERT_EQ(symlink((dir_.File("kept.spool/") + id + ".json").c_str(), path.c_str()), 0);
       }},
      {"a folder", [](const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0700), 0); }},
  };
  std::string why;
  line::Spool kept;
  ASSERT_TRUE(kept.Open(dir_.File("kept.spool"), &why)) << why;
  ASSERT_TRUE(kept.Put(board, &why)) << why;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string folder = dir_.File("case" + std::to_string(++n) + ".spool");
    line::Spool spool;
    ASSERT_TRUE(spool.Open(folder, &why)) << why;
    ASSERT_TRUE(spool.Put(board, &why)) << why;
    const std::string stray = folder + "/" + other;
    c.make(stray);
    auto pending = std::async(std::launch::async, [&] {
      std::vector<line::FiledBoard> boards;
      std::vector<std::string> unreadable;
      std::string pending_why;
      EXPECT_TRUE(spool.Pending(&boards, &unreadable, &pending_why)) << pending_why;
      return std::make_pair(boards.size(), unreadable);
    });
    const bool done = pending.wait_for(10s) == std::future_status::ready;
    if (!done) close(open(stray.c_str(), O_WRONLY | O_NONBLOCK));  // lets a reader of the pipe go
    ASSERT_TRUE(done) << "the spool waited on " << c.what;
    const auto [boards, unreadable] = pending.get();
    EXPECT_EQ(boards, 1u);
    EXPECT_EQ(unreadable, std::vector<std::string>{stray});
  }
}

// An edited spool file (a failed board made OK) fails its seal: the
// database refuses and logs it, the station sets it aside with the reason,
// and it holds up none of the records after it.
TEST_F(Line, AnEditedSpooledRecordIsSetAside) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "500"});
  line::LineDb db;
  std::string why, identity;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  ASSERT_TRUE(db.Identity(&identity, &why)) << why;
  line::PoolField f = Drawn("serial");
  line::Spool spool;
  ASSERT_TRUE(spool.Open(dir_.File("line3.spool"), &why)) << why;
  std::vector<std::string> ids;
  for (unsigned n = 0; n < 2; ++n) {
    const std::string id = production::NewBoardId();
    std::vector<production::FieldValue> values;
    std::string key;
    ASSERT_EQ(db.Reserve({f}, {id, "st", "COM1"}, &values, &key, &why),
              line::LineDb::Reserved::kOk);
    line::FiledBoard board = Sealed(id, "st", "COM1", n + 1, "failed", key,
                                    "{\"serial\":" + std::to_string(500 + n) + "}");
    board.line = identity;
    if (n == 0) {
      // What an operator's editor makes of it.
      const size_t at = board.record.find("\"result\":\"failed\"");
      board.record.replace(at, 17, "\"result\":\"ok\"");
      board.result = "ok";
    }
    ASSERT_TRUE(spool.Put(board, &why)) << why;
    ids.push_back(id);
  }
  size_t filed = 0;
  std::vector<std::string> notes;
  EXPECT_EQ(spool.FileAll(db, identity, &filed, &notes, &why), line::LineDb::Filed::kOk) << why;
  EXPECT_EQ(filed, 1u);
  EXPECT_EQ(Sql("SELECT id FROM boards"), ids[1]);
  EXPECT_EQ(Sql("SELECT string_agg(value || '=' || state, ' ' ORDER BY value) FROM pool_values"),
            "500=reserved 501=void");
  EXPECT_EQ(Sql("SELECT board_id FROM refused_filings"), ids[0]);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("its seal does not match its record"), std::string::npos) << notes[0];
  EXPECT_NE(ReadWholeFile(dir_.File("line3.spool/" + ids[0] + ".reason")).find("seal"),
            std::string::npos);
  std::vector<line::FiledBoard> pending;
  std::vector<std::string> unreadable;
  ASSERT_TRUE(spool.Pending(&pending, &unreadable, &why));
  EXPECT_TRUE(pending.empty());
  EXPECT_EQ(spool.SetAsideCount(), 1u);
  // The line's page counts it as a problem to look at.
  line::LineWatcher page(conn_);
  ASSERT_TRUE(page.Start(&why)) << why;
  EXPECT_TRUE(WaitUntil([&] { return page.View().refused == 1; }));
  page.Stop();
}

// A failed or stopped board's values are void: burned, never reused.
TEST_F(Line, FilingMarksValues) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "1"});
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  line::PoolField f = Drawn("serial");
  for (const char* result : {"ok", "failed", "stopped"}) {
    const std::string id = production::NewBoardId();
    std::vector<production::FieldValue> values;
    std::string key;
    ASSERT_EQ(db.Reserve({f}, {id, "st", "COM1"}, &values, &key, &why),
              line::LineDb::Reserved::kOk);
    ASSERT_EQ(db.File(Sealed(id, "st", "COM1", 1, result, key,
                             "{\"serial\":" + std::to_string(values[0].number) + "}"),
                      &why),
              line::LineDb::Filed::kOk)
        << why;
  }
  EXPECT_EQ(Sql("SELECT string_agg(value || '=' || state, ' ' ORDER BY value) FROM pool_values"),
            "1=written 2=void 3=void");
}

// A server that stops in the middle (a paused VM, a disk that hangs) still
// acknowledges on TCP: a board's reservation and its filing give up on
// that connection within their limit and go through a new one, once.
TEST_F(Line, AStoppedServerHoldsNoBoard) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "7"});
  line::PoolField f = Drawn("serial");
  const std::string id = production::NewBoardId();
  std::string key;
  struct Case {
    const char* what;
    std::function<bool(line::LineDb&, std::string*)> step;
    const char* values;  // the pool's values afterwards
  };
  const Case cases[] = {
      {"reserve",
       [&](line::LineDb& db, std::string* why) {
         std::vector<production::FieldValue> values;
         return db.Reserve({f}, {id, "st", "COM1"}, &values, &key, why) ==
                line::LineDb::Reserved::kOk;
       },
       "7=reserved"},
      {"file",
       [&](line::LineDb& db, std::string* why) {
         return db.File(Sealed(id, "st", "COM1", 1, "ok", key, "{\"serial\":7}"), why) ==
                line::LineDb::Filed::kOk;
       },
       "7=written"},
  };
  line::LineDb db(2s);
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string pid =
        Sql("SELECT pid FROM pg_stat_activity WHERE datname = current_database() "
            "AND application_name = 'quelmar'");
    ASSERT_EQ(Lines(pid).size(), 1u) << pid;
    ASSERT_EQ(kill(std::stoi(pid), SIGSTOP), 0);
    auto step = std::async(std::launch::async, [&] {
      std::string step_why;
      const bool ok = c.step(db, &step_why);
      return ok ? std::string() : step_why;
    });
    const bool done = step.wait_for(30s) == std::future_status::ready;
    kill(std::stoi(pid), SIGCONT);
    ASSERT_TRUE(done) << "held by a server that stopped answering";
    EXPECT_EQ(step.get(), "");
    EXPECT_EQ(Sql("SELECT string_agg(value || '=' || state, ' ') FROM pool_values"), c.values);
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM boards"), "1");
}

// The roles of docs/line.md, run as the docs give them: a station does
// its boards' work through the line's functions, and nothing more.
TEST_F(Line, StationRoleFromTheDocs) {
  const DocsLine docs = LineFromTheDocs("Role-7");
  const std::string as_engineer = TcpConn(docs.db, docs.engineer);
  const std::string as_station = TcpConn(docs.db, docs.station);
  auto line_as = [&](const std::string& conn, std::vector<std::string> args) {
    return Cli(std::move(args), conn, {"PGPASSWORD=Role-7"});
  };
  auto psql_as = [&](const std::string& user, const std::string& sql) {
    return RunProgram(Pg().bin + "/psql",
                      {"-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p",
                       Pg().port, "-U", user, "-d", docs.db, "-c", sql},
                      {"PGPASSWORD=Role-7"}, 60s);
  };
  auto worker = [&](const std::string& station) {
    return RunProgram(QUELMAR_LINE_WORKER,
                      {"--db", as_station, "--station", station, "--boards", "3", "--pool",
                       "serial:u32le", "--pool", "labels:text:4", "--fail-every", "3"},
                      {"PGPASSWORD=Role-7"}, 60s);
  };
  RunResult r = line_as(as_engineer, {"init"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(line_as(as_engineer, {"pool", "add", "serial", "--format", "u32le", "--start", "1000"})
                .exit_code,
            0);
  ASSERT_EQ(line_as(as_engineer, {"pool", "add", "labels", "--format", "text", "--list",
                                  List("l.txt", "a\nb\nc\nd\n")})
                .exit_code,
            0);
  // Not registered yet: refused, nothing taken.
  r = worker("st");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("station 'st' is not registered on this line: an engineer registers it "
                       "with 'quelmar-cli line station add st --role " +
                       docs.station + "'"),
            std::string::npos)
      << r.err;
  r = line_as(as_engineer, {"station", "add", "st", "--role", docs.station});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Station 'st' logs in as " + docs.station + ".\n");
  r = line_as(as_engineer, {"station", "add", "st-b", "--role", docs.engineer});
  EXPECT_NE(r.err.find("is no member of quelmar_station"), std::string::npos) << r.err;
  r = worker("st");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ParseWorker(r.out).values["labels"], (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(line_as(as_station, {"pools"}).exit_code, 0);
  EXPECT_EQ(line_as(as_station, {"orphans"}).exit_code, 0);
  r = line_as(as_station, {"stations"});
  EXPECT_NE(r.out.find("st       " + docs.station), std::string::npos) << r.out;

  struct Case {
    std::vector<std::string> line;  // a quelmar-cli line command, or
    std::string sql;                // SQL as the station
    std::string says;
  };
  const Case cases[] = {
      {{"pool", "add", "mine", "--format", "u32le", "--start", "1", "--end", "10"},
       "",
       "permission denied for table pools"},
      {{"pool", "add", "labels", "--format", "text", "--list", List("m.txt", "e\n")},
       "",
       "permission denied for table pools"},
      {{"void", "--pool", "serial", "1005"}, "", "permission denied for table pools"},
      {{"station", "add", "st-c", "--role", docs.station},
       "",
       "permission denied for table station_roles"},
      // Every table and function as a station: Guard.* (line_guard_test.cpp).
      {{}, "UPDATE pool_values SET state = 'free'", "permission denied for table pool_values"},
      {{},
       "SELECT quelmar_send_control(NULL, 'stop')",
       "permission denied for function quelmar_send_control"},
      {{},
       "SELECT quelmar_reserve('st2', 'COM1', gen_random_uuid(), '{serial}', '{serial}', NULL, "
       "NULL, true)",
       "station 'st2' is not registered on this line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    r = c.line.empty() ? psql_as(docs.station, c.sql) : line_as(as_station, c.line);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(Psql(docs.db,
                 "SELECT string_agg(pool || value || '=' || state, ' ' "
                 "ORDER BY pool, value) FROM pool_values"),
            "labelsa=written labelsb=written labelsc=void labelsd=free serial1000=written "
            "serial1001=written serial1002=void");
}

// A station's line at start and at a board's end: a spool that cannot be
// written and a second station under a running one's name are refused
// before any board; a good board whose filing is held up (a lock on the
// server for 15 s) stays OK, waits in the spool and goes in by itself.
TEST_F(Line, AGoodBoardOutlivesItsFiling) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "9000"});
  production::FieldDef serial;
  serial.name = serial.pool = "serial";
  serial.size = 4;
  const production::LineSettings settings{conn_, "st-1", dir_.File("st-1.spool")};
  std::string why;
  {
    // Where a record cannot be put: its test file's name is a folder.
    ASSERT_EQ(mkdir(dir_.File("ro.spool").c_str(), 0700), 0);
    ASSERT_EQ(mkdir(dir_.File("ro.spool/.write-test").c_str(), 0700), 0);
    line::Line line;
    EXPECT_FALSE(line.Open({conn_, "st-1", dir_.File("ro.spool")}, "", {serial}, &why));
    EXPECT_EQ(why.rfind("the spool folder '" + dir_.File("ro.spool") + "' cannot be written", 0),
              0u)
        << why;
  }
  {
    line::StationReporter running(conn_, "st-1", [](line::LineControl) {});
    ASSERT_TRUE(running.Start(&why)) << why;
    running.Report({});
    ASSERT_TRUE(WaitUntil([&] { return Sql("SELECT run FROM stations") == "running"; }));
    line::Line second;
    EXPECT_FALSE(second.Open(settings, "", {serial}, &why));
    EXPECT_NE(why.find("station 'st-1' runs already on"), std::string::npos) << why;
    line::StationReport last;
    last.run = "stopped";
    running.Report(last);
    EXPECT_TRUE(running.Stop());
  }
  line::Line line;
  ASSERT_TRUE(line.Open(settings, "", {serial}, &why)) << why;
  production::BoardRecord record;
  record.id = production::NewBoardId();
  record.station = "st-1";
  record.port = "COM4";
  record.result = "ok";
  // The records locked (a long report, a dump): the board's values come
  // all the same, and only its filing waits.
  auto lock = std::async(std::launch::async, [&] {
    return Psql(db_, "BEGIN; LOCK TABLE boards; SELECT pg_sleep(15); COMMIT;");
  });
  ASSERT_TRUE(WaitUntil([&] {
    return Sql("SELECT count(*) FROM pg_locks WHERE relation = 'boards'::regclass AND granted") !=
           "0";
  }));
  std::vector<production::FieldValue> values;
  ASSERT_EQ(line.Reserve({record.id, record.port}, &values, &why),
            production::ValueSource::Reserved::kOk)
      << why;
  EXPECT_NE(Sql("SELECT count(*) FROM pg_locks WHERE relation = 'boards'::regclass AND granted"),
            "0")
      << "the reservation waited for the lock";
  record.fields.emplace_back("serial", production::ShowValue(serial, values[0]));
  record.time_start = record.time_end = std::chrono::system_clock::now();
  EXPECT_TRUE(line.Keep(record, &why));
  EXPECT_NE(why.find("the record waits in '" + dir_.File("st-1.spool") + "' until it answers"),
            std::string::npos)
      << why;
  lock.get();
  EXPECT_TRUE(WaitUntil([&] { return Sql("SELECT count(*) FROM boards") == "1"; }, 30s));
  EXPECT_EQ(Sql("SELECT value || '=' || state FROM pool_values"), "9000=written");
  EXPECT_TRUE(WaitUntil([&] { return SpoolFiles(dir_.File("st-1.spool")) == 0; }));
}

// Behaviours a one-line slip in the line's SQL would break without any
// other test noticing: each case sets its pools up, acts as a station or
// an engineer does, and reads the pool back from outside.
TEST_F(Line, WhatTheFunctionsMustKeep) {
  Ok({"init"});
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  auto field = [](const std::string& pool, production::Format format, uint32_t size) {
    line::PoolField f;
    f.pool = f.def.name = pool;
    f.def.format = format;
    f.def.size = size;
    return f;
  };
  struct Reserved {
    std::string id, key;
    std::vector<production::FieldValue> values;
    line::LineDb::Reserved result;
  };
  auto reserve = [&](const std::vector<line::PoolField>& fields) {
    Reserved r{production::NewBoardId(), "", {}, line::LineDb::Reserved::kFailed};
    r.result = db.Reserve(fields, {r.id, "st", "COM1"}, &r.values, &r.key, &why);
    return r;
  };
  auto state = [&](const std::string& pool) {
    return Sql(
        "SELECT string_agg(value || '=' || state, ' ' ORDER BY value) FROM pool_values "
        "WHERE pool = '" +
        pool + "'");
  };
  const auto u32 = production::Format::kU32Le;
  struct Case {
    const char* what;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"a value made void while its board ran is written when the board ends well",
       [&] {
         Ok({"pool", "add", "a", "--format", "u32le", "--start", "100", "--end", "199"});
         const Reserved r = reserve({field("a", u32, 4)});
         ASSERT_EQ(r.result, line::LineDb::Reserved::kOk) << why;
         Ok({"void", "--pool", "a", "100"});
         EXPECT_EQ(state("a"), "100=void");
         EXPECT_EQ(db.File(Sealed(r.id, "st", "COM1", 1, "ok", r.key, "{\"a\":100}"), &why),
                   line::LineDb::Filed::kOk)
             << why;
         EXPECT_EQ(state("a"), "100=written");
       }},
      {"orphans --older counts minutes",
       [&] {
         Ok({"pool", "add", "b", "--format", "u32le", "--start", "200", "--end", "299"});
         ASSERT_EQ(reserve({field("b", u32, 4)}).result, line::LineDb::Reserved::kOk);
         Sql("UPDATE pool_values SET reserved_at = now() - interval '30 minutes' WHERE pool = 'b'");
         EXPECT_NE(Cli({"orphans", "--older", "20"}).out.find("b     200"), std::string::npos);
         EXPECT_EQ(Cli({"orphans", "--older", "40"}).out, "No orphans.\n");
       }},
      {"the counter's next value itself can be made void, and so can many ahead",
       [&] {
         Ok({"pool", "add", "c", "--format", "u32le", "--start", "300", "--end", "399"});
         Ok({"void", "--pool", "c", "300", "302", "303", "304"});
         std::vector<uint64_t> got;
         for (int n = 0; n < 3; ++n) {
           const Reserved r = reserve({field("c", u32, 4)});
           ASSERT_EQ(r.result, line::LineDb::Reserved::kOk) << why;
           got.push_back(r.values[0].number);
         }
         EXPECT_EQ(got, (std::vector<uint64_t>{301, 305, 306}));
         std::vector<line::PoolSummary> pools;
         ASSERT_TRUE(db.Pools(&pools, &why)) << why;
         const auto c = std::find_if(pools.begin(), pools.end(),
                                     [](const line::PoolSummary& p) { return p.name == "c"; });
         ASSERT_NE(c, pools.end());
         EXPECT_EQ(c->voided, "4");
         EXPECT_EQ(c->free, "93");
       }},
      {"a reservation that stops at a used-up pool leaves nothing reserved",
       [&] {
         Ok({"pool", "add", "d1", "--format", "u32le", "--start", "400", "--end", "499"});
         Ok({"pool", "add", "d2", "--format", "u32le", "--start", "500", "--end", "500"});
         ASSERT_EQ(reserve({field("d1", u32, 4), field("d2", u32, 4)}).result,
                   line::LineDb::Reserved::kOk);
         const Reserved r = reserve({field("d1", u32, 4), field("d2", u32, 4)});
         EXPECT_EQ(r.result, line::LineDb::Reserved::kUsedUp);
         EXPECT_EQ(Sql("SELECT count(*) FROM pool_values WHERE board_id = '" + r.id + "'"), "0");
         EXPECT_EQ(Sql("SELECT next_value FROM pools WHERE name = 'd1'"), "401");
       }},
      {"a list whose longest value fills its text field exactly is taken",
       [&] {
         Ok({"pool", "add", "e", "--format", "text", "--list", List("e.txt", "abcd\nxy\n")});
         const line::PoolField f = field("e", production::Format::kText, 4);
         ASSERT_TRUE(db.CheckFields({f}, &why)) << why;
         const Reserved r = reserve({f});
         ASSERT_EQ(r.result, line::LineDb::Reserved::kOk) << why;
         EXPECT_EQ(r.values[0].text, "abcd");
       }},
      {"a connection the server closes with an error is made again, the board not refused",
       [&] {
         Ok({"pool", "add", "f", "--format", "u32le", "--start", "600", "--end", "699"});
         ASSERT_EQ(reserve({field("f", u32, 4)}).result, line::LineDb::Reserved::kOk);
         Sql("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
             "WHERE datname = current_database() AND application_name = 'quelmar'");
         const Reserved r = reserve({field("f", u32, 4)});
         EXPECT_EQ(r.result, line::LineDb::Reserved::kOk) << why;
         EXPECT_EQ(state("f"), "600=reserved 601=reserved");
       }},
      {"a pool held past lock_timeout is the database slow, not the board failed",
       [&] {
         Ok({"pool", "add", "g", "--format", "u32le", "--start", "700", "--end", "799"});
         auto hold = std::async(std::launch::async, [&] {
           return Sql(
               "BEGIN; SELECT 1 FROM pools WHERE name = 'g' FOR UPDATE; "
               "DO $$BEGIN PERFORM pg_sleep(120); EXCEPTION WHEN query_canceled THEN NULL; END$$; "
               "COMMIT;");
         });
         const std::string holder =
             "FROM pg_stat_activity WHERE query LIKE '%pg_sleep(120)%' AND pid <> pg_backend_pid()";
         ASSERT_TRUE(WaitUntil([&] { return Sql("SELECT count(*) " + holder) == "1"; }));
         // The hold lasts until it is cancelled, so however slow the machine
         // the reservation meets it for its whole lock_timeout.
         const Reserved r = reserve({field("g", u32, 4)});
         EXPECT_EQ(r.result, line::LineDb::Reserved::kAway) << why;
         Sql("SELECT pg_cancel_backend(pid) " + holder);
         hold.get();
         EXPECT_EQ(reserve({field("g", u32, 4)}).result, line::LineDb::Reserved::kOk) << why;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.run();
  }
}

// Two engineers adding pools at the same moment, and text counters whose
// patterns differ: no two pools that could hand out one value both get in.
TEST_F(Line, PoolsThatMeetNeverBothGetIn) {
  Ok({"init"});
  std::vector<std::unique_ptr<BackgroundProgram>> adds;
  for (int i = 1; i <= 6; ++i) {
    const std::string start = std::to_string(i * 10000);
    for (const char* format : {"u32le", "u64le"}) {
      adds.push_back(std::make_unique<BackgroundProgram>());
      ASSERT_TRUE(adds.back()->Start(
          QUELMAR_CLI_PATH,
          {"line", "pool", "add", std::string(format) + "_" + std::to_string(i), "--format", format,
           "--start", start, "--end", std::to_string(i * 10000 + 500), "--db", conn_}));
    }
  }
  for (auto& add : adds) add->Wait(60s);
  EXPECT_EQ(Sql("SELECT count(*) FROM pools"), "6");
  struct Case {
    std::string first, second;  // formats of two counters 0 to 99
    bool meet;
  };
  const Case cases[] = {
      {"text:A%u", "text:A1%u", true},          // A10 both
      {"text:QM-%u", "text:QM-%08u", false},    // QM-5 and QM-00000005 over 0..99
      {"text:QM-%u", "text:QX-%u", false},      // fixed texts differ
      {"text:%u-A", "text:%u-B", false},        // at their ends
      {"text:SN%03u", "text:SN%03u%%", false},  // a percent sign after one
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first + " / " + c.second);
    const std::string a = "ta" + std::to_string(++n), b = "tb" + std::to_string(n);
    Sql("DELETE FROM pools WHERE name LIKE 't%'");
    Ok({"pool", "add", a, "--format", c.first, "--start", "0", "--end", "99"});
    const RunResult r =
        Cli({"pool", "add", b, "--format", c.second, "--start", "0", "--end", "99"});
    EXPECT_EQ(r.exit_code, c.meet ? 1 : 0) << r.err;
    if (c.meet) {
      EXPECT_NE(r.err.find("would meet pool '" + a + "'"), std::string::npos) << r.err;
    }
  }
}

}  // namespace
}  // namespace quelmar::testing

namespace quelmar::testing {
namespace {

// Boards scanned as units, through the database's own functions: a unit
// written OK comes back to a production station and to the rework bench,
// a failed one comes back anywhere, and a station files one unit's values
// under another, or values that are another unit's now.
TEST_F(Line, AUnitKeepsItsValuesAndNoOtherUnitGetsThem) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "1"});
  Ok({"pool", "add", "mac", "--format", "mac", "--start", "02:51:4D:00:00:10"});
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  line::PoolField serial, mac;
  serial.pool = serial.def.name = "serial";
  serial.def.size = 4;
  mac.pool = mac.def.name = "mac";
  mac.def.format = production::Format::kMac;
  mac.def.size = 6;
  std::map<std::string, std::string> first_id;   // unit -> its first board
  std::map<std::string, std::string> fields_of;  // unit -> its values as a record holds them
  const auto pools = [&] {
    return Sql("SELECT string_agg(name || ':' || next_value, ' ' ORDER BY name) FROM pools") +
           " / " +
           Sql("SELECT string_agg(value || '=' || state, ' ' ORDER BY value) FROM pool_values");
  };
  struct Step {
    const char* name;
    const char* unit;
    bool rework;
    const char* result;     // filed with; nullptr: the reservation is refused
    const char* file_unit;  // the unit the record names ("" for the reserved one)
    bool again;             // given the unit's first values again
    const char* said;       // in the refusal (of the reservation, or of the filing)
  };
  const Step steps[] = {
      {"a new unit", "A", false, "ok", "", false, nullptr},
      {"written OK, on a production station", "A", false, nullptr, "", false,
       "unit \"A\" was written OK on st COM1 at 2026-12-08T07:59:52Z (record "},
      {"written OK, on the rework bench", "A", true, "ok", "", true, nullptr},
      {"another new unit, failed", "B", false, "failed", "", false, nullptr},
      {"failed, on a production station", "B", false, "failed", "", true, nullptr},
      {"a record naming another unit", "C", false, "ok", "A", false,
       "the record's unit is not \"C\", the one its board was reserved for"},
      {"a record naming no unit", "D", false, "ok", nullptr, false,
       "the record's unit is not \"D\""},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    const std::string id = production::NewBoardId();
    line::BoardTag tag{id, "st", "COM1"};
    tag.unit = s.unit;
    tag.rework = s.rework;
    std::vector<production::FieldValue> values;
    std::string key, rework_of;
    const std::string before = pools();
    const auto reserved = db.Reserve({serial, mac}, tag, &values, &key, &why, &rework_of);
    if (s.result == nullptr) {
      EXPECT_EQ(reserved, line::LineDb::Reserved::kFailed);
      EXPECT_NE(why.find(std::string(s.said) + first_id[s.unit] + "): not written again"),
                std::string::npos)
          << why;
      EXPECT_EQ(pools(), before);
      continue;
    }
    ASSERT_EQ(reserved, line::LineDb::Reserved::kOk) << why;
    const std::string fields = "{\"serial\":" + std::to_string(values[0].number) + ",\"mac\":\"" +
                               production::MacText(values[1].number) + "\"}";
    if (s.again) {
      // Its very values, and nothing drawn from the pools.
      EXPECT_EQ(fields, fields_of[s.unit]);
      EXPECT_FALSE(rework_of.empty());
      EXPECT_EQ(pools(), before);
    } else {
      EXPECT_TRUE(rework_of.empty());
      EXPECT_EQ(fields_of.count(s.unit), 0u);
      first_id[s.unit] = id;
      fields_of[s.unit] = fields;
    }
    std::string more;
    const char* named = s.file_unit == nullptr ? nullptr : *s.file_unit ? s.file_unit : s.unit;
    if (named) more += ",\"unit\":\"" + std::string(named) + "\"";
    if (!rework_of.empty()) more += ",\"rework_of\":\"" + rework_of + "\"";
    const auto filed = db.File(Sealed(id, "st", "COM1", 1, s.result, key, fields, more), &why);
    if (s.said) {
      EXPECT_EQ(filed, line::LineDb::Filed::kRefused);
      EXPECT_NE(why.find(s.said), std::string::npos) << why;
      continue;
    }
    ASSERT_EQ(filed, line::LineDb::Filed::kOk) << why;
    EXPECT_EQ(Sql("SELECT unit || ' ' || coalesce(rework_of::text, '-') FROM boards WHERE id = '" +
                  id + "'"),
              std::string(s.unit) + " " + (rework_of.empty() ? "-" : rework_of));
  }
  // records --db --unit lists the unit's boards, its first and its rework.
  const RunResult listed =
      RunProgram(QUELMAR_CLI_PATH, {"records", "--db", conn_, "--unit", "A"}, {}, 60s);
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  const auto lines = Lines(listed.out);
  ASSERT_EQ(lines.size(), 2u) << listed.out;
  // Both start at the same time in these records: in either order.
  const std::string first = "ok  unit A  mac=02:51:4D:00:00:10  serial=1",
                    rework = "ok  unit A  rework of " + first_id["A"] + "  mac=02:51:4D:00:00:10";
  const bool in_order = lines[0].find(first) != std::string::npos;
  EXPECT_NE(lines[in_order ? 0 : 1].find(first), std::string::npos) << listed.out;
  EXPECT_NE(lines[in_order ? 1 : 0].find(rework), std::string::npos) << listed.out;
  EXPECT_EQ(
      RunProgram(QUELMAR_CLI_PATH, {"records", "--db", conn_, "--unit", "Z"}, {}, 60s).exit_code,
      1);

  // B's serial handed to another unit's board behind the line's back: B
  // is not written with it again.
  Sql("UPDATE pool_values SET board_id = (SELECT id FROM boards WHERE unit = 'A' LIMIT 1) "
      "WHERE pool = 'serial' AND value = '2'");
  line::BoardTag tag{production::NewBoardId(), "st", "COM1"};
  tag.unit = "B";
  std::vector<production::FieldValue> values;
  std::string key;
  EXPECT_EQ(db.Reserve({serial, mac}, tag, &values, &key, &why), line::LineDb::Reserved::kFailed);
  EXPECT_NE(why.find("unit \"B\": its value 2 of field 'serial' (record "), std::string::npos)
      << why;
  EXPECT_NE(why.find("is held by unit \"A\""), std::string::npos) << why;
}

// A unit whose board was left mid-way by a station killed and started
// again: while the station runs on, the unit is being written; once it has
// started again, the refusal says how to close the board, and the board is
// closed at once.
TEST_F(Line, AUnitLeftByARestartedStationSaysHowToCloseItsBoard) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "1"});
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  line::PoolField serial = Drawn("serial");
  const auto reserve = [&](const std::string& id) {
    line::BoardTag tag{id, "st", "COM1"};
    tag.unit = "K-1";
    std::vector<production::FieldValue> values;
    std::string key;
    return db.Reserve({serial}, tag, &values, &key, &why);
  };
  const auto restarted = [&] {
    return Sql("SELECT started_at > (SELECT reserved_at FROM reservations) FROM stations");
  };
  const std::string left = production::NewBoardId();
  size_t voided = 0;
  std::string job;
  {
    line::StationReporter running(conn_, "st", [](line::LineControl) {});
    ASSERT_TRUE(running.Start(&why)) << why;
    running.Report({});
    ASSERT_TRUE(WaitUntil([&] { return Sql("SELECT count(*) FROM stations") == "1"; }));
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(reserve(left), line::LineDb::Reserved::kOk) << why;
    EXPECT_EQ(reserve(production::NewBoardId()), line::LineDb::Reserved::kFailed);
    EXPECT_NE(why.find("unit \"K-1\" is being written on st COM1 now"), std::string::npos) << why;
    EXPECT_FALSE(db.VoidBoard(left, &voided, &job, &why));
    EXPECT_NE(why.find("its station may still be writing it"), std::string::npos) << why;
    EXPECT_EQ(restarted(), "f");
  }
  std::this_thread::sleep_for(50ms);
  line::StationReporter again(conn_, "st", [](line::LineControl) {});
  ASSERT_TRUE(again.Start(&why)) << why;
  again.Report({});
  ASSERT_TRUE(WaitUntil([&] { return restarted() == "t"; }));
  EXPECT_EQ(reserve(production::NewBoardId()), line::LineDb::Reserved::kFailed);
  EXPECT_NE(why.find("unit \"K-1\" was left mid-board on st COM1 at "), std::string::npos) << why;
  EXPECT_NE(why.find("close that board with quelmar-cli line void --board " + left +
                     ", then scan the unit again"),
            std::string::npos)
      << why;
  ASSERT_TRUE(db.VoidBoard(left, &voided, &job, &why)) << why;
  EXPECT_EQ(voided, 1u);
  EXPECT_EQ(reserve(production::NewBoardId()), line::LineDb::Reserved::kOk) << why;
}

// A field of source = "scan" takes the board's unit from no pool: the
// database hands the unit back as its value, keeps it in the reservation,
// gives it again on the rework bench, and files only a record that holds
// that very value. Without a unit nothing stands in for the pool.
TEST_F(Line, AScanFieldTakesTheUnitAndNoPool) {
  Ok({"init"});
  Ok({"pool", "add", "serial", "--format", "u32le", "--start", "1"});
  line::LineDb db;
  std::string why;
  ASSERT_TRUE(db.Connect(conn_, &why)) << why;
  line::PoolField tag, sn, serial;
  tag.def.name = "tag";
  tag.def.from_scan = true;
  tag.def.format = production::Format::kText;
  tag.def.size = 12;
  sn.def.name = "sn";
  sn.def.from_scan = true;
  sn.def.size = 4;
  serial.pool = serial.def.name = "serial";
  serial.def.size = 4;
  const auto drawn = [&] { return Sql("SELECT count(*) FROM pool_values"); };
  struct Step {
    const char* name;
    std::vector<line::PoolField> fields;
    const char* unit;
    bool rework;
    const char* reserved;  // the values as a record holds them; nullptr: refused
    const char* filed;     // the fields the record holds ("" as reserved)
    const char* said;      // in the refusal
    const char* drawn;     // pool values after
  };
  const Step steps[] = {
      {"a new unit",
       {tag, serial},
       "PCB-0001",
       false,
       "{\"tag\":\"PCB-0001\",\"serial\":1}",
       "",
       nullptr,
       "1"},
      {"the unit on the rework bench",
       {tag, serial},
       "PCB-0001",
       true,
       "{\"tag\":\"PCB-0001\",\"serial\":1}",
       "",
       nullptr,
       "1"},
      {"a number", {sn, serial}, "42", false, "{\"sn\":42,\"serial\":2}", "", nullptr, "2"},
      {"a scan field alone", {tag}, "PCB-0003", false, "{\"tag\":\"PCB-0003\"}", "", nullptr, "2"},
      {"a record with another value",
       {tag, serial},
       "PCB-0004",
       false,
       "{\"tag\":\"PCB-0004\",\"serial\":3}",
       "{\"tag\":\"PCB-9999\",\"serial\":3}",
       "field 'tag' holds PCB-9999, not the value PCB-0004 reserved for it",
       "3"},
      {"a record without it",
       {tag, serial},
       "PCB-0005",
       false,
       "{\"tag\":\"PCB-0005\",\"serial\":4}",
       "{\"serial\":4}",
       "the record holds fields that were not reserved for it",
       "4"},
      {"no unit", {tag, serial}, "", false, nullptr, "", "each of a pool of its own", "4"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    const std::string id = production::NewBoardId();
    line::BoardTag board{id, "st", "COM1"};
    board.unit = s.unit;
    board.rework = s.rework;
    std::vector<production::FieldValue> values;
    std::string key, rework_of;
    const auto reserved = db.Reserve(s.fields, board, &values, &key, &why, &rework_of);
    if (s.reserved == nullptr) {
      EXPECT_EQ(reserved, line::LineDb::Reserved::kFailed);
      EXPECT_NE(why.find(s.said), std::string::npos) << why;
      EXPECT_EQ(drawn(), s.drawn);
      continue;
    }
    ASSERT_EQ(reserved, line::LineDb::Reserved::kOk) << why;
    ASSERT_EQ(values.size(), s.fields.size());
    nlohmann::ordered_json shown = nlohmann::ordered_json::object();
    for (size_t i = 0; i < values.size(); ++i) {
      const production::ShownValue v = production::ShowValue(s.fields[i].def, values[i]);
      shown[s.fields[i].def.name] =
          v.is_number ? nlohmann::ordered_json(v.number) : nlohmann::ordered_json(v.text);
    }
    EXPECT_EQ(shown.dump(), s.reserved);
    EXPECT_EQ(drawn(), s.drawn);
    EXPECT_EQ(rework_of.empty(), !s.rework);
    std::string more = ",\"unit\":\"" + std::string(s.unit) + "\"";
    if (!rework_of.empty()) more += ",\"rework_of\":\"" + rework_of + "\"";
    const auto filed = db.File(
        Sealed(id, "st", "COM1", 1, "ok", key, *s.filed ? s.filed : s.reserved, more), &why);
    if (s.said) {
      EXPECT_EQ(filed, line::LineDb::Filed::kRefused);
      EXPECT_NE(why.find(s.said), std::string::npos) << why;
      continue;
    }
    ASSERT_EQ(filed, line::LineDb::Filed::kOk) << why;
    EXPECT_EQ(
        nlohmann::json::parse(Sql("SELECT record -> 'fields' FROM boards WHERE id = '" + id + "'")),
        nlohmann::json::parse(s.reserved));
  }
}

}  // namespace
}  // namespace quelmar::testing
