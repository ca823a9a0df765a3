// Boards scanned as a unit on a station without the line: the records file
// is their history. A unit written OK comes back to a production station,
// to the rework bench, after its boards all failed, or with values another
// unit holds; the state files must not move for a board given its own
// values again, and a second run must know what the first one wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
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

// A scan field is the unit itself: a new unit's board and the unit back on
// the rework bench both hold it, though the earlier record has none of it
// (the field came later) or another value (the record was edited); a unit
// the field cannot hold fails before anything is drawn or looked up.
TEST_F(ReworkTest, AScanFieldHoldsTheUnitOnEveryBoardOfIt) {
  RunSettings settings = Settings(true);
  FieldDef tag;
  tag.name = "tag";
  tag.where = {Place::kBankA, 0x1020};
  tag.format = Format::kText;
  tag.size = 10;
  tag.from_scan = true;
  settings.fields.push_back(tag);
  // A run started afresh reads the records again.
  std::optional<ProductionRun> run;
  std::string why;
  run.emplace();
  ASSERT_TRUE(run->Prepare(settings, images_, &why)) << why;
  const auto tag_bytes = [&](const BoardSession& session) {
    std::string text;
    const image::ImageStore& images = session.Images();
    for (uint32_t k = 0; k < 10; ++k)
      text += static_cast<char>(images.DecodeCodeByte(images.CodeImage().data()[0x1020 + k]));
    return text;
  };
  struct Case {
    const char* name;
    std::string unit;
    std::function<void(json*)> edit;  // applied to the unit's newest record first, if any
    bool ok;
    std::string why;
  };
  const Case cases[] = {
      {"a new unit", "PCB-0042", nullptr, true, ""},
      {"back on the rework bench", "PCB-0042", nullptr, true, ""},
      {"its record without the field", "PCB-0042", [](json* r) { (*r)["fields"].erase("tag"); },
       true, ""},
      {"its record with another value", "PCB-0042", [](json* r) { (*r)["fields"]["tag"] = "X"; },
       true, ""},
      {"too long for it", "PCB-0042-LONG", nullptr, false,
       "unit \"PCB-0042-LONG\" (13 bytes) is longer than field 'tag''s size, 10: the board is "
       "not written"},
  };
  std::optional<json> first;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.edit) {
      json record = Records().back();
      c.edit(&record);
      record["id"] = NewBoardId();
      AppendRecord(record);
      run.emplace();
      ASSERT_TRUE(run->Prepare(settings, images_, &why)) << why;
    }
    const std::string serial_state = Text("serial.state");
    BoardSession session(*run, "COM3", "/dev/ttyUSB0");
    session.SetUnit(c.unit);
    const auto reserved = session.Reserve(&why);
    if (!c.ok) {
      EXPECT_EQ(reserved, ValueSource::Reserved::kFailed);
      EXPECT_EQ(why, c.why);
      EXPECT_EQ(Text("serial.state"), serial_state);
      EXPECT_TRUE(session.FieldTexts().empty());
      continue;
    }
    ASSERT_EQ(reserved, ValueSource::Reserved::kOk) << why;
    EXPECT_EQ(tag_bytes(session), c.unit + std::string(10 - c.unit.size(), '\0'));
    std::string ignored;
    ASSERT_TRUE(session.Finish("ok", std::nullopt, "", &ignored)) << ignored;
    const json last = Records().back();
    EXPECT_EQ(last["fields"]["tag"], c.unit);
    if (!first) {
      first = last;
      EXPECT_FALSE(last.contains("rework_of"));
      continue;
    }
    // Given again: the serial too, and nothing drawn.
    EXPECT_EQ(last["fields"]["serial"], (*first)["fields"]["serial"]);
    EXPECT_TRUE(last.contains("rework_of"));
    EXPECT_EQ(Text("serial.state"), serial_state);
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

