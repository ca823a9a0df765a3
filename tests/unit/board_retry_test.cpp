// Retries as an operator meets them: a board on a line that loses a block,
// garbles a reply or hangs up, written through the runner against the
// simulated bootloader under a fake clock. What reached the board's flash
// and what its record says are looked at, never the runner's own state.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "boards.h"
#include "image/image_writer.h"
#include "production/records_view.h"
#include "production/run.h"
#include "station/board_runner.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace quelmar::cli {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kFieldOffset = 0x100;  // the serial's place in bank A
constexpr uint32_t kBlocks = 16;          // bank A: 16 blocks of 256 bytes

// One simulated board behind a port of the fake clock's time.
struct SimLine {
  testing::FakeClock clock;
  std::optional<sim::Board> board;
  bool hung_up = false;
  sim::TimePoint Now() {
    return sim::TimePoint(
        std::chrono::duration_cast<sim::TimePoint::duration>(clock.Now().time_since_epoch()));
  }
};

class SimPort final : public link::SerialPort {
 public:
  explicit SimPort(SimLine& line) : line_(line) {}
  bool GetCommState() override { return true; }
  bool SetCommState() override { return true; }
  bool SetCommTimeouts(const link::ReadTimeouts& t) override {
    timeouts_ = t;
    return true;
  }
  bool Purge(uint32_t mask) override {
    if (line_.hung_up) return false;
    if (mask & link::PURGE_RXCLEAR) reply_.clear();
    return true;
  }
  bool Write(const uint8_t* data, uint32_t n, uint32_t* written) override {
    *written = 0;
    if (line_.hung_up) return false;
    const sim::Response r = line_.board->Receive({data, n}, line_.Now());
    reply_.insert(reply_.end(), r.bytes.begin(), r.bytes.end());
    line_.hung_up = r.hang_up;
    *written = n;
    return true;
  }
  uint32_t Read(uint8_t* buffer, uint32_t n) override {
    uint32_t count = 0;
    while (count < n && !reply_.empty()) {
      buffer[count++] = reply_.front();
      reply_.pop_front();
    }
    if (count < n) line_.clock.Advance(std::chrono::milliseconds(timeouts_.constant_ms));
    return count;
  }
  bool HungUp() const override { return line_.hung_up; }

 private:
  SimLine& line_;
  link::ReadTimeouts timeouts_{};
  std::deque<uint8_t> reply_;
};

class SimPorts final : public link::PortSystem {
 public:
  explicit SimPorts(SimLine& line) : line_(line) {}
  std::vector<link::PortEntry> EnumeratePorts() override {
    if (line_.hung_up) return {};  // the adapter went with the board
    return {{1, "/dev/sim1", false, true}};
  }
  link::OpenResult OpenPort(const link::PortId&) override {
    if (line_.hung_up) return {nullptr, link::OpenError::kNotFound, {}};
    return {std::make_unique<SimPort>(line_), link::OpenError::kNone, {}};
  }
  std::optional<link::PortId> ResolvePort(std::string_view) override {
    return link::PortId{1, "/dev/sim1"};
  }

 private:
  SimLine& line_;
};

// Stops the run at the first retry, as the station's Stop would.
class StopAtRetry final : public station::BoardObserver {
 public:
  bool MayStart(size_t) override { return true; }
  void Started(size_t, unsigned) override {}
  void Fields(size_t, std::vector<std::pair<std::string, std::string>>) override {}
  void LogText(size_t, int, std::string_view) override {}
  void Progress(size_t, const ProgressState&) override {}
  void Finished(size_t, unsigned, bool) override {}
  void Retrying(size_t, unsigned attempt, unsigned attempts) override {
    seen.emplace_back(attempt, attempts);
    if (stop && runner) runner->Stop();
  }
  bool stop = false;
  station::BoardRunner* runner = nullptr;
  std::vector<std::pair<unsigned, unsigned>> seen;
};

