// Boards scanned as a unit on a station without the line: the records file
// is their history. A unit written OK comes back to a production station,
// to the rework bench, after its boards all failed, or with values another
// unit holds; the state files must not move for a board given its own
// values again, and a second run must know what the first one wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "image/image_writer.h"
#include "production/records_view.h"
#include "production/run.h"
#include "support/temp_dir.h"

namespace quelmar::production {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMacStart = 0x02514D000010;

class ReworkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("quelmar_rework_");
    ASSERT_FALSE(dir_.empty());
    Bytes code(0x2000);
    for (size_t i = 0; i < 0x1000; ++i) code[i] = static_cast<uint8_t>(i * 7 + 1);
    std::fill(code.begin() + 0x1000, code.end(), 0xFF);
    const Bytes file = image::BuildCodeFile(&code, nullptr, 'E');
    ASSERT_TRUE(images_.LoadCodeImageFromMemory(file.data(), file.size()));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string File(const std::string& name) const { return (dir_ / name).string(); }

  RunSettings Settings(bool rework) const {
    FieldDef serial;
    serial.name = "serial";
    serial.where = {Place::kBankA, 0x1000};
    serial.size = 4;
    serial.start = 100;
    serial.state_path = File("serial.state");
    FieldDef mac;
    mac.name = "mac";
    mac.where = {Place::kBankA, 0x1010};
    mac.format = Format::kMac;
    mac.size = 6;
    mac.start = kMacStart;
    mac.state_path = File("mac.state");
    RunSettings settings;
    settings.fields = {serial, mac};
    settings.records_path = File("records.jsonl");
    settings.rework = rework;
    return settings;
  }

  // One board of the unit ("" for none) to its end with the result; the
  // reservation's answer and line, and the serial written into its image.
  struct Board {
    ValueSource::Reserved reserved;
    std::string why;
    uint32_t written = 0;
  };
  Board Run(ProductionRun& run, const std::string& unit, const char* result) {
    BoardSession session(run, "COM3", "/dev/ttyUSB0");
    if (!unit.empty()) session.SetUnit(unit);
    Board board;
    board.reserved = session.Reserve(&board.why);
    if (board.reserved == ValueSource::Reserved::kOk) {
      const image::ImageStore& images = session.Images();
      for (int k = 3; k >= 0; --k)
        board.written =
            (board.written << 8) | images.DecodeCodeByte(images.CodeImage().data()[0x1000 + k]);
    }
    std::string ignored;
    const bool ok = board.reserved == ValueSource::Reserved::kOk;
    EXPECT_TRUE(session.Finish(ok ? result : "failed", ok ? std::nullopt : std::optional(board.why),
                               "", &ignored))
        << ignored;
    return board;
  }

  std::vector<json> Records() const {
    RecordsRead read;
    std::string why;
    EXPECT_TRUE(ReadRecords(File("records.jsonl"), &read, &why)) << why;
    EXPECT_TRUE(read.warnings.empty());
    return {read.records.begin(), read.records.end()};
  }

