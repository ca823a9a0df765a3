// The station without its front end: slots made from names and globs, each
// slot's presence asked of the port system its runner opens ports with
// (the one that holds a network port's connection), and a glob's port that
// is already a slot under another name.
#include "station/station.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quelmar::station {
namespace {

// Ports the test scripts: which names resolve to what, which are listed,
// and what each port system says of a port's presence. No board ever
// answers: every open fails, so the slots only wait.
struct Bench {
  std::mutex mutex;
  std::map<std::string, link::PortId> names;  // what ResolvePort gives
  std::vector<link::PortEntry> listed;
  std::map<std::string, bool> present;  // by device; missing: absent
  std::atomic<int> systems{0};          // port systems made
  std::atomic<int> presence_asked{0};   // PortPresent calls, all systems
};

class BenchPorts final : public link::PortSystem {
 public:
  explicit BenchPorts(Bench& bench) : bench_(bench) { ++bench_.systems; }
  std::vector<link::PortEntry> EnumeratePorts() override {
    std::lock_guard lock(bench_.mutex);
    return bench_.listed;
  }
  link::OpenResult OpenPort(const link::PortId&) override {
    return {nullptr, link::OpenError::kNotFound, {}};
  }
  std::optional<link::PortId> ResolvePort(std::string_view text) override {
    std::lock_guard lock(bench_.mutex);
    const auto found = bench_.names.find(std::string(text));
    if (found == bench_.names.end()) return std::nullopt;
    return found->second;
  }
  bool PortPresent(const link::PortId& id) override {
    ++bench_.presence_asked;
    std::lock_guard lock(bench_.mutex);
    const auto found = bench_.present.find(id.device);
    return found != bench_.present.end() && found->second;
  }

 private:
  Bench& bench_;
};

class NotedView final : public StationView {
 public:
  void Show(const StationSnapshot&) override {}
  void Note(const std::string& line) override { notes.push_back(line); }
  std::vector<std::string> notes;
};

class StationTest : public ::testing::Test {
 protected:
  std::unique_ptr<Station> Make(std::vector<std::string> entries) {
    StationSeams seams;
    seams.make_ports = [this] { return std::make_unique<BenchPorts>(bench_); };
    BoardJob job;
    job.reboot = true;
    return std::make_unique<Station>(state_, job, images_, std::move(entries), seams);
  }
  void SetPresent(const std::string& device, bool present) {
    std::lock_guard lock(bench_.mutex);
    bench_.present[device] = present;
  }
  std::string Phase(size_t slot) const { return PhaseWord(state_.Snapshot().slots.at(slot).phase); }

  Bench bench_;
  StationState state_;
  Log log_;
  image::ImageStore images_{log_};
  NotedView view_;
};

TEST_F(StationTest, ASlotShowsWhatItsPortBackendSaysAndKeepsItsResultWhileThere) {
  bench_.names["rfc2217://host:2000"] = {0, "rfc2217://host:2000"};
  auto station = Make({"rfc2217://host:2000"});
  SetPresent("rfc2217://host:2000", true);
  station->Scan(view_);
  ASSERT_EQ(station->SlotCount(), 1u);
  // The station's own port system names ports; each slot's runner makes
  // its own, which is the one asked (it holds the slot's connection).
  EXPECT_EQ(bench_.systems.load(), 2);

  const struct {
    const char* what;
    void (*act)(StationState&);
    bool present;
    const char* phase;
    const char* failure;
  } steps[] = {
      {"there, no board yet", [](StationState&) {}, true, "waiting", ""},
      {"a board written", [](StationState& s) { s.FinishBoard(0, true, "", "log\n"); }, true, "ok",
       ""},
      {"still there after it", [](StationState&) {}, true, "ok", ""},
      {"a board failed", [](StationState& s) { s.FinishBoard(0, false, "Erase failed", "x\n"); },
       true, "failed", "Erase failed"},
      {"still there after it", [](StationState&) {}, true, "failed", "Erase failed"},
      {"the server went away", [](StationState&) {}, false, "gone", "Erase failed"},
      {"back", [](StationState&) {}, true, "waiting", "Erase failed"},
      {"a board being identified", [](StationState& s) { s.SetPhase(0, SlotPhase::kIdentifying); },
       false, "identifying", ""},
  };
  for (const auto& step : steps) {
    step.act(state_);
    SetPresent("rfc2217://host:2000", step.present);
    const int asked = bench_.presence_asked.load();
    station->Scan(view_);
    EXPECT_GT(bench_.presence_asked.load(), asked) << step.what;
    EXPECT_EQ(Phase(0), step.phase) << step.what;
    EXPECT_EQ(state_.Snapshot().slots[0].failure, step.failure) << step.what;
  }
  station->Stop();
}

TEST_F(StationTest, AGlobsPortThatIsASlotUnderAnotherNameGetsNoSlot) {
  // COM71 is a link to the terminal the profile names by path.
  bench_.names["/dev/pts/5"] = {71, "/dev/pts/5"};
  bench_.names["COM71"] = {71, "/dev/pts/5"};
  bench_.names["COM72"] = {72, "/dev/pts/6"};
  auto station = Make({"/dev/pts/5", "COM7?"});
  station->Scan(view_);
  EXPECT_EQ(station->SlotCount(), 1u);
  {
    std::lock_guard lock(bench_.mutex);
    bench_.listed = {{71, "/dev/pts/5"}, {72, "/dev/pts/6"}};
  }
  for (int scan = 0; scan < 3; ++scan) station->Scan(view_);
  const auto slots = state_.Snapshot().slots;
  ASSERT_EQ(slots.size(), 2u);
  EXPECT_EQ(slots[0].port, "/dev/pts/5");
  EXPECT_EQ(slots[1].port, "COM72");
  EXPECT_EQ(view_.notes, (std::vector<std::string>{
                             "'COM71' and '/dev/pts/5' are the same port: 'COM71' gets no slot."}))
      << "said once, however often the glob finds it";
  station->Stop();
}

TEST_F(StationTest, PauseResumeAndStopShowInTheState) {
  auto station = Make({});
  const struct {
    void (Station::*act)();
    RunState run;
  } steps[] = {
      {&Station::Pause, RunState::kPaused},
      {&Station::Resume, RunState::kRunning},
      {&Station::Stop, RunState::kStopping},
      // Nothing takes a stopping station back.
      {&Station::Resume, RunState::kStopping},
      {&Station::Pause, RunState::kStopping},
  };
  for (const auto& step : steps) {
    ((*station).*step.act)();
    EXPECT_EQ(state_.Run(), step.run);
  }
  const StationSnapshot last = station->Run(view_);
  EXPECT_EQ(last.run, RunState::kStopped);
}

}  // namespace
}  // namespace quelmar::station
