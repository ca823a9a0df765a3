// quelmar-monitor-probe: the desktop program's logic (src/app, no toolkit)
// on the system's real ports, with a plain event loop in place of the
// toolkit's. It picks one port in the drop-down, which opens it and
// identifies the board, then runs the port monitor every 500 ms as the
// window does, while another thread watches the port's device node. Once
// the port has been closed and has left the drop-down it prints what
// happened and when, and exits 0; after the time limit, 1.
//
// Lines: "entries: ----|COM 1|...", "log: <text>", "open", "tick <n>",
// "node gone after tick <n>", "monitor closes at tick <n>",
// "result: node-gone-to-closed <ms> ms, ...".
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/main_window.h"
#include "app/port_drop_down.h"
#include "app/ui_queue.h"
#include "link/serial_port.h"
#include "version/version.h"

namespace {

using namespace quelmar;
using Steady = std::chrono::steady_clock;

// The UI thread's event loop: timers and calls posted from any thread.
class Loop final : public app::MainWindowView {
 public:
  void RunAfter(std::chrono::milliseconds delay, std::function<void()> fn) override {
    std::lock_guard lock(mutex_);
    timers_.emplace(std::make_pair(Steady::now() + delay, seq_++), std::move(fn));
    wake_.notify_one();
  }
  bool AskStopEraseWait() override { return false; }
  void CloseProgram() override { Quit(); }

  void Quit() {
    std::lock_guard lock(mutex_);
    quit_ = true;
    wake_.notify_one();
  }
  // Runs timers as they fall due until Quit or the deadline; false at the
  // deadline.
  bool Run(Steady::time_point deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (quit_) return true;
      const auto now = Steady::now();
      if (now >= deadline) return false;
      if (!timers_.empty() && timers_.begin()->first.first <= now) {
        auto fn = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        lock.unlock();
        fn();
        lock.lock();
        continue;
      }
      auto until = deadline;
      if (!timers_.empty() && timers_.begin()->first.first < until) {
        until = timers_.begin()->first.first;
      }
      wake_.wait_until(lock, until);
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::multimap<std::pair<Steady::time_point, long>, std::function<void()>> timers_;
  long seq_ = 0;
  bool quit_ = false;
};

class DropDown final : public app::PortDropDown {
 public:
  int Count() const override { return static_cast<int>(entries_.size()); }
  int CurrentIndex() const override { return current_; }
  void SetCurrentIndex(int index) override { current_ = index; }
  void SetEntry(int index, const std::string& text, const std::string&) override {
    if (index == Count()) entries_.emplace_back();
    entries_.at(static_cast<size_t>(index)) = text;
  }
  void TruncateTo(int count) override { entries_.resize(static_cast<size_t>(count)); }

  std::string Joined() const {
    std::string all;
    for (const auto& e : entries_) all += (all.empty() ? "" : "|") + e;
    return all;
  }
  int IndexOf(const std::string& text) const {
    for (size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i] == text) return static_cast<int>(i);
    }
    return -1;
  }

 private:
  std::vector<std::string> entries_;
  int current_ = -1;
};

// The view's end of the queue: log text, one line at a time, and when the
// close came.
class View final : public UiSink {
 public:
  void LogText(int severity, std::string_view text) override {
    pending_.append(text);
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      const std::string line = pending_.substr(0, end);
      std::printf("log%d: %s\n", severity, line.c_str());
      if (line == "COM port closed." && !closed) {
        closed = true;
        closed_at = Steady::now();
      }
      lines.push_back(line);
      pending_.erase(0, end + 1);
    }
    std::fflush(stdout);
  }
  void ErrorBox(std::string_view text) override {
    std::printf("box: %.*s\n", static_cast<int>(text.size()), text.data());
  }
  void ProgressChanged(const ProgressState&) override {}
  void SetControlEnabled(int, bool) override {}

  std::vector<std::string> lines;
  bool closed = false;
  Steady::time_point closed_at{};

 private:
  std::string pending_;
};

