#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <string>

#include "cli.h"

namespace quelmar::cli {
namespace {

#ifdef _WIN32
HANDLE ConsoleOf(std::FILE* f) {
  const intptr_t handle = _get_osfhandle(_fileno(f));
  return handle == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
}

// A console that takes colour and cursor escapes. Consoles before Windows 10
// print them as text, so those get plain text and no bar.
bool IsTerminal(std::FILE* f) {
  const HANDLE console = ConsoleOf(f);
  DWORD mode = 0;
  if (!GetConsoleMode(console, &mode)) return false;
  if ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0) return true;
  return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// A process has one console.
bool SameTerminal(std::FILE* a, std::FILE* b) {
  return IsTerminal(a) && IsTerminal(b);
}

size_t TerminalWidth(std::FILE* f) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (GetConsoleScreenBufferInfo(ConsoleOf(f), &info)) {
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    if (columns > 0) return static_cast<size_t>(columns);
  }
  return 80;
}
#else
bool IsTerminal(std::FILE* f) {
  return isatty(fileno(f)) != 0;
}

bool SameTerminal(std::FILE* a, std::FILE* b) {
  struct stat sa {
  }, sb{};
  if (!IsTerminal(a) || !IsTerminal(b)) return false;
  if (fstat(fileno(a), &sa) != 0 || fstat(fileno(b), &sb) != 0) return false;
  return sa.st_rdev == sb.st_rdev;
}

size_t TerminalWidth(std::FILE* f) {
  winsize ws{};
  if (ioctl(fileno(f), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}
#endif

// Columns a printed line takes, skipping colour escapes.
size_t VisibleWidth(const std::string& s) {
  size_t width = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\033') {
      while (i < s.size() && s[i] != 'm') ++i;
      continue;
    }
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) ++width;
  }
  return width;
}

}  // namespace

TerminalSink::TerminalSink(std::FILE* out, std::FILE* bar_out)
    : out_(out), bar_out_(bar_out), color_(IsTerminal(out)) {}

TerminalSink::~TerminalSink() {
  EndProgressBar();
}

void TerminalSink::EnableProgressBar() {
  std::lock_guard lock(mutex_);
  bar_enabled_ = IsTerminal(bar_out_);
  same_terminal_ = SameTerminal(out_, bar_out_);
}

void TerminalSink::EndProgressBar() {
  std::lock_guard lock(mutex_);
  ClearBarLocked();
  bar_enabled_ = false;
}

void TerminalSink::ClearBarLocked() {
  if (!bar_shown_) return;
  std::fputs("\r\033[K", bar_out_);
  std::fflush(bar_out_);
  if (same_terminal_) {
    // The clear took the unfinished log line with it.
    std::fputs(pending_.c_str(), out_);
    std::fflush(out_);
  }
  bar_shown_ = false;
}

void TerminalSink::DrawBarLocked() {
  const auto now = ProgressMeter::Clock::now();
  const size_t width = TerminalWidth(bar_out_);
  std::string line = "\r\033[K";
  size_t room = width > 1 ? width - 1 : 0;
  if (same_terminal_) {
    const size_t used = VisibleWidth(pending_);
    if (used + 20 < room) {
      line += pending_;
      room -= used;
    } else {
      room = 0;  // no room beside the log line: leave the log alone
    }
  }
  if (room == 0) return;
  line += meter_.Line(room, now);
  std::fputs(line.c_str(), bar_out_);
  std::fflush(bar_out_);
  bar_shown_ = true;
}

void TerminalSink::ProgressChanged(const ProgressState& state) {
  std::lock_guard lock(mutex_);
  if (!bar_enabled_) return;
  if (!meter_.Update(state, ProgressMeter::Clock::now())) return;
  if (!meter_.Visible()) {
    ClearBarLocked();
    return;
  }
  DrawBarLocked();
}

void TerminalSink::LogText(int severity, std::string_view text) {
  std::lock_guard lock(mutex_);
  ClearBarLocked();
  std::string printed;
  if (severity == kSeverityError && color_) {
    // Colour each line separately so that a line end never carries the
    // colour into the next prompt or the next normal line.
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      const size_t stop = end == std::string_view::npos ? text.size() : end;
      if (stop > start) {
        printed += "\033[31m";
        printed.append(text.substr(start, stop - start));
        printed += "\033[0m";
      }
      if (end == std::string_view::npos) break;
      printed += '\n';
      start = end + 1;
    }
  } else {
    printed.assign(text);
  }
  std::fwrite(printed.data(), 1, printed.size(), out_);
  std::fflush(out_);
  const size_t last_break = printed.rfind('\n');
  if (last_break == std::string::npos) {
    pending_ += printed;
  } else {
    pending_ = printed.substr(last_break + 1);
  }
}

void TerminalSink::ErrorBox(std::string_view text) {
  std::lock_guard lock(mutex_);
  ClearBarLocked();
  std::fprintf(stderr, "quelmar-cli: %.*s\n", static_cast<int>(text.size()), text.data());
}

int UsageError(std::string_view command, const std::string& message) {
  std::fprintf(stderr, "quelmar-cli: %s\n", message.c_str());
  if (command.empty()) {
    std::fprintf(stderr, "Try 'quelmar-cli --help'.\n");
  } else {
    std::fprintf(stderr, "Try 'quelmar-cli %.*s --help'.\n", static_cast<int>(command.size()),
                 command.data());
  }
  return kExitUsage;
}

bool OnTerminal(std::FILE* f) {
  return IsTerminal(f);
}

size_t ColumnsOf(std::FILE* f) {
  return TerminalWidth(f);
}

bool IsHelp(std::string_view arg) {
  return arg == "-h" || arg == "--help";
}

}  // namespace quelmar::cli
