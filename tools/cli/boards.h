// Several boards at once on one terminal: the console that prints a run's
// boards with their lines kept apart, and the names of their text records.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "progress_bar.h"
#include "station/board_runner.h"

namespace quelmar::cli {

// stdout and stderr shared by the boards' threads. Every log line goes out
// prefixed with "<label>: " once it is complete, so lines of two boards
// never mix; error text is red when stdout is a terminal. With bars on
// (stderr a terminal), the bottom of stderr holds one progress line per
// board, redrawn in place.
class BoardConsole final : public station::RunConsole {
 public:
  // A null out drops what would go to stdout (--json writes its own).
  BoardConsole(std::FILE* out, std::FILE* err, std::vector<std::string> labels);
  ~BoardConsole() override;
  BoardConsole(const BoardConsole&) = delete;
  BoardConsole& operator=(const BoardConsole&) = delete;

  void LogText(size_t board, int severity, std::string_view text) override;
  void EndLine(size_t board) override;
  // "quelmar-cli: COM3: <line>" on stderr.
  void Note(size_t board, std::string_view line) override;
  void Progress(size_t board, const ProgressState& state) override;
  void EndProgress(size_t board) override;
  // "COM3: waiting for a board..."
  void Waiting(size_t board) override;
  // "COM3: board 1: OK" (or FAILED)
  void BoardDone(size_t board, unsigned number, bool ok) override;
  // "Boards: X OK, Y failed" for --auto, else "COM3: OK" per port in order;
  // "quelmar-cli: stopped by the user." on stderr first when stopped.
  void RunEnded(const station::RunSummary& summary) override;

 private:
  // Writes one or more complete lines.
  void Write(std::FILE* to, const std::string& lines);
  void ClearBlockLocked();
  void DrawBlockLocked();
  const std::string& LabelOf(size_t board) const;

  // A board's unfinished line, apart from the others' so that two boards
  // never wait on each other to assemble theirs.
  struct Line {
    std::mutex mutex;
    std::string pending;  // as it will print (colours included)
  };
  struct Slot {
    std::string label;
    ProgressMeter meter;
    bool visible = false;
    std::unique_ptr<Line> line = std::make_unique<Line>();
  };
  std::mutex mutex_;
  std::FILE* out_;
  std::FILE* err_;
  bool color_;
  bool bars_;
  std::vector<Slot> slots_;
  size_t drawn_ = 0;  // lines of the progress block on screen
  ProgressMeter::Clock::time_point last_draw_{};
};

// Writes the runner's text records into dir (--log-dir, a station's
// log_dir), one file per board.
std::function<bool(const station::BoardText&, const station::Note&)> TextRecordsIn(std::string dir);

// The file name of a board's record: "<time>-<label>[-board<n>].log", the
// label made safe for a file name ("/dev/pts/4" -> "dev_pts_4").
// time is "YYYYMMDD-HHMMSS"; board 0 means no board number.
std::string RecordFileName(const std::string& time, const std::string& label, unsigned board);

}  // namespace quelmar::cli
