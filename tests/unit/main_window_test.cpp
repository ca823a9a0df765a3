// The main window's routing against a scripted board: the command table,
// the port choice's order, the waits that keep commands and ticks out of an
// open or close, the monitor, and stopping an update.
#include "app_harness.h"

namespace quelmar::testing {
namespace {

using app::kCloseRequest;

TEST(ClickTable, EveryControlMapsToItsCommand) {
  const std::vector<std::pair<int, int>> table = {{IDC_UPDATE_CODE, ID_START_FLASH_CODE},
                                                  {IDC_OPEN_CODE, ID_OPEN_FILE_CODE},
                                                  {IDC_UPDATE_FLASH, ID_START_FLASH_DATA},
                                                  {IDC_OPEN_FLASH, ID_OPEN_FILE_DATA},
                                                  {IDC_REBOOT, ID_RESET},
                                                  {IDC_EXIT, kCloseRequest},
                                                  {IDC_COMPORT, 0},
                                                  {IDC_PROGRESS, 0},
                                                  {IDC_LOG_VIEW, 0},
                                                  {9999, 0}};
  for (const auto& [control, command] : table) {
    EXPECT_EQ(app::CommandForControl(control), command) << control;
  }
}

// One row of the command table: the state before, and what must follow.
struct CommandCase {
  const char* name;
  int command;
  bool port_open, code, data, busy;
  int board_command;  // the request the board must see, -1 for none
  const char* done;   // the log text that ends it
  bool locks;         // BusyFlag set and the controls locked
  bool aborts;        // AbortFlag raised
};

class CommandTable : public ::testing::TestWithParam<CommandCase> {};

TEST_P(CommandTable, ActsOnlyWhenItsConditionHolds) {
  const CommandCase& c = GetParam();
  AppHarness h;
  if (c.code) h.LoadCode();
  if (c.data) h.LoadData();
  if (c.port_open) h.OpenPort();
  if (c.busy) h.window->Flags().BusyFlag = 1;
  const size_t mark = h.sink.events.size();

  EXPECT_EQ(h.window->RunCommand(c.command), 1);
  if (c.board_command >= 0) {
    ASSERT_TRUE(h.LogHas(c.done));
    ASSERT_TRUE(h.PumpUntil([&] { return h.window->Flags().BusyFlag == 0; }));
    ASSERT_TRUE(h.Settle());
    EXPECT_GE(h.Requests(static_cast<uint8_t>(c.board_command)), 1) << h.sink.Log();
  } else {
    ASSERT_TRUE(h.Settle());
    EXPECT_EQ(h.Requests(link::CMD_ERASE_CODE) + h.Requests(link::CMD_ERASE_FLASH) +
                  h.Requests(link::CMD_REBOOT),
              0);
  }
  const std::vector<std::string> locked = {"ctl 1000 0", "ctl 1009 0", "ctl 1010 0",
                                           "ctl 1003 0", "ctl 1002 0", "ctl 1011 0"};
  const auto controls = h.sink.Only("ctl", mark);
  if (c.locks) {
    ASSERT_GE(controls.size(), locked.size());
    EXPECT_EQ(std::vector<std::string>(controls.begin(), controls.begin() + 6), locked);
  } else if (c.board_command < 0) {
    EXPECT_TRUE(controls.empty()) << controls.front();
  }
  EXPECT_EQ(h.window->Flags().AbortFlag.load(), c.aborts ? 1u : 0u);
  EXPECT_EQ(h.window->Flags().BusyFlag.load(), c.busy ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandTable,
    ::testing::Values(
        CommandCase{"CodeStarts", ID_START_FLASH_CODE, true, true, false, false,
                    link::CMD_ERASE_CODE, "Write CODE... OK.\n", true, false},
        CommandCase{"CodeWithoutImage", ID_START_FLASH_CODE, true, false, true, false, -1, "",
                    false, false},
        CommandCase{"CodeWithoutPort", ID_START_FLASH_CODE, false, true, false, false, -1, "",
                    false, false},
        CommandCase{"CodeWhileBusyAborts", ID_START_FLASH_CODE, true, true, false, true, -1, "",
                    false, true},
        CommandCase{"DataStarts", ID_START_FLASH_DATA, true, false, true, false,
                    link::CMD_ERASE_FLASH, "Write to FLASH... OK.\n", true, false},
        CommandCase{"DataWithoutImage", ID_START_FLASH_DATA, true, true, false, false, -1, "",
                    false, false},
        CommandCase{"DataWhileBusyAborts", ID_START_FLASH_DATA, true, false, true, true, -1, "",
                    false, true},
        CommandCase{"ResetReboots", ID_RESET, true, false, false, false, link::CMD_REBOOT,
                    "Reboot... OK.\n", false, false},
        CommandCase{"ResetWithoutPort", ID_RESET, false, false, false, false, -1, "", false, false},
        CommandCase{"ResetWhileBusy", ID_RESET, true, false, false, true, -1, "", false, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CommandTable, UnknownIdsDoNothingAndYieldZero) {
  AppHarness h;
  h.OpenPort();
  const size_t mark = h.sink.events.size();
  for (int id : {40003, 40007, 40011, 40013, 40015, 40018, 40020, 0, ID_START_FLASH_CODE << 16}) {
    EXPECT_EQ(h.window->RunCommand(id), 0) << id;
  }
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.sink.events.size(), mark);
}

TEST(ImageCommands, LoadEnablesItsButtonOnlyWithAPortOpen) {
  AppHarness h;
  h.LoadCode();
  EXPECT_FALSE(h.sink.controls.count(IDC_UPDATE_CODE));
  h.OpenPort();  // the open enables it now that an image is there
  EXPECT_TRUE(h.sink.controls[IDC_UPDATE_CODE]);
  EXPECT_FALSE(h.sink.controls.count(IDC_UPDATE_FLASH));
  h.LoadData();
  EXPECT_TRUE(h.sink.controls[IDC_UPDATE_FLASH]);

  // A cancelled dialog changes nothing; a load while busy is refused.
  h.chooser.code.reset();
  const size_t mark = h.sink.events.size();
  h.window->OnClick(IDC_OPEN_CODE);
  h.window->Flags().BusyFlag = 1;
  h.window->PostCommand(app::kDropDataFile, "/nonexistent.fdata");
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.sink.events.size(), mark);
  EXPECT_TRUE(h.window->Images().HasCodeImage());
}

TEST(SelectPort, OpensTheChosenNumberAndSetsTheButtons) {
  AppHarness h;
  EXPECT_EQ(h.drop_down.Texts(), (std::vector<std::string>{"----", "COM 3", "COM 7"}));
  EXPECT_EQ(h.drop_down.entries[2].second, "/dev/ttyS6");
  EXPECT_EQ(h.drop_down.current, 0);

  h.Choose(2);
  ASSERT_EQ(h.ports.opened.size(), 1u);
  EXPECT_EQ(h.ports.opened[0].number, 7);
  EXPECT_EQ(h.window->SelectedPort().number, 7);
  EXPECT_EQ(h.sink.Only("ctl"), (std::vector<std::string>{"ctl 1011 1"}));
  EXPECT_NE(h.sink.Log().find("Opened COM7\n"), std::string::npos);
}

TEST(SelectPort, ReselectClosesWaitsDisablesThenOpens) {
  AppHarness h;
  h.LoadCode();
  h.OpenPort();
  const size_t mark = h.sink.events.size();
  const auto settle_before = h.view.now;
  h.Choose(2);
  std::vector<std::string> seen;
  for (size_t i = mark; i < h.sink.events.size(); ++i) {
    const std::string& e = h.sink.events[i];
    if (e.rfind("ctl", 0) == 0 || e.rfind("log0 COM port closed.\n", 0) == 0) seen.push_back(e);
    if (e.rfind("log0 Opened COM7\n", 0) == 0) seen.push_back("opened");
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"log0 COM port closed.\n", "ctl 1002 0", "ctl 1003 0",
                                            "ctl 1011 0", "opened", "ctl 1002 1", "ctl 1011 1"}));
  // Two settles of 50 ms: after the close and after the open.
  EXPECT_EQ(h.view.now - settle_before, std::chrono::milliseconds(100));
}

TEST(SelectPort, DashClosesAnOpenPortAndDisablesItsActions) {
  AppHarness h;
  h.Choose(0);  // nothing open: only the disabling
  EXPECT_EQ(h.sink.Only("ctl"),
            (std::vector<std::string>{"ctl 1002 0", "ctl 1003 0", "ctl 1011 0"}));
  EXPECT_EQ(h.sink.Log(), "");

  h.OpenPort();
  h.Choose(0);
  EXPECT_FALSE(h.window->IsPortReady());
  EXPECT_NE(h.sink.Log().find("COM port closed.\n"), std::string::npos);
  EXPECT_FALSE(h.sink.controls[IDC_REBOOT]);
}

TEST(PendingOpen, TicksAreSkippedAndCommandsWaitTheirTurn) {
  AppHarness h;
  h.HoldNext(link::CMD_GET_BOOTLOADER_INFO);
  h.window->OnPortChosen(1);
  ASSERT_TRUE(h.PumpUntil([&] { return h.window->PortChangePending(); }));
  ASSERT_TRUE(h.WaitHeld());

  // The ports change and the operator clicks Reboot while the worker opens.
  h.ports.present = {{5, "/dev/ttyS4", false}};
  h.window->PortMonitor();
  h.window->OnClick(IDC_REBOOT);
  h.window->OnClick(IDC_EXIT);
  for (int i = 0; i < 20; ++i) {
    h.ui.Drain();
    h.view.RunOne();
  }
  EXPECT_EQ(h.drop_down.Texts(), (std::vector<std::string>{"----", "COM 3", "COM 7"}));
  EXPECT_EQ(h.Requests(link::CMD_REBOOT), 0);
  EXPECT_EQ(h.view.closed, 0);

  h.Release();
  ASSERT_TRUE(h.LogHas("Reboot... OK.\n"));
  ASSERT_TRUE(h.Settle());
  // The reboot ran after the open had finished, then Exit closed the program.
  const std::string log = h.sink.Log();
  EXPECT_LT(log.find("Get chip info... OK."), log.find("Reboot... "));
  EXPECT_EQ(h.view.closed, 1);
}

TEST(PortMonitor, AFailedProbeClosesThePortAndTheNextTickRefreshes) {
  AppHarness h;
  h.OpenPort();
  h.ports.present = {{5, "/dev/ttyS4", false}};
  h.window->PortMonitor();  // alive: the list is left alone while a port is open
  ASSERT_TRUE(h.Settle());
  EXPECT_TRUE(h.window->IsPortReady());
  EXPECT_EQ(h.drop_down.Count(), 3);

  h.line->fail_purge = true;
  h.window->PortMonitor();
  ASSERT_TRUE(h.Settle());
  EXPECT_FALSE(h.window->IsPortReady());
  EXPECT_NE(h.sink.Log().find("COM port closed.\n"), std::string::npos);
  EXPECT_EQ(h.sink.Only("ctl").back(), "ctl 1011 0");
  EXPECT_FALSE(h.sink.controls[IDC_UPDATE_CODE] || h.sink.controls[IDC_UPDATE_FLASH]);

  h.window->PortMonitor();
  EXPECT_EQ(h.drop_down.Texts(), (std::vector<std::string>{"----", "COM 5"}));
}

TEST(PortMonitor, TicksWhileBusyChangeNothing) {
  AppHarness h;
  h.OpenPort();
  h.window->Flags().BusyFlag = 1;
  h.line->fail_purge = true;
  const size_t purges = h.line->EventsStartingWith("purge").size();
  h.window->PortMonitor();
  ASSERT_TRUE(h.Settle());
  EXPECT_TRUE(h.window->IsPortReady());
  EXPECT_EQ(h.line->EventsStartingWith("purge").size(), purges);
}

// Waits (bounded) until the worker has posted its reply to the UI thread,
// then runs what was posted, but no timer: the window stays between the
// steps of its port change.
bool StepWorkerReply(AppHarness& h) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (h.ui.Pending() == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "waited 10 s for the worker's reply to the port change";
      return false;
    }
    usleep(200);
  }
  h.ui.Drain();
  return true;
}

