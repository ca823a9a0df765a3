// Several boards at once: the shared console that keeps their lines apart,
// each board's sink, and the checks on the ports given.
#pragma once

#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/ui_sink.h"
#include "link/serial_port.h"
#include "progress_bar.h"

namespace quelmar::cli {

// stdout and stderr shared by the boards' threads. A line is written whole,
// so lines of two boards never mix. With bars on (stderr a terminal), the
// bottom of stderr holds one progress line per board, redrawn in place.
class BoardConsole {
 public:
  // A null out drops what would go to stdout (--json writes its own).
  BoardConsole(std::FILE* out, std::FILE* err, std::vector<std::string> labels);
  ~BoardConsole();
  BoardConsole(const BoardConsole&) = delete;
  BoardConsole& operator=(const BoardConsole&) = delete;

  // Whether error text is coloured (stdout is a terminal).
  bool Color() const { return color_; }
  // Writes one or more complete lines to stdout.
  void Print(const std::string& lines);
  // Writes one or more complete lines to stderr.
  void PrintError(const std::string& lines);
  void Progress(size_t board, const ProgressState& state);
  // Also hands every board's progress to listener (set before the boards
  // start; called on the boards' threads).
  void SetProgressListener(std::function<void(size_t, const ProgressState&)> listener) {
    progress_listener_ = std::move(listener);
  }
  // The board's progress line goes blank (its step ended).
  void EndProgress(size_t board);

 private:
  void Write(std::FILE* to, const std::string& lines);
  void ClearBlockLocked();
  void DrawBlockLocked();

  struct Slot {
    std::string label;
    ProgressMeter meter;
    bool visible = false;
  };
  std::mutex mutex_;
  std::FILE* out_;
  std::FILE* err_;
  bool color_;
  bool bars_;
  std::vector<Slot> slots_;
  size_t drawn_ = 0;  // lines of the progress block on screen
  ProgressMeter::Clock::time_point last_draw_{};
  std::function<void(size_t, const ProgressState&)> progress_listener_;
};

// One board's sink: every log line goes out prefixed with "<label>: " once
// it is complete; progress goes to the console's line of this board. While
// muted (waiting for a board to come or go) nothing goes anywhere. While
// recording, the log text is also kept, unprefixed, for the board's record.
class BoardSink final : public UiSink {
 public:
  BoardSink(BoardConsole& console, size_t index, std::string label);

  void LogText(int severity, std::string_view text) override;
  void ErrorBox(std::string_view text) override;
  void ProgressChanged(const ProgressState& state) override;
  void SetControlEnabled(int, bool) override {}

  // Ends an unfinished line, so that it is printed.
  void Flush();
  void SetMuted(bool muted);
  void StartRecord();
  // The text kept since StartRecord; recording stops.
  std::string TakeRecord();
  const std::string& Label() const { return label_; }

 private:
  std::mutex mutex_;
  BoardConsole& console_;
  const size_t index_;
  const std::string label_;
  std::string pending_;  // the unfinished line as it will print (colours included)
  bool muted_ = false;
  bool recording_ = false;
  std::string record_;
};

// Whether two ports are one: the same COM number, or device paths that
// name one device (a COM<n> link and its target). The first such pair of
// indices, or nullopt.
std::optional<std::pair<size_t, size_t>> FindSamePort(const std::vector<link::PortId>& ports);

// The file name of a board's record: "<time>-<label>[-board<n>].log", the
// label made safe for a file name ("/dev/pts/4" -> "dev_pts_4").
// time is "YYYYMMDD-HHMMSS"; board 0 means no board number.
std::string RecordFileName(const std::string& time, const std::string& label, unsigned board);

}  // namespace quelmar::cli
