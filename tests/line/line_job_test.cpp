// quelmar-cli job against a real PostgreSQL: a profile released as two
// versions of a job, listed, shown, retired and exported byte for byte;
// what a release refuses; the boards of a job in records --db; the
// station role of docs/line.md refused what is an engineer's.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "pg_support.h"
#include "process.h"
#include "production/sha256.h"

namespace quelmar::testing {
namespace {

using namespace std::chrono_literals;

// A product: a code image with a serial number from the line's pool.
constexpr char kProduct[] =
    "code = \"app.fcode\"\nreboot = true\n\n"
    "[line]\ndatabase = \"postgresql://engineer@db-host/line3\"\n\n"
    "[[field]]\nname = \"serial\"\nat = \"0x1A000100\"\noverwrite = true\npool = \"serial\"\n";

std::string Sha(const std::string& bytes) {
  return production::Sha256Hex(bytes.data(), bytes.size());
}

std::string With(const std::string& from, const std::string& to, std::string text = kProduct) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The lines of a table, each with its runs of blanks made one.
std::vector<std::string> Rows(const std::string& text) {
  std::vector<std::string> rows;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string word, row;
    while (words >> word) row += (row.empty() ? "" : " ") + word;
    rows.push_back(row);
  }
  return rows;
}

// app.fcode: 8 KiB of bank A made of the seed; its bytes.
std::string WriteCode(const TempDir& dir, uint32_t seed) {
  const std::vector<uint8_t> bank = RandomBytes(8 * 1024, seed);
  const std::vector<uint8_t> file = image::BuildCodeFile(&bank, nullptr, 'E');
  WriteWholeFile(dir.File("app.fcode"), std::string(file.begin(), file.end()));
  return std::string(file.begin(), file.end());
}

class Job : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = FreshDatabase();
    ASSERT_EQ(Cli({"line", "init"}).exit_code, 0);
    ASSERT_EQ(Cli({"line", "pool", "add", "serial", "--format", "u32le", "--start", "1"}).exit_code,
              0);
  }
  // quelmar-cli ARGS --db CONN
  RunResult Cli(std::vector<std::string> args) {
    args.insert(args.end(), {"--db", SocketConn(db_)});
    return RunProgram(QUELMAR_CLI_PATH, args, {}, 60s);
  }
  std::string Profile(const std::string& text) {
    WriteWholeFile(dir_.File("product.toml"), text);
    return dir_.File("product.toml");
  }
  std::string Sql(const std::string& sql) { return Psql(db_, sql); }

  std::string db_;
  TempDir dir_;
};

