// Flashing boards on several ports at once, one thread each, and --auto:
// board after board on every port until a count is reached or the run is
// stopped. Ports are opened through a PortSystem made by a factory and
// every wait goes through a Clock, so a test can drive it all on fake lines.
// What a run shows goes to a RunConsole, which the front end implements
// (the CLI prints it); nothing here knows a terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/flags.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/ui_sink.h"
#include "image/image_store.h"
#include "link/link.h"
#include "link/serial_port.h"
#include "production/run.h"

namespace quelmar::station {

// One line about a board, for the operator.
using Note = std::function<void(const std::string&)>;

// A board's text record (flash --log-dir): when, where, what answered, the
// result and the board's whole log.
struct BoardText {
  std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
  std::string label;
  std::string device;
  unsigned board = 0;       // the board's number on its port in --auto, else 0
  uint16_t bootloader = 0;  // (major << 8) | minor; 0 when it did not answer
  std::string chip;         // empty when it did not answer
  bool ok = false;
  std::string log;
};

// What identification found, for the text record.
void NoteIdentity(const link::Link& link, BoardText* text);

// What is done to every board.
struct BoardJob {
  bool code = false;    // write the code image
  bool data = false;    // write the data flash image
  bool reboot = false;  // reboot once written
  bool auto_mode = false;
  unsigned count = 0;  // --auto: boards in all before the run ends; 0 = no limit
  // A board whose update the link spoiled is identified and written again
  // up to this many more times (a released job's own count wins).
  unsigned retries = 0;
  // Writes a board's text record; false (having said why through the
  // note) fails the board. None: no text records.
  std::function<bool(const BoardText&, const Note&)> text_record;
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
  std::function<void(bool)> show_progress;  // on at a step's start, off at its end
  Note note;                                // one line for the operator
  update::SentBlocks* sent = nullptr;       // sees each block as sent
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
  // An OK board whose record could not be written after its label: it
  // counts as failed after all.
  void Unfiled();
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

// How a run ended, for the front end's last lines.
struct RunSummary {
  bool stopped = false;  // the user asked to stop
  bool auto_mode = false;
  unsigned ok = 0, failed = 0;  // --auto: the boards of all ports
  std::vector<bool> ports_ok;   // otherwise: each port's board, in the ports' order
};

// What a front end shows of a run: the CLI prints it, a desktop view
// would draw it. A board is its port's index in the run. Calls come on
// the boards' threads, several at once, each board's in order; none may
// wait long.
class RunConsole {
 public:
  virtual ~RunConsole() = default;
  // A piece of a board's log as the procedures write it: a line may come
  // in pieces, '\n' ends it.
  virtual void LogText(size_t board, int severity, std::string_view text) = 0;
  // The board's unfinished log line, if any, is complete.
  virtual void EndLine(size_t board) = 0;
  // A line for the operator's attention about the board: an error box's
  // text, or why the run failed or stopped it.
  virtual void Note(size_t board, std::string_view line) = 0;
  virtual void Progress(size_t board, const ProgressState& state) = 0;
  // The board's step ended: its progress goes.
  virtual void EndProgress(size_t board) = 0;
  // --auto: the port waits for its next board.
  virtual void Waiting(size_t board) = 0;
  // --auto: the port's board `number` (1, 2, ...) ended.
  virtual void BoardDone(size_t board, unsigned number, bool ok) = 0;
  // Every port has ended.
  virtual void RunEnded(const RunSummary& summary) = 0;
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
  // No new board starts on the port, for the reason given in one line (the
  // line's database does not answer); "" once boards may start again.
  virtual void Held(size_t /*port*/, const std::string& /*why*/) {}
  // The board fails before its first erase for this reason (its values or
  // its job's count could not be had): its failure line.
  virtual void Refused(size_t /*port*/, const std::string& /*why*/) {}
  // The unit scanned for the board about to start on the port ("" when none): taken once, as the
  // board starts.
  virtual std::string TakeUnit(size_t /*port*/) { return ""; }
  // The board's update failed because of the link and is tried again: attempt 2, 3, ... of 1 +
  // retries.
  virtual void Retrying(size_t /*port*/, unsigned /*attempt*/, unsigned /*attempts*/) {}
  // The OK board's label was sent (printed) or not, with the reason in one
  // line. This one comes on the label's own thread, possibly after the
  // port's next board started.
  virtual void Label(size_t /*port*/, unsigned /*number*/, bool /*printed*/,
                     const std::string& /*why*/) {}
  // After its label, the OK board's record could not be written (why): it
  // counts as failed. On the label's thread too.
  virtual void Unfiled(size_t /*port*/, unsigned /*number*/, const std::string& /*why*/) {}
};

// One board's sink: its log, error boxes and progress go to the console,
// except while muted (waiting for a board to come or go); while recording,
// the log text is also kept for the board's records; an observer sees all
// of it, muted or not.
class BoardSink final : public UiSink {
 public:
  BoardSink(RunConsole& console, size_t index, std::string label,
            BoardObserver* observer = nullptr);

