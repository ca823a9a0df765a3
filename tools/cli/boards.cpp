#include "boards.h"

#include <cctype>

#include "cli.h"
#include "common/ui_sink.h"
#include "records.h"

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

const std::string& BoardConsole::LabelOf(size_t board) const {
  static const std::string kNone;
  return board < slots_.size() ? slots_[board].label : kNone;
}

void BoardConsole::LogText(size_t board, int severity, std::string_view text) {
  if (board >= slots_.size()) return;
  const std::string& label = slots_[board].label;
  Line& l = *slots_[board].line;
  std::string complete;
  {
    std::lock_guard lock(l.mutex);
    const bool red = severity == kSeverityError && color_;
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      const size_t stop = end == std::string_view::npos ? text.size() : end;
      if (stop > start) {
        if (red) l.pending += "\033[31m";
        l.pending.append(text.substr(start, stop - start));
        if (red) l.pending += "\033[0m";
      }
      if (end == std::string_view::npos) break;
      complete += label + ": " + l.pending + "\n";
      l.pending.clear();
      start = end + 1;
    }
  }
  // Printed outside the line's lock: the console has its own.
  if (!complete.empty()) Write(out_, complete);
}

void BoardConsole::EndLine(size_t board) {
  if (board >= slots_.size()) return;
  Line& l = *slots_[board].line;
  std::string line;
  {
    std::lock_guard lock(l.mutex);
    if (l.pending.empty()) return;
    line = slots_[board].label + ": " + l.pending + "\n";
    l.pending.clear();
  }
  Write(out_, line);
}

void BoardConsole::Note(size_t board, std::string_view line) {
  Write(err_, "quelmar-cli: " + LabelOf(board) + ": " + std::string(line) + "\n");
}

void BoardConsole::Waiting(size_t board) {
  Write(out_, LabelOf(board) + ": waiting for a board...\n");
}

void BoardConsole::BoardDone(size_t board, unsigned number, bool ok) {
  Write(out_, LabelOf(board) + ": board " + std::to_string(number) + ": " + (ok ? "OK" : "FAILED") +
                  "\n");
}

void BoardConsole::RunEnded(const station::RunSummary& summary) {
  if (summary.stopped) Write(err_, "quelmar-cli: stopped by the user.\n");
  if (summary.auto_mode) {
    Write(out_, "Boards: " + std::to_string(summary.ok) + " OK, " + std::to_string(summary.failed) +
                    " failed\n");
    return;
  }
  std::string lines;
  for (size_t i = 0; i < summary.ports_ok.size(); ++i)
    lines += LabelOf(i) + (summary.ports_ok[i] ? ": OK\n" : ": FAILED\n");
  Write(out_, lines);
}

std::function<bool(const station::BoardText&, const station::Note&)> TextRecordsIn(
    std::string dir) {
  return [dir = std::move(dir)](const station::BoardText& t, const station::Note& note) {
    Record r;
    r.start = t.start;
    r.label = t.label;
    r.device = t.device;
    r.board = t.board;
    r.bootloader = t.bootloader;
    r.chip = t.chip;
    r.ok = t.ok;
    r.log = t.log;
    return WriteRecord(dir, r, note);
  };
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