  std::string Text(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  void AppendRecord(const json& record) const {
    std::ofstream(File("records.jsonl"), std::ios::app | std::ios::binary) << record.dump() << "\n";
  }

  fs::path dir_;
  Log log_;
  image::ImageStore images_{log_};
};

// The unit's history is written by a first run (a station that was
// restarted since), then the board comes back to a second one.
TEST_F(ReworkTest, AUnitComingBackGetsItsOwnValuesOrIsRefused) {
  struct Case {
    const char* name;
    std::vector<const char*> before;  // the unit's earlier boards' results, oldest first
    bool rework;
    bool refused;
    size_t again;  // which earlier board's values it gets (when not refused)
  };
  const Case cases[] = {
      {"written OK, on a production station", {"ok"}, false, true, 0},
      {"written OK, on the rework bench", {"ok"}, true, false, 0},
      {"reworked before, on the rework bench again", {"ok", "ok"}, true, false, 1},
      {"failed every time, on a production station", {"failed", "failed"}, false, false, 1},
      {"failed, OK, failed: on a production station", {"failed", "ok", "failed"}, false, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    std::string why;
    {
      // Another unit's board between the unit's: the counter moved on.
      ProductionRun first;
      ASSERT_TRUE(first.Prepare(Settings(true), images_, &why)) << why;
      for (const char* result : c.before) {
        Run(first, "PCB-0042", result);
        Run(first, "PCB-0099", "ok");
      }
    }
    const auto before = Records();
    const std::string serial_state = Text("serial.state"), mac_state = Text("mac.state");

    ProductionRun second;
    ASSERT_TRUE(second.Prepare(Settings(c.rework), images_, &why)) << why;
    const Board board = Run(second, "PCB-0042", "ok");
    const auto records = Records();
    ASSERT_EQ(records.size(), before.size() + 1);
    const json& last = records.back();
    EXPECT_EQ(last["unit"], "PCB-0042");
    // Nothing was drawn either way.
    EXPECT_EQ(Text("serial.state"), serial_state);
    EXPECT_EQ(Text("mac.state"), mac_state);
    if (c.refused) {
      EXPECT_EQ(board.reserved, ValueSource::Reserved::kFailed);
      // The newest OK board of the unit is the one named.
      const json* ok = nullptr;
      for (const json& r : before)
        if (r["unit"] == "PCB-0042" && r["result"] == "ok") ok = &r;
      ASSERT_NE(ok, nullptr);
      std::string time = (*ok)["time_end"].get<std::string>();
      time = time.substr(0, time.find('.')) + "Z";
      EXPECT_EQ(board.why, "unit \"PCB-0042\" was written OK on COM3 at " + time + " (record " +
                               (*ok)["id"].get<std::string>() +
                               "): not written again on a production station");
      EXPECT_EQ(last["fields"], json::object());
      EXPECT_FALSE(last.contains("rework_of"));
      continue;
    }
    ASSERT_EQ(board.reserved, ValueSource::Reserved::kOk) << board.why;
    const json& earlier = before[2 * c.again];
    ASSERT_EQ(earlier["unit"], "PCB-0042");
    EXPECT_EQ(last["fields"], earlier["fields"]);
    EXPECT_EQ(last["rework_of"], earlier["id"]);
    EXPECT_EQ(board.written, earlier["fields"]["serial"].get<uint32_t>());
  }
}

// Within one run: the index follows the boards as they end.
TEST_F(ReworkTest, ARunKnowsTheUnitsItWroteItself) {
  ProductionRun run;
  std::string why;
  ASSERT_TRUE(run.Prepare(Settings(false), images_, &why)) << why;
  EXPECT_EQ(Run(run, "A-1", "failed").written, 100u);
  EXPECT_EQ(Run(run, "A-1", "ok").written, 100u);  // its failed attempt's serial again
  EXPECT_EQ(Run(run, "B-2", "ok").written, 101u);
  const Board again = Run(run, "A-1", "ok");
  EXPECT_EQ(again.reserved, ValueSource::Reserved::kFailed);
  EXPECT_NE(again.why.find("\"A-1\" was written OK on COM3"), std::string::npos) << again.why;
  EXPECT_EQ(Run(run, "", "ok").written, 102u);  // without a scan: new values as ever
  const auto records = Records();
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[1]["rework_of"], records[0]["id"]);
  EXPECT_FALSE(records[2].contains("rework_of"));
  EXPECT_FALSE(records[4].contains("unit"));
}

// Two ports with the same label scanned at once (a label printed twice):
// the second waits for nothing and is refused while the first runs.
TEST_F(ReworkTest, AUnitIsWrittenOnOnePortAtATime) {
  ProductionRun run;
  std::string why;
  ASSERT_TRUE(run.Prepare(Settings(true), images_, &why)) << why;
  auto first = std::make_unique<BoardSession>(run, "COM3", "/dev/ttyUSB0");
  first->SetUnit("PCB-7");
  ASSERT_EQ(first->Reserve(&why), ValueSource::Reserved::kOk) << why;
  {
    BoardSession second(run, "COM4", "/dev/ttyUSB1");
    second.SetUnit("PCB-7");
    EXPECT_EQ(second.Reserve(&why), ValueSource::Reserved::kFailed);
    EXPECT_EQ(why, "unit \"PCB-7\" is being written on COM3 now: not written twice at once");
  }
  // A board dropped without its end (a station stopping) lets the unit go.
  first.reset();
  BoardSession third(run, "COM4", "/dev/ttyUSB1");
  third.SetUnit("PCB-7");
  EXPECT_EQ(third.Reserve(&why), ValueSource::Reserved::kOk) << why;
}

// The records say another board holds the unit's values now (an operator
// merged two stations' records, or edited one): they are not written twice.
TEST_F(ReworkTest, ValuesAnotherBoardHoldsAreNotWrittenAgain) {
  std::string why;
  {
    ProductionRun first;
    ASSERT_TRUE(first.Prepare(Settings(false), images_, &why)) << why;
    Run(first, "A-1", "failed");  // serial 100, MAC ...:10
  }
  json other = Records()[0];
  const struct {
    const char* name;
    json unit;  // of the newer record holding the same MAC; null: none
    const char* holder;
  } cases[] = {
      {"another unit", "B-2", "unit \"B-2\""},
      {"a board without a unit", nullptr, "a board without a unit"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    other["id"] = std::string("other-") + c.name;
    other["result"] = "ok";
    other["fields"]["serial"] = 99;
    if (c.unit.is_null())
      other.erase("unit");
    else
      other["unit"] = c.unit;
    AppendRecord(other);
    ProductionRun run;
    ASSERT_TRUE(run.Prepare(Settings(true), images_, &why)) << why;
    const Board board = Run(run, "A-1", "ok");
    EXPECT_EQ(board.reserved, ValueSource::Reserved::kFailed);
    EXPECT_EQ(board.why, "unit \"A-1\": its value \"02:51:4D:00:00:10\" of field 'mac' (record " +
                             Records()[0]["id"].get<std::string>() + ") is held by " + c.holder +
                             " now (record " + other["id"].get<std::string>() +
                             "): not written with it again");
  }
}

// A record edited by hand to a value the field cannot hold, or without
// a field the profile writes, gives the board nothing.
TEST_F(ReworkTest, ARecordThatCannotBeWrittenAgainFailsTheBoard) {
  const struct {
    const char* name;
    json fields;
    const char* said;
  } cases[] = {
      {"a field missing", {{"serial", 100}}, "it holds no value of field 'mac'"},
      {"a serial as text",
       {{"serial", "100"}, {"mac", "02:51:4D:00:00:10"}},
       "its value \"100\" of field 'serial' is none this field takes"},
      {"a MAC as a number",
       {{"serial", 100}, {"mac", 42}},
       "its value 42 of field 'mac' is none this field takes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(File("records.jsonl"));
    std::ofstream(File("serial.state"), std::ios::binary) << "next 101\nstart 100\nstep 1\n";
    std::ofstream(File("mac.state"), std::ios::binary)
        << "next " << kMacStart + 1 << "\nstart " << kMacStart << "\nstep 1\n";
    const std::string serial_state = Text("serial.state");
    AppendRecord({{"id", "r1"},
                  {"time_start", "2026-12-09T10:00:00.000Z"},
                  {"time_end", "2026-12-09T10:01:00.000Z"},
                  {"port", "COM3"},
                  {"board", 1},
                  {"unit", "A-1"},
                  {"result", "failed"},
                  {"fields", c.fields}});
    ProductionRun run;
    std::string why;
    ASSERT_TRUE(run.Prepare(Settings(true), images_, &why)) << why;
    const Board board = Run(run, "A-1", "ok");
    EXPECT_EQ(board.reserved, ValueSource::Reserved::kFailed);
    EXPECT_EQ(board.why,
              std::string("unit \"A-1\": its record r1 cannot be written again: ") + c.said);
    EXPECT_EQ(Text("serial.state"), serial_state);
  }
}

// Without records nothing is known of a unit: a rework bench is refused
// before any board, and a scanned board on a production station fails.
TEST_F(ReworkTest, AUnitNeedsTheRecordsFile) {
  RunSettings settings = Settings(true);
  settings.records_path.reset();
  ProductionRun bench;
  std::string why;
  EXPECT_FALSE(bench.Prepare(settings, images_, &why));
  EXPECT_EQ(why,
            "rework = true needs records = \"FILE.jsonl\": a station without the line's database "
            "finds a unit's earlier boards there");
  settings.rework = false;
  ProductionRun run;
  ASSERT_TRUE(run.Prepare(settings, images_, &why)) << why;
  BoardSession session(run, "COM3", "/dev/ttyUSB0");
  session.SetUnit("A-1");
  EXPECT_EQ(session.Reserve(&why), ValueSource::Reserved::kFailed);
  EXPECT_EQ(why,
            "unit \"A-1\": no records file to find its earlier boards in (the profile needs "
            "records = \"FILE.jsonl\")");
  EXPECT_FALSE(fs::exists(File("serial.state")));
}

}  // namespace
}  // namespace quelmar::production
