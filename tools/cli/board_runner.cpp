#include "board_runner.h"

#include <chrono>
#include <thread>

#include "cli.h"
#include "records.h"
#include "update/update.h"

namespace quelmar::cli {

bool RunSteps(const BoardJob& job, const image::ImageStore& images, StepContext& c,
              const std::function<bool()>& interrupted) {
  update::UpdateContext context{c.link,  images,  c.progress, c.log,
                                c.clock, c.flags, c.sink,     c.sent};
  auto step = [&](const char* name, const char* result) {
    if (c.on_step) c.on_step(name, result);
  };
  auto run = [&](const char* name, update::UpdateOutcome (*procedure)(update::UpdateContext&)) {
    if (interrupted()) return false;
    step(name, nullptr);
    c.flags.BusyFlag.store(1);
    c.show_progress(true);
    const update::UpdateOutcome outcome = procedure(context);
    c.show_progress(false);
    if (outcome == update::UpdateOutcome::kAborted)
      c.note("stopped during the erase wait: nothing was written.");
    step(name, outcome == update::UpdateOutcome::kSuccess   ? "ok"
               : outcome == update::UpdateOutcome::kAborted ? "stopped"
                                                            : "failed");
    return outcome == update::UpdateOutcome::kSuccess;
  };
  bool ok = true;
  if (job.code) ok = run("code", update::RunCodeUpdate);
  if (ok && job.data) ok = run("data", update::RunDataFlashUpdate);
  if (ok && job.reboot) {
    ok = !interrupted();
    if (ok) {
      step("reboot", nullptr);
      ok = c.link.RebootDevice();
      step("reboot", ok ? "ok" : "failed");
    }
  }
  return ok;
}

bool AutoTally::Claim() {
  std::lock_guard lock(mutex_);
  if (stop_.load() || (limit_ > 0 && claimed_ >= limit_)) return false;
  ++claimed_;
  return true;
}

void AutoTally::Done(bool ok) {
  std::lock_guard lock(mutex_);
  ++(ok ? ok_ : failed_);
  if (limit_ > 0 && ok_ + failed_ >= limit_) stop_.store(true);
}

unsigned AutoTally::Ok() const {
  std::lock_guard lock(mutex_);
  return ok_;
}

unsigned AutoTally::Failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

// The board's sink, with a copy of what it shows for the observer.
class ObservedSink final : public UiSink {
 public:
  ObservedSink(BoardSink& inner, BoardObserver* observer, size_t index)
      : inner_(inner), observer_(observer), index_(index) {}
  void LogText(int severity, std::string_view text) override {
    if (observer_) observer_->LogText(index_, severity, text);
    inner_.LogText(severity, text);
  }
  void ErrorBox(std::string_view text) override { inner_.ErrorBox(text); }
  void ProgressChanged(const ProgressState& state) override {
    if (observer_) observer_->Progress(index_, state);
    inner_.ProgressChanged(state);
  }
  void SetControlEnabled(int, bool) override {}

