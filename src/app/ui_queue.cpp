#include "app/ui_queue.h"

namespace quelmar::app {

UiQueue::UiQueue(UiSink& target, std::function<void()> wake, std::function<void()> on_ui_log)
    : target_(target),
      wake_(std::move(wake)),
      on_ui_log_(std::move(on_ui_log)),
      ui_thread_(std::this_thread::get_id()) {}

void UiQueue::Push(Item item) {
  if (OnUiThread()) {
    // Calls made earlier on other threads come first.
    while (ApplyNext()) {
    }
    Apply(item);
    if (item.kind == Kind::kLog && on_ui_log_) on_ui_log_();
    return;
  }
  bool wake = false;
  {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    if (!wake_pending_) wake = wake_pending_ = true;
  }
  if (wake && wake_) wake_();
}

void UiQueue::LogText(int severity, std::string_view text) {
  Push(Item{Kind::kLog, severity, false, std::string(text), {}, {}});
}

void UiQueue::ErrorBox(std::string_view text) {
  Push(Item{Kind::kErrorBox, 0, false, std::string(text), {}, {}});
}

void UiQueue::ProgressChanged(const ProgressState& state) {
  Push(Item{Kind::kProgress, 0, false, {}, state, {}});
}

void UiQueue::SetControlEnabled(int control_id, bool enabled) {
  Push(Item{Kind::kControl, control_id, enabled, {}, {}, {}});
}

void UiQueue::Post(std::function<void()> fn) {
  Push(Item{Kind::kCall, 0, false, {}, {}, std::move(fn)});
}

size_t UiQueue::Pending() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

bool UiQueue::ApplyNext() {
  Item item;
  {
    std::lock_guard lock(mutex_);
    if (items_.empty()) return false;
    item = std::move(items_.front());
    items_.pop_front();
    if (item.kind == Kind::kLog) {
      while (!items_.empty() && items_.front().kind == Kind::kLog &&
             items_.front().number == item.number &&
             item.text.size() + items_.front().text.size() <= kMaxLogPiece) {
        item.text += items_.front().text;
        items_.pop_front();
      }
    } else if (item.kind == Kind::kProgress) {
      while (!items_.empty() && items_.front().kind == Kind::kProgress) {
        item.progress = std::move(items_.front().progress);
        items_.pop_front();
      }
    }
  }
  Apply(item);
  return true;
}

void UiQueue::Apply(Item& item) {
  switch (item.kind) {
    case Kind::kLog:
      target_.LogText(item.number, item.text);
      break;
    case Kind::kErrorBox:
      target_.ErrorBox(item.text);
      break;
    case Kind::kProgress:
      target_.ProgressChanged(item.progress);
      break;
    case Kind::kControl:
      target_.SetControlEnabled(item.number, item.enabled);
      break;
    case Kind::kCall:
      if (item.call) item.call();
      break;
  }
}

bool UiQueue::Drain(std::chrono::milliseconds budget) {
  {
    std::lock_guard lock(mutex_);
    wake_pending_ = false;
  }
  const auto deadline = std::chrono::steady_clock::now() + budget;
  while (ApplyNext()) {
    if (std::chrono::steady_clock::now() < deadline) continue;
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      if (items_.empty()) return true;
      if (!wake_pending_) wake = wake_pending_ = true;
    }
    // Let the toolkit paint and take input before the rest.
    if (wake && wake_) wake_();
    return false;
  }
  return true;
}

void UiQueue::Discard() {
  std::lock_guard lock(mutex_);
  items_.clear();
}

}  // namespace quelmar::app