  void LogText(int severity, std::string_view text) override;
  void ErrorBox(std::string_view text) override;
  void ProgressChanged(const ProgressState& state) override;
  void SetControlEnabled(int, bool) override {}

  // Ends an unfinished line, so that it is shown (and recorded whole).
  void Flush();
  void SetMuted(bool muted);
  void StartRecord();
  // The text kept since StartRecord; recording stops.
  std::string TakeRecord();
  // The last error line logged since StartRecord (else the last line kept)
  // that holds more than blanks, or "": an attempt's failure.
  std::string LastErrorLine();
  // Also hands each progress shown to listener (set before the board runs).
  void SetProgressListener(std::function<void(const ProgressState&)> listener) {
    progress_listener_ = std::move(listener);
  }
  const std::string& Label() const { return label_; }

 private:
  std::mutex mutex_;
  RunConsole& console_;
  BoardObserver* const observer_;
  const size_t index_;
  const std::string label_;
  bool unfinished_ = false;  // text shown after the last line end
  bool muted_ = false;
  bool recording_ = false;
  std::string record_;
  std::string errors_;  // the end of the error text since StartRecord
  std::function<void(const ProgressState&)> progress_listener_;
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
              RunConsole& console, RunnerSeams seams = {});
  ~BoardRunner();
  BoardRunner(const BoardRunner&) = delete;
  BoardRunner& operator=(const BoardRunner&) = delete;

  // Each port's flags, in the order of the ports.
  std::vector<UpdateFlags*> Flags();
  // Ends --auto at the next safe point: no board is started after it.
  // Any thread.
  void Stop() { tally_.Stop(); }
  // Runs every port to its end and tells the console how it ended.
  // interrupted tells whether the user asked to stop (no further step
  // starts). True when no board failed.
  bool Run(const std::function<bool()>& interrupted);
  // Whether port i is there now, as its port backend tells it: never by
  // opening it, and without disturbing the board being written on it.
  // Any thread.
  bool PortPresent(size_t i);

 private:
  bool FlashBoard(size_t i, unsigned number, bool identified_open,
                  const std::function<bool()>& interrupted);
  // Whether the board on port i, its attempt failed, is worth another: the
  // link spoiled it, and nobody stopped the run or unplugged the board.
  bool MayRetry(size_t i, const std::function<bool()>& interrupted);
  // Whether no new board may start on port i now (the line's database does
  // not answer); says so once when that changes.
  bool Held(size_t i);
  void RunAuto(size_t i, const std::function<bool()>& interrupted);
  Note NoteFor(size_t i);
  // The closed OK board's label is printed and its record filed on a
  // thread of its own; Run waits for them all before it ends.
  void StartLabel(size_t i, unsigned number, std::unique_ptr<production::BoardSession> session);
  void WaitLabels();

  const BoardJob job_;
  const image::ImageStore& images_;
  const std::vector<link::PortId> ids_;
  RunConsole& console_;
  RunnerSeams seams_;
  std::vector<std::unique_ptr<BoardWorker>> workers_;
  AutoTally tally_;
  struct LabelThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  // The run's, while it runs: labels in flight give up once it says so.
  std::atomic<const std::function<bool()>*> interrupted_{nullptr};
  std::mutex labels_mutex_;
  std::vector<LabelThread> labels_;
};

}  // namespace quelmar::station
