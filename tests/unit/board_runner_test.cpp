// The board runner as quelmar-cli drives it (several boards, --auto), on
// simulated lines under a fake clock: how many boards a count lets through,
// what a record that cannot be written or a value that cannot be reserved
// does to a board, how soon a dead line is let go, and a COM<n> link
// pointed at another device.
#include "station/board_runner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "boards.h"
#include "cli.h"
#include "image/image_writer.h"
#include "link/protocol.h"
#include "production/records_view.h"
#include "production/run.h"
#include "records.h"
#include "support/fake_clock.h"
#include "support/file_contents.h"
#include "support/temp_dir.h"

namespace quelmar::cli {
namespace {

using quelmar::testing::Contents;
using quelmar::testing::FakeClock;
using station::AutoTally;
using station::BoardJob;
using station::BoardObserver;
using station::BoardRunner;
using station::RunnerSeams;
using namespace std::chrono_literals;

// Bounds the real time a test waits for the runner, so that a runner that
// never ends fails the test instead of hanging it.
constexpr auto kRunBound = 20s;

// One port of the bench and the boards that will be plugged into it, one
// after another. Touched only by its port's worker thread while a run
// goes, and by the test after it.
struct Slot {
  int boards = 0;  // boards still to come, the one present included
  bool present = false;
  // false: the bootloader answers again after a reboot, and the board
  // leaves by its adapter being unplugged 300 ms after the next answer.
  bool leaves_on_reboot = true;
  bool gone_after_reboot = false;  // the next question goes unanswered
  // The board refuses the code erase, and leaves as after a reboot.
  bool leaves_on_refused_erase = false;
  int answers = 0;  // bootloader questions answered
  int reboots = 0;  // boards written (confirmed reboots)
  int erases = 0;   // code erase requests: a board about to be written
  std::optional<Clock::TimePoint> hangup_at;
  // For each hang-up: when it happened and when the line was closed.
  std::vector<std::pair<Clock::TimePoint, Clock::TimePoint>> releases;
};

// Everything the simulated lines share: the clock, the slots by COM
// number, and a gate that holds the boards' identification until enough
// ports have found a board.
struct Bench {
  FakeClock clock;
  std::map<int, Slot> slots;

  std::mutex mutex;
  std::condition_variable changed;
  int boards_found = 0;  // first answers of a board, over all ports
  int gate = 0;          // chip info waits until boards_found reaches it
  bool gate_timed_out = false;
  // COM<n> links pointed elsewhere: the slot a number leads to, when not
  // its own; and how often each slot was opened.
  std::map<int, int> links;
  std::map<int, int> opens;

  int SlotOf(int number) {
    std::lock_guard lock(mutex);
    const auto link = links.find(number);
    return link == links.end() ? number : link->second;
  }
  void Opened(int slot) {
    std::lock_guard lock(mutex);
    ++opens[slot];
    changed.notify_all();
  }
  bool WaitForOpen(int slot) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return opens[slot] > 0; });
  }
  void PointLink(int number, int slot) {
    std::lock_guard lock(mutex);
    links[number] = slot;
  }

  void BoardFound() {
    std::lock_guard lock(mutex);
    ++boards_found;
    changed.notify_all();
  }
  void WaitAtGate() {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, 10s, [&] { return boards_found >= gate; })) gate_timed_out = true;
  }
};

class BenchPort final : public link::SerialPort {
 public:
  BenchPort(Bench& bench, Slot& slot) : bench_(bench), slot_(slot) {}
  ~BenchPort() override {
    if (slot_.hangup_at) {
      slot_.releases.emplace_back(*slot_.hangup_at, bench_.clock.Now());
      slot_.hangup_at.reset();
      // The unplugged adapter took its board along; the next one is
      // plugged in with a fresh adapter.
      slot_.present = false;
      if (slot_.boards > 0) slot_.present = true;
    }
  }

