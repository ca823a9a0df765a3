#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli.h"

namespace quelmar::cli {

TerminalSink::TerminalSink(std::FILE* out) : out_(out), color_(isatty(fileno(out)) != 0) {}

void TerminalSink::LogText(int severity, std::string_view text) {
  if (severity == kSeverityError && color_) {
    // Colour each line separately so that a line end never carries the
    // colour into the next prompt or the next normal line.
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      const size_t stop = end == std::string_view::npos ? text.size() : end;
      if (stop > start) {
        std::fputs("\033[31m", out_);
        std::fwrite(text.data() + start, 1, stop - start, out_);
        std::fputs("\033[0m", out_);
      }
      if (end == std::string_view::npos) break;
      std::fputc('\n', out_);
      start = end + 1;
    }
  } else {
    std::fwrite(text.data(), 1, text.size(), out_);
  }
  std::fflush(out_);
}

void TerminalSink::ErrorBox(std::string_view text) {
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

bool IsHelp(std::string_view arg) {
  return arg == "-h" || arg == "--help";
}

}  // namespace quelmar::cli
