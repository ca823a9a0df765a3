// UI sink seam: the core's only way out to whoever shows its work.
// The GUI forwards each call to its UI thread in call order; the CLI prints;
// tests record. Calls may come from any thread, and the log calls the sink
// while holding its lock: an implementation must not wait for a thread that
// may itself be logging (the GUI queues to its UI thread instead of blocking).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quelmar {

inline constexpr int kSeverityNormal = 0;
inline constexpr int kSeverityError = 1;

struct ProgressState {
  uint32_t position = 0;
  uint32_t maximum = 100;
  uint32_t step = 1;
  std::string caption;  // shown instead of the percentage when not empty

  bool operator==(const ProgressState&) const = default;
};

class UiSink {
 public:
  virtual ~UiSink() = default;

  // One piece of log text exactly as formatted; severity 1 is an error (red),
  // anything else normal. The text carries its own line ends.
  virtual void LogText(int severity, std::string_view text) = 0;
  // A modal error report for failures that happen before there is a log.
  virtual void ErrorBox(std::string_view text) = 0;
  // The progress indicator must be redrawn from this state.
  virtual void ProgressChanged(const ProgressState& state) = 0;
  // Enable or disable one dialog control (IDC_* of common/ids.h).
  virtual void SetControlEnabled(int control_id, bool enabled) = 0;
};

// A sink that drops everything: for front ends without a log or controls.
class NullUiSink : public UiSink {
 public:
  void LogText(int, std::string_view) override {}
  void ErrorBox(std::string_view) override {}
  void ProgressChanged(const ProgressState&) override {}
  void SetControlEnabled(int, bool) override {}
};

}  // namespace quelmar
