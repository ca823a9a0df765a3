// quelmar-cli: shared pieces of the sub-commands.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "common/ui_sink.h"
#include "progress_bar.h"

namespace quelmar::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the device or a file failed
inline constexpr int kExitUsage = 2;    // the command line was wrong

// Prints the log to stdout exactly as the GUI log shows it; error text in
// red when stdout is a terminal. Error boxes go to stderr. With the progress
// bar enabled and stderr a terminal, long operations show a bar there.
class TerminalSink final : public UiSink {
 public:
  explicit TerminalSink(std::FILE* out = stdout, std::FILE* bar_out = stderr);
  ~TerminalSink() override;

  // Shows progress on bar_out when it is a terminal; otherwise nothing.
  void EnableProgressBar();
  // Removes the bar, if shown, leaving the log as it was.
  void EndProgressBar();

  void LogText(int severity, std::string_view text) override;
  void ErrorBox(std::string_view text) override;
  void ProgressChanged(const ProgressState& state) override;
  void SetControlEnabled(int, bool) override {}

 private:
  void ClearBarLocked();
  void DrawBarLocked();

  std::mutex mutex_;
  std::FILE* out_;
  std::FILE* bar_out_;
  bool color_;
  bool bar_enabled_ = false;
  bool bar_shown_ = false;
  // stdout and the bar share one terminal line: the bar is drawn after the
  // unfinished log line, which must be redrawn when the bar goes.
  bool same_terminal_ = false;
  std::string pending_;  // the unfinished log line as printed (colours included)
  ProgressMeter meter_;
};

// Prints "quelmar-cli: <message>" and a hint to stderr; returns kExitUsage.
int UsageError(std::string_view command, const std::string& message);
// True when args[i] is -h or --help.
bool IsHelp(std::string_view arg);
// Whether f is a terminal that takes colour and cursor escapes.
bool OnTerminal(std::FILE* f);
// The terminal's width in columns (80 when it cannot tell).
size_t ColumnsOf(std::FILE* f);

// Sub-commands: argv[0] is the sub-command's name.
int CmdPorts(int argc, char** argv);
int CmdIdentify(int argc, char** argv);
int CmdReboot(int argc, char** argv);
int CmdInfo(int argc, char** argv);
int CmdPackCode(int argc, char** argv);
int CmdPackData(int argc, char** argv);
int CmdFlash(int argc, char** argv);
int CmdStation(int argc, char** argv);
int CmdRecords(int argc, char** argv);
int CmdLine(int argc, char** argv);
int CmdJob(int argc, char** argv);
int CmdLabel(int argc, char** argv);
// quelmar-cli line dashboard (argv[1] is "dashboard").
int CmdLineDashboard(int argc, char** argv);

}  // namespace quelmar::cli