TEST(PortMonitor, DoesNothingWhileAPortChangeIsPending) {
  AppHarness h;
  h.OpenPort();
  h.window->OnPortChosen(2);  // COM 3 -> COM 7: close, settle, open, settle
  ASSERT_TRUE(h.view.RunOne());
  ASSERT_TRUE(h.window->PortChangePending());
  ASSERT_TRUE(StepWorkerReply(h));

  // Closed, waiting to open: a tick must not refill the list under the
  // change (the entry chosen would move).
  ASSERT_FALSE(h.window->IsPortReady());
  h.ports.present = {{5, "/dev/ttyS4", false}};
  h.window->PortMonitor();
  EXPECT_EQ(h.drop_down.Texts(), (std::vector<std::string>{"----", "COM 3", "COM 7"}));

  // Open, the worker idle, the change not yet finished: no probe either.
  ASSERT_TRUE(h.view.RunOne());
  ASSERT_TRUE(StepWorkerReply(h));
  ASSERT_TRUE(h.window->IsPortReady());
  ASSERT_TRUE(h.window->PortChangePending());
  const size_t purges = h.line->EventsStartingWith("purge").size();
  h.window->PortMonitor();
  EXPECT_EQ(h.line->EventsStartingWith("purge").size(), purges);

  // Once the change is over the tick probes again.
  ASSERT_TRUE(h.Settle());
  EXPECT_FALSE(h.window->PortChangePending());
  h.window->PortMonitor();
  EXPECT_EQ(h.line->EventsStartingWith("purge").size(), purges + 1);
  EXPECT_TRUE(h.window->IsPortReady());
}

