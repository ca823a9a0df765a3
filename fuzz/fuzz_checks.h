// Shared pieces of the fuzz targets: a sink that keeps the log, and a check
// that stops the run with a message when an invariant breaks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/ui_sink.h"

namespace quelmar::fuzz {

class KeepingSink final : public UiSink {
 public:
  struct Line {
    int severity;
    std::string text;
  };
  void LogText(int severity, std::string_view text) override {
    lines.push_back({severity, std::string(text)});
  }
  void ErrorBox(std::string_view) override {}
  void ProgressChanged(const ProgressState&) override {}
  void SetControlEnabled(int, bool) override {}
  std::vector<Line> lines;
};

inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

}  // namespace quelmar::fuzz