TEST_F(Job, ReleasedListedShownRetiredAndExported) {
  const std::string code1 = WriteCode(dir_, 11);
  RunResult r = Cli({"job", "release", Profile(kProduct), "--name", "widget", "--quantity", "500",
                     "--note", "first lot"});
  const std::string hash1 = Sql("SELECT sha256 FROM jobs WHERE version = 1");
  EXPECT_EQ(r.out, "Released widget version 1 (sha256 " + hash1 + "): code app.fcode (" +
                       std::to_string(code1.size()) + " bytes, sha256 " + Sha(code1) +
                       "), 1 field, reboot, quantity 500.\n")
      << r.err;
  // The second version: new code, a data image, no limit.
  const std::string code2 = WriteCode(dir_, 12);
  const std::vector<uint8_t> data = image::BuildDataFile(std::vector<uint8_t>(512, 0x5A), 'F');
  WriteWholeFile(dir_.File("cal.fdata"), std::string(data.begin(), data.end()));
  const std::string profile2 = With("reboot = true\n", "data = \"cal.fdata\"\n");
  r = Cli({"job", "release", Profile(profile2), "--name", "widget"});
  const std::string hash2 = Sql("SELECT sha256 FROM jobs WHERE version = 2");
  EXPECT_EQ(r.out, "Released widget version 2 (sha256 " + hash2 + "): code app.fcode (" +
                       std::to_string(code2.size()) + " bytes, sha256 " + Sha(code2) +
                       "), data cal.fdata (" + std::to_string(data.size()) + " bytes, sha256 " +
                       Sha(std::string(data.begin(), data.end())) + "), 1 field, no limit.\n")
      << r.err;

  EXPECT_EQ(Cli({"job", "retire", "widget@1"}).out,
            "Retired widget@1: no station starts a new board of it; boards running finish.\n");
  EXPECT_EQ(Cli({"job", "retire", "widget@1"}).out, "widget@1 was retired already.\n");
  const std::string at =
      "SELECT to_char(released_at AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS \"UTC\"') FROM jobs "
      "WHERE version = ";
  EXPECT_EQ(Rows(Cli({"job", "list"}).out),
            (std::vector<std::string>{
                "JOB STATE MADE IN PROGRESS RELEASED BY RELEASED SHA256",
                "widget@1 retired 0/500 0 quelmar " + Sql(at + "1") + " " + hash1.substr(0, 16),
                "widget@2 released 0/- 0 quelmar " + Sql(at + "2") + " " + hash2.substr(0, 16)}));

  // NAME alone: the newest released version.
  r = Cli({"job", "show", "widget"});
  EXPECT_EQ(r.out.substr(0, r.out.find("Released by")),
            "Job widget@2: released\nMade:        0 OK (no limit), 0 in progress\n");
  EXPECT_NE(r.out.find("\nBundle:      sha256 " + hash2 + "\nCode:        app.fcode (fcode, " +
                       std::to_string(code2.size()) + " bytes, sha256 " + Sha(code2) + ")\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.substr(r.out.find("Profile:\n") + 9), profile2);
  EXPECT_NE(
      Cli({"job", "show", "widget@1"}).out.find("Note:        first lot\nRetired by:  quelmar at "),
      std::string::npos);

  // The retired version, exactly as released, into a folder made for it.
  const std::string out = dir_.File("out/widget-1");
  r = Cli({"job", "export", "widget@1", "-o", out});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(ReadWholeFile(out + "/app.fcode") == code1);
  EXPECT_EQ(ReadWholeFile(out + "/profile.toml"), kProduct);
  const std::string manifest = ReadWholeFile(out + "/manifest");
  EXPECT_EQ(manifest, "quelmar job 1\nprofile " + Sha(kProduct) + "\ncode " + Sha(code1) + " " +
                          std::to_string(code1.size()) + " fcode app.fcode\n");
  EXPECT_EQ(Sha(manifest), hash1);
  auto json = nlohmann::json::parse(ReadWholeFile(out + "/release.json"));
  for (const char* time : {"released_at", "retired_at"}) json.erase(time);
  EXPECT_EQ(json, nlohmann::json::parse(
                      R"({"name": "widget", "version": 1, "state": "retired", "quantity": 500,
                          "made": 0, "released_by": "quelmar", "note": "first lot",
                          "retired_by": "quelmar", "sha256": ")" +
                      hash1 + R"(", "images": [{"kind": "code", "file": "app.fcode",
                          "format": "fcode", "size": )" +
                      std::to_string(code1.size()) + R"(, "sha256": ")" + Sha(code1) + "\"}]}"));
  // Never over a file that is there: version 2 into the same folder.
  r = Cli({"job", "export", "widget", "-o", out});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "quelmar-cli: '" + out +
                       "/app.fcode' is there already: export into another folder (nothing is "
                       "overwritten)\n");
  EXPECT_TRUE(ReadWholeFile(out + "/app.fcode") == code1);
  EXPECT_FALSE(std::filesystem::exists(out + "/cal.fdata"));
}

// Each refusal is its lines on stderr, and no job is stored.
TEST_F(Job, Refusals) {
  WriteCode(dir_, 11);
  const std::vector<uint8_t> none = image::BuildCodeFile(nullptr, nullptr, 'E');
  WriteWholeFile(dir_.File("empty.fcode"), std::string(none.begin(), none.end()));
  WriteWholeFile(dir_.File("manifest"), ReadWholeFile(dir_.File("app.fcode")));
  const std::string line = "[line]\ndatabase = \"postgresql://engineer@db-host/line3\"\n";
  struct Case {
    int exit;
    std::string says;
    std::string profile;            // for `job release`, when args do not name a command
    std::vector<std::string> args;  // more arguments, or a command
  };
  const Case cases[] = {
      {1, "'line.station' belongs", With(line, line + "station = \"st1\"\n"), {}},
      {1,
       "field 'serial' takes no pool",
       With("pool = \"serial\"", "start = 1\nstate = \"sn.state\"", With(line, "")),
       {}},
      {1,
       "no pool 'nosuch' in the line's database",
       With("pool = \"serial\"", "pool = \"nosuch\""),
       {}},
      {1,
       "it is mac but pool 'serial' is u32le",
       With("overwrite", "format = \"mac\"\noverwrite"),
       {}},
      {1, "its 4 bytes reach past the end of bank A", With("0x1A000100", "0x1A07FFFE"), {}},
      {1, "both code banks are empty: nothing to write", With("app.fcode", "empty.fcode"), {}},
      {1, "code '" + dir_.File("gone.fcode") + "': ", With("app.fcode", "gone.fcode"), {}},
      {1,
       "but the profile pins code_sha256 = " + std::string(64, 'a'),
       With("reboot", "code_sha256 = \"" + std::string(64, 'a') + "\"\nreboot"),
       {}},
      {1, "nothing to release", With("code = \"app.fcode\"\nreboot = true\n", ""), {}},
      {1,
       "the code file is named 'manifest', as another file of the job is",
       With("app.fcode", "manifest"),
       {}},
      {2, "--quantity takes a number of boards from 1 up, not '0'", kProduct, {"--quantity", "0"}},
      {2, "--name takes a job's name without a version", kProduct, {"--name", "widget@2"}},
      {2, "\"a b\" is no job name", kProduct, {"--name", "a b"}},
      {2, "give the version to retire: widget@V", "", {"job", "retire", "widget"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    std::vector<std::string> args = c.args;
    if (!c.profile.empty()) {
      args.insert(args.begin(), {"job", "release", Profile(c.profile)});
      if (c.args.empty() || c.args[0] != "--name") args.insert(args.end(), {"--name", "widget"});
    }
    const RunResult r = Cli(args);
    EXPECT_EQ(r.exit_code, c.exit) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("quelmar-cli: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  // Every station key, one line each.
  const RunResult r = Cli({"job", "release",
                           Profile(With("reboot",
                                        "ports = [\"COM1\"]\nrecords = \"r.jsonl\"\n"
                                        "auto = true\nreboot")),
                           "--name", "widget"});
  std::string lines;
  for (const char* key : {"ports", "records", "auto"})
    lines += "quelmar-cli: " + dir_.File("product.toml") + ": '" + key +
             "' belongs to a station, not to a job: remove it\n";
  EXPECT_EQ(r.err, lines);
  EXPECT_EQ(Sql("SELECT count(*) FROM jobs"), "0");
}

// records --db --job: the boards of the job (of a version), with the
// other filters.
TEST_F(Job, RecordsOfAJob) {
  // Boards as the database files them, of two versions and of no job.
  Sql("INSERT INTO boards (id, station, port, board, result, time_start, time_end, record, job, "
      "job_version) SELECT gen_random_uuid(), 'st1', p, n, r, t::timestamptz, t::timestamptz, "
      "jsonb_build_object('time_start', t, 'port', p, 'board', n, 'result', r, "
      "'fields', '{}'::jsonb), j, v FROM (VALUES ('COM1', 1, 'ok', 'widget', 1), "
      "('COM2', 2, 'failed', 'widget', 2), ('COM3', 3, 'ok', 'widget', 2), "
      "('COM4', 4, 'ok', NULL, NULL)) AS b(p, n, r, j, v), "
      "LATERAL (SELECT '2026-12-08T07:59:5' || n || 'Z' AS t) AS at");
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> ports;  // the boards listed, in order
  };
  const Case cases[] = {
      {{"--job", "widget"}, {"COM1", "COM2", "COM3"}},
      {{"--job", "widget@2"}, {"COM2", "COM3"}},
      {{"--job", "widget@2", "--failed"}, {"COM2"}},
      {{"--job", "widget@3"}, {}},
      {{"--job", "gadget"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    std::vector<std::string> args = {"records"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = Cli(args);
    EXPECT_EQ(r.exit_code, c.ports.empty() ? 1 : 0) << r.err;
    std::vector<std::string> ports;
    for (const std::string& row : Rows(r.out)) ports.push_back(row.substr(row.find("COM"), 4));
    EXPECT_EQ(ports, c.ports) << r.out;
  }
  const RunResult r = RunProgram(QUELMAR_CLI_PATH, {"records", "r.jsonl", "--job", "widget"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("--job goes with --db CONNINFO"), std::string::npos) << r.err;
}

// The roles of docs/line.md: an engineer releases and retires; a station
// is refused both in PostgreSQL's one line, and reads the jobs as a
// supervisor does.
TEST(JobRoles, ReleaseAndRetireAreAnEngineers) {
  const DocsLine docs = LineFromTheDocs("Job-Role-7");
  TempDir dir;
  WriteCode(dir, 3);
  WriteWholeFile(dir.File("product.toml"), kProduct);
  auto as = [&](const std::string& role, std::vector<std::string> args) {
    args.insert(args.end(), {"--db", TcpConn(docs.db, role)});
    return RunProgram(QUELMAR_CLI_PATH, args, {"PGPASSWORD=Job-Role-7"}, 60s);
  };
  ASSERT_EQ(as(docs.engineer, {"line", "init"}).exit_code, 0);
  ASSERT_EQ(
      as(docs.engineer, {"line", "pool", "add", "serial", "--format", "u32le", "--start", "1"})
          .exit_code,
      0);
  const std::vector<std::string> release = {"job", "release", dir.File("product.toml"), "--name",
                                            "widget"};
  ASSERT_EQ(as(docs.engineer, release).exit_code, 0);
  const std::pair<std::vector<std::string>, const char*> refused[] = {
      {release, "release"}, {{"job", "retire", "widget@1"}, "retire"}};
  for (const auto& [args, verb] : refused) {
    const RunResult r = as(docs.station, args);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, std::string("quelmar-cli: permission denied for function quelmar_job_") +
                         verb + "\n");
  }
  EXPECT_EQ(Rows(as(docs.station, {"job", "list"}).out).at(1).substr(0, 17), "widget@1 released");
  const RunResult r = as(docs.supervisor, {"job", "show", "widget"});
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Job widget@1: released") << r.err;
}

}  // namespace
}  // namespace quelmar::testing
