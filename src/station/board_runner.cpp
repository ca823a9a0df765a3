#include "station/board_runner.h"

#include <chrono>
#include <thread>

#include "link/protocol.h"
#include "update/update.h"

namespace quelmar::station {

void NoteIdentity(const link::Link& link, BoardText* text) {
  text->bootloader = link.BootloaderVersion();
  const auto& words = link.ChipInfo();
  std::string chip = link::LookupChip(words[0], words[1]).line;
  while (!chip.empty() && chip.back() == '\n') chip.pop_back();
  if (chip.rfind("Chip: ", 0) == 0) chip.erase(0, 6);
  text->chip = chip;
}

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

void AutoTally::Unfiled() {
  std::lock_guard lock(mutex_);
  if (ok_ == 0) return;
  --ok_;
  ++failed_;
}

unsigned AutoTally::Ok() const {
  std::lock_guard lock(mutex_);
  return ok_;
}

unsigned AutoTally::Failed() const {
  std::lock_guard lock(mutex_);
  return failed_;
}

BoardSink::BoardSink(RunConsole& console, size_t index, std::string label, BoardObserver* observer)
    : console_(console), observer_(observer), index_(index), label_(std::move(label)) {}

void BoardSink::LogText(int severity, std::string_view text) {
  if (observer_) observer_->LogText(index_, severity, text);
  {
    std::lock_guard lock(mutex_);
    if (muted_) return;
    if (recording_) record_.append(text);
    if (recording_ && severity == kSeverityError) {
      if (errors_.size() > 4096) errors_.erase(0, errors_.size() - 1024);
      errors_.append(text);
    }
    const size_t last = text.rfind('\n');
    unfinished_ =
        last == std::string_view::npos ? unfinished_ || !text.empty() : last + 1 < text.size();
  }
  // Shown outside our lock: the console has its own, and two boards'
  // sinks never wait on each other.
  console_.LogText(index_, severity, text);
}

void BoardSink::ErrorBox(std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    if (muted_) return;
    if (recording_) record_.append(text).append("\n");
  }
  console_.Note(index_, text);
}

void BoardSink::ProgressChanged(const ProgressState& state) {
  if (observer_) observer_->Progress(index_, state);
  {
    std::lock_guard lock(mutex_);
    if (muted_) return;
  }
  if (progress_listener_) progress_listener_(state);
  console_.Progress(index_, state);
}

void BoardSink::Flush() {
  {
    std::lock_guard lock(mutex_);
    if (!unfinished_) return;
    unfinished_ = false;
    if (recording_) record_ += "\n";
  }
  console_.EndLine(index_);
}

void BoardSink::SetMuted(bool muted) {
  std::lock_guard lock(mutex_);
  muted_ = muted;
  if (muted) unfinished_ = false;
}

void BoardSink::StartRecord() {
  std::lock_guard lock(mutex_);
  recording_ = true;
  record_.clear();
  errors_.clear();
}

std::string BoardSink::LastErrorLine() {
  std::lock_guard lock(mutex_);
  // The port's closing after a failed identification is no failure.
  const std::string& text = errors_.empty() ? record_ : errors_;
  const size_t end = text.find_last_not_of("\r\n ");
  if (end == std::string::npos) return "";
  const size_t start = text.find_last_of('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1,
                     end - (start == std::string::npos ? 0 : start + 1) + 1);
}

std::string BoardSink::TakeRecord() {
  std::lock_guard lock(mutex_);
  recording_ = false;
  return std::move(record_);
}

struct BoardWorker {
  BoardWorker(RunConsole& console, size_t index, const link::PortId& port,
              std::unique_ptr<link::PortSystem> system, Clock& time, BoardObserver* observer)
      : id(port),
        sink(console, index, port.Label(), observer),
        ports(std::move(system)),
        link(*ports, log, sink),
        clock(time) {
    link.SetSelectedPort(id);
  }
  link::PortId id;
  BoardSink sink;
  Log log{&sink};
  std::unique_ptr<link::PortSystem> ports;
  link::Link link;
  Progress progress{&sink};
  UpdateFlags flags;
  Clock& clock;
  std::string opened_device;  // what the port's name led to when it was opened
  std::atomic<production::BoardSession*> session{nullptr};  // while a production board runs
  std::string held;  // why the port's boards are held, as last said ("" when they are not)
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
                         std::vector<link::PortId> ids, RunConsole& console, RunnerSeams seams)
    : job_(std::move(job)),
      images_(images),
      ids_(std::move(ids)),
      console_(console),
      seams_(std::move(seams)),
      tally_(job_.count) {
  for (size_t i = 0; i < ids_.size(); ++i) {
    workers_.push_back(std::make_unique<BoardWorker>(console_, i, ids_[i], seams_.make_ports(),
                                                     *seams_.clock, seams_.observer));
    if (job_.production) {
      BoardWorker& w = *workers_.back();
      w.sink.SetProgressListener([&w](const ProgressState& state) {
        if (auto* session = w.session.load()) session->Progress(state);
      });
    }
  }
}