  bool GetCommState() override { return true; }
  bool SetCommState() override { return true; }
  bool SetCommTimeouts(const link::ReadTimeouts& t) override {
    timeouts_ = t;
    return true;
  }
  bool Purge(uint32_t mask) override {
    if (HungUp()) return false;
    if (mask & link::PURGE_RXCLEAR) reply_.clear();
    return true;
  }
  bool Write(const uint8_t* data, uint32_t n, uint32_t* written) override {
    *written = 0;
    if (HungUp()) return false;
    *written = n;
    if (n == 4 && data[0] == link::REQUEST_START) Answer(data[2]);
    return true;
  }
  uint32_t Read(uint8_t* buffer, uint32_t n) override {
    uint32_t count = 0;
    while (count < n && !reply_.empty()) {
      buffer[count++] = reply_.front();
      reply_.pop_front();
    }
    if (count < n && !HungUp())
      bench_.clock.Advance(
          std::chrono::milliseconds(timeouts_.per_byte_ms * n + timeouts_.constant_ms));
    return count;
  }
  bool HungUp() const override { return slot_.hangup_at && bench_.clock.Now() >= *slot_.hangup_at; }

 private:
  void Answer(uint8_t command) {
    if (slot_.gone_after_reboot) {
      // The board left after its reboot; the next one is plugged in.
      slot_.gone_after_reboot = false;
      slot_.present = slot_.boards > 0;
      return;
    }
    if (!slot_.present || slot_.hangup_at) return;
    switch (command) {
      case link::CMD_GET_BOOTLOADER_INFO:
        if (slot_.answers++ == 0) bench_.BoardFound();
        if (slot_.reboots > 0 && !slot_.leaves_on_reboot && after_reboot_) {
          slot_.hangup_at = bench_.clock.Now() + 300ms;
          after_reboot_ = false;
        }
        reply_ = {link::REPLY_START, 0x03, link::CMD_GET_BOOTLOADER_INFO, 2, 8, 0};
        break;
      case link::CMD_GET_CHIP_INFO: {
        bench_.WaitAtGate();
        std::vector<uint8_t> r(link::kChipReplySize, 0);
        r[0] = link::REPLY_START;
        r[1] = 0x21;
        r[2] = link::CMD_GET_CHIP_INFO;
        link::WriteLe32(&r[3], 0xA001C830);  // LPC4357
        reply_.assign(r.begin(), r.end());
        break;
      }
      case link::CMD_ERASE_CODE:
        ++slot_.erases;
        reply_ = {link::REPLY_START, 0xFF, 0xFF, link::ERR_WRITE_FAILED};
        if (slot_.leaves_on_refused_erase) {
          --slot_.boards;
          slot_.gone_after_reboot = true;
        }
        break;
      case link::CMD_REBOOT:
        reply_ = {link::REPLY_START, 0x01, 0x00, 0x00};
        ++slot_.reboots;
        --slot_.boards;
        if (slot_.leaves_on_reboot)
          slot_.gone_after_reboot = true;
        else
          after_reboot_ = true;
        break;
      default:
        break;
    }
  }

  Bench& bench_;
  Slot& slot_;
  link::ReadTimeouts timeouts_{};
  std::deque<uint8_t> reply_;
  bool after_reboot_ = false;
};

class BenchSystem final : public link::PortSystem {
 public:
  explicit BenchSystem(Bench& bench) : bench_(bench) {}
  std::vector<link::PortEntry> EnumeratePorts() override {
    std::vector<link::PortEntry> out;
    for (const auto& [number, slot] : bench_.slots)
      out.push_back({number, "/dev/bench" + std::to_string(number), false, true});
    return out;
  }
  // The number decides, looked up afresh, as the platform's ports do.
  link::OpenResult OpenPort(const link::PortId& id) override {
    const int slot = bench_.SlotOf(id.number);
    auto found = bench_.slots.find(slot);
    if (found == bench_.slots.end()) return {nullptr, link::OpenError::kNotFound, {}};
    bench_.Opened(slot);
    return {std::make_unique<BenchPort>(bench_, found->second), link::OpenError::kNone, {}};
  }
  std::optional<link::PortId> ResolvePort(std::string_view text) override {
    if (text.substr(0, 3) != "COM") return std::nullopt;
    const int number = std::stoi(std::string(text.substr(3)));
    const int slot = bench_.SlotOf(number);
    if (!bench_.slots.contains(slot)) return std::nullopt;
    return link::PortId{number, "/dev/bench" + std::to_string(slot)};
  }

 private:
  Bench& bench_;
};