class BoardRetry : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("quelmar-retry-");
    ASSERT_FALSE(dir_.empty());
    for (uint32_t k = 0; k < bank_.size(); ++k) bank_[k] = static_cast<uint8_t>(k * 7 + 1);
    // The serial's place is left erased for it.
    std::fill_n(bank_.begin() + kFieldOffset, 4, 0xFF);
    std::string why;
    ASSERT_TRUE(image::WriteFileAtomically(File("app.fcode"),
                                           image::BuildCodeFile(&bank_, nullptr, 'E'), &why))
        << why;
    ASSERT_TRUE(images_.LoadCodeImageFromPath(File("app.fcode")));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string File(const std::string& name) const { return (dir_ / name).string(); }

  // One board through a run allowing `retries`; its record.
  nlohmann::ordered_json Flash(sim::BoardConfig config, unsigned retries,
                               StopAtRetry* observer = nullptr) {
    line_.board.emplace(std::move(config));
    line_.hung_up = false;
    std::filesystem::remove(File("serial.state"));
    std::filesystem::remove(File("records.jsonl"));
    production::FieldDef serial;
    serial.name = "serial";
    std::string why;
    EXPECT_TRUE(
        production::WhereFromAddress(link::kBankAAddress + kFieldOffset, &serial.where, &why))
        << why;
    serial.size = production::NaturalSize(serial.format);
    serial.start = 100;
    serial.state_path = File("serial.state");
    production::RunSettings settings;
    settings.fields = {serial};
    settings.records_path = File("records.jsonl");
    settings.version = "test";
    production::ProductionRun run;
    EXPECT_TRUE(run.Prepare(settings, images_, &why)) << why;
    station::BoardJob job;
    job.code = true;
    job.retries = retries;
    job.production = &run;
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    {
      BoardConsole console(out, err, {"COM1"});
      station::RunnerSeams seams{[this] { return std::make_unique<SimPorts>(line_); }, &line_.clock,
                                 observer};
      station::BoardRunner runner(job, images_, {link::PortId{1, "/dev/sim1"}}, console, seams);
      if (observer) observer->runner = &runner;
      auto done = std::async(std::launch::async, [&] { return runner.Run([] { return false; }); });
      if (done.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "the run did not end; stopping it";
        runner.Stop();
      }
      done.get();
    }
    std::fclose(out);
    std::fclose(err);
    production::RecordsRead read;
    EXPECT_TRUE(production::ReadRecords(File("records.jsonl"), &read, &why)) << why;
    EXPECT_EQ(read.records.size(), 1u);
    return read.records.empty() ? nlohmann::ordered_json() : read.records.front();
  }

  static sim::BoardConfig With(const std::string& fault) {
    sim::BoardConfig config;
    config.erase_duration = 0ms;
    if (!fault.empty()) {
      sim::Fault f;
      std::string why;
      EXPECT_TRUE(sim::ParseFault(fault, &f, &why)) << why;
      config.faults.push_back(f);
    }
    return config;
  }

  // Whether bank A holds the image with serial 100 in its place.
  bool HoldsTheImage() const {
    std::vector<uint8_t> want = bank_;
    const uint8_t serial[] = {100, 0, 0, 0};
    std::copy(std::begin(serial), std::end(serial), want.begin() + kFieldOffset);
    const auto& flash = line_.board->bank(0);
    return std::equal(want.begin(), want.end(), flash.begin());
  }

  std::filesystem::path dir_;
  std::vector<uint8_t> bank_ = std::vector<uint8_t>(kBlocks * link::kCodeBlockSize);
  Log log_;
  image::ImageStore images_{log_};
  SimLine line_;
};