// Two stations' processes append to one records file, each started before
// the other's boards: the unit's boards of the other one count as its own.
TEST_F(ReworkTest, AnotherStationsBoardsOnTheSharedRecordsFileCount) {
  struct Step {
    int station;
    const char* unit;
    const char* result;
  };
  struct Case {
    const char* name;
    std::vector<Step> before;  // then station 1's board of PCB-0042
    bool rework;
    bool refused;
    size_t again;  // the earlier board whose values it gets
  };
  const Case cases[] = {
      {"written OK there, on a production station", {{0, "PCB-0042", "ok"}}, false, true, 0},
      {"written OK there, on the rework bench", {{0, "PCB-0042", "ok"}}, true, false, 0},
      {"failed there", {{0, "PCB-0042", "failed"}, {0, "PCB-0099", "ok"}}, false, false, 0},
      // Its own failed board, then the other station's: the newest is that one.
      {"failed here, then there",
       {{1, "PCB-0042", "failed"}, {0, "PCB-0042", "failed"}},
       false,
       false,
       1},
      {"failed there, then written OK here",
       {{0, "PCB-0042", "failed"}, {1, "PCB-0042", "ok"}},
       false,
       true,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    std::string why;
    ProductionRun stations[2];
    ASSERT_TRUE(stations[0].Prepare(Settings(true), images_, &why)) << why;
    ASSERT_TRUE(stations[1].Prepare(Settings(c.rework), images_, &why)) << why;
    for (const Step& step : c.before) Run(stations[step.station], step.unit, step.result);
    const auto before = Records();
    const Board board = Run(stations[1], "PCB-0042", "ok");
    const auto records = Records();
    ASSERT_EQ(records.size(), before.size() + 1);
    const json& earlier = before[c.again];
    if (c.refused) {
      EXPECT_EQ(board.reserved, ValueSource::Reserved::kFailed);
      EXPECT_NE(board.why.find("(record " + earlier["id"].get<std::string>() +
                               "): not written again on a production station"),
                std::string::npos)
          << board.why;
      continue;
    }
    ASSERT_EQ(board.reserved, ValueSource::Reserved::kOk) << board.why;
    EXPECT_EQ(records.back()["rework_of"], earlier["id"]);
    EXPECT_EQ(records.back()["fields"], earlier["fields"]);
    EXPECT_EQ(board.written, earlier["fields"]["serial"].get<uint32_t>());
  }
}

// Two processes on one records file given one unit at the same moment: the
// second is refused while the first writes it, then sees its record; a
// board that ends without a record lets the unit go.
TEST_F(ReworkTest, AUnitInProgressOnTheSharedRecordsFileIsNotWrittenTwice) {
  std::string why;
  ProductionRun stations[2];
  ASSERT_TRUE(stations[0].Prepare(Settings(false), images_, &why)) << why;
  ASSERT_TRUE(stations[1].Prepare(Settings(false), images_, &why)) << why;
  const std::string busy = "\"PCB-0007\" is being written by another process on the records file '" +
                           File("records.jsonl") + "' now: not written twice at once";
  {
    BoardSession left(stations[0], "COM3", "/dev/ttyUSB0");
    left.SetUnit("PCB-0007");
    ASSERT_EQ(left.Reserve(&why), ValueSource::Reserved::kOk) << why;
    const Board refused = Run(stations[1], "PCB-0007", "ok");
    EXPECT_EQ(refused.reserved, ValueSource::Reserved::kFailed);
    EXPECT_NE(refused.why.find(busy), std::string::npos) << refused.why;
  }  // ended without a record
  BoardSession first(stations[0], "COM3", "/dev/ttyUSB0");
  first.SetUnit("PCB-0007");
  ASSERT_EQ(first.Reserve(&why), ValueSource::Reserved::kOk) << why;
  EXPECT_EQ(Run(stations[1], "PCB-0007", "ok").reserved, ValueSource::Reserved::kFailed);
  ASSERT_TRUE(first.Finish("ok", std::nullopt, "", &why)) << why;
  const Board again = Run(stations[1], "PCB-0007", "ok");
  EXPECT_EQ(again.reserved, ValueSource::Reserved::kFailed);
  EXPECT_NE(again.why.find("not written again on a production station"), std::string::npos)
      << again.why;
  EXPECT_EQ(Run(stations[1], "PCB-0008", "ok").reserved, ValueSource::Reserved::kOk);
}

// A records file edited by hand, its last record without its line end:
// that record counts.
TEST_F(ReworkTest, ALastRecordWithoutItsLineEndCounts) {
  std::string why;
  {
    ProductionRun first;
    ASSERT_TRUE(first.Prepare(Settings(true), images_, &why)) << why;
    Run(first, "PCB-0001", "ok");
  }
  std::string text = Text("records.jsonl");
  ASSERT_EQ(text.back(), '\n');
  text.pop_back();
  std::ofstream(File("records.jsonl"), std::ios::binary | std::ios::trunc) << text;
  ProductionRun station;
  ASSERT_TRUE(station.Prepare(Settings(false), images_, &why)) << why;
  EXPECT_EQ(Run(station, "PCB-0001", "ok").reserved, ValueSource::Reserved::kFailed);
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
