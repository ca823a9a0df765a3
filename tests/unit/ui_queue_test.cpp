// The queue that carries the worker's calls to the UI thread.
#include <atomic>
#include <thread>

#include "app_harness.h"

namespace quelmar::testing {
namespace {

TEST(UiQueue, OtherThreadsQueueAndTheUiThreadAppliesInCallOrder) {
  TimelineSink sink;
  std::atomic<int> wakes{0};
  int ui_logs = 0;
  app::UiQueue queue(
      sink, [&] { ++wakes; }, [&] { ++ui_logs; });

  std::thread worker([&] {
    queue.LogText(0, "Erase CODE... ");
    queue.SetControlEnabled(IDC_REBOOT, false);
    queue.LogText(0, "OK.\n");
    queue.Post([&] { sink.events.push_back("call"); });
  });
  worker.join();
  EXPECT_TRUE(sink.events.empty());
  EXPECT_EQ(wakes, 1);  // one wake for the whole batch
  EXPECT_EQ(queue.Pending(), 4u);

  // A call on the UI thread first applies what came before it.
  queue.LogText(1, "\nFailed.\n");
  EXPECT_EQ(sink.events, (std::vector<std::string>{"log0 Erase CODE... ", "ctl 1011 0",
                                                   "log0 OK.\n", "call", "log1 \nFailed.\n"}));
  EXPECT_EQ(ui_logs, 1);
  EXPECT_TRUE(queue.Drain());
}

TEST(UiQueue, RunsOfLogTextAndProgressAreAppliedOnce) {
  TimelineSink sink;
  app::UiQueue queue(sink, [] {});
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) queue.LogText(0, "a\n");
    queue.LogText(1, "b\n");
    for (uint32_t i = 0; i < 100; ++i) queue.ProgressChanged(ProgressState{i, 100, 1, ""});
    queue.LogText(1, "c\n");
  });
  worker.join();
  EXPECT_TRUE(queue.Drain());
  EXPECT_EQ(sink.events,
            (std::vector<std::string>{"log0 a\na\na\n", "log1 b\n", "progress", "log1 c\n"}));
}

TEST(UiQueue, ASpentBudgetYieldsAndWakesAgain) {
  TimelineSink sink;
  std::atomic<int> wakes{0};
  app::UiQueue queue(sink, [&] { ++wakes; });
  std::thread worker([&] {
    queue.LogText(0, "x");
    queue.SetControlEnabled(IDC_REBOOT, true);
  });
  worker.join();
  EXPECT_FALSE(queue.Drain(std::chrono::milliseconds(0)));
  EXPECT_EQ(sink.events.size(), 1u);
  EXPECT_EQ(wakes, 2);
  EXPECT_TRUE(queue.Drain());
  EXPECT_EQ(sink.events.size(), 2u);
}

}  // namespace
}  // namespace quelmar::testing
