// The progress indicator's state and its four operations. Each operation
// changes the state and then asks the UI sink to repaint from a copy of it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string_view>

#include "common/ui_sink.h"

namespace quelmar {

class Progress {
 public:
  // Longest caption kept; longer ones are cut.
  static constexpr size_t kMaxCaption = 255;

  explicit Progress(UiSink* sink = nullptr) : sink_(sink) {}
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void SetSink(UiSink* sink);

  // position := 0.
  void ResetProgress();
  // maximum := n, step := 1; the position stays.
  void SetProgressMaximum(uint32_t n);
  // position += step; a position past the maximum wraps to 0.
  void StepProgress();
  // A non-empty text becomes the caption; an empty one clears it.
  void SetProgressCaption(std::string_view text = {});

  ProgressState State() const;

 private:
  void Repaint();  // called with mutex_ held

  mutable std::mutex mutex_;
  UiSink* sink_;
  ProgressState state_;
};

}  // namespace quelmar
