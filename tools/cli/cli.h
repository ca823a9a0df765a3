// quelmar-cli: shared pieces of the sub-commands.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "common/ui_sink.h"

namespace quelmar::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the device or a file failed
inline constexpr int kExitUsage = 2;    // the command line was wrong

// Prints the log to stdout exactly as the GUI log shows it; error text in
// red when stdout is a terminal. Error boxes go to stderr.
class TerminalSink final : public UiSink {
 public:
  explicit TerminalSink(std::FILE* out = stdout);
  void LogText(int severity, std::string_view text) override;
  void ErrorBox(std::string_view text) override;
  void ProgressChanged(const ProgressState&) override {}
  void SetControlEnabled(int, bool) override {}

 private:
  std::FILE* out_;
  bool color_;
};

// Prints "quelmar-cli: <message>" and a hint to stderr; returns kExitUsage.
int UsageError(std::string_view command, const std::string& message);
// True when args[i] is -h or --help.
bool IsHelp(std::string_view arg);

// Sub-commands: argv[0] is the sub-command's name.
int CmdPorts(int argc, char** argv);
int CmdIdentify(int argc, char** argv);
int CmdReboot(int argc, char** argv);
int CmdInfo(int argc, char** argv);
int CmdPackCode(int argc, char** argv);
int CmdPackData(int argc, char** argv);
int CmdFlash(int argc, char** argv);

}  // namespace quelmar::cli