TEST_F(BoardRetry, WhatTheLinkSpoiledIsWrittenAgainWithTheSameValues) {
  struct Case {
    const char* fault;
    unsigned retries;
    std::string result;
    std::vector<std::string> attempts;  // the earlier attempts' failure lines
    bool written;                       // the image and its serial in the flash
  };
  const std::string lost = "Incorrect received data size. i = 3, lpSize = 0";
  const Case cases[] = {
      {"silent@block=A:3#1", 2, "ok", {lost}, true},
      {"error=CC@block=A:5#1", 1, "ok", {"Incorrect CRC. i = 5"}, true},
      {"short@cmd=0x07#1", 1, "ok", {"Incorrect received data size. lpSize = 2"}, true},
      {"silent@cmd=0x0A#1", 1, "ok", {"Incorrect received data size. lpSize = 0"}, true},
      // Every attempt loses the block: each but the last is an attempt.
      {"silent@block=A:3", 2, "failed", {lost, lost}, false},
      // No retries: as before, one attempt and its failure.
      {"silent@block=A:3#1", 0, "failed", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault + std::string(" retries ") + std::to_string(c.retries));
    const auto record = Flash(With(c.fault), c.retries);
    EXPECT_EQ(record["result"], c.result);
    std::vector<std::string> failures;
    for (const auto& a : record["attempts"]) {
      failures.push_back(a["failure"].get<std::string>());
      EXPECT_TRUE(a["time"].get<std::string>().ends_with("Z")) << a;
    }
    EXPECT_EQ(failures, c.attempts);
    // One value for the board, however many attempts.
    EXPECT_EQ(record["fields"]["serial"], 100);
    EXPECT_EQ(HoldsTheImage(), c.written);
    if (c.result == "ok") {
      EXPECT_TRUE(record["failure"].is_null());
    } else {
      EXPECT_EQ(record["failure"], lost);
    }
    // The board's log holds every attempt.
    const std::string log = record["log"].get<std::string>();
    size_t identified = 0;
    for (size_t at = log.find("Get chip info"); at != std::string::npos;
         at = log.find("Get chip info", at + 1))
      ++identified;
    EXPECT_EQ(identified, c.attempts.size() + 1) << log;
  }
}

TEST_F(BoardRetry, WhatTheBoardOrTheOperatorDidIsNotTriedAgain) {
  struct Case {
    const char* what;
    sim::BoardConfig config;
    std::string failure;
    uint32_t blocks;  // bank A's blocks the board took: those of one attempt
  };
  sim::BoardConfig old_bootloader = With("");
  old_bootloader.major = 1;
  const Case cases[] = {
      {"the chip info refused", With("error=11@cmd=0x0A"), "Incorrect command.", 0},
      {"an unsupported bootloader", old_bootloader, "Unsupported bootloader !", 0},
      {"a block the flash does not take", With("error=BB@block=A:2"), "Failed write CODE. i = 2",
       2},
      {"the board unplugged", With("hangup@block=A:3"),
       "Incorrect received data size. i = 3, lpSize = 0", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto record = Flash(c.config, 3);
    EXPECT_EQ(record["result"], "failed");
    EXPECT_NE(record["log"].get<std::string>().find(c.failure), std::string::npos) << record;
    EXPECT_EQ(record["attempts"], nlohmann::ordered_json::array());
    EXPECT_EQ(line_.board->stats().code_blocks[0], c.blocks) << "the board was written again";
  }
}

TEST_F(BoardRetry, StopDuringARetryEndsIt) {
  StopAtRetry observer;
  observer.stop = true;
  const auto record = Flash(With("silent@block=A:3#1"), 2, &observer);
  EXPECT_EQ(observer.seen, (std::vector<std::pair<unsigned, unsigned>>{{2, 3}}));
  EXPECT_EQ(record["result"], "stopped");
  EXPECT_EQ(record["failure"], "stopped during its retry");
  EXPECT_EQ(record["attempts"].size(), 1u);
  // The four blocks of the first attempt, none of a second.
  EXPECT_EQ(line_.board->stats().code_blocks[0], 4u);
}

TEST_F(BoardRetry, TheObserverHearsEachRetryOfAllowed) {
  StopAtRetry observer;
  const auto record = Flash(With("silent@block=A:3"), 2, &observer);
  EXPECT_EQ(observer.seen, (std::vector<std::pair<unsigned, unsigned>>{{2, 3}, {3, 3}}));
  EXPECT_EQ(record["result"], "failed");
}

}  // namespace
}  // namespace quelmar::cli
