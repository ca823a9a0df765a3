// The port worker: its command table, the order in which it serves sent and
// posted commands, dropped requests, and the outside close.
#include "link/port_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ids.h"
#include "support/recording_sink.h"

namespace quelmar::testing {
namespace {

using link::PortWorker;
using namespace std::chrono_literals;

// Every wait here gives up after this long, naming what it waited for.
constexpr auto kBound = 10s;

// Polls until pred holds; false (with a failure naming what) after kBound.
bool Within(const std::function<bool()>& pred, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "waited 10 s for " << what;
      return false;
    }
    std::this_thread::yield();
  }
  return true;
}

// Waits for the future; false (with a failure naming what) after kBound.
bool Within(std::future<void> future, const std::string& what) {
  if (future.wait_for(kBound) == std::future_status::ready) return true;
  ADD_FAILURE() << "waited 10 s for " << what;
  return false;
}

// Records which operation ran; an operation can be held until released.
class Recorder {
 public:
  PortWorker::Commands Commands() {
    PortWorker::Commands c;
    c.open = [this] { Run("open"); };
    c.close = [this] { Run("close"); };
    c.flash_code = [this] { Run("code"); };
    c.flash_data = [this] { Run("data"); };
    c.reset = [this] { Run("reset"); };
    c.create_window = [this] {
      std::unique_lock lock(mutex_);
      cv_.wait(lock, [this] { return window_allowed_; });
      return window_ok_;
    };
    return c;
  }
  void AllowWindow(bool ok = true) {
    std::lock_guard lock(mutex_);
    window_allowed_ = true;
    window_ok_ = ok;
    cv_.notify_all();
  }
  // The next operation named so waits until Release().
  void Hold(const std::string& name) {
    std::lock_guard lock(mutex_);
    hold_ = name;
  }
  bool WaitHeld() {
    std::unique_lock lock(mutex_);
    if (cv_.wait_for(lock, kBound, [this] { return held_; })) return true;
    ADD_FAILURE() << "waited 10 s for the held operation '" << hold_ << "' to start";
    return false;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    hold_.clear();
    cv_.notify_all();
  }
  std::vector<std::string> Ran() {
    std::lock_guard lock(mutex_);
    return ran_;
  }
  std::function<void()> extra;  // runs inside "reset"

 private:
  void Run(const std::string& name) {
    std::unique_lock lock(mutex_);
    ran_.push_back(name);
    if (name == hold_) {
      held_ = true;
      cv_.notify_all();
      cv_.wait(lock, [this] { return hold_.empty(); });
    }
    if (name == "reset" && extra) {
      lock.unlock();
      extra();
    }
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  bool window_allowed_ = false, window_ok_ = true, held_ = false;
  std::string hold_;
  std::vector<std::string> ran_;
};

struct WorkerFixture : ::testing::Test {
  RecordingSink sink;
  Log log{&sink};
  Recorder recorder;
  PortWorker worker{recorder.Commands(), log};

