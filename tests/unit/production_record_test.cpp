// Records: the keys tools rely on, appends that survive a torn line, the
// reader and the listing, and --json's events.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "production/events.h"
#include "production/record.h"
#include "production/records_view.h"
#include "support/temp_dir.h"

namespace quelmar::production {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

BoardRecord SampleRecord() {
  BoardRecord r;
  r.time_start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796715521123));
  r.time_end = r.time_start + std::chrono::milliseconds(83456);
  r.port = "COM3";
  r.device = "/dev/ttyUSB0";
  r.board = 2;
  r.result = "ok";
  r.bootloader = "2.8";
  r.chip = "LPC4357";
  r.chip_words = {0xA001C830, 0xFEED, 0, 1, 2, 3, 4, 0xFFFFFFFF};
  r.fields = {{"serial", {true, 100042, ""}}, {"mac", {false, 0, "02:51:4D:00:00:2A"}}};
  r.code = FileHash{"app.elf", std::string(64, 'a')};
  r.sent.bank_a = std::string(64, 'b');
  r.host = "line3";
  r.version = "1.0.0";
  r.log = "Opened COM3\nWrite CODE... OK.\n";
  return r;
}

TEST(RecordJson, KeysValuesAndNulls) {
  const json j = json::parse(RecordJson(SampleRecord()));
  std::vector<std::string> keys;
  for (const auto& [key, value] : j.items()) keys.push_back(key);
  // nlohmann::json sorts keys: the set is what is compared here.
  std::vector<std::string> want = {
      "time_start", "time_end",   "duration_s", "port",       "device", "board",   "result",
      "failure",    "bootloader", "chip",       "chip_words", "fields", "code",    "data",
      "profile",    "sent",       "host",       "version",    "log",    "attempts"};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(keys, want);
  EXPECT_EQ(j["time_start"], "2026-12-08T07:38:41.123Z");
  EXPECT_EQ(j["time_end"], "2026-12-08T07:40:04.579Z");
  EXPECT_DOUBLE_EQ(j["duration_s"].get<double>(), 83.456);
  EXPECT_EQ(j["board"], 2);
  EXPECT_TRUE(j["failure"].is_null());
  EXPECT_EQ(j["attempts"], json::array());  // a board written at its first attempt
  EXPECT_EQ(j["chip_words"], json({"0xA001C830", "0x0000FEED", "0x00000000", "0x00000001",
                                   "0x00000002", "0x00000003", "0x00000004", "0xFFFFFFFF"}));
  EXPECT_EQ(j["fields"], json({{"serial", 100042}, {"mac", "02:51:4D:00:00:2A"}}));
  EXPECT_EQ(j["code"], json({{"file", "app.elf"}, {"sha256", std::string(64, 'a')}}));
  EXPECT_TRUE(j["data"].is_null());
  EXPECT_EQ(j["sent"], json({{"bank_a_sha256", std::string(64, 'b')},
                             {"bank_b_sha256", nullptr},
                             {"data_sha256", nullptr}}));
  EXPECT_EQ(j["log"], "Opened COM3\nWrite CODE... OK.\n");
  // One line: the log's line ends are escaped.
  EXPECT_EQ(RecordJson(SampleRecord()).find('\n'), std::string::npos);
  // The issue's order, first to last, for people reading the file.
  const std::string line = RecordJson(SampleRecord());
  EXPECT_LT(line.find("\"time_start\""), line.find("\"time_end\""));
  EXPECT_LT(line.find("\"fields\""), line.find("\"sent\""));
  EXPECT_LT(line.find("\"version\""), line.find("\"log\""));
}

TEST(RecordJson, AFailedBoardWithoutIdentityAndABrokenLog) {
  BoardRecord r = SampleRecord();
  r.result = "failed";
  r.failure = "Get bootloader info... Failed";
  r.bootloader.reset();
  r.chip.reset();
  r.chip_words.clear();
  r.log = std::string("bad \xFF\xFE byte\n");
  const json j = json::parse(RecordJson(r));
  EXPECT_EQ(j["failure"], "Get bootloader info... Failed");
  EXPECT_TRUE(j["bootloader"].is_null());
  EXPECT_TRUE(j["chip_words"].is_null());
  EXPECT_EQ(j["log"], "bad \xEF\xBF\xBD\xEF\xBF\xBD byte\n");
}

class RecordsFileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("quelmar_records_"); }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  fs::path dir_;
};

TEST_F(RecordsFileTest, AppendsWholeLinesAndReadersSkipATornOne) {
  const std::string path = (dir_ / "sub" / "line.jsonl").string();
  {
    RecordsFile file;
    std::string why;
    ASSERT_TRUE(file.Open(path, &why)) << why;
    BoardRecord r = SampleRecord();
    ASSERT_TRUE(file.Append(r, &why)) << why;
  }
  // A crash in the middle of the second record's write.
  const std::string second = RecordJson(SampleRecord());
  std::ofstream(path, std::ios::binary | std::ios::app) << second.substr(0, second.size() / 2);
  {
    RecordsFile file;
    std::string why;
    ASSERT_TRUE(file.Open(path, &why)) << why;
    BoardRecord r = SampleRecord();
    r.board = 3;
    r.fields = {{"serial", {true, 100043, ""}}};
    ASSERT_TRUE(file.Append(r, &why)) << why;
  }
  RecordsRead read;
  std::string why;
  ASSERT_TRUE(ReadRecords(path, &read, &why)) << why;
  ASSERT_EQ(read.records.size(), 2u);
  EXPECT_EQ(read.records[0]["board"], 2);
  EXPECT_EQ(read.records[1]["board"], 3);
  EXPECT_EQ(read.warnings, std::vector<std::string>{"line 2: torn or not a record: skipped"});
}

TEST_F(RecordsFileTest, AnUnwritablePlaceIsRefusedAtOpen) {
  fs::create_directories(dir_ / "folder.jsonl");
  RecordsFile file;
  std::string why;
  EXPECT_FALSE(file.Open((dir_ / "folder.jsonl").string(), &why));
  EXPECT_NE(why.find("folder.jsonl"), std::string::npos) << why;
  std::ofstream(dir_ / "file") << "x";
  EXPECT_FALSE(file.Open((dir_ / "file" / "r.jsonl").string(), &why));
}

TEST(RecordsView, FindsValuesListsAndExports) {
  BoardRecord a = SampleRecord();
  BoardRecord b = SampleRecord();
  b.board = 3;
  b.result = "failed";
  b.failure = "Error write to FLASH, i = 4";
  b.fields = {{"serial", {true, 100043, ""}}, {"label", {false, 0, "say \"hi\", ok"}}};
  using ordered = nlohmann::ordered_json;
  const std::vector<ordered> records = {ordered::parse(RecordJson(a)),
                                        ordered::parse(RecordJson(b))};

  const struct {
    const char* wanted;
    bool in_a, in_b;
  } finds[] = {{"100042", true, false},
               {"100043", false, true},
               {"02:51:4d:00:00:2a", true, false},
               {"02-51-4D-00-00-2A", true, false},
               {"10004", false, false},
               {"say \"hi\", ok", false, true}};
  for (const auto& f : finds) {
    SCOPED_TRACE(f.wanted);
    EXPECT_EQ(RecordHasValue(records[0], f.wanted), f.in_a);
    EXPECT_EQ(RecordHasValue(records[1], f.wanted), f.in_b);
  }
  EXPECT_EQ(RecordSummaryLine(records[1]),
            "2026-12-08T07:38:41.123Z  COM3  board 3  failed  serial=100043  label=say \"hi\", ok"
            "  (Error write to FLASH, i = 4)");
  const std::string csv = RecordsCsv(records);
  const std::string header =
      "time_start,time_end,duration_s,port,device,board,result,failure,bootloader,chip,serial,mac,"
      "label,bank_a_sha256,bank_b_sha256,data_sha256\r\n";
  ASSERT_EQ(csv.substr(0, header.size()), header);
  EXPECT_NE(csv.find(",3,failed,\"Error write to FLASH, i = 4\",2.8,LPC4357,100043,,\"say "
                     "\"\"hi\"\", ok\","),
            std::string::npos)
      << csv;
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);
}