TEST(PortMonitor, NeverPurgesWhileTheWorkerIsAtThePort) {
  AppHarness h;
  h.OpenPort();
  // The worker sits in the reboot, its reply yet to come: a probe's purge
  // now would throw the reply away.
  h.HoldNext(link::CMD_REBOOT);
  h.window->OnClick(IDC_REBOOT);
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.WaitHeld());
  const size_t events = h.line->events.size();  // the worker is held: nothing moves
  h.window->PortMonitor();
  EXPECT_EQ(h.line->events.size(), events) << h.line->events.back();
  h.Release();
  ASSERT_TRUE(h.LogHas("Reboot... OK.\n"));
}

TEST(StartUpdate, AStartTheWorkerRefusesLeavesTheWindowNotBusy) {
  AppHarness h;
  h.LoadCode();
  h.OpenPort();
  h.HoldNext(link::CMD_REBOOT);
  h.window->OnClick(IDC_REBOOT);
  ASSERT_TRUE(h.Settle());
  ASSERT_TRUE(h.WaitHeld());
  // The window is being closed from outside while the reboot runs: the
  // worker takes no further command.
  h.window->Worker().CloseWindow();
  h.window->OnClick(IDC_UPDATE_CODE);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.window->Flags().BusyFlag.load(), 0) << "busy for good";
  EXPECT_TRUE(h.sink.controls[IDC_OPEN_CODE]) << "the controls stay locked";
  EXPECT_TRUE(h.sink.controls[IDC_UPDATE_CODE]);
  h.Release();
}

