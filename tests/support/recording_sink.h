// A UI sink that records everything the core shows, for assertions.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/ui_sink.h"

namespace quelmar::testing {

class RecordingSink final : public UiSink {
 public:
  struct Entry {
    int severity;
    std::string text;
    bool operator==(const Entry&) const = default;
  };

  void LogText(int severity, std::string_view text) override {
    std::lock_guard lock(mutex_);
    log_.push_back({severity, std::string(text)});
  }
  void ErrorBox(std::string_view text) override {
    std::lock_guard lock(mutex_);
    error_boxes_.emplace_back(text);
  }
  void ProgressChanged(const ProgressState& state) override {
    std::lock_guard lock(mutex_);
    progress_.push_back(state);
  }
  void SetControlEnabled(int control_id, bool enabled) override {
    {
      std::lock_guard lock(mutex_);
      controls_.emplace_back(control_id, enabled);
    }
    if (on_control) on_control(control_id, enabled);
  }
  // Called on every control change, on the caller's thread.
  std::function<void(int control_id, bool enabled)> on_control;

  std::vector<Entry> Log() const {
    std::lock_guard lock(mutex_);
    return log_;
  }
  // All log text run together, as a log view would show it.
  std::string Text() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& e : log_) all += e.text;
    return all;
  }
  // Only the text logged with severity 1.
  std::string ErrorText() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& e : log_)
      if (e.severity == 1) all += e.text;
    return all;
  }
  std::vector<std::string> ErrorBoxes() const {
    std::lock_guard lock(mutex_);
    return error_boxes_;
  }
  std::vector<ProgressState> Progress() const {
    std::lock_guard lock(mutex_);
    return progress_;
  }
  std::vector<std::pair<int, bool>> Controls() const {
    std::lock_guard lock(mutex_);
    return controls_;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    log_.clear();
    error_boxes_.clear();
    progress_.clear();
    controls_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> log_;
  std::vector<std::string> error_boxes_;
  std::vector<ProgressState> progress_;
  std::vector<std::pair<int, bool>> controls_;
};

}  // namespace quelmar::testing