// A record edited by hand, written by another tool, or damaged: a key of a
// type no record has. Each is skipped with a warning naming its line, as a
// torn line is, and the good records around it are read; nothing throws.
TEST(RecordsReader, MistypedRecordsAreSkippedWithTheirLineNamed) {
  using ordered = nlohmann::ordered_json;
  const ordered good = ordered::parse(RecordJson(SampleRecord()));
  const struct {
    const char* name;
    std::function<void(ordered&)> spoil;  // empty: the line below as it stands
    const char* line;
    const char* warning;
  } cases[] = {
      {"null result", [](ordered& r) { r["result"] = nullptr; }, nullptr,
       "'result' should be text, not null"},
      {"number as result", [](ordered& r) { r["result"] = 1; }, nullptr,
       "'result' should be text, not a number"},
      {"no result", [](ordered& r) { r.erase("result"); }, nullptr, "no 'result'"},
      {"number as port", [](ordered& r) { r["port"] = 3; }, nullptr,
       "'port' should be text, not a number"},
      {"text as board", [](ordered& r) { r["board"] = "2"; }, nullptr,
       "'board' should be a whole number, not text"},
      {"negative board", [](ordered& r) { r["board"] = -2; }, nullptr,
       "'board' should be a whole number, not a negative number"},
      {"fields not an object", [](ordered& r) { r["fields"] = ordered::array({100042}); }, nullptr,
       "'fields' should be an object, not a list"},
      {"null fields", [](ordered& r) { r["fields"] = nullptr; }, nullptr,
       "'fields' should be an object, not null"},
      {"fraction as serial", [](ordered& r) { r["fields"]["serial"] = 100042.5; }, nullptr,
       "'fields.serial' should be a whole number or text, not a fraction"},
      {"negative serial", [](ordered& r) { r["fields"]["serial"] = -1; }, nullptr,
       "'fields.serial' should be a whole number or text, not a negative number"},
      {"nested garbage as a value",
       [](ordered& r) { r["fields"]["mac"] = ordered::parse(R"({"a":[[[{"b":null}]]]})"); },
       nullptr, "'fields.mac' should be a whole number or text, not an object"},
      {"true as serial", [](ordered& r) { r["fields"]["serial"] = true; }, nullptr,
       "'fields.serial' should be a whole number or text, not true or false"},
      {"escape in a field name", [](ordered& r) { r["fields"]["\x1b[2J"] = nullptr; }, nullptr,
       "'fields.\\x1B[2J' should be a whole number or text, not null"},
      {"number as failure", [](ordered& r) { r["failure"] = 4; }, nullptr,
       "'failure' should be text or null, not a number"},
      {"numbers as chip words",
       [](ordered& r) {
         r["chip_words"] = ordered::array({1, 2});
       },
       nullptr, "'chip_words[]' should be text, not a number"},
      {"text as code", [](ordered& r) { r["code"] = "app.elf"; }, nullptr,
       "'code' should be an object or null, not text"},
      {"number as a hash", [](ordered& r) { r["code"]["sha256"] = 0; }, nullptr,
       "'code.sha256' should be text, not a number"},
      {"list as sent", [](ordered& r) { r["sent"] = ordered::array(); }, nullptr,
       "'sent' should be an object, not a list"},
      {"object as a sent hash", [](ordered& r) { r["sent"]["data_sha256"] = ordered::object(); },
       nullptr, "'sent.data_sha256' should be text or null, not an object"},
      {"null log", [](ordered& r) { r["log"] = nullptr; }, nullptr,
       "'log' should be text, not null"},
      {"a list", nullptr, "[1,2,3]", "torn or not a record"},
      {"a number", nullptr, "100042", "torn or not a record"},
      {"deep nesting", nullptr, nullptr, "torn or not a record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bad;
    if (c.spoil) {
      ordered r = good;
      c.spoil(r);
      bad = r.dump();
    } else if (c.line != nullptr) {
      bad = c.line;
    } else {
      bad = std::string(100000, '[') + std::string(100000, ']');
    }
    ordered second = good;
    second["board"] = 3;
    second["result"] = "failed";
    const std::string text = good.dump() + "\n" + bad + "\n" + second.dump() + "\n";
    RecordsRead read;
    ReadRecordsText(text, &read);
    ASSERT_EQ(read.records.size(), 2u);
    EXPECT_EQ(read.records[0]["board"], 2);
    EXPECT_EQ(read.records[1]["board"], 3);
    EXPECT_EQ(read.warnings,
              std::vector<std::string>{"line 2: " + std::string(c.warning) + ": skipped"});
    // What every listing does with what was read.
    EXPECT_FALSE(RecordFailed(read.records[0]));
    EXPECT_TRUE(RecordFailed(read.records[1]));
    EXPECT_FALSE(RecordsCsv(read.records).empty());
  }
}

// The listing goes to a terminal: an escape sequence in a record (a board's
// garbage in its failure line, a hostile file) is shown, never obeyed.
TEST(RecordsView, ControlCharactersAreShownNotSentToTheTerminal) {
  BoardRecord r = SampleRecord();
  r.result = "failed";
  r.failure = "Write CODE... \x1b]0;owned\x07\x1b[2J";
  r.fields = {{"label", {false, 0, "A\rB"}}};
  const auto record = nlohmann::ordered_json::parse(RecordJson(r));
  EXPECT_EQ(RecordSummaryLine(record),
            "2026-12-08T07:38:41.123Z  COM3  board 2  failed  label=A\\x0DB"
            "  (Write CODE... \\x1B]0;owned\\x07\\x1B[2J)");
}

// A cell of the CSV as a spreadsheet splits it: quoted cells may hold
// commas, doubled quotes and line ends.
std::vector<std::string> CsvRow(const std::string& csv, size_t row) {
  std::vector<std::vector<std::string>> rows(1);
  std::string cell;
  bool quoted = false;
  for (size_t i = 0; i < csv.size(); ++i) {
    const char c = csv[i];
    if (quoted) {
      if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"') {
        cell += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        cell += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      rows.back().push_back(std::move(cell));
      cell.clear();
    } else if (c == '\r' && i + 1 < csv.size() && csv[i + 1] == '\n') {
      rows.back().push_back(std::move(cell));
      cell.clear();
      rows.emplace_back();
      ++i;
    } else {
      cell += c;
    }
  }
  return row < rows.size() ? rows[row] : std::vector<std::string>{};
}

// Text in a record that a spreadsheet would run as a formula (a label from
// a list, a failure line, a port name, a field's name from a profile) gets
// a leading apostrophe; numbers and plain text stay as they are.
TEST(RecordsView, CsvCellsASpreadsheetWouldRunAreDefused) {
  const struct {
    std::string text;
    std::string cell;
  } cases[] = {
      {"=1+2", "'=1+2"},
      {"+41 555 0100", "'+41 555 0100"},
      {"-5 V", "'-5 V"},
      {"@SUM(A1:A9)", "'@SUM(A1:A9)"},
      {"\t=1+2", "'\t=1+2"},
      {"\r=1+2", "'\r=1+2"},
      {"=HYPERLINK(\"http://x.example\",\"open\")", "'=HYPERLINK(\"http://x.example\",\"open\")"},
      {"a=b", "a=b"},
      {"02:51:4D:00:00:2A", "02:51:4D:00:00:2A"},
      {"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    BoardRecord r = SampleRecord();
    r.port = c.text;
    r.failure = c.text;
    r.result = "failed";
    r.fields = {
        {"serial", {true, 100042, ""}}, {"label", {false, 0, c.text}}, {c.text, {true, 7, ""}}};
    r.time_end = r.time_start - std::chrono::milliseconds(1500);  // a clock set back
    const std::vector<nlohmann::ordered_json> records = {
        nlohmann::ordered_json::parse(RecordJson(r))};
    const std::string csv = RecordsCsv(records);
    const std::vector<std::string> header = CsvRow(csv, 0), row = CsvRow(csv, 1);
    ASSERT_EQ(row.size(), header.size()) << csv;
    auto column = [&](const std::string& name) {
      const auto at = std::find(header.begin(), header.end(), name);
      return at == header.end() ? std::string("(none)")
                                : row[static_cast<size_t>(at - header.begin())];
    };
    EXPECT_EQ(column("port"), c.cell);
    EXPECT_EQ(column("failure"), c.cell);
    EXPECT_EQ(column("label"), c.cell);
    EXPECT_EQ(column("serial"), "100042");
    EXPECT_EQ(column("duration_s"), "-1.5");
    if (!c.text.empty()) {
      EXPECT_EQ(header[12], c.cell);
    }
  }
}

TEST(JsonEvents, EachLineIsOneObjectWithItsType) {
  const auto t = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796715521123));
  const std::string lines[] = {BoardStartEvent("COM3", 1, t), StepEvent("COM3", 1, "code", "ok"),
                               ProgressEvent("COM3", 1, "data", 3, 10), RecordEvent(SampleRecord()),
                               SummaryEvent(2, 1, 0)};
  const char* types[] = {"board_start", "step", "progress", "record", "summary"};
  for (size_t i = 0; i < std::size(lines); ++i) {
    SCOPED_TRACE(types[i]);
    EXPECT_EQ(lines[i].find('\n'), std::string::npos);
    const json j = json::parse(lines[i]);
    EXPECT_EQ(j["type"], types[i]);
  }
  EXPECT_EQ(json::parse(lines[3])["fields"]["serial"], 100042);
  EXPECT_EQ(json::parse(lines[4]),
            json({{"type", "summary"}, {"boards", 3}, {"ok", 2}, {"failed", 1}, {"stopped", 0}}));
}