// What a run printed and returned.
struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class BoardRunnerTest : public ::testing::Test {
 protected:
  // A board present on each port, to be written and leave on its reboot.
  void OneBoardOn(const std::vector<int>& ports) {
    for (int port : ports) {
      bench_.slots[port].boards = 1;
      bench_.slots[port].present = true;
    }
  }

  // Runs the job on the ports given (COM numbers of the bench), giving up
  // after kRunBound of real time.
  Outcome Run(const BoardJob& job, const std::vector<int>& ports, BoardObserver* observer = nullptr,
              const image::ImageStore* loaded = nullptr) {
    std::vector<link::PortId> ids;
    std::vector<std::string> labels;
    for (int n : ports) {
      ids.push_back({n, "/dev/bench" + std::to_string(n)});
      labels.push_back(ids.back().Label());
    }
    Outcome outcome;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    if (out == nullptr || err == nullptr) {
      ADD_FAILURE() << "no temporary file for stdout and stderr";
      return outcome;
    }
    {
      BoardConsole console(out, err, labels);
      Log log;
      image::ImageStore images(log);
      RunnerSeams seams{[this] { return std::make_unique<BenchSystem>(bench_); }, &bench_.clock,
                        observer};
      BoardRunner runner(job, loaded != nullptr ? *loaded : images, ids, console, seams);
      auto done = std::async(std::launch::async, [&] { return runner.Run([] { return false; }); });
      if (done.wait_for(kRunBound) != std::future_status::ready) {
        ADD_FAILURE() << "the run did not end within " << kRunBound.count() << " s; stopping it";
        runner.Stop();
      }
      outcome.status = done.get() ? kExitOk : kExitFailure;
    }
    outcome.out = Contents(out);
    outcome.err = Contents(err);
    std::fclose(out);
    std::fclose(err);
    return outcome;
  }

  static int CountOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  Bench bench_;
};

TEST(AutoTally, ACountLetsThatManyClaimsThroughAndNoMore) {
  for (unsigned limit : {1u, 2u, 5u}) {
    AutoTally tally(limit);
    unsigned claimed = 0;
    for (unsigned k = 0; k < limit + 3; ++k) claimed += tally.Claim() ? 1 : 0;
    EXPECT_EQ(claimed, limit) << "--count " << limit;
    EXPECT_FALSE(tally.Stopped()) << "claimed but not yet written: the run goes on";
    for (unsigned k = 0; k < limit; ++k) tally.Done(k % 2 == 0);
    EXPECT_TRUE(tally.Stopped()) << "--count " << limit;
    EXPECT_EQ(tally.Ok() + tally.Failed(), limit);
  }
  AutoTally endless(0);
  for (int k = 0; k < 100; ++k) ASSERT_TRUE(endless.Claim());
}

