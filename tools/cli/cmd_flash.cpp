// quelmar-cli flash: load and check the images, identify the boards, write
// code and data flash, reboot. Stops at a board's first failure. Several
// ports run at once, one thread each; --auto flashes board after board.
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "boards.h"
#include "cli.h"
#include "common/clock.h"
#include "common/flags.h"
#include "common/log.h"
#include "common/progress.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "link/link.h"
#include "update/update.h"

#ifdef _WIN32
// After our headers: <windows.h> defines the purge flags as macros.
#include <windows.h>
#endif

namespace quelmar::cli {
namespace {

constexpr char kHelp[] =
    "Usage: quelmar-cli flash PORT [PORT...] [--code FILE] [--data FILE.fdata] [--reboot]\n"
    "                         [--auto [--count N]] [--log-dir DIR]\n"
    "\n"
    "Loads and checks the image files first (nothing touches the board when a\n"
    "file is bad), opens PORT and identifies the board, then writes the code\n"
    "image (erase, bank A, bank B), then the data flash image (erase, wait for\n"
    "the erase, write), then reboots the board if asked. Stops at the first\n"
    "failure. At least one of --code, --data and --reboot is needed.\n"
    "\n"
    "--code takes a code image (.fcode) or build output: an ELF executable\n"
    "(.elf, .axf), Intel HEX (.hex) or S-record (.srec, .s19, .mot), told apart\n"
    "by content and packed in memory (as pack-code would); the log then starts\n"
    "with one line saying what was packed. Nothing is written to disk.\n"
    "\n"
    "On a terminal a progress bar runs on stderr; stdout carries the log.\n"
    "\n"
    "Several ports: all boards are written at once, each on its own. Every log\n"
    "line starts with the board's port (\"COM3: \"); at the end one line per\n"
    "board, \"COM3: OK\" or \"COM3: FAILED\", in the order given.\n"
    "\n"
    "--auto: on each port, wait for a board that answers, write it, print\n"
    "\"COM3: board 1: OK\" (or FAILED), wait until the board is gone (unplugged,\n"
    "or its bootloader stops answering, as after --reboot), and start again.\n"
    "Ports are polled about once a second; one that stays present is not\n"
    "reopened. Ends on Ctrl-C, or after N boards in all with --count N, with\n"
    "\"Boards: X OK, Y failed\".\n"
    "\n"
    "--log-dir DIR: write each board's record (start time, port, bootloader,\n"
    "chip, result and its whole log) to a file of its own in DIR.\n"
    "\n"
    "Ctrl-C once: stop at the next safe point. A running code write goes on\n"
    "to its end; the data flash erase wait stops at once (the data flash is\n"
    "then left erased). No further step starts. Ctrl-C twice: quit at once,\n"
    "leaving the board possibly half-written.\n"
    "\n"
    "Exit status: 0 when every step succeeded on every board, 1 when a file\n"
    "or a board failed or the run was stopped, 2 usage error, 130 quit at once.\n";

std::atomic<int> g_interrupts{0};

void WriteStderr(const char* text) {
#ifdef _WIN32
  // Console control handlers run on a thread of their own; a plain write
  // keeps the text whole.
  DWORD written = 0;
  (void)WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
                  &written, nullptr);
#else
  // Only async-signal-safe calls in here.
  size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = write(STDERR_FILENO, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
#endif
}

void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) == 0) {
    WriteStderr(
        "\nquelmar-cli: interrupted: stopping at the next safe point "
        "(a code write runs to its end). Press Ctrl-C again to quit at once.\n");
    return;
  }
  WriteStderr(
      "\nquelmar-cli: WARNING: quit during an update: the board may be half-written. "
      "Flash it again before use.\n");
  std::_Exit(130);
}

#ifdef _WIN32
// Ctrl-C and Ctrl-Break stand for SIGINT; a closing console or a log-off
// ends the process as usual.
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  OnInterrupt(0);
  return TRUE;
}
#endif