BoardRunner::~BoardRunner() {
  WaitLabels();
}

void BoardRunner::StartLabel(size_t i, unsigned number,
                             std::unique_ptr<production::BoardSession> session) {
  std::lock_guard lock(labels_mutex_);
  // Labels that ended are joined here: a station that runs for days keeps
  // no thread of each board it printed for.
  for (auto it = labels_.begin(); it != labels_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = labels_.erase(it);
    } else {
      ++it;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, i, number, done, session = std::move(session)] {
    // The send is bounded (the run's label_timeout), so a printer that
    // never answers holds this record that long and no more.
    std::string why;
    // Ctrl-C gives up a printer still waited for: the record is filed at
    // once (label not printed; `label reprint` sends it later) rather than
    // lost to a second Ctrl-C.
    const bool printed = session->PrintLabel(&why, [this] {
      const std::function<bool()>* interrupted = interrupted_.load();
      return interrupted != nullptr && (*interrupted)();
    });
    if (!printed) NoteFor(i)("LABEL NOT PRINTED: " + why);
    if (seams_.observer) seams_.observer->Label(i, number, printed, why);
    if (!session->File(&why)) {
      // Shown OK already, and lost: the run's totals and its exit status
      // say failed, as for a board whose record failed before its label.
      NoteFor(i)("cannot write the record: " + why + " (the board counts as failed)");
      tally_.Unfiled();
      if (seams_.observer) seams_.observer->Unfiled(i, number, why);
    } else if (!session->Notice().empty()) {
      NoteFor(i)(session->Notice());
    }
    done->store(true);
  });
  labels_.push_back(LabelThread{std::move(thread), std::move(done)});
}

void BoardRunner::WaitLabels() {
  std::vector<LabelThread> labels;
  {
    std::lock_guard lock(labels_mutex_);
    labels.swap(labels_);
  }
  for (LabelThread& t : labels) t.thread.join();
}

std::vector<UpdateFlags*> BoardRunner::Flags() {
  std::vector<UpdateFlags*> flags;
  for (auto& w : workers_) flags.push_back(&w->flags);
  return flags;
}

bool BoardRunner::PortPresent(size_t i) {
  if (i >= workers_.size()) return false;
  return workers_[i]->ports->PortPresent(workers_[i]->id);
}

Note BoardRunner::NoteFor(size_t i) {
  return [&console = console_, i](const std::string& line) { console.Note(i, line); };
}

bool BoardRunner::MayRetry(size_t i, const std::function<bool()>& interrupted) {
  BoardWorker& w = *workers_[i];
  if (interrupted() || tally_.Stopped()) return false;
  if (w.link.LastFailure() != link::FailureCause::kLine) return false;
  // An unplugged board answers nothing either: that is no failure of the line.
  if (w.link.IsPortReady() && w.link.PortHandle()->HungUp()) return false;
  return w.ports->PortPresent(w.id);
}