TEST(JsonEvents, ProgressAtMostFiveASecond) {
  ProgressThrottle throttle;
  const auto t0 = std::chrono::steady_clock::time_point(std::chrono::seconds(100));
  int allowed = 0;
  // An event every 10 ms for 2 s.
  for (int ms = 0; ms < 2000; ms += 10)
    allowed += throttle.Allow(t0 + std::chrono::milliseconds(ms)) ? 1 : 0;
  EXPECT_EQ(allowed, 10);
}

}  // namespace
}  // namespace quelmar::production

namespace quelmar::production {
namespace {

// Records as a file holds them, some boards tried again: what is kept,
// what each line says and the totals with the first-pass yield.
TEST(RecordsView, AttemptsAreReadBackCountedAndChecked) {
  const std::string base =
      R"("time_start":"2026-12-08T07:38:41.123Z","port":"COM3","fields":{"serial":7})";
  const std::string text =
      "{" + base + R"(,"board":1,"result":"ok","attempts":[]})" + "\n" + "{" + base +
      R"(,"board":2,"result":"ok","attempts":[{"failure":"Incorrect CRC. i = 5","time":"2026-12-08T07:39:00.000Z"}]})" +
      "\n" + "{" + base + R"(,"board":3,"result":"failed","failure":"x"})" + "\n" + "{" + base +
      R"(,"board":4,"result":"ok"})" + "\n" +
      // What no record holds: skipped with a warning naming the line.
      "{" + base + R"(,"board":5,"result":"ok","attempts":{}})" + "\n" + "{" + base +
      R"(,"board":6,"result":"ok","attempts":[{"failure":3,"time":"t"}]})" + "\n" + "{" + base +
      R"(,"board":7,"result":"ok","attempts":[{"failure":"f"}]})" + "\n";
  RecordsRead read;
  ReadRecordsText(text, &read);
  ASSERT_EQ(read.records.size(), 4u);
  EXPECT_EQ(read.warnings, (std::vector<std::string>{
                               "line 5: 'attempts' should be a list, not an object: skipped",
                               "line 6: 'attempts[].failure' should be text, not a number: skipped",
                               "line 7: 'attempts[].time' should be text, not null: skipped"}));
  const struct {
    size_t record;
    std::string line;
  } lines[] = {
      {0, "2026-12-08T07:38:41.123Z  COM3  board 1  ok  serial=7"},
      {1, "2026-12-08T07:38:41.123Z  COM3  board 2  ok  2 attempts  serial=7"},
      {3, "2026-12-08T07:38:41.123Z  COM3  board 4  ok  serial=7"},
  };
  for (const auto& l : lines) EXPECT_EQ(RecordSummaryLine(read.records[l.record]), l.line);
  // A record from before retries (board 4) was written at its first attempt.
  EXPECT_EQ(RecordsTotals(read.records),
            "4 boards: 3 ok, 1 not ok; yield 75.0%, first pass 50.0% (2 ok at their first "
            "attempt)");
  EXPECT_EQ(RecordsTotals({}), "0 boards: 0 ok, 0 not ok");
}

// A record held while its label prints: appended by the next run on the
// records file once its holder has ended, exactly once, and never while the
// holder still runs.
TEST_F(RecordsFileTest, AHeldRecordIsAppendedOnceAfterItsHolderEnds) {
  const auto count = [](const fs::path& folder, const char* extension) {
    size_t n = 0;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
      n += it->path().extension() == extension;
    return n;
  };
  const auto held_files = [&](const fs::path& folder) { return count(folder, ".record"); };
  // The one record held in the folder, and its lock.
  static const auto held_file = [](const std::string& folder, const char* extension = ".record") {
    for (const auto& e : fs::directory_iterator(folder))
      if (e.path().extension() == extension) return e.path();
    return fs::path();
  };
  // Appended with its held file put back: a kill between the two.
  const auto append_keeping_held = [](RecordsFile& h, const BoardRecord& r,
                                      const std::string& folder) {
    const fs::path copy = fs::path(folder).parent_path() / "copy";
    const fs::path file = held_file(folder);
    fs::copy_file(file, copy);
    std::string why;
    ASSERT_TRUE(h.Append(r, &why)) << why;
    fs::rename(copy, file);
  };
  struct Case {
    const char* name;
    // What the holder does with the record it held before it ends.
    std::function<void(RecordsFile& holder, const BoardRecord& r, const std::string& folder)> then;
    bool holder_runs;       // the next run comes while the holder still runs
    size_t records;         // in the file after the next run
    const char* note;       // in the next run's notes ("" for none)
    size_t left_held;       // held files after the next run
    size_t left_locks = 0;  // lock files once the holder has ended
  };
  const Case cases[] = {
      {"killed while its label printed",
       [](RecordsFile&, const BoardRecord&, const std::string&) {}, false, 1,
       "board 2 (unit \"PCB-7\\u001b[2J\") on \"COM3\" was OK", 0},
      {"appended in time",
       [](RecordsFile& h, const BoardRecord& r, const std::string&) {
         std::string why;
         ASSERT_TRUE(h.Append(r, &why)) << why;
       },
       false, 1, "", 0},
      {"killed between its append and the held file's removal", append_keeping_held, false, 1, "",
       0},
      {"cut off by a power cut in the middle of its append",
       [](RecordsFile&, const BoardRecord& r, const std::string& folder) {
         const std::string line = RecordJson(r);
         std::ofstream(folder.substr(0, folder.size() - 5), std::ios::binary | std::ios::app)
             << line.substr(0, line.size() / 2);
       },
       false, 1, "board 2 (unit \"PCB-7\\u001b[2J\") on \"COM3\" was OK", 0},
      {"killed after its append, before its lock file went",
       [](RecordsFile& h, const BoardRecord& r, const std::string& folder) {
         std::string why;
         ASSERT_TRUE(h.Append(r, &why)) << why;
         std::ofstream(fs::path(folder) / "process_4_on_gone_0.lock") << "process 4 on gone\n";
       },
       false, 1, "", 0},
      {"still running", [](RecordsFile&, const BoardRecord&, const std::string&) {}, true, 0, "",
       1},
      {"edited into something else",
       [](RecordsFile&, const BoardRecord&, const std::string& folder) {
         std::ofstream(held_file(folder)) << "{\"id\":1}\n";
       },
       false, 0, "is not a record this program held", 1},
      // Held only while an OK board's label prints: any other record there
      // was put there by hand, and the run is not to say it was OK.
      {"made a failed board's",
       [](RecordsFile&, const BoardRecord&, const std::string& folder) {
         const fs::path file = held_file(folder);
         json j = json::parse(std::ifstream(file));
         j["result"] = "failed";
         std::ofstream(file) << j.dump() << "\n";
       },
       false, 0, "is not a record this program held", 1},
      {"appended by hand with other spacing",
       [&](RecordsFile& h, const BoardRecord& r, const std::string& folder) {
         append_keeping_held(h, r, folder);
         const std::string records = folder.substr(0, folder.size() - 5);
         std::string text;
         {
           std::ifstream in(records, std::ios::binary);
           text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
         }
         std::string spaced;
         for (const char ch : json::parse(text).dump()) {
           spaced += ch;
           if (ch == ':' || ch == ',') spaced += ' ';
         }
         std::ofstream(records, std::ios::binary) << spaced << "\n";
       },
       false, 1, "", 0},
#ifndef _WIN32
      // Neither may be read: a link could lead to /dev/zero, a pipe waits
      // for a writer that never comes. (Links need rights Windows seldom
      // gives.)
      {"replaced by a link to a record",
       [](RecordsFile&, const BoardRecord&, const std::string& folder) {
         const fs::path file = held_file(folder);
         const fs::path elsewhere = fs::path(folder).parent_path() / "elsewhere";
         fs::rename(file, elsewhere);
         fs::create_symlink(elsewhere, file);
       },
       false, 0, "is not a record this program held", 1},
      // A lock that cannot even be tried keeps the records beside it out
      // for good: the run says so rather than pass them by in silence.
      {"its lock file replaced by a link",
       [](RecordsFile&, const BoardRecord&, const std::string& folder) {
         const fs::path lock = held_file(folder, ".lock");
         fs::remove(lock);
         fs::create_symlink("/dev/null", lock);
       },
       false, 0, "is a link, which this program never makes", 1, 1},
      {"replaced by a pipe",
       [](RecordsFile&, const BoardRecord&, const std::string& folder) {
         const fs::path file = held_file(folder);
         fs::remove(file);
         ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
       },
       false, 0, "is not a record this program held", 1},
#endif
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (dir_ / ("r" + std::to_string(n++) + ".jsonl")).string();
    const std::string folder = path + ".held";
    BoardRecord r = SampleRecord();
    r.id = NewBoardId();
    r.unit = "PCB-7\x1b[2J";
    auto holder = std::make_unique<RecordsFile>();
    std::string why;
    ASSERT_TRUE(holder->Open(path, &why)) << why;
    ASSERT_TRUE(holder->Hold(r, &why)) << why;
    ASSERT_EQ(held_files(folder), 1u);
    c.then(*holder, r, folder);
    if (!c.holder_runs) holder.reset();
    RecordsFile next;
    std::vector<std::string> notes;
    ASSERT_TRUE(next.Open(path, &why)) << why;
    ASSERT_TRUE(next.FileHeld(&notes, &why)) << why;
    RecordsRead read;
    ASSERT_TRUE(ReadRecords(path, &read, &why)) << why;
    ASSERT_EQ(read.records.size(), c.records);
    if (c.records == 1) {
      EXPECT_EQ(read.records[0]["id"], r.id);
    }
    if (*c.note == '\0') {
      EXPECT_TRUE(notes.empty()) << notes[0];
    } else {
      ASSERT_EQ(notes.size(), 1u);
      EXPECT_NE(notes[0].find(c.note), std::string::npos) << notes[0];
    }
    EXPECT_EQ(held_files(folder), c.left_held);
    // A second run finds nothing more to do.
    notes.clear();
    ASSERT_TRUE(next.FileHeld(&notes, &why)) << why;
    RecordsRead again;
    ASSERT_TRUE(ReadRecords(path, &again, &why)) << why;
    EXPECT_EQ(again.records.size(), c.records);
    if (c.holder_runs) {
      // The holder's own append takes its record out of the folder.
      ASSERT_TRUE(holder->Append(r, &why)) << why;
      EXPECT_EQ(held_files(folder), 0u);
      holder.reset();
    }
    // No lock file is left of a holder that has ended.
    EXPECT_EQ(count(folder, ".lock"), c.left_locks);
  }
}

}  // namespace
}  // namespace quelmar::production
