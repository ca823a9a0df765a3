// Flashing boards on several ports at once, one thread each, and --auto:
// board after board on every port until a count is reached or the run is
// stopped. Ports are opened through a PortSystem made by a factory and
// every wait goes through a Clock, so a test can drive it all on fake lines.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "boards.h"
#include "common/clock.h"
#include "common/flags.h"
#include "common/log.h"
#include "common/progress.h"
#include "image/image_store.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "production/run.h"

namespace quelmar::cli {

// What is done to every board.
struct BoardJob {
  bool code = false;    // write the code image
  bool data = false;    // write the data flash image
  bool reboot = false;  // reboot once written
  bool auto_mode = false;
  unsigned count = 0;                  // --auto: boards in all before the run ends; 0 = no limit
  std::optional<std::string> log_dir;  // a record per board goes there
  // Fields, JSON Lines records, --json: each board runs as a session of it.
  production::ProductionRun* production = nullptr;
};

// What one board needs to run the steps.
struct StepContext {
  link::Link& link;
  Log& log;
  Progress& progress;
  UiSink& sink;
  UpdateFlags& flags;
  Clock& clock;
  std::function<void(bool)> show_progress;       // on at a step's start, off at its end
  std::function<void(const std::string&)> note;  // one line for stderr
  update::SentBlocks* sent = nullptr;            // sees each block as sent
  // A step ("code", "data", "reboot") starts (result null) or ends ("ok",
  // "failed", "stopped").
  std::function<void(const std::string& step, const char* result)> on_step = nullptr;
};

// The code, data and reboot steps on an identified board, stopping at the
// first failure or once interrupted() says so. True when every step
// succeeded.
bool RunSteps(const BoardJob& job, const image::ImageStore& images, StepContext& c,
              const std::function<bool()>& interrupted);

// What the --auto loops of all ports share: the count of boards and
// whether the run is over.
class AutoTally {
 public:
  explicit AutoTally(unsigned limit) : limit_(limit) {}
  // Takes a board's place in the count; false when the run is over.
  bool Claim();
  void Done(bool ok);
  void Stop() { stop_.store(true); }
  bool Stopped() const { return stop_.load(); }
  unsigned Ok() const;
  unsigned Failed() const;

 private:
  const unsigned limit_;
  mutable std::mutex mutex_;
  unsigned claimed_ = 0, ok_ = 0, failed_ = 0;
  std::atomic<bool> stop_{false};
};

// What a station watches and decides on each port of a run. Every call
// comes on that port's thread and must not block.
class BoardObserver {
 public:
  virtual ~BoardObserver() = default;
  // Whether a board found on the port may be started now; while false the
  // board is left waiting (a paused station).
  virtual bool MayStart(size_t port) = 0;
  virtual void Started(size_t port, unsigned number) = 0;
  // The field values reserved for the board (a production run with fields).
  virtual void Fields(size_t port, std::vector<std::pair<std::string, std::string>> values) = 0;
  // The port's log text and progress (also while waiting: the observer
  // keeps what falls between Started and Finished).
  virtual void LogText(size_t port, int severity, std::string_view text) = 0;
  virtual void Progress(size_t port, const ProgressState& state) = 0;
  virtual void Finished(size_t port, unsigned number, bool ok) = 0;
};

// The outside world of a run: how ports are opened and how time passes.
struct RunnerSeams {
  std::function<std::unique_ptr<link::PortSystem>()> make_ports = link::MakePlatformPortSystem;
  Clock* clock = &SystemClock();
  BoardObserver* observer = nullptr;  // the station's view of the boards
};

struct BoardWorker;

// Every board of one run. Make it, hand Flags() to whatever watches for an
// interrupt, then Run.
class BoardRunner {
 public:
  BoardRunner(BoardJob job, const image::ImageStore& images, std::vector<link::PortId> ids,
              BoardConsole& console, RunnerSeams seams = {});
  ~BoardRunner();
  BoardRunner(const BoardRunner&) = delete;
  BoardRunner& operator=(const BoardRunner&) = delete;

  // Each port's flags, in the order of the ports.
  std::vector<UpdateFlags*> Flags();
  // Ends --auto at the next safe point: no board is started after it.
  // Any thread.
  void Stop() { tally_.Stop(); }
  // Runs every port to its end and prints the summary. interrupted tells
  // whether the user asked to stop (no further step starts). Returns the
  // exit status.
  int Run(const std::function<bool()>& interrupted);

 private:
  bool FlashBoard(size_t i, unsigned number, bool identified_open,
                  const std::function<bool()>& interrupted);
  void RunAuto(size_t i, const std::function<bool()>& interrupted);
  std::function<void(const std::string&)> NoteFor(const BoardWorker& w);

  const BoardJob job_;
  const image::ImageStore& images_;
  const std::vector<link::PortId> ids_;
  BoardConsole& console_;
  RunnerSeams seams_;
  std::vector<std::unique_ptr<BoardWorker>> workers_;
  AutoTally tally_;
};

}  // namespace quelmar::cli