 private:
  BoardSink& inner_;
  BoardObserver* const observer_;
  const size_t index_;
};

struct BoardWorker {
  BoardWorker(BoardConsole& console, size_t index, const link::PortId& port,
              std::unique_ptr<link::PortSystem> system, Clock& time, BoardObserver* observer)
      : id(port),
        sink(console, index, port.Label()),
        observed(sink, observer, index),
        ports(std::move(system)),
        link(*ports, log, observed),
        clock(time) {
    link.SetSelectedPort(id);
  }
  link::PortId id;
  BoardSink sink;
  ObservedSink observed;
  Log log{&observed};
  std::unique_ptr<link::PortSystem> ports;
  link::Link link;
  Progress progress{&observed};
  UpdateFlags flags;
  Clock& clock;
  std::string opened_device;  // what the port's name led to when it was opened
  std::atomic<production::BoardSession*> session{nullptr};  // while a production board runs
};

namespace {

constexpr auto kPollPeriod = std::chrono::seconds(1);
constexpr auto kProbePeriod = std::chrono::milliseconds(20);

// Sleeps until `until`, waking early when the run is over.
void SleepUntil(BoardWorker& w, Clock::TimePoint until, const AutoTally& tally) {
  while (!tally.Stopped() && w.clock.Now() < until) w.clock.Sleep(kProbePeriod);
}

// Whether the port's number now leads to another device than the one open
// (a COM<n> link pointed at a new device). Asks no device anything.
bool PortMoved(BoardWorker& w) {
  if (w.id.number <= 0) return false;
  const auto now = w.ports->ResolvePort("COM" + std::to_string(w.id.number));
  return now && now->device != w.opened_device;
}

// Polls until a board answers on the port; false when the run ended first.
// Quiet: the failures of an empty port are no news.
bool WaitForBoard(BoardWorker& w, const AutoTally& tally) {
  w.sink.SetMuted(true);
  while (!tally.Stopped()) {
    const auto start = w.clock.Now();
    if (w.link.IsPortReady() && (w.link.PortHandle()->HungUp() || PortMoved(w))) w.link.DropLine();
    if (!w.link.IsPortReady()) {
      const auto now =
          w.ports->ResolvePort(w.id.number > 0 ? "COM" + std::to_string(w.id.number) : w.id.device);
      w.opened_device = now ? now->device : w.id.device;
      w.link.OpenLine();
    }
    if (w.link.IsPortReady() && w.link.BootloaderAnswers()) {
      w.sink.SetMuted(false);
      return true;
    }
    SleepUntil(w, start + kPollPeriod, tally);
  }
  w.sink.SetMuted(false);
  return false;
}

// Sleeps until `until`, waking early when the run is over or the open line
// has gone. An unplugged adapter's device name stays taken for as long as
// its descriptor is open, so the adapter of the next board, plugged in at
// once, would come back under another name (and COM number) unless the
// dead line is let go of at once.
void SleepWhileLineLives(BoardWorker& w, Clock::TimePoint until, const AutoTally& tally) {
  while (!tally.Stopped() && w.clock.Now() < until) {
    if (!w.link.ProbePort()) return;
    w.clock.Sleep(kProbePeriod);
  }
}

// Polls the open port until the board is gone: the line hung up, the port
// now names another device, or the bootloader stopped answering.
void WaitUntilGone(BoardWorker& w, const AutoTally& tally) {
  w.sink.SetMuted(true);
  while (!tally.Stopped() && w.link.IsPortReady()) {
    const auto start = w.clock.Now();
    if (w.link.PortHandle()->HungUp() || PortMoved(w)) {
      w.link.DropLine();
      break;
    }
    if (!w.link.BootloaderAnswers()) {
      if (w.link.PortHandle()->HungUp()) w.link.DropLine();
      break;
    }
    SleepWhileLineLives(w, start + kPollPeriod, tally);
  }
  w.sink.SetMuted(false);
}

}  // namespace

BoardRunner::BoardRunner(BoardJob job, const image::ImageStore& images,
                         std::vector<link::PortId> ids, BoardConsole& console, RunnerSeams seams)
    : job_(std::move(job)),
      images_(images),
      ids_(std::move(ids)),
      console_(console),
      seams_(std::move(seams)),
      tally_(job_.count) {
  for (size_t i = 0; i < ids_.size(); ++i) {
    workers_.push_back(std::make_unique<BoardWorker>(console_, i, ids_[i], seams_.make_ports(),
                                                     *seams_.clock, seams_.observer));
  }
  if (job_.production) {
    console_.SetProgressListener([this](size_t i, const ProgressState& state) {
      if (auto* session = workers_[i]->session.load()) session->Progress(state);
    });
  }
}

BoardRunner::~BoardRunner() = default;

std::vector<UpdateFlags*> BoardRunner::Flags() {
  std::vector<UpdateFlags*> flags;
  for (auto& w : workers_) flags.push_back(&w->flags);
  return flags;
}

std::function<void(const std::string&)> BoardRunner::NoteFor(const BoardWorker& w) {
  return [&console = console_, label = w.sink.Label()](const std::string& line) {
    console.PrintError("quelmar-cli: " + label + ": " + line + "\n");
  };
}

// One board from identification to its last step, with its record.
bool BoardRunner::FlashBoard(size_t i, unsigned number, bool identified_open,
                             const std::function<bool()>& interrupted) {
  BoardWorker& w = *workers_[i];
  Record record;
  record.label = w.sink.Label();
  record.device = w.opened_device.empty() ? w.id.device : w.opened_device;
  record.board = number;
  std::optional<production::BoardSession> session;
  if (job_.production) session.emplace(*job_.production, record.label, record.device);
  if (job_.log_dir || session) w.sink.StartRecord();
  // A board found by --auto is on a port opened quietly while waiting:
  // its log and record still say so before the identification.
  if (identified_open) w.log.AppendLog(kSeverityNormal, "Opened %s\n", record.label.c_str());
  bool ok = identified_open ? w.link.QueryBootloaderInfo() != 0 && w.link.QueryChipInfo()
                            : w.link.OpenPort();
  if (ok) NoteIdentity(w.link, &record);
  std::optional<std::string> failure;
  if (session) {
    if (ok) session->Identified(w.link);
    session->Step("identify", ok ? "ok" : "failed");
    // The board's values are on disk before its first erase.
    std::string why;
    const auto reserved = ok ? session->Reserve(&why) : production::ValueSource::Reserved::kOk;
    if (ok && seams_.observer) seams_.observer->Fields(i, session->FieldTexts());
    if (reserved != production::ValueSource::Reserved::kOk) {
      // A used-up source ends the run: no new board starts.
      if (reserved == production::ValueSource::Reserved::kUsedUp) tally_.Stop();
      NoteFor(w)(why);
      failure = why;
      ok = false;
    }
    w.session.store(&*session);
  }
  if (ok) {
    StepContext context{w.link,
                        w.log,
                        w.progress,
                        w.sink,
                        w.flags,
                        w.clock,
                        [&console = console_, i](bool on) {
                          if (!on) console.EndProgress(i);
                        },
                        NoteFor(w)};
    if (session) {
      context.sent = session->Sent();
      context.on_step = [&](const std::string& step, const char* result) {
        session->Step(step, result);
      };
    }
    ok = RunSteps(job_, session ? session->Images() : images_, context, interrupted);
  }
  w.sink.Flush();
  console_.EndProgress(i);
  const std::string log = job_.log_dir || session ? w.sink.TakeRecord() : std::string();
  if (job_.log_dir) {
    record.ok = ok;
    record.log = log;
    if (!WriteRecord(*job_.log_dir, record, NoteFor(w))) ok = false;
  }
  if (session) {
    w.session.store(nullptr);
    const bool stopped = !ok && interrupted();
    if (stopped) failure = "stopped by the user";
    std::string why;
    if (!session->Finish(ok ? "ok" : stopped ? "stopped" : "failed", failure, log, &why)) {
      NoteFor(w)("cannot write the record: " + why);
      ok = false;
    }
  }
  return ok;
}

// Board after board on one port until the run is over.
void BoardRunner::RunAuto(size_t i, const std::function<bool()>& interrupted) {
  BoardWorker& w = *workers_[i];
  // The port stays open from board to board: after the reboot the
  // bootloader's silence tells that the board has gone.
  w.link.SetCloseHandler([] {});
  for (unsigned number = 1;; ++number) {
    // The operator's cue to plug the next board in.
    if (!tally_.Stopped()) console_.Print(w.sink.Label() + ": waiting for a board...\n");
    // A board that comes while the station is paused waits, and is
    // looked at again (it may have been taken away meanwhile).
    bool found = WaitForBoard(w, tally_);
    while (found && seams_.observer && !seams_.observer->MayStart(i)) {
      SleepUntil(w, w.clock.Now() + kPollPeriod, tally_);
      found = WaitForBoard(w, tally_);
    }
    if (!found || !tally_.Claim()) break;
    if (seams_.observer) seams_.observer->Started(i, number);
    const bool ok = FlashBoard(i, number, true, interrupted);
    console_.Print(w.sink.Label() + ": board " + std::to_string(number) + ": " +
                   (ok ? "OK" : "FAILED") + "\n");
    tally_.Done(ok);
    if (seams_.observer) seams_.observer->Finished(i, number, ok);
    WaitUntilGone(w, tally_);
  }
  w.sink.SetMuted(true);
  w.link.DropLine();
}

int BoardRunner::Run(const std::function<bool()>& interrupted) {
  std::vector<char> results(ids_.size(), 0);
  {
    std::vector<std::jthread> threads;
    for (size_t i = 0; i < ids_.size(); ++i) {
      threads.emplace_back([&, i] {
        if (!job_.auto_mode) {
          results[i] = FlashBoard(i, 0, false, interrupted) ? 1 : 0;
          return;
        }
        RunAuto(i, interrupted);
      });
    }
  }

  if (interrupted()) console_.PrintError("quelmar-cli: stopped by the user.\n");
  if (job_.auto_mode) {
    console_.Print("Boards: " + std::to_string(tally_.Ok()) + " OK, " +
                   std::to_string(tally_.Failed()) + " failed\n");
    return tally_.Failed() == 0 ? kExitOk : kExitFailure;
  }
  std::string summary;
  bool all_ok = true;
  for (size_t i = 0; i < ids_.size(); ++i) {
    summary += workers_[i]->sink.Label() + (results[i] ? ": OK\n" : ": FAILED\n");
    all_ok = all_ok && results[i];
  }
  console_.Print(summary);
  return all_ok ? kExitOk : kExitFailure;
}

}  // namespace quelmar::cli