// The first Ctrl-C raises every board's AbortFlag; an update clears it
// when it starts, so it is raised again for as long as an update runs, as
// a front end does when the operator asks to stop. The handler only
// counts: a watcher thread does the rest within 20 ms.
class InterruptGuard {
 public:
  InterruptGuard(std::vector<UpdateFlags*> flags, std::function<void()> on_interrupt = {})
      : flags_(std::move(flags)), on_interrupt_(std::move(on_interrupt)) {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &old_int_);
    sigaction(SIGTERM, &action, &old_term_);
#endif
    watcher_ = std::jthread([this](std::stop_token stop) {
      bool told = false;
      while (!stop.stop_requested()) {
        if (g_interrupts.load() > 0) {
          for (UpdateFlags* f : flags_) {
            if (f->BusyFlag.load() != 0) f->AbortFlag.store(1);
          }
          if (!told && on_interrupt_) on_interrupt_();
          told = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~InterruptGuard() {
    watcher_.request_stop();
    watcher_.join();
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
#else
    sigaction(SIGINT, &old_int_, nullptr);
    sigaction(SIGTERM, &old_term_, nullptr);
#endif
  }
  bool Interrupted() const { return g_interrupts.load() > 0; }

 private:
  std::vector<UpdateFlags*> flags_;
  std::function<void()> on_interrupt_;
#ifndef _WIN32
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
#endif
  std::jthread watcher_;
};

// What one board needs to run the steps.
struct StepContext {
  link::Link& link;
  Log& log;
  Progress& progress;
  UiSink& sink;
  UpdateFlags& flags;
  std::function<void(bool)> show_progress;      // on at a step's start, off at its end
  std::function<void(const std::string&)> note;  // one line for stderr
};

// The code, data and reboot steps on an identified board, stopping at the
// first failure or when interrupted. True when every step succeeded.
bool RunSteps(const FlashArgs& args, const image::ImageStore& images, StepContext& c,
              const InterruptGuard& interrupts) {
  update::UpdateContext context{c.link, images, c.progress, c.log, SystemClock(), c.flags, c.sink};
  auto run = [&](update::UpdateOutcome (*procedure)(update::UpdateContext&)) {
    if (interrupts.Interrupted()) return false;
    c.flags.BusyFlag.store(1);
    c.show_progress(true);
    const update::UpdateOutcome outcome = procedure(context);
    c.show_progress(false);
    if (outcome == update::UpdateOutcome::kAborted)
      c.note("stopped during the erase wait: nothing was written.");
    return outcome == update::UpdateOutcome::kSuccess;
  };
  bool ok = true;
  if (args.code) ok = run(update::RunCodeUpdate);
  if (ok && args.data) ok = run(update::RunDataFlashUpdate);
  if (ok && args.reboot) ok = !interrupts.Interrupted() && c.link.RebootDevice();
  return ok;
}

// --- records ---

struct Record {
  std::chrono::system_clock::time_point start = std::chrono::system_clock::now();
  std::string label;
  std::string device;
  unsigned board = 0;       // the board's number on its port in --auto, else 0
  uint16_t bootloader = 0;  // (major << 8) | minor; 0 when it did not answer
  std::string chip;         // empty when it did not answer
  bool ok = false;
  std::string log;
};

std::string UtcText(std::chrono::system_clock::time_point t, const char* format) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[64];
  std::strftime(text, sizeof text, format, &utc);
  return text;
}

// What identification found, for the record.
void NoteIdentity(const link::Link& link, Record* record) {
  record->bootloader = link.BootloaderVersion();
  const auto& words = link.ChipInfo();
  std::string chip = link::LookupChip(words[0], words[1]).line;
  while (!chip.empty() && chip.back() == '\n') chip.pop_back();
  if (chip.rfind("Chip: ", 0) == 0) chip.erase(0, 6);
  record->chip = chip;
}

// Writes the record into dir; on failure says why on stderr.
bool WriteRecord(const std::string& dir, const Record& r,
                 const std::function<void(const std::string&)>& note) {
  std::string text = "Start: " + UtcText(r.start, "%Y-%m-%d %H:%M:%S UTC") + "\n";
  text += "Port: " + r.label;
  if (!r.device.empty() && r.device != r.label) text += " (" + r.device + ")";
  text += "\n";
  if (r.board > 0) text += "Board: " + std::to_string(r.board) + "\n";
  text += "Bootloader: ";
  text += r.bootloader == 0 ? std::string("none")
                            : std::to_string(r.bootloader >> 8) + "." +
                                  std::to_string(r.bootloader & 0xFF);
  text += "\nChip: " + (r.chip.empty() ? std::string("none") : r.chip) + "\n";
  text += std::string("Result: ") + (r.ok ? "OK" : "FAILED") + "\n";
  text += "Log:\n" + r.log;
  if (!r.log.empty() && r.log.back() != '\n') text += "\n";

  std::error_code error;
  std::filesystem::create_directories(dir, error);
  const std::string stamp = UtcText(r.start, "%Y%m%d-%H%M%S");
  std::filesystem::path path = std::filesystem::path(dir) / RecordFileName(stamp, r.label, r.board);
  // A record is never replaced: a second one in the same second gets a suffix.
  for (int k = 2; std::filesystem::exists(path, error); ++k) {
    std::string name = RecordFileName(stamp, r.label, r.board);
    name.insert(name.size() - 4, "-" + std::to_string(k));
    path = std::filesystem::path(dir) / name;
  }
  std::string why;
  if (!image::WriteFileAtomically(path.string(), std::vector<uint8_t>(text.begin(), text.end()),
                                  &why)) {
    note("cannot write the record: " + why);
    return false;
  }
  return true;
}

// --- one port, as always ---

int FlashOne(const FlashArgs& args, const image::ImageStore& images, TerminalSink& sink, Log& log,
             const link::PortId& id) {
  UpdateFlags flags;
  InterruptGuard interrupts({&flags});
  auto ports = link::MakePlatformPortSystem();
  link::Link board(*ports, log, sink);
  board.SetSelectedPort(id);
  Progress progress(&sink);
  auto note = [](const std::string& line) { std::fprintf(stderr, "quelmar-cli: %s\n", line.c_str()); };

  // The record takes the board's log beside the terminal.
  struct Tee final : UiSink {
    explicit Tee(UiSink& to) : inner(to) {}
    void LogText(int severity, std::string_view text) override {
      {
        std::lock_guard lock(mutex);
        kept.append(text);
      }
      inner.LogText(severity, text);
    }
    void ErrorBox(std::string_view text) override { inner.ErrorBox(text); }
    void ProgressChanged(const ProgressState& s) override { inner.ProgressChanged(s); }
    void SetControlEnabled(int, bool) override {}
    UiSink& inner;
    std::mutex mutex;
    std::string kept;
  } tee(sink);
  Record record;
  record.label = id.Label();
  record.device = id.device;
  if (args.log_dir) log.SetSink(&tee);

  bool ok = board.OpenPort();
  if (ok) NoteIdentity(board, &record);
  if (ok) {
    StepContext context{board, log, progress, sink, flags,
                        [&](bool on) { on ? sink.EnableProgressBar() : sink.EndProgressBar(); },
                        note};
    ok = RunSteps(args, images, context, interrupts);
  }
  if (interrupts.Interrupted()) note("stopped by the user.");
  if (args.log_dir) {
    log.SetSink(&sink);
    record.ok = ok;
    record.log = tee.kept;
    if (!WriteRecord(*args.log_dir, record, note)) ok = false;
  }
  return ok ? kExitOk : kExitFailure;
}

// --- several ports, and --auto ---

struct BoardWorker {
  BoardWorker(BoardConsole& console, size_t index, const link::PortId& port)
      : id(port), sink(console, index, port.Label()), link(*ports, log, sink) {
    link.SetSelectedPort(id);
  }
  link::PortId id;
  BoardSink sink;
  Log log{&sink};
  std::unique_ptr<link::PortSystem> ports = link::MakePlatformPortSystem();
  link::Link link;
  Progress progress{&sink};
  UpdateFlags flags;
  std::string opened_device;  // what the port's name led to when it was opened
};

// What the --auto loops of all ports share.
class AutoTally {
 public:
  explicit AutoTally(unsigned limit) : limit_(limit) {}
  // Takes a board's place in the count; false when the run is over.
  bool Claim() {
    std::lock_guard lock(mutex_);
    if (stop_.load() || (limit_ > 0 && claimed_ >= limit_)) return false;
    ++claimed_;
    return true;
  }
  void Done(bool ok) {
    std::lock_guard lock(mutex_);
    ++(ok ? ok_ : failed_);
    if (limit_ > 0 && ok_ + failed_ >= limit_) stop_.store(true);
  }
  void Stop() { stop_.store(true); }
  bool Stopped() const { return stop_.load(); }
  unsigned Ok() const {
    std::lock_guard lock(mutex_);
    return ok_;
  }
  unsigned Failed() const {
    std::lock_guard lock(mutex_);
    return failed_;
  }

 private:
  const unsigned limit_;
  mutable std::mutex mutex_;
  unsigned claimed_ = 0, ok_ = 0, failed_ = 0;
  std::atomic<bool> stop_{false};
};

constexpr auto kPollPeriod = std::chrono::seconds(1);

// Sleeps until `until`, waking early when the run is over.
void SleepUntil(std::chrono::steady_clock::time_point until, const AutoTally& tally) {
  while (!tally.Stopped() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
    const auto start = std::chrono::steady_clock::now();
    if (w.link.IsPortReady() && (w.link.PortHandle()->HungUp() || PortMoved(w)))
      w.link.DropLine();
    if (!w.link.IsPortReady()) {
      const auto now = w.ports->ResolvePort(w.id.number > 0 ? "COM" + std::to_string(w.id.number)
                                                            : w.id.device);
      w.opened_device = now ? now->device : w.id.device;
      w.link.OpenLine();
    }
    if (w.link.IsPortReady() && w.link.BootloaderAnswers()) {
      w.sink.SetMuted(false);
      return true;
    }
    SleepUntil(start + kPollPeriod, tally);
  }
  w.sink.SetMuted(false);
  return false;
}

// Sleeps until `until`, waking early when the run is over or the open line
// has gone. An unplugged adapter's device name stays taken for as long as
// its descriptor is open, so the adapter of the next board, plugged in at
// once, would come back under another name (and COM number) unless the
// dead line is let go of at once.
void SleepWhileLineLives(BoardWorker& w, std::chrono::steady_clock::time_point until,
                         const AutoTally& tally) {
  while (!tally.Stopped() && std::chrono::steady_clock::now() < until) {
    if (!w.link.ProbePort()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Polls the open port until the board is gone: the line hung up, the port
// now names another device, or the bootloader stopped answering.
void WaitUntilGone(BoardWorker& w, const AutoTally& tally) {
  w.sink.SetMuted(true);
  while (!tally.Stopped() && w.link.IsPortReady()) {
    const auto start = std::chrono::steady_clock::now();
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

int FlashMany(const FlashArgs& args, const image::ImageStore& images,
              const std::vector<link::PortId>& ids) {
  std::vector<std::string> labels;
  for (const auto& id : ids) labels.push_back(id.Label());
  BoardConsole console(stdout, stderr, labels);
  std::vector<std::unique_ptr<BoardWorker>> workers;
  std::vector<UpdateFlags*> flags;
  for (size_t i = 0; i < ids.size(); ++i) {
    workers.push_back(std::make_unique<BoardWorker>(console, i, ids[i]));
    flags.push_back(&workers.back()->flags);
  }
  AutoTally tally(args.count);
  InterruptGuard interrupts(flags, [&] { tally.Stop(); });

  auto note_for = [&](const BoardWorker& w) {
    return [&console, label = w.sink.Label()](const std::string& line) {
      console.PrintError("quelmar-cli: " + label + ": " + line + "\n");
    };
  };
  // One board from identification to its last step, with its record.
  auto flash_board = [&](size_t i, unsigned number, bool identified_open) {
    BoardWorker& w = *workers[i];
    Record record;
    record.label = w.sink.Label();
    record.device = w.opened_device.empty() ? w.id.device : w.opened_device;
    record.board = number;
    if (args.log_dir) w.sink.StartRecord();
    // A board found by --auto is on a port opened quietly while waiting:
    // its log and record still say so before the identification.
    if (identified_open) w.log.AppendLog(kSeverityNormal, "Opened %s\n", record.label.c_str());
    bool ok = identified_open ? w.link.QueryBootloaderInfo() != 0 && w.link.QueryChipInfo()
                              : w.link.OpenPort();
    if (ok) NoteIdentity(w.link, &record);
    if (ok) {
      StepContext context{w.link,
                          w.log,
                          w.progress,
                          w.sink,
                          w.flags,
                          [&console, i](bool on) {
                            if (!on) console.EndProgress(i);
                          },
                          note_for(w)};
      ok = RunSteps(args, images, context, interrupts);
    }
    w.sink.Flush();
    console.EndProgress(i);
    if (args.log_dir) {
      record.ok = ok;
      record.log = w.sink.TakeRecord();
      if (!WriteRecord(*args.log_dir, record, note_for(w))) ok = false;
    }
    return ok;
  };

  std::vector<char> results(ids.size(), 0);
  {
    std::vector<std::jthread> threads;
    for (size_t i = 0; i < ids.size(); ++i) {
      threads.emplace_back([&, i] {
        BoardWorker& w = *workers[i];
        if (!args.auto_mode) {
          results[i] = flash_board(i, 0, false) ? 1 : 0;
          return;
        }
        // The port stays open from board to board: after the reboot the
        // bootloader's silence tells that the board has gone.
        w.link.SetCloseHandler([] {});
        for (unsigned number = 1;; ++number) {
          // The operator's cue to plug the next board in.
          if (!tally.Stopped()) console.Print(w.sink.Label() + ": waiting for a board...\n");
          if (!WaitForBoard(w, tally) || !tally.Claim()) break;
          const bool ok = flash_board(i, number, true);
          console.Print(w.sink.Label() + ": board " + std::to_string(number) + ": " +
                        (ok ? "OK" : "FAILED") + "\n");
          tally.Done(ok);
          WaitUntilGone(w, tally);
        }
        w.sink.SetMuted(true);
        w.link.DropLine();
      });
    }
  }

  if (interrupts.Interrupted()) console.PrintError("quelmar-cli: stopped by the user.\n");
  if (args.auto_mode) {
    console.Print("Boards: " + std::to_string(tally.Ok()) + " OK, " +
                  std::to_string(tally.Failed()) + " failed\n");
    return tally.Failed() == 0 ? kExitOk : kExitFailure;
  }
  std::string summary;
  bool all_ok = true;
  for (size_t i = 0; i < ids.size(); ++i) {
    summary += labels[i] + (results[i] ? ": OK\n" : ": FAILED\n");
    all_ok = all_ok && results[i];
  }
  console.Print(summary);
  return all_ok ? kExitOk : kExitFailure;
}

}  // namespace

int CmdFlash(int argc, char** argv) {
  FlashArgs args;
  if (auto done = ParseFlash(argc, argv, kHelp, &args)) return *done;

  // Every port is named before any file is read, and none twice.
  std::vector<link::PortId> ids;
  {
    auto ports = link::MakePlatformPortSystem();
    for (const std::string& text : args.ports) {
      const auto id = ports->ResolvePort(text);
      if (!id) return UsageError(argv[0], "'" + text + "' names no serial port");
      ids.push_back(*id);
    }
  }
  if (const auto same = FindSamePort(ids)) {
    return UsageError(argv[0], "'" + args.ports[same->first] + "' and '" +
                                   args.ports[same->second] + "' are the same port");
  }

  // Every file is loaded and checked once, before any board is touched,
  // and then only read by the boards' threads.
  TerminalSink sink;
  Log log(&sink);
  image::ImageStore images(log);
  if (args.code) {
    if (!images.LoadCodeImageFromPath(*args.code)) return kExitFailure;
    // A file with two empty sections loads, but there is nothing to write.
    if (!images.HasCodeImage()) {
      std::fprintf(stderr, "quelmar-cli: %s: both code banks are empty: nothing to write.\n",
                   args.code->c_str());
      return kExitFailure;
    }
  }
  if (args.data && !images.LoadDataImageFromPath(*args.data)) return kExitFailure;

  if (ids.size() == 1 && !args.auto_mode) return FlashOne(args, images, sink, log, ids[0]);
  return FlashMany(args, images, ids);
}

}  // namespace quelmar::cli
