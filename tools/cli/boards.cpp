#include "boards.h"

#include <cctype>
#include <filesystem>

#include "cli.h"

namespace quelmar::cli {

BoardConsole::BoardConsole(std::FILE* out, std::FILE* err, std::vector<std::string> labels)
    : out_(out), err_(err), color_(out != nullptr && OnTerminal(out)), bars_(OnTerminal(err)) {
  for (std::string& label : labels) slots_.push_back(Slot{std::move(label), {}, false});
}

BoardConsole::~BoardConsole() {
  std::lock_guard lock(mutex_);
  ClearBlockLocked();
}

void BoardConsole::ClearBlockLocked() {
  if (drawn_ == 0) return;
  // Up to the block's first line, then clear to the end of the screen.
  std::fprintf(err_, "\033[%zuA\r\033[J", drawn_);
  std::fflush(err_);
  drawn_ = 0;
}

void BoardConsole::DrawBlockLocked() {
  std::string block;
  const auto now = ProgressMeter::Clock::now();
  const size_t width = ColumnsOf(err_);
  size_t lines = 0;
  for (const Slot& slot : slots_) {
    if (!slot.visible) continue;
    std::string line = slot.label + ": ";
    // One column is left free so that the terminal never wraps the line.
    if (line.size() + 6 < width) line += slot.meter.Line(width - 1 - line.size(), now);
    block += "\r\033[K" + line + "\n";
    ++lines;
  }
  if (drawn_ > 0) std::fprintf(err_, "\033[%zuA", drawn_);
  std::fputs(block.c_str(), err_);
  if (lines < drawn_) std::fputs("\033[J", err_);  // lines of boards that ended
  std::fflush(err_);
  drawn_ = lines;
}

void BoardConsole::Print(const std::string& lines) {
  Write(out_, lines);
}

void BoardConsole::PrintError(const std::string& lines) {
  Write(err_, lines);
}

// The progress block leaves the screen while lines go out above it.
void BoardConsole::Write(std::FILE* to, const std::string& lines) {
  if (to == nullptr) return;
  std::lock_guard lock(mutex_);
  ClearBlockLocked();
  std::fwrite(lines.data(), 1, lines.size(), to);
  std::fflush(to);
  if (bars_) DrawBlockLocked();
}

void BoardConsole::Progress(size_t board, const ProgressState& state) {
  if (progress_listener_) progress_listener_(board, state);
  std::lock_guard lock(mutex_);
  if (!bars_ || board >= slots_.size()) return;
  Slot& slot = slots_[board];
  const auto now = ProgressMeter::Clock::now();
  const bool redraw = slot.meter.Update(state, now);
  const bool visible = slot.meter.Visible();
  // Every board asks for its own redraws; the block is drawn at most ten
  // times a second for all of them, except when a line comes or goes.
  if (visible == slot.visible && (!redraw || now - last_draw_ < std::chrono::milliseconds(100)))
    return;
  slot.visible = visible;
  last_draw_ = now;
  DrawBlockLocked();
}

void BoardConsole::EndProgress(size_t board) {
  std::lock_guard lock(mutex_);
  if (!bars_ || board >= slots_.size() || !slots_[board].visible) return;
  slots_[board].visible = false;
  slots_[board].meter = ProgressMeter();
  DrawBlockLocked();
}

BoardSink::BoardSink(BoardConsole& console, size_t index, std::string label)
    : console_(console), index_(index), label_(std::move(label)) {}

void BoardSink::LogText(int severity, std::string_view text) {
  std::string complete;
  {
    std::lock_guard lock(mutex_);
    if (muted_) return;
    if (recording_) record_.append(text);
    const bool red = severity == kSeverityError && console_.Color();
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      const size_t stop = end == std::string_view::npos ? text.size() : end;
      if (stop > start) {
        if (red) pending_ += "\033[31m";
        pending_.append(text.substr(start, stop - start));
        if (red) pending_ += "\033[0m";
      }
      if (end == std::string_view::npos) break;
      complete += label_ + ": " + pending_ + "\n";
      pending_.clear();
      start = end + 1;
    }
  }
  // Printed outside our lock: the console has its own, and two boards'
  // sinks never wait on each other.
  if (!complete.empty()) console_.Print(complete);
}

void BoardSink::ErrorBox(std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    if (muted_) return;
    if (recording_) record_.append(text).append("\n");
  }
  console_.PrintError("quelmar-cli: " + label_ + ": " + std::string(text) + "\n");
}

void BoardSink::ProgressChanged(const ProgressState& state) {
  {
    std::lock_guard lock(mutex_);
    if (muted_) return;
  }
  console_.Progress(index_, state);
}

void BoardSink::Flush() {
  std::string line;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return;
    line = label_ + ": " + pending_ + "\n";
    pending_.clear();
    if (recording_) record_ += "\n";
  }
  console_.Print(line);
}

void BoardSink::SetMuted(bool muted) {
  std::lock_guard lock(mutex_);
  muted_ = muted;
  if (muted) pending_.clear();
}

void BoardSink::StartRecord() {
  std::lock_guard lock(mutex_);
  recording_ = true;
  record_.clear();
}

std::string BoardSink::TakeRecord() {
  std::lock_guard lock(mutex_);
  recording_ = false;
  return std::move(record_);
}

namespace {

bool SameDevice(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  if (a == b) return true;
  std::error_code error;
  // Follows links, so COM<n> and its target compare equal.
  if (std::filesystem::equivalent(a, b, error) && !error) return true;
#ifdef _WIN32
  // Device names such as \\.\COM3 are not files; their case does not count.
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
#else
  return false;
#endif
}

}  // namespace

std::optional<std::pair<size_t, size_t>> FindSamePort(const std::vector<link::PortId>& ports) {
  for (size_t i = 0; i < ports.size(); ++i) {
    for (size_t j = i + 1; j < ports.size(); ++j) {
      const link::PortId& a = ports[i];
      const link::PortId& b = ports[j];
      if ((a.number > 0 && a.number == b.number) || SameDevice(a.device, b.device))
        return std::pair{i, j};
    }
  }
  return std::nullopt;
}

std::string RecordFileName(const std::string& time, const std::string& label, unsigned board) {
  std::string safe;
  for (char c : label) {
    const bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    // Nothing but a letter or digit leads: no hidden file, no option.
    if (plain && (!safe.empty() || std::isalnum(static_cast<unsigned char>(c)))) {
      safe += c;
    } else if (!plain && !safe.empty() && safe.back() != '_') {
      safe += '_';
    }
  }
  while (!safe.empty() && safe.back() == '_') safe.pop_back();
  if (safe.empty()) safe = "port";
  std::string name = time + "-" + safe;
  if (board > 0) name += "-board" + std::to_string(board);
  return name + ".log";
}

}  // namespace quelmar::cli
