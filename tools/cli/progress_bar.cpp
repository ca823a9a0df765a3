#include "progress_bar.h"

#include <cstdio>

namespace quelmar::cli {

bool ProgressMeter::Update(const ProgressState& state, Clock::time_point now) {
  // A new phase starts when the position falls back or the scale changes.
  const bool new_phase = state.position < state_.position || state.maximum != state_.maximum ||
                         state.caption != state_.caption;
  if (new_phase) {
    phase_start_ = now;
    phase_start_position_ = state.position;
  }
  state_ = state;
  const bool at_end = state.maximum != 0 && state.position >= state.maximum;
  if (!drawn_once_ || new_phase || at_end || now - last_draw_ >= std::chrono::milliseconds(100)) {
    drawn_once_ = true;
    last_draw_ = now;
    return true;
  }
  return false;
}

bool ProgressMeter::Visible() const {
  return state_.position > 0 || !state_.caption.empty();
}

std::string FormatDuration(std::chrono::seconds s) {
  const long long total = s.count();
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                  total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

std::string ProgressMeter::Line(size_t width, Clock::time_point now) const {
  const double fraction =
      state_.maximum == 0 ? 0.0
                          : std::min(1.0, static_cast<double>(state_.position) / state_.maximum);
  const double elapsed = std::chrono::duration<double>(now - phase_start_).count();
  std::string tail;
  char text[96];
  if (!state_.caption.empty()) {
    std::snprintf(text, sizeof text, " %s %s", state_.caption.c_str(),
                  FormatDuration(std::chrono::seconds(static_cast<long long>(elapsed))).c_str());
    tail = text;
  } else {
    std::snprintf(text, sizeof text, " %5.1f%%", 100.0 * fraction);
    tail = text;
    const uint32_t done = state_.position - phase_start_position_;
    if (elapsed > 0.2 && done > 0) {
      const double rate = done / elapsed;
      const double left = (state_.maximum - state_.position) / rate;
      std::snprintf(
          text, sizeof text, "  %.0f blocks/s  %s left", rate,
          FormatDuration(std::chrono::seconds(static_cast<long long>(left + 0.5))).c_str());
      tail += text;
    }
  }
  // The bar takes what the text leaves, between 10 and 40 columns.
  size_t bar = width > tail.size() + 2 ? width - tail.size() - 2 : 0;
  bar = std::min<size_t>(bar, 40);
  if (bar < 10) return tail.substr(tail.find_first_not_of(' ')).substr(0, width);
  const size_t filled = static_cast<size_t>(fraction * static_cast<double>(bar));
  return "[" + std::string(filled, '#') + std::string(bar - filled, '.') + "]" + tail;
}

}  // namespace quelmar::cli