class NoChooser final : public image::FileChooser {
 public:
  std::optional<std::string> ChooseImageFile(image::ImageKind) override { return std::nullopt; }
};

int Usage() {
  std::fprintf(stderr, "Usage: quelmar-monitor-probe COM_NUMBER DEVICE [SECONDS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--help") {
    std::printf(
        "Usage: quelmar-monitor-probe COM_NUMBER DEVICE [SECONDS]\n"
        "Opens COM_NUMBER through the desktop program's logic and runs its port\n"
        "monitor until the port is closed and gone from the drop-down (unplug\n"
        "DEVICE meanwhile), at most SECONDS (default 30).\n");
    return 0;
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("quelmar-monitor-probe %s\n", VersionString());
    return 0;
  }
  if (argc < 3 || argc > 4) return Usage();
  const int number = std::atoi(argv[1]);
  const std::string device = argv[2];
  const int seconds = argc == 4 ? std::atoi(argv[3]) : 30;
  if (number < 1 || number > 127 || seconds < 1) return Usage();
  const std::string entry = app::PortEntryText(number);

  auto ports = link::MakePlatformPortSystem();
  Loop loop;
  View view;
  DropDown drop_down;
  NoChooser chooser;
  app::UiQueue queue(view,
                     [&] { loop.RunAfter(std::chrono::milliseconds(0), [&] { queue.Drain(); }); });
  app::MainWindow window(app::MainWindow::Parts{*ports, queue, loop, drop_down, chooser});
  window.InitPortList();
  std::printf("entries: %s\n", drop_down.Joined().c_str());
  if (!window.StartPortWorker()) return 1;
  const int index = drop_down.IndexOf(entry);
  if (index < 0) {
    std::printf("error: %s is not in the drop-down\n", entry.c_str());
    return 1;
  }
  window.OnPortChosen(index);

  // The monitor's ticks, numbered; and when the port's node went.
  std::atomic<int> ticks{0};
  std::atomic<int> gone_after{-1};
  std::atomic<bool> stop_watch{false};
  std::atomic<bool> opened{false};
  Steady::time_point gone_at{};  // the watcher's, read after it has ended
  int closing_tick = -1;

  std::thread watcher([&] {
    struct stat st {};
    while (!stop_watch.load()) {
      if (opened.load() && ::stat(device.c_str(), &st) != 0) {
        gone_at = Steady::now();
        gone_after.store(ticks.load());
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  std::function<void()> tick = [&] {
    const int n = ticks.load() + 1;
    const bool was_pending = window.PortChangePending();
    window.PortMonitor();
    ticks.store(n);
    if (!was_pending && window.PortChangePending() && closing_tick < 0) {
      closing_tick = n;
      std::printf("monitor closes at tick %d\n", n);
    }
    queue.Drain();
    if (!opened.load() && window.IsPortReady() && !window.PortChangePending()) {
      opened.store(true);
      std::printf("open\n");
    }
    std::printf("tick %d entries: %s\n", n, drop_down.Joined().c_str());
    std::fflush(stdout);
    if (view.closed && drop_down.IndexOf(entry) < 0) {
      loop.Quit();
      return;
    }
    loop.RunAfter(app::MainWindow::kMonitorInterval, tick);
  };
  loop.RunAfter(app::MainWindow::kMonitorInterval, tick);

  const bool finished = loop.Run(Steady::now() + std::chrono::seconds(seconds));
  stop_watch.store(true);
  watcher.join();
  if (gone_after.load() >= 0) std::printf("node gone after tick %d\n", gone_after.load());
  if (!finished) {
    std::printf("error: no close and no leaving the drop-down within %d s\n", seconds);
    return 1;
  }
  const auto ms = [](Steady::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  std::printf("result: node-gone-to-closed %lld ms, closing tick %d, node gone after tick %d\n",
              static_cast<long long>(gone_after.load() >= 0 ? ms(view.closed_at - gone_at) : -1),
              closing_tick, gone_after.load());
  return 0;
}
