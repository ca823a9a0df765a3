#include "common/progress.h"

namespace quelmar {

void Progress::SetSink(UiSink* sink) {
  std::lock_guard lock(mutex_);
  sink_ = sink;
}

void Progress::ResetProgress() {
  std::lock_guard lock(mutex_);
  state_.position = 0;
  Repaint();
}

void Progress::SetProgressMaximum(uint32_t n) {
  std::lock_guard lock(mutex_);
  state_.maximum = n;
  state_.step = 1;
  Repaint();
}

void Progress::StepProgress() {
  std::lock_guard lock(mutex_);
  state_.position += state_.step;  // unsigned: wraps like the indicator's own counter
  if (state_.position > state_.maximum) state_.position = 0;
  Repaint();
}

void Progress::SetProgressCaption(std::string_view text) {
  std::lock_guard lock(mutex_);
  state_.caption.assign(text.substr(0, kMaxCaption));
  Repaint();
}

ProgressState Progress::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void Progress::Repaint() {
  if (sink_ != nullptr) sink_->ProgressChanged(state_);
}

}  // namespace quelmar