// The data update held in its erase wait (the board does not answer the
// poll until released).
void HoldInEraseWait(AppHarness& h) {
  h.LoadData();
  h.OpenPort();
  h.HoldNext(link::CMD_POLL_STATUS);
  h.window->OnClick(IDC_UPDATE_FLASH);
  ASSERT_TRUE(h.PumpUntil([&] { return h.window->Flags().EraseWaitFlag == 1; }));
  ASSERT_TRUE(h.WaitHeld());
  ASSERT_TRUE(h.Settle());
}

TEST(Abort, AStartWhileBusyOnlyRaisesTheFlagAndExitNeverQuitsMidUpdate) {
  AppHarness h;
  HoldInEraseWait(h);
  const size_t mark = h.sink.events.size();

  h.window->RunCommand(ID_START_FLASH_DATA);
  h.window->OnClick(IDC_EXIT);  // asks; the operator says no
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.view.asked, 1);
  EXPECT_EQ(h.view.closed, 0);
  EXPECT_EQ(h.window->Flags().AbortFlag.load(), 1u);
  EXPECT_EQ(h.window->Flags().BusyFlag.load(), 1u);
  EXPECT_TRUE(h.sink.Only("ctl", mark).empty());  // still locked

  h.Release();
  ASSERT_TRUE(h.LogHas("Stopped: the data flash is left erased.\n"));
  ASSERT_TRUE(h.PumpUntil([&] { return h.window->Flags().BusyFlag == 0; }));
  ASSERT_TRUE(h.Settle());
  EXPECT_TRUE(h.sink.controls[IDC_UPDATE_FLASH]);
  EXPECT_EQ(h.Requests(link::CMD_ENTER_FLASH_WRITE), 0);
  h.window->OnClick(IDC_EXIT);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.view.closed, 1);
}

TEST(Abort, ExitDuringTheEraseWaitStopsItWhenTheOperatorAgrees) {
  AppHarness h;
  HoldInEraseWait(h);
  h.view.answer = true;
  h.window->OnClick(IDC_EXIT);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.window->Flags().AbortFlag.load(), 1u);
  h.Release();
  ASSERT_TRUE(h.PumpUntil([&] { return h.window->Flags().BusyFlag == 0; }));
  EXPECT_EQ(h.view.closed, 0);
}

TEST(Abort, ExitDuringACodeWriteAsksNothingAndDoesNothing) {
  AppHarness h;
  h.LoadCode();
  h.OpenPort();
  h.HoldNext(link::CMD_BLOCK_START);
  h.window->OnClick(IDC_UPDATE_CODE);
  ASSERT_TRUE(h.PumpUntil([&] { return h.window->Flags().BusyFlag == 1; }));
  ASSERT_TRUE(h.WaitHeld());
  h.window->OnClick(IDC_EXIT);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(h.view.asked, 0);
  EXPECT_EQ(h.view.closed, 0);
  h.Release();
  ASSERT_TRUE(h.LogHas("Write CODE... OK.\n"));
}

}  // namespace
}  // namespace quelmar::testing