// One board from identification to its last step, with its records; an
// attempt the link spoiled is made again, the board's values the same.
bool BoardRunner::FlashBoard(size_t i, unsigned number, bool identified_open,
                             const std::function<bool()>& interrupted) {
  BoardWorker& w = *workers_[i];
  BoardText text;
  text.label = w.sink.Label();
  text.device = w.opened_device.empty() ? w.id.device : w.opened_device;
  text.board = number;
  std::unique_ptr<production::BoardSession> session;
  if (job_.production)
    session = std::make_unique<production::BoardSession>(*job_.production, text.label, text.device);
  if (session && seams_.observer)
    if (std::string unit = seams_.observer->TakeUnit(i); !unit.empty())
      session->SetUnit(std::move(unit));
  if (job_.text_record || session) w.sink.StartRecord();
  // A board found by --auto is on a port opened quietly while waiting:
  // its log and record still say so before the identification.
  if (identified_open) w.log.AppendLog(kSeverityNormal, "Opened %s\n", text.label.c_str());
  std::optional<std::string> failure;
  bool reserved_once = false, refused = false, cut = false;
  // A retry ends at the next step once the run is stopped.
  const std::function<bool()> retry_interrupted = [&] {
    cut = cut || (!interrupted() && tally_.Stopped());
    return interrupted() || tally_.Stopped();
  };
  auto attempt = [&](bool retry) {
    w.link.ClearFailure();
    bool ok = identified_open || w.link.IsPortReady()
                  ? w.link.QueryBootloaderInfo() != 0 && w.link.QueryChipInfo()
                  : w.link.OpenPort();
    if (ok) NoteIdentity(w.link, &text);
    if (session) {
      if (ok) session->Identified(w.link);
      session->Step("identify", ok ? "ok" : "failed");
    }
    if (session && ok && !reserved_once) {
      reserved_once = true;
      // The board's values are on disk before its first erase.
      std::string why;
      auto reserved = session->Reserve(&why);
      // The line's database away or slow before the first erase: an --auto
      // board waits untouched and takes its values once it answers, rather
      // than fail for what is not its fault.
      bool said = false, for_a_version = false;
      while (reserved == production::ValueSource::Reserved::kAway && identified_open &&
             !interrupted() && !tally_.Stopped()) {
        // Its job's version retired, no newer one yet: the board waits for one.
        for_a_version = why.find("no newer version") != std::string::npos;
        if (!said)
          NoteFor(i)(why + (for_a_version ? "; the board waits, untouched, until one is"
                                          : "; the board waits, untouched, until it answers"));
        said = true;
        SleepUntil(w, w.clock.Now() + kPollPeriod, tally_);
        reserved = session->Reserve(&why);
      }
      if (said && reserved == production::ValueSource::Reserved::kOk && !for_a_version)
        NoteFor(i)("the line's database answers again");
      if (seams_.observer) seams_.observer->Fields(i, session->FieldTexts());
      if (reserved != production::ValueSource::Reserved::kOk) {
        // A used-up source ends the run: no new board starts.
        if (reserved == production::ValueSource::Reserved::kUsedUp) tally_.Stop();
        NoteFor(i)(why);
        if (seams_.observer) seams_.observer->Refused(i, why);
        failure = why;
        refused = true;
        return false;
      }
      w.session.store(&*session);
    }
    if (!ok) return false;
    StepContext context{w.link,
                        w.log,
                        w.progress,
                        w.sink,
                        w.flags,
                        w.clock,
                        [&console = console_, i](bool on) {
                          if (!on) console.EndProgress(i);
                        },
                        NoteFor(i)};
    if (session) {
      context.sent = session->Sent();
      context.on_step = [&](const std::string& step, const char* result) {
        session->Step(step, result);
      };
    }
    // A board of a released job takes the steps of the release its values
    // came from: the run may have changed over since the last board.
    const std::shared_ptr<const production::Release> release =
        session ? session->ReleaseOf() : nullptr;
    BoardJob steps = job_;
    if (release) {
      steps.code = release->code;
      steps.data = release->data;
      steps.reboot = release->reboot;
    }
    return RunSteps(steps, session ? session->Images() : images_, context,
                    retry ? retry_interrupted : interrupted);
  };
  bool ok = attempt(false);
  // The values are the board's once reserved: every attempt writes the same.
  const std::shared_ptr<const production::Release> release =
      session ? session->ReleaseOf() : nullptr;
  const unsigned retries = release ? release->retries : job_.retries;
  for (unsigned retry = 1; !ok && !refused && retry <= retries && MayRetry(i, interrupted);
       ++retry) {
    w.sink.Flush();
    console_.EndProgress(i);
    const std::string line = w.sink.LastErrorLine();
    const auto ended = std::chrono::system_clock::now();
    // A moment for the bootloader to drop what it half took; Stop ends it.
    SleepUntil(w, w.clock.Now() + kPollPeriod, tally_);
    if (tally_.Stopped() || interrupted()) {
      // The Stop came while the retry waited: the board ends as any the
      // Stop cut during its retry, not as one the link failed for good.
      cut = !interrupted();
      break;
    }
    if (session) session->Retry(line, ended);
    if (seams_.observer) seams_.observer->Retrying(i, retry + 1, retries + 1);
    w.log.AppendLog(kSeverityNormal, "The link failed: retry %u of %u.\n", retry, retries);
    ok = attempt(true);
  }
  if (cut && !ok) failure = "stopped during its retry";
  w.sink.Flush();
  console_.EndProgress(i);
  const std::string log = job_.text_record || session ? w.sink.TakeRecord() : std::string();
  if (job_.text_record) {
    text.ok = ok;
    text.log = log;
    if (!job_.text_record(text, NoteFor(i))) ok = false;
  }
  if (session) {
    w.session.store(nullptr);
    const bool stopped = !ok && (interrupted() || cut);
    if (stopped && !cut) failure = "stopped by the user";
    std::string why;
    if (ok && session->WantsLabel() && job_.auto_mode) {
      session->Close("ok", failure, log);
      StartLabel(i, number, std::move(session));
    } else if (ok && session->WantsLabel()) {
      // One board per port: nothing waits for the port, so the board ends
      // with its label and its record, and a record lost fails it. Ctrl-C
      // gives up a printer still waited for, as with --auto.
      session->Close("ok", failure, log);
      if (!session->PrintLabel(&why, interrupted)) NoteFor(i)("LABEL NOT PRINTED: " + why);
      if (!session->File(&why)) {
        NoteFor(i)("cannot write the record: " + why);
        ok = false;
      } else if (!session->Notice().empty()) {
        NoteFor(i)(session->Notice());
      }
    } else if (!session->Finish(ok ? "ok" : stopped ? "stopped" : "failed", failure, log, &why)) {
      NoteFor(i)("cannot write the record: " + why);
      ok = false;
    } else if (!session->Notice().empty()) {
      NoteFor(i)(session->Notice());
    }
  }
  return ok;
}