  void Start() {
    ASSERT_TRUE(worker.StartPortWorker());
    recorder.AllowWindow();
    ASSERT_TRUE(Within([this] { return worker.HasWindow(); }, "the command window"));
  }
  // Sends and waits until the command has run.
  bool SendAndWait(int id) {
    auto done = std::make_shared<std::promise<void>>();
    if (!worker.SendCommand(id, [done] { done->set_value(); })) return false;
    return Within(done->get_future(), "sent command " + std::to_string(id) + " to be done");
  }
};

TEST_F(WorkerFixture, TheTableRunsFiveCommandsAndNothingElse) {
  const std::vector<std::pair<int, const char*>> table = {{ID_COM_OPEN, "open"},
                                                          {ID_COM_CLOSE, "close"},
                                                          {ID_COM_START_FLASH_CODE, "code"},
                                                          {ID_COM_START_FLASH_DATA, "data"},
                                                          {ID_COM_RESET, "reset"}};
  for (const auto& [id, name] : table) {
    EXPECT_EQ(worker.RunPortCommand(id), 1) << id;
    EXPECT_EQ(recorder.Ran().back(), name);
  }
  for (int id :
       {40009, 40010, 40011, 40012, 40014, 40016, 40017, 40006, 40019, 0, -1, ID_COM_OPEN << 16}) {
    EXPECT_EQ(worker.RunPortCommand(id), 0) << id;
  }
  EXPECT_EQ(recorder.Ran().size(), table.size());
}

TEST_F(WorkerFixture, AWaitingSendIsServedBeforeQueuedPosts) {
  Start();
  recorder.Hold("reset");
  ASSERT_TRUE(worker.PostCommand(ID_COM_RESET));
  ASSERT_TRUE(recorder.WaitHeld());
  // While the reboot runs: an update is queued, then a close is sent.
  ASSERT_TRUE(worker.PostCommand(ID_COM_START_FLASH_CODE));
  ASSERT_TRUE(worker.PostCommand(ID_COM_START_FLASH_DATA));
  std::promise<void> closed;
  ASSERT_TRUE(worker.SendCommand(ID_COM_CLOSE, [&] { closed.set_value(); }));
  recorder.Release();
  ASSERT_TRUE(Within(closed.get_future(), "the sent close to be done"));
  ASSERT_TRUE(Within([&] { return recorder.Ran().size() >= 4; }, "four commands to run"));
  EXPECT_EQ(recorder.Ran(), (std::vector<std::string>{"reset", "close", "code", "data"}));
}

TEST_F(WorkerFixture, RequestsBeforeTheWindowExistsAreDropped) {
  ASSERT_TRUE(worker.StartPortWorker());
  EXPECT_FALSE(worker.PostCommand(ID_COM_RESET));
  EXPECT_FALSE(worker.SendCommand(ID_COM_OPEN, [] { ADD_FAILURE() << "dropped send completed"; }));
  recorder.AllowWindow();
  ASSERT_TRUE(Within([this] { return worker.HasWindow(); }, "the command window"));
  EXPECT_TRUE(SendAndWait(ID_COM_OPEN));
  EXPECT_EQ(recorder.Ran(), (std::vector<std::string>{"open"}));
}

TEST_F(WorkerFixture, AWindowThatCannotBeMadeEndsTheWorker) {
  ASSERT_TRUE(worker.StartPortWorker());
  recorder.AllowWindow(false);
  EXPECT_FALSE(worker.WaitForWindow());
  worker.Join();
  EXPECT_EQ(sink.ErrorBoxes(), (std::vector<std::string>{"Failed create ComPort window"}));
  EXPECT_FALSE(worker.HasWindow());
  EXPECT_FALSE(worker.PostCommand(ID_COM_OPEN));
  EXPECT_TRUE(recorder.Ran().empty());
}

TEST_F(WorkerFixture, TheOutsideCloseClosesThePortEndsTheWorkerAndReleasesWaiters) {
  Start();
  recorder.Hold("code");
  ASSERT_TRUE(worker.PostCommand(ID_COM_START_FLASH_CODE));
  ASSERT_TRUE(recorder.WaitHeld());
  ASSERT_TRUE(worker.PostCommand(ID_COM_RESET));
  std::promise<void> told;
  ASSERT_TRUE(worker.SendCommand(ID_COM_OPEN, [&] { told.set_value(); }));
  worker.CloseWindow();
  recorder.Release();
  // The dropped send still lets its sender go on.
  ASSERT_TRUE(Within(told.get_future(), "the dropped send to be told"));
  worker.Join();
  // The running update ended; then only the close; the queued ones never ran.
  EXPECT_EQ(recorder.Ran(), (std::vector<std::string>{"code", "close"}));
  EXPECT_FALSE(worker.PostCommand(ID_COM_OPEN));
  EXPECT_FALSE(worker.SendCommand(ID_COM_CLOSE));
}

TEST_F(WorkerFixture, ASendFromTheWorkerItselfRunsAtOnceAndIsDoneOnlyAfterItRan) {
  Start();
  // The reboot closes the port through the worker's own close command;
  // its sender is told once the close has run, not before.
  std::vector<std::string> ran_when_done;
  bool done_before_return = false;
  recorder.extra = [&] {
    EXPECT_TRUE(worker.SendCommand(ID_COM_CLOSE, [&] { ran_when_done = recorder.Ran(); }));
    done_before_return = !ran_when_done.empty();
  };
  ASSERT_TRUE(SendAndWait(ID_COM_RESET));
  EXPECT_EQ(recorder.Ran(), (std::vector<std::string>{"reset", "close"}));
  EXPECT_TRUE(done_before_return) << "the send returned before it was done";
  EXPECT_EQ(ran_when_done, (std::vector<std::string>{"reset", "close"}));
}

TEST_F(WorkerFixture, APostAfterTheOutsideCloseIsRefused) {
  Start();
  recorder.Hold("code");
  ASSERT_TRUE(worker.PostCommand(ID_COM_START_FLASH_CODE));
  ASSERT_TRUE(recorder.WaitHeld());
  worker.CloseWindow();
  // The window still exists while the update runs, but whatever is posted
  // now would be dropped: the poster is told so, and can undo its part.
  EXPECT_TRUE(worker.HasWindow());
  EXPECT_FALSE(worker.PostCommand(ID_COM_START_FLASH_DATA));
  recorder.Release();
  worker.Join();
  EXPECT_EQ(recorder.Ran(), (std::vector<std::string>{"code", "close"}));
}

}  // namespace
}  // namespace quelmar::testing
