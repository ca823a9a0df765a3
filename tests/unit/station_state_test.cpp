// The station's state: what the slots and totals show after each kind of
// change, the bounds on what is kept, and the JSON the page reads.
#include "station/station_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/fake_clock.h"

namespace quelmar::station {
namespace {

using namespace std::chrono_literals;

TEST(StationStateTest, SlotGoesThroughABoardsLife) {
  testing::FakeClock clock;
  StationState state(clock);
  const size_t a = state.AddSlot("/dev/ttyUSB0");
  const size_t b = state.AddSlot("/dev/ttyUSB1");
  ASSERT_EQ(state.FindSlot("/dev/ttyUSB1"), b);
  EXPECT_FALSE(state.FindSlot("/dev/ttyUSB2").has_value());

  struct Step {
    const char* what;
    void (*act)(StationState&, size_t);
    const char* phase;
    int percent;
    unsigned boards;
    const char* failure;
    size_t fields;
    bool last_ok;
  };
  const Step steps[] = {
      {"new", [](StationState&, size_t) {}, "waiting", 0, 0, "", 0, false},
      {"identifying", [](StationState& s, size_t i) { s.SetPhase(i, SlotPhase::kIdentifying); },
       "identifying", 0, 0, "", 0, false},
      {"fields",
       [](StationState& s, size_t i) {
         s.SetFields(i, {{"serial", "7"}, {"mac", "02:00"}});
       },
       "identifying", 0, 0, "", 2, false},
      {"progress", [](StationState& s, size_t i) { s.SetProgress(i, 37); }, "writing", 37, 0, "", 2,
       false},
      {"progress past the end", [](StationState& s, size_t i) { s.SetProgress(i, 140); }, "writing",
       100, 0, "", 2, false},
      {"failed", [](StationState& s, size_t i) { s.FinishBoard(i, false, "Erase failed", "l1\n"); },
       "failed", 100, 1, "Erase failed", 2, false},
      {"gone", [](StationState& s, size_t i) { s.SetPhase(i, SlotPhase::kGone); }, "gone", 100, 1,
       "Erase failed", 2, false},
      // A new board clears the last one's failure, percentage and fields.
      {"next board", [](StationState& s, size_t i) { s.SetPhase(i, SlotPhase::kIdentifying); },
       "identifying", 0, 1, "", 0, false},
      {"ok", [](StationState& s, size_t i) { s.FinishBoard(i, true, "ignored", "l2\n"); }, "ok",
       100, 2, "", 0, true},
      // The result outlives the board: gone after an OK board still says OK.
      {"gone after ok", [](StationState& s, size_t i) { s.SetPhase(i, SlotPhase::kGone); }, "gone",
       100, 2, "", 0, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    const uint64_t before = state.Version();
    step.act(state, a);
    const StationSnapshot s = state.Snapshot();
    if (std::string(step.what) != "new") {
      EXPECT_GT(s.version, before);
    }
    EXPECT_STREQ(PhaseWord(s.slots[a].phase), step.phase);
    EXPECT_EQ(s.slots[a].percent, step.percent);
    EXPECT_EQ(s.slots[a].boards, step.boards);
    EXPECT_EQ(s.slots[a].failure, step.failure);
    EXPECT_EQ(s.slots[a].fields.size(), step.fields);
    EXPECT_EQ(s.slots[a].last_ok, step.last_ok);
    // The other slot never moves.
    EXPECT_EQ(s.slots[b].phase, SlotPhase::kWaiting);
    EXPECT_EQ(s.slots[b].boards, 0u);
  }
  const StationSnapshot s = state.Snapshot();
  EXPECT_EQ(s.ok, 1u);
  EXPECT_EQ(s.failed, 1u);
  const auto logs = state.SlotLogs(a);
  ASSERT_EQ(logs.size(), 2u);
  EXPECT_EQ(logs[0].number, 1u);
  EXPECT_FALSE(logs[0].ok);
  EXPECT_EQ(logs[0].log, "l1\n");
  EXPECT_EQ(logs[1].log, "l2\n");
  EXPECT_TRUE(state.SlotLogs(99).empty());
}

// Labels end on threads of their own, in any order against the slot's
// next boards: the tile says the newest label not printed until a later
// board's label is.
TEST(StationStateTest, ALabelNotPrintedStaysUntilALaterOneIsPrinted) {
  struct Event {
    unsigned board;
    bool printed;
    const char* why;
    const char* shown;  // the tile's label_failure after it
    unsigned shown_board;
  };
  const std::vector<std::vector<Event>> cases = {
      {{1, false, "connection refused", "connection refused", 1}, {2, true, "", "", 2}},
      // Board 1's label prints late, after board 2's failed: board 2's stays.
      {{2, false, "timed out", "timed out", 2}, {1, true, "", "timed out", 2}},
      // Board 1's failure comes after board 2's: the newer one is kept.
      {{2, false, "timed out", "timed out", 2}, {1, false, "refused", "timed out", 2}},
      {{1, false, "", "no reason given", 1}},
  };
  for (const auto& events : cases) {
    StationState state;
    const size_t slot = state.AddSlot("COM3");
    unsigned failed = 0;
    for (const Event& e : events) {
      const uint64_t before = state.Version();
      state.SetLabel(slot, e.board, e.printed, e.why);
      failed += e.printed ? 0 : 1;
      const SlotSnapshot s = state.Snapshot().slots[0];
      SCOPED_TRACE(std::to_string(e.board) + (e.printed ? " printed" : " not printed"));
      EXPECT_EQ(s.label_failure, e.shown);
      EXPECT_EQ(s.label_board, e.shown_board);
      // Every failure counts, so the terminal says each one.
      EXPECT_EQ(s.labels_failed, failed);
      if (!e.printed) {
        EXPECT_GT(state.Version(), before);
      }
    }
    const std::string json = SnapshotJson(state.Snapshot());
    EXPECT_NE(json.find("\"label_failure\":\"" + std::string(events.back().shown) + "\""),
              std::string::npos)
        << json;
  }
}

// A record lost after the label fails its board in the totals; the tile
// says so only while it still shows that board.
TEST(StationStateTest, ABoardWhoseRecordWasLostAfterItsLabelCountsFailed) {
  StationState state;
  const size_t slot = state.AddSlot("COM3");
  state.FinishBoard(slot, true, "", "log 1");
  state.FinishBoard(slot, true, "", "log 2");
  state.UnfileBoard(slot, 1, "cannot write the record: disk full");
  StationSnapshot s = state.Snapshot();
  EXPECT_EQ(s.ok, 1u);
  EXPECT_EQ(s.failed, 1u);
  EXPECT_LE(s.first_pass, s.ok);
  EXPECT_EQ(s.slots[0].phase, SlotPhase::kOk) << "the tile shows board 2, which is OK";
  state.UnfileBoard(slot, 2, "cannot write the record: disk full");
  s = state.Snapshot();
  EXPECT_EQ(s.ok, 0u);
  EXPECT_EQ(s.failed, 2u);
  EXPECT_EQ(s.first_pass, 0u);
  EXPECT_EQ(s.slots[0].phase, SlotPhase::kFailed);
  EXPECT_EQ(s.slots[0].failure, "cannot write the record: disk full");
}

TEST(StationStateTest, UnchangedValuesDoNotWakeReaders) {
  StationState state;
  const size_t slot = state.AddSlot("p");
  state.SetProgress(slot, 5);
  const uint64_t v = state.Version();
  state.SetProgress(slot, 5);
  state.SetPhase(slot, SlotPhase::kWriting);
  state.SetRunState(RunState::kRunning);
  state.SetPhase(7, SlotPhase::kOk);  // no such slot
  state.FinishBoard(7, true, "", "");
  state.SetJob(std::nullopt);
  EXPECT_EQ(state.Version(), v);
  state.SetProgress(slot, 6);
  EXPECT_EQ(state.Version(), v + 1);
  const JobShown job{"widget", 2, std::string(64, 'a'), "made"};
  state.SetJob(job);
  state.SetJob(job);
  EXPECT_EQ(state.Version(), v + 2);
}

TEST(StationStateTest, KeptLogsAreBounded) {
  StationState state;
  const size_t slot = state.AddSlot("p");
  for (unsigned i = 1; i <= StationState::kLogsPerSlot + 3; ++i)
    state.FinishBoard(slot, true, "", "board " + std::to_string(i));
  auto logs = state.SlotLogs(slot);
  ASSERT_EQ(logs.size(), StationState::kLogsPerSlot);
  EXPECT_EQ(logs.front().number, 4u);
  EXPECT_EQ(logs.back().log, "board " + std::to_string(StationState::kLogsPerSlot + 3));

  // A huge log keeps its end, where the failure is.
  std::string huge(StationState::kMaxLogBytes * 3, 'x');
  huge += "Write failed at block 9\n";
  state.FinishBoard(slot, false, "Write failed at block 9", huge);
  logs = state.SlotLogs(slot);
  EXPECT_EQ(logs.back().log.size(), StationState::kMaxLogBytes);
  EXPECT_TRUE(logs.back().log.ends_with("Write failed at block 9\n"));
}

TEST(StationStateTest, LastHourCountsOnlyTheLastHour) {
  testing::FakeClock clock;
  StationState state(clock);
  const size_t slot = state.AddSlot("p");
  struct Step {
    std::chrono::minutes advance;
    int boards;
    unsigned last_hour;
  };
  const Step steps[] = {
      {0min, 3, 3},   // t=0: 3
      {30min, 2, 5},  // t=30: 5
      {29min, 0, 5},  // t=59: all still inside
      {1min, 0, 2},   // t=60: the first three drop out
      {31min, 1, 1},  // t=91: the t=30 pair out, one new
  };
  for (const Step& step : steps) {
    clock.Advance(step.advance);
    for (int i = 0; i < step.boards; ++i) state.FinishBoard(slot, true, "", "");
    EXPECT_EQ(state.Snapshot().last_hour, step.last_hour) << clock.Elapsed().count();
  }
  EXPECT_EQ(state.Snapshot().ok, 6u);
  EXPECT_DOUBLE_EQ(state.Snapshot().uptime_s, 91 * 60.0);
}

TEST(StationStateTest, JsonCarriesTextAsTextWhateverItHolds) {
  StationState state;
  const std::string xss = "<img src=x onerror=alert(1)>.elf";
  state.SetHeader("line \"3\"", "1.0.0+g1", {{xss, "0123abcd"}});
  const size_t slot = state.AddSlot("COM\xff\xfe");  // not UTF-8
  state.SetFields(slot, {{"label", "a\nb\\c"}});
  state.FinishBoard(slot, false, "fail </script>", "log \x01");
  state.FinishBoard(slot, true, "", "");
  const auto j = nlohmann::json::parse(SnapshotJson(state.Snapshot()));
  EXPECT_EQ(j["profile"], "line \"3\"");
  EXPECT_EQ(j["images"][0]["file"], xss);
  EXPECT_EQ(j["images"][0]["sha256"], "0123abcd");
  EXPECT_EQ(j["slots"][0]["port"], "COM\xef\xbf\xbd\xef\xbf\xbd");  // replaced, not thrown
  EXPECT_EQ(j["slots"][0]["fields"][0][1], "a\nb\\c");
  EXPECT_EQ(j["slots"][0]["state"], "ok");
  EXPECT_EQ(j["ok"], 1);
  EXPECT_EQ(j["failed"], 1);
  EXPECT_DOUBLE_EQ(j["yield"].get<double>(), 50.0);
  EXPECT_EQ(j["run"], "running");
  EXPECT_TRUE(j["job"].is_null());
  state.SetJob(JobShown{"widget", 12, std::string(64, 'f'), "retired"});
  EXPECT_EQ(nlohmann::json::parse(SnapshotJson(state.Snapshot()))["job"],
            nlohmann::json({{"name", "widget"},
                            {"version", 12},
                            {"sha256", std::string(64, 'f')},
                            {"state", "retired"}}));
  const auto logs = nlohmann::json::parse(SlotLogsJson("COM1", state.SlotLogs(slot)));
  EXPECT_EQ(logs["boards"][0]["log"], "log \x01");
  EXPECT_EQ(logs["boards"][0]["ok"], false);
  EXPECT_TRUE(nlohmann::json::parse(SnapshotJson(StationSnapshot{}))["yield"].is_null());
}

TEST(StationStateTest, WaitForChangeWakesOnAWriteAndGivesUpOnTime) {
  StationState state;
  const uint64_t v = state.Version();
  EXPECT_EQ(state.WaitForChange(v, 1ms), v);
  std::thread writer([&] { state.AddSlot("late"); });
  // Bounded: a lost wake-up shows as the 10 s limit passing with v.
  const uint64_t now = state.WaitForChange(v, 10s);
  writer.join();
  EXPECT_NE(now, v) << "gave up waiting for the slot to be added";
}

TEST(StationStateTest, ManyWritersAndAReaderAgreeOnTheTotals) {
  StationState state;
  constexpr int kSlots = 8, kBoards = 200;
  for (int i = 0; i < kSlots; ++i) state.AddSlot("p" + std::to_string(i));
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    unsigned last = 0;
    while (!stop) {
      const auto s = state.Snapshot();
      EXPECT_GE(s.ok + s.failed, last);  // totals never go back
      last = s.ok + s.failed;
    }
  });
  std::vector<std::thread> writers;
  for (int i = 0; i < kSlots; ++i) {
    writers.emplace_back([&, i] {
      for (int b = 0; b < kBoards; ++b) {
        state.SetPhase(static_cast<size_t>(i), SlotPhase::kIdentifying);
        state.SetProgress(static_cast<size_t>(i), b % 100);
        state.FinishBoard(static_cast<size_t>(i), b % 10 != 0, "f", "log");
      }
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  reader.join();
  const auto s = state.Snapshot();
  EXPECT_EQ(s.ok, unsigned(kSlots * kBoards * 9 / 10));
  EXPECT_EQ(s.failed, unsigned(kSlots * kBoards / 10));
  for (const auto& slot : s.slots) EXPECT_EQ(slot.boards, unsigned(kBoards));
}

}  // namespace
}  // namespace quelmar::station

namespace quelmar::station {
namespace {

// Boards in a row on one slot, some tried again: what the tile shows while
// a board is retried, and the first-pass count and yield beside the yield.
TEST(StationStateTest, ARetriedBoardShowsRetryAndIsNoFirstPass) {
  struct Board {
    unsigned retries_used;  // 0: written at its first attempt
    bool ok;
  };
  struct Case {
    const char* what;
    std::vector<Board> boards;
    unsigned first_pass;
    double first_pass_yield;
  };
  const Case cases[] = {
      {"all first time", {{0, true}, {0, true}}, 2, 100.0},
      {"one ok after a retry", {{0, true}, {1, true}, {0, true}, {0, false}}, 2, 50.0},
      {"retried and still failed", {{2, false}, {0, true}}, 1, 50.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StationState state;
    const size_t slot = state.AddSlot("COM3");
    for (const Board& b : c.boards) {
      state.SetPhase(slot, SlotPhase::kIdentifying);
      state.SetProgress(slot, 40);
      for (unsigned r = 1; r <= b.retries_used; ++r) {
        state.SetRetry(slot, r, 2);
        state.SetProgress(slot, 30);
        // A retry in progress stays a retry, with its step's percent.
        const auto j = nlohmann::json::parse(SnapshotJson(state.Snapshot()));
        EXPECT_EQ(j["slots"][0]["state"], "retry");
        EXPECT_EQ(j["slots"][0]["retry"], r);
        EXPECT_EQ(j["slots"][0]["retries"], 2);
        EXPECT_EQ(j["slots"][0]["percent"], 30);
        // The port unplugged meanwhile does not hide the board being written.
        state.MarkPresence(slot, false);
        EXPECT_EQ(state.Snapshot().slots[0].phase, SlotPhase::kRetrying);
        state.MarkPresence(slot, true);
      }
      state.FinishBoard(slot, b.ok, b.ok ? "" : "Incorrect CRC. i = 5", "log\n");
    }
    const auto j = nlohmann::json::parse(SnapshotJson(state.Snapshot()));
    EXPECT_EQ(j["first_pass"], c.first_pass);
    EXPECT_DOUBLE_EQ(j["first_pass_yield"].get<double>(), c.first_pass_yield);
    EXPECT_EQ(j["slots"][0]["retry"], 0) << "the next board starts at its first attempt";
  }
  // No board yet: no yield of either kind.
  StationState none;
  const auto j = nlohmann::json::parse(SnapshotJson(none.Snapshot()));
  EXPECT_TRUE(j["first_pass_yield"].is_null());
}

}  // namespace
}  // namespace quelmar::station