bool BoardRunner::Held(size_t i) {
  if (!job_.production) return false;
  BoardWorker& w = *workers_[i];
  const std::string why = job_.production->Held();
  if (why != w.held) {
    // The terminal hears of the database going away and coming back once
    // each; a new reason while it is away (refused, then starting up) only
    // updates the slot.
    if (why.empty() != w.held.empty()) {
      console_.Note(i, why.empty() ? std::string("the line's database answers again")
                                   : why + "; no new board starts until it answers");
    }
    job_.production->EmitHeld(w.sink.Label(), why);
    if (seams_.observer) seams_.observer->Held(i, why);
    w.held = why;
  }
  return !why.empty();
}

// Board after board on one port until the run is over.
void BoardRunner::RunAuto(size_t i, const std::function<bool()>& interrupted) {
  BoardWorker& w = *workers_[i];
  // The port stays open from board to board: after the reboot the
  // bootloader's silence tells that the board has gone.
  w.link.SetCloseHandler([] {});
  for (unsigned number = 1;; ++number) {
    // The operator's cue to plug the next board in.
    if (!tally_.Stopped()) console_.Waiting(i);
    // A board that comes while the station is paused, or while the line's
    // database does not answer (no value is made up here), waits, and is
    // looked at again (it may have been taken away meanwhile).
    // A board held back by its scan starts as soon as the scan comes, not
    // at the next look at the board.
    const auto may_start = [&] { return (!seams_.observer || seams_.observer->MayStart(i)) && !Held(i); };
    bool found = WaitForBoard(w, tally_);
    while (found && !may_start()) {
      const auto until = w.clock.Now() + kPollPeriod;
      while (!tally_.Stopped() && w.clock.Now() < until && !may_start()) w.clock.Sleep(kProbePeriod);
      // Still there? (It may have been taken away meanwhile.)
      found = WaitForBoard(w, tally_);
    }
    if (!found || !tally_.Claim()) break;
    if (seams_.observer) seams_.observer->Started(i, number);
    const bool ok = FlashBoard(i, number, true, interrupted);
    console_.BoardDone(i, number, ok);
    tally_.Done(ok);
    if (seams_.observer) seams_.observer->Finished(i, number, ok);
    WaitUntilGone(w, tally_);
  }
  w.sink.SetMuted(true);
  w.link.DropLine();
}

bool BoardRunner::Run(const std::function<bool()>& interrupted) {
  interrupted_ = &interrupted;
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
  WaitLabels();
  interrupted_ = nullptr;

  RunSummary summary;
  summary.stopped = interrupted();
  summary.auto_mode = job_.auto_mode;
  if (job_.auto_mode) {
    summary.ok = tally_.Ok();
    summary.failed = tally_.Failed();
    console_.RunEnded(summary);
    return summary.failed == 0;
  }
  bool all_ok = true;
  for (char result : results) {
    summary.ports_ok.push_back(result != 0);
    all_ok = all_ok && result != 0;
  }
  console_.RunEnded(summary);
  return all_ok;
}

}  // namespace quelmar::station
