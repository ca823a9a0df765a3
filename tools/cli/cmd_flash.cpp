// quelmar-cli flash: load and check the images, identify the board, write
// code and data flash, reboot. Stops at the first failure.
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "cli.h"
#include "common/clock.h"
#include "common/flags.h"
#include "common/log.h"
#include "common/progress.h"
#include "image/image_store.h"
#include "link/link.h"
#include "update/update.h"

#ifdef _WIN32
// After our headers: <windows.h> defines the purge flags as macros.
#include <windows.h>
#endif

namespace quelmar::cli {
namespace {

constexpr char kHelp[] =
    "Usage: quelmar-cli flash PORT [--code FILE.fcode] [--data FILE.fdata] [--reboot]\n"
    "\n"
    "Loads and checks the image files first (nothing touches the board when a\n"
    "file is bad), opens PORT and identifies the board, then writes the code\n"
    "image (erase, bank A, bank B), then the data flash image (erase, wait for\n"
    "the erase, write), then reboots the board if asked. Stops at the first\n"
    "failure. At least one of --code, --data and --reboot is needed.\n"
    "\n"
    "On a terminal a progress bar runs on stderr; stdout carries the log.\n"
    "\n"
    "Ctrl-C once: stop at the next safe point. A running code write goes on\n"
    "to its end; the data flash erase wait stops at once (the data flash is\n"
    "then left erased). No further step starts. Ctrl-C twice: quit at once,\n"
    "leaving the board possibly half-written.\n"
    "\n"
    "Exit status: 0 when every step succeeded, 1 when a file or the board\n"
    "failed or the run was stopped, 2 usage error, 130 quit at once.\n";

std::atomic<int> g_interrupts{0};
UpdateFlags* g_flags = nullptr;

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
    if (g_flags != nullptr) g_flags->AbortFlag.store(1);
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

// The first Ctrl-C raises AbortFlag; the update clears it when it starts,
// so it is raised again for as long as an update runs, as a front end does
// when the operator asks to stop.
class InterruptGuard {
 public:
  explicit InterruptGuard(UpdateFlags& flags) : flags_(flags) {
    g_flags = &flags;
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
      while (!stop.stop_requested()) {
        if (g_interrupts.load() > 0 && flags_.BusyFlag.load() != 0) flags_.AbortFlag.store(1);
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
    g_flags = nullptr;
  }
  bool Interrupted() const {
    return g_interrupts.load() > 0;
  }

 private:
  UpdateFlags& flags_;
#ifndef _WIN32
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
#endif
  std::jthread watcher_;
};

struct FlashArgs {
  std::string port;
  std::optional<std::string> code;
  std::optional<std::string> data;
  bool reboot = false;
};

// Returns an exit code when the command line is done with (help, error).
std::optional<int> Parse(int argc, char** argv, FlashArgs& args) {
  bool have_port = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::optional<std::string>& into) -> bool {
      if (i + 1 >= argc) return false;
      into = argv[++i];
      return true;
    };
    if (IsHelp(arg)) {
      std::fputs(kHelp, stdout);
      return kExitOk;
    } else if (arg == "--code") {
      if (args.code) return UsageError(argv[0], "--code given twice");
      if (!value(args.code)) return UsageError(argv[0], "--code needs a FILE");
    } else if (arg == "--data") {
      if (args.data) return UsageError(argv[0], "--data given twice");
      if (!value(args.data)) return UsageError(argv[0], "--data needs a FILE");
    } else if (arg == "--reboot") {
      args.reboot = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return UsageError(argv[0], "unknown option '" + std::string(arg) + "'");
    } else if (have_port) {
      return UsageError(argv[0], "only one PORT may be given");
    } else {
      args.port = arg;
      have_port = true;
    }
  }
  if (!have_port) return UsageError(argv[0], "missing PORT");
  if (!args.code && !args.data && !args.reboot) {
    return UsageError(argv[0], "nothing to do: give --code, --data or --reboot");
  }
  return std::nullopt;
}

}  // namespace

int CmdFlash(int argc, char** argv) {
  FlashArgs args;
  if (auto done = Parse(argc, argv, args)) return *done;

  TerminalSink sink;
  Log log(&sink);
  image::ImageStore images(log);

  // Every file is checked before the board is touched.
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

  auto ports = link::MakePlatformPortSystem();
  const auto id = ports->ResolvePort(args.port);
  if (!id) return UsageError(argv[0], "'" + args.port + "' names no serial port");

  UpdateFlags flags;
  InterruptGuard interrupts(flags);
  link::Link board(*ports, log, sink);
  board.SetSelectedPort(*id);
  if (!board.OpenPort()) return kExitFailure;

  Progress progress(&sink);
  update::UpdateContext context{board, images, progress, log, SystemClock(), flags, sink};
  auto run = [&](update::UpdateOutcome (*procedure)(update::UpdateContext&)) {
    if (interrupts.Interrupted()) return false;
    flags.BusyFlag.store(1);
    sink.EnableProgressBar();
    const update::UpdateOutcome outcome = procedure(context);
    sink.EndProgressBar();
    if (outcome == update::UpdateOutcome::kAborted) {
      std::fprintf(stderr, "quelmar-cli: stopped during the erase wait: nothing was written.\n");
    }
    return outcome == update::UpdateOutcome::kSuccess;
  };

  bool ok = true;
  if (args.code) ok = run(update::RunCodeUpdate);
  if (ok && args.data) ok = run(update::RunDataFlashUpdate);
  if (ok && args.reboot) ok = !interrupts.Interrupted() && board.RebootDevice();
  if (interrupts.Interrupted()) std::fprintf(stderr, "quelmar-cli: stopped by the user.\n");
  return ok ? kExitOk : kExitFailure;
}

}  // namespace quelmar::cli
