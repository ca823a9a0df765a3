// Carries the core's calls into the UI (log text, progress, control sets)
// and the port worker's completions to the UI thread, in the order they
// were made. The worker never waits for the UI thread: its calls are queued
// and the UI thread applies them when its event loop comes to them, so the
// two threads cannot block each other whatever either is doing.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "common/ui_sink.h"

namespace quelmar::app {

class UiQueue final : public UiSink {
 public:
  // target: the view, touched only on the UI thread (the thread that makes
  // this queue). wake: asks the UI thread to call Drain() soon; called from
  // any thread, once for each time the queue stops being empty.
  // on_ui_log: called after log text that the UI thread itself wrote.
  UiQueue(UiSink& target, std::function<void()> wake, std::function<void()> on_ui_log = {});
  UiQueue(const UiQueue&) = delete;
  UiQueue& operator=(const UiQueue&) = delete;

  // On the UI thread a call is applied at once, after everything queued
  // before it; from any other thread it is queued.
  void LogText(int severity, std::string_view text) override;
  void ErrorBox(std::string_view text) override;
  void ProgressChanged(const ProgressState& state) override;
  void SetControlEnabled(int control_id, bool enabled) override;

  // Runs fn on the UI thread after every call queued before it.
  void Post(std::function<void()> fn);

  // UI thread: applies queued calls in order until the queue is empty or
  // the budget is spent; then asks for another wake if calls remain.
  // Log text of one severity in a row is applied as one piece and only the
  // last of a run of progress states is drawn. Returns true when empty.
  bool Drain(std::chrono::milliseconds budget = std::chrono::milliseconds(8));
  // UI thread: drops everything still queued (at shutdown).
  void Discard();

  bool OnUiThread() const { return std::this_thread::get_id() == ui_thread_; }
  // Calls waiting; any thread.
  size_t Pending() const;

 private:
  enum class Kind { kLog, kErrorBox, kProgress, kControl, kCall };
  struct Item {
    Kind kind;
    int number = 0;  // severity, or control id
    bool enabled = false;
    std::string text;
    ProgressState progress;
    std::function<void()> call;
  };
  // Longest run of log text applied as one piece.
  static constexpr size_t kMaxLogPiece = 4 * 1024;

  void Push(Item item);
  // Takes the next call (merging a run of log text or progress) and applies
  // it outside the lock, so that a call may run a nested event loop that
  // drains again without upsetting the order.
  bool ApplyNext();
  void Apply(Item& item);

  UiSink& target_;
  std::function<void()> wake_;
  std::function<void()> on_ui_log_;
  const std::thread::id ui_thread_;

  mutable std::mutex mutex_;
  std::deque<Item> items_;
  bool wake_pending_ = false;
};

}  // namespace quelmar::app