TEST_F(BoardRunnerTest, ACountIsKeptWhenMorePortsHaveBoardsAtOnce) {
  OneBoardOn({1, 2, 3});
  // No board is identified before every port has found its board, so all
  // three ask for a place in the count while none is finished.
  bench_.gate = 3;
  BoardJob job;
  job.reboot = job.auto_mode = true;
  job.count = 2;
  const Outcome r = Run(job, {1, 2, 3});
  EXPECT_FALSE(bench_.gate_timed_out) << "not every port found its board";
  int written = 0;
  for (auto& [n, slot] : bench_.slots) written += slot.reboots;
  EXPECT_EQ(written, 2) << r.out;
  EXPECT_EQ(CountOf(r.out, ": board 1: OK\n"), 2) << r.out;
  EXPECT_NE(r.out.find("Boards: 2 OK, 0 failed\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, kExitOk);
}

TEST_F(BoardRunnerTest, APortWithoutABoardTakesNoPlaceInTheCount) {
  bench_.slots[1].boards = 2;
  bench_.slots[1].present = true;
  bench_.slots[2];  // present, but nothing ever answers there
  BoardJob job;
  job.reboot = job.auto_mode = true;
  job.count = 2;
  const Outcome r = Run(job, {1, 2});
  EXPECT_EQ(bench_.slots[1].reboots, 2) << r.out;
  EXPECT_NE(r.out.find("COM1: board 2: OK\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Boards: 2 OK, 0 failed\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, kExitOk);
}

TEST_F(BoardRunnerTest, ARecordThatCannotBeWrittenFailsItsBoard) {
  const auto dir = quelmar::testing::MakeTempDir("quelmar-runner-");
  ASSERT_FALSE(dir.empty());
  // A folder cannot be made under a plain file.
  std::ofstream(dir / "file") << "x";
  const std::string unwritable = (dir / "file" / "records").string();
  struct Case {
    const char* what;
    bool auto_mode;
    std::string log_dir;
    int status;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"two ports", false, unwritable, kExitFailure, {"COM1: FAILED\nCOM2: FAILED\n"}},
      {"--auto",
       true,
       unwritable,
       kExitFailure,
       {"COM1: board 1: FAILED\n", "COM2: board 1: FAILED\n", "Boards: 0 OK, 2 failed\n"}},
      {"two ports, records written",
       false,
       (dir / "ok").string(),
       kExitOk,
       {"COM1: OK\nCOM2: OK\n"}},
      {"--auto, records written",
       true,
       (dir / "auto").string(),
       kExitOk,
       {"COM1: board 1: OK\n", "COM2: board 1: OK\n", "Boards: 2 OK, 0 failed\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bench_.slots.clear();
    OneBoardOn({1, 2});
    BoardJob job;
    job.reboot = true;
    job.auto_mode = c.auto_mode;
    job.count = c.auto_mode ? 2 : 0;
    job.text_record = TextRecordsIn(c.log_dir);
    const Outcome r = Run(job, {1, 2});
    EXPECT_EQ(r.status, c.status) << r.out;
    for (const auto& line : c.lines) EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    const bool refused = c.status != kExitOk;
    EXPECT_EQ(CountOf(r.err, "cannot write the record"), refused ? 2 : 0) << r.err;
    if (!refused) {
      size_t files = 0;
      for (const auto& entry : std::filesystem::directory_iterator(c.log_dir)) {
        (void)entry;
        ++files;
      }
      EXPECT_EQ(files, 2u);
    }
  }
  std::filesystem::remove_all(dir);
}

TEST_F(BoardRunnerTest, AutoLetsGoOfADeadLineAtTheNextProbe) {
  // The bootloader answers again after the reboot; the adapter is pulled
  // out 300 ms later, in the middle of a 1 s poll.
  Slot& slot = bench_.slots[1];
  slot.boards = 2;
  slot.present = true;
  slot.leaves_on_reboot = false;
  BoardJob job;
  job.reboot = job.auto_mode = true;
  job.count = 2;
  const Outcome r = Run(job, {1});
  ASSERT_FALSE(slot.releases.empty()) << "the line of board 1 was never hung up\n" << r.out;
  const auto [hung_up, closed] = slot.releases.front();
  // Released at the first 20 ms probe after the hang-up, so that the
  // adapter of the next board gets the same name back.
  EXPECT_LE(closed - hung_up, 20ms)
      << "released "
      << std::chrono::duration_cast<std::chrono::milliseconds>(closed - hung_up).count()
      << " ms after the hang-up";
  EXPECT_EQ(slot.reboots, 2) << r.out;
  EXPECT_NE(r.out.find("Boards: 2 OK, 0 failed\n"), std::string::npos) << r.out;
}

TEST(Records, TwoOfOneBoardInOneSecondAreBothKept) {
  const auto dir = quelmar::testing::MakeTempDir("quelmar-records-");
  ASSERT_FALSE(dir.empty());
  Record r;
  r.start = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
  r.label = "COM4";
  r.board = 3;
  std::vector<std::string> notes;
  auto note = [&](const std::string& line) { notes.push_back(line); };
  for (const char* log : {"first\n", "second\n", "third\n"}) {
    r.log = log;
    ASSERT_TRUE(WriteRecord(dir.string(), r, note));
  }
  EXPECT_TRUE(notes.empty());
  const std::string stem = (dir / "20231114-221320-COM4-board3").string();
  const std::pair<std::string, std::string> expected[] = {
      {stem + ".log", "first\n"}, {stem + "-2.log", "second\n"}, {stem + "-3.log", "third\n"}};
  for (const auto& [path, log] : expected) {
    std::ifstream in(path);
    ASSERT_TRUE(in) << path << " is missing";
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("Log:\n" + log), std::string::npos) << path << ":\n" << text;
  }
  std::filesystem::remove_all(dir);
}

// What a station sees of a run: each board's start and end in order, its
// log between them, and no board started while it says no.
class RecordingObserver final : public BoardObserver {
 public:
  explicit RecordingObserver(Bench& bench) : bench_(bench) {}
  bool MayStart(size_t port) override {
    std::lock_guard lock(mutex_);
    // Held for 2.5 s from the first look (a scan coming); a board written
    // meanwhile is a fault.
    const auto now = bench_.clock.Now();
    if (!release_at_) release_at_ = now + 2500ms;
    const bool held = now < *release_at_;
    if (held && bench_.slots[1].reboots != 0) written_while_held_ = true;
    events_.push_back("may-start " + std::to_string(port));
    return !held;
  }
  void Started(size_t port, unsigned number) override {
    std::lock_guard lock(mutex_);
    if (!started_at_) started_at_ = bench_.clock.Now();
    events_.push_back("started " + std::to_string(port) + " " + std::to_string(number));
  }
  void LogText(size_t, int, std::string_view text) override {
    std::lock_guard lock(mutex_);
    log_.append(text);
  }
  void Progress(size_t, const ProgressState&) override {}
  void Fields(size_t, std::vector<std::pair<std::string, std::string>>) override {}
  void Finished(size_t port, unsigned number, bool ok) override {
    std::lock_guard lock(mutex_);
    events_.push_back("finished " + std::to_string(port) + " " + std::to_string(number) +
                      (ok ? " ok" : " failed"));
  }

  std::mutex mutex_;
  Bench& bench_;
  std::optional<Clock::TimePoint> release_at_;
  std::optional<Clock::TimePoint> started_at_;
  bool written_while_held_ = false;
  std::vector<std::string> events_;
  std::string log_;
};

TEST_F(BoardRunnerTest, AnObserverHoldsNewBoardsAndSeesEachOne) {
  bench_.slots[1].boards = 2;
  bench_.slots[1].present = true;
  RecordingObserver observer(bench_);
  BoardJob job;
  job.reboot = job.auto_mode = true;
  job.count = 2;
  const Outcome r = Run(job, {1}, &observer);
  EXPECT_FALSE(observer.written_while_held_) << "a board was written while held";
  EXPECT_EQ(bench_.slots[1].reboots, 2) << r.out;
  // Let go, the waiting board starts at once, not at the next look at it.
  ASSERT_TRUE(observer.release_at_ && observer.started_at_);
  EXPECT_LE(*observer.started_at_ - *observer.release_at_, 100ms);
  // The looks while held, then each board's start and end.
  std::vector<std::string> starts_and_ends;
  for (const std::string& e : observer.events_)
    if (e.rfind("may-start", 0) != 0) starts_and_ends.push_back(e);
  EXPECT_EQ(starts_and_ends, (std::vector<std::string>{"started 0 1", "finished 0 1 ok",
                                                       "started 0 2", "finished 0 2 ok"}));
  ASSERT_GE(observer.events_.size(), 6u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(observer.events_[i], "may-start 0") << i;
  EXPECT_NE(observer.log_.find("Opened COM1\n"), std::string::npos) << observer.log_;
  EXPECT_EQ(r.status, kExitOk);
}

// A code image and one serial number field whose counter holds `values`
// values (100, 101, ...), its state in a folder of the test's own.
class ProductionBench : public BoardRunnerTest {
 protected:
  void SetUp() override {
    dir_ = quelmar::testing::MakeTempDir("quelmar-runner-values-");
    ASSERT_FALSE(dir_.empty());
    const std::vector<uint8_t> bank_a(4096, 0x5A);
    std::string why;
    ASSERT_TRUE(image::WriteFileAtomically(File("app.fcode"),
                                           image::BuildCodeFile(&bank_a, nullptr, 'E'), &why))
        << why;
    ASSERT_TRUE(images_.LoadCodeImageFromPath(File("app.fcode")));
  }
  void TearDown() override {
    // The run holds its records and state files open until it ends;
    // Windows removes no folder while a file in it is open.
    run_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string File(const std::string& name) const { return (dir_ / name).string(); }

  // False (with the line) when the run refuses to start.
  bool Prepare(uint64_t values, std::optional<std::string> records = std::nullopt) {
    production::FieldDef serial;
    serial.name = "serial";
    std::string why;
    if (!production::WhereFromAddress(0x1A07FF00, &serial.where, &why)) {
      ADD_FAILURE() << why;
      return false;
    }
    serial.size = production::NaturalSize(serial.format);
    serial.start = 100;
    serial.end = 100 + values - 1;
    serial.state_path = File("serial.state");
    production::RunSettings settings;
    settings.fields = {serial};
    settings.version = "test";
    settings.records_path = std::move(records);
    run_.emplace();
    const bool ok = run_->Prepare(settings, images_, &why);
    EXPECT_TRUE(ok) << why;
    return ok;
  }

  std::filesystem::path dir_;
  Log log_;
  image::ImageStore images_{log_};
  std::optional<production::ProductionRun> run_;
};

TEST_F(ProductionBench, ABoardWhoseValuesAreNotReservedIsNeverErased) {
  struct Case {
    const char* what;
    std::vector<int> ports;
    bool corrupt_state;  // the state file is damaged after the run has started
    int erased;          // boards erased, over all ports
    std::string note;    // on stderr, once
  };
  const Case cases[] = {
      {"one value, two boards at once", {1, 2}, false, 1, "used up"},
      {"the state file damaged", {1}, true, 0, "serial.state"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    bench_.slots.clear();
    std::filesystem::remove(File("serial.state"));
    OneBoardOn(c.ports);
    ASSERT_TRUE(Prepare(1));
    if (c.corrupt_state) {
      std::ofstream(File("serial.state"), std::ios::trunc) << "next ten\n";
    }
    BoardJob job;
    job.code = job.reboot = true;
    job.production = &*run_;
    const Outcome r = Run(job, c.ports, nullptr, &images_);
    int erased = 0;
    for (const auto& [n, slot] : bench_.slots) erased += slot.erases;
    EXPECT_EQ(erased, c.erased) << "a board without its value was erased\n" << r.out << r.err;
    EXPECT_EQ(CountOf(r.err, c.note), 1) << r.err;
    EXPECT_EQ(r.status, kExitFailure);
    // The refused board's own line says FAILED; none says OK.
    EXPECT_EQ(CountOf(r.out, ": OK\n"), 0) << r.out;
    EXPECT_EQ(CountOf(r.out, ": FAILED\n"), static_cast<int>(c.ports.size())) << r.out;
  }
}

TEST_F(ProductionBench, AUsedUpSourceEndsAnAutoRun) {
  // Three boards in turn; the counter holds one value. The first board is
  // refused by the board itself and leaves; the second finds no value,
  // which ends the run: the third is never started.
  Slot& slot = bench_.slots[1];
  slot.boards = 3;
  slot.present = true;
  slot.leaves_on_refused_erase = true;
  ASSERT_TRUE(Prepare(1));
  BoardJob job;
  job.code = job.reboot = job.auto_mode = true;
  job.production = &*run_;
  const Outcome r = Run(job, {1}, nullptr, &images_);
  EXPECT_EQ(slot.erases, 1) << r.out;
  EXPECT_EQ(CountOf(r.out, "COM1: board "), 2) << r.out;
  EXPECT_NE(r.out.find("COM1: board 2: FAILED\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Boards: 0 OK, 2 failed\n"), std::string::npos) << r.out;
  EXPECT_EQ(CountOf(r.err, "used up"), 1) << r.err;
  EXPECT_EQ(r.status, kExitFailure);
}

// A station that scanned each board's label: the unit is taken once per
// board as it starts and bound to its record; the same label scanned for
// two boards at once (a label printed twice) lets one of them be written.
TEST_F(ProductionBench, EachBoardTakesItsScannedUnit) {
  class Scans final : public BoardObserver {
   public:
    bool MayStart(size_t) override { return true; }
    void Started(size_t, unsigned) override {}
    void Fields(size_t, std::vector<std::pair<std::string, std::string>>) override {}
    void LogText(size_t, int, std::string_view) override {}
    void Progress(size_t, const ProgressState&) override {}
    void Finished(size_t, unsigned, bool) override {}
    std::string TakeUnit(size_t port) override {
      std::lock_guard lock(mutex);
      taken.push_back(port);
      return "PCB-0042";
    }
    std::mutex mutex;
    std::vector<size_t> taken;
  } scans;
  OneBoardOn({1, 2});
  ASSERT_TRUE(Prepare(5, File("records.jsonl")));
  BoardJob job;
  job.reboot = true;
  job.production = &*run_;
  const Outcome r = Run(job, {1, 2}, &scans, &images_);
  std::sort(scans.taken.begin(), scans.taken.end());
  EXPECT_EQ(scans.taken, (std::vector<size_t>{0, 1}));
  int rebooted = 0;
  for (const auto& [n, slot] : bench_.slots) rebooted += slot.reboots;
  EXPECT_EQ(rebooted, 1) << "both boards of the unit were written\n" << r.out;
  production::RecordsRead read;
  std::string why;
  ASSERT_TRUE(production::ReadRecords(File("records.jsonl"), &read, &why)) << why;
  ASSERT_EQ(read.records.size(), 2u);
  int ok = 0;
  for (const auto& record : read.records) {
    EXPECT_EQ(record["unit"], "PCB-0042");
    if (record["result"] == "ok") {
      ++ok;
      EXPECT_EQ(record["fields"]["serial"], 100);
    } else {
      EXPECT_EQ(record["fields"], nlohmann::ordered_json::object());
      EXPECT_EQ(record["failure"].get<std::string>().rfind("unit \"PCB-0042\" ", 0), 0u)
          << record["failure"];
    }
  }
  EXPECT_EQ(ok, 1);
}

// The line's database slow or away when an --auto board asks for its
// values: the board waits untouched and is written once they come.
TEST_F(ProductionBench, AnAutoBoardWaitsForItsValuesUntouched) {
  class SlowLine final : public production::BoardValues {
   public:
    explicit SlowLine(Bench& bench) : bench_(bench) {}
    production::ValueSource::Reserved Reserve(const production::BoardTag&,
                                              std::vector<production::FieldValue>* values,
                                              std::string* why) override {
      if (++asked <= 3) {
        erased_while_away = erased_while_away || bench_.slots[1].erases != 0;
        *why = "the line's database db:5432/line3 does not answer: timeout";
        return production::ValueSource::Reserved::kAway;
      }
      *values = {{100, "", false}};
      return production::ValueSource::Reserved::kOk;
    }
    Bench& bench_;
    int asked = 0;
    bool erased_while_away = false;
  } slow(bench_);
  Slot& slot = bench_.slots[1];
  slot.boards = 1;
  slot.present = true;
  production::FieldDef serial;
  serial.name = "serial";
  serial.pool = "serial";
  std::string why;
  ASSERT_TRUE(production::WhereFromAddress(0x1A07FF00, &serial.where, &why)) << why;
  serial.size = production::NaturalSize(serial.format);
  production::RunSettings settings;
  settings.fields = {serial};
  settings.version = "test";
  settings.line_values = &slow;
  run_.emplace();
  ASSERT_TRUE(run_->Prepare(settings, images_, &why)) << why;
  BoardJob job;
  job.code = job.reboot = job.auto_mode = true;
  job.count = 1;
  job.production = &*run_;
  const Outcome r = Run(job, {1}, nullptr, &images_);
  EXPECT_EQ(slow.asked, 4);
  EXPECT_FALSE(slow.erased_while_away);
  // Erased once its value came (this bench's boards then refuse the erase).
  EXPECT_EQ(slot.erases, 1) << r.out;
  EXPECT_EQ(CountOf(r.out, "COM1: board "), 1) << r.out;
  EXPECT_EQ(CountOf(r.err, "the board waits, untouched, until it answers"), 1) << r.err;
  EXPECT_EQ(CountOf(r.err, "the line's database answers again"), 1) << r.err;
}

TEST_F(BoardRunnerTest, AComLinkPointedAtAnotherDeviceWhileWaitingIsFollowed) {
  // COM5 leads to an adapter with no board, open and silent; then the
  // link is pointed at the adapter that has one.
  bench_.slots[5];
  bench_.slots[6].boards = 1;
  bench_.slots[6].present = true;
  BoardJob job;
  job.reboot = job.auto_mode = true;
  job.count = 1;
  std::jthread repoint([this] {
    if (bench_.WaitForOpen(5)) bench_.PointLink(5, 6);
  });
  const Outcome r = Run(job, {5});
  repoint.join();
  EXPECT_EQ(bench_.slots[6].reboots, 1) << "the board behind the moved link was not written\n"
                                        << r.out;
  EXPECT_NE(r.out.find("COM5: board 1: OK\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.status, kExitOk);
}

}  // namespace
}  // namespace quelmar::cli
