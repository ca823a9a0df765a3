// The terminal progress bar of long operations, drawn on stderr.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "common/ui_sink.h"

namespace quelmar::cli {

// Turns the stream of progress states into bar lines with a rate and the
// time left. Pure: the caller supplies the time, so it can be tested.
class ProgressMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes a new state; true when the bar should be redrawn now (at most
  // ten times a second, but always at a phase change or the last step).
  bool Update(const ProgressState& state, Clock::time_point now);
  // The bar for the last state, at most width columns:
  // "[#######.............]  35.2%  812 blocks/s  0:03 left"
  // or, with a caption, "[###....] Waiting... 0:12".
  std::string Line(size_t width, Clock::time_point now) const;
  // Whether the last state shows anything (position above 0 or a caption).
  bool Visible() const;

 private:
  ProgressState state_;
  Clock::time_point phase_start_{};
  uint32_t phase_start_position_ = 0;
  Clock::time_point last_draw_{};
  bool drawn_once_ = false;
};

std::string FormatDuration(std::chrono::seconds s);

}  // namespace quelmar::cli
