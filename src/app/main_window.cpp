#include "app/main_window.h"

#include "common/controls.h"
#include "common/ids.h"
#include "update/update.h"

namespace quelmar::app {

int CommandForControl(int control_id) {
  switch (control_id) {
    case IDC_UPDATE_CODE:
      return ID_START_FLASH_CODE;
    case IDC_OPEN_CODE:
      return ID_OPEN_FILE_CODE;
    case IDC_UPDATE_FLASH:
      return ID_START_FLASH_DATA;
    case IDC_OPEN_FLASH:
      return ID_OPEN_FILE_DATA;
    case IDC_REBOOT:
      return ID_RESET;
    case IDC_EXIT:
      return kCloseRequest;
    default:
      return 0;
  }
}

MainWindow::MainWindow(Parts parts)
    : ports_(parts.ports),
      ui_(parts.ui),
      view_(parts.view),
      drop_down_(parts.drop_down),
      chooser_(parts.chooser),
      clock_(parts.clock),
      log_(&parts.ui),
      progress_(&parts.ui),
      images_(log_),
      link_(parts.ports, log_, parts.ui),
      worker_(WorkerCommands(), log_) {
  // The reboot's close goes through the worker's own close command.
  link_.SetCloseHandler([this] { worker_.SendCommand(ID_COM_CLOSE); });
}

MainWindow::~MainWindow() {
  worker_.CloseWindow();
  worker_.Join();
  // Completions still queued would reach a window that is gone.
  ui_.Discard();
}

void MainWindow::Exclusive(const std::function<void()>& operation) {
  std::lock_guard lock(command_mutex_);
  operation();
}

link::PortWorker::Commands MainWindow::WorkerCommands() {
  link::PortWorker::Commands commands;
  commands.open = [this] {
    Exclusive([this] {
      link::PortId id;
      {
        std::lock_guard lock(open_mutex_);
        id = port_to_open_;
      }
      link_.SetSelectedPort(std::move(id));
      link_.OpenPort();
    });
  };
  commands.close = [this] { Exclusive([this] { link_.ClosePort(); }); };
  commands.flash_code = [this] {
    Exclusive([this] {
      update::UpdateContext context{link_, images_, progress_, log_, clock_, flags_, ui_};
      update::RunCodeUpdate(context);
    });
  };
  commands.flash_data = [this] {
    Exclusive([this] {
      update::UpdateContext context{link_, images_, progress_, log_, clock_, flags_, ui_};
      if (update::RunDataFlashUpdate(context) == update::UpdateOutcome::kAborted) {
        // The wait ends without a word of its own; say what the board holds.
        log_.AppendLog(kSeverityError, "\nStopped: the data flash is left erased.\n");
      }
    });
  };
  commands.reset = [this] { Exclusive([this] { link_.RebootDevice(); }); };
  return commands;
}

void MainWindow::InitPortList() {
  FillPortList(drop_down_, port_list_, ports_);
}

bool MainWindow::StartPortWorker() {
  if (!worker_.StartPortWorker()) return false;
  // The dialog shows only once the worker takes commands: the operator's
  // first choice must not be dropped. A worker without a window is not a
  // start-up failure (its error box has been shown): requests are dropped.
  worker_.WaitForWindow();
  return true;
}

bool MainWindow::IsPortReady() const {
  return worker_.Started() && link_.IsPortReady();
}

void MainWindow::PostCommand(int id, std::string path) {
  commands_.push_back(Command{id, std::move(path)});
  ScheduleRun();
}

void MainWindow::OnClick(int control_id) {
  const int command = CommandForControl(control_id);
  if (command != 0) PostCommand(command);
}

void MainWindow::OnPortChosen(int index) {
  if (index >= 1) {
    selected_port_ = link::PortId{port_list_.PortNumberAt(index - 1), {}};
    PostCommand(ID_SELECT_PORT);
  } else if (index == 0) {
    PostCommand(kDeselectPort);
  }
}

void MainWindow::ScheduleRun() {
  if (run_scheduled_) return;
  run_scheduled_ = true;
  view_.RunAfter(std::chrono::milliseconds(0), [this] {
    run_scheduled_ = false;
    RunQueued();
  });
}

void MainWindow::RunQueued() {
  // A command that shows a dialog runs the event loop inside it; the rest
  // waits until it returns.
  if (running_) return;
  while (!pending_ && !commands_.empty()) {
    Command command = std::move(commands_.front());
    commands_.pop_front();
    running_ = true;
    RunCommand(command.id, command.path);
    running_ = false;
  }
}

int MainWindow::RunCommand(int id, const std::string& path) {
  const bool busy = flags_.BusyFlag.load() != 0;
  switch (id) {
    case ID_START_FLASH_CODE:
      if (IsPortReady() && images_.HasCodeImage()) StartUpdate(ID_COM_START_FLASH_CODE);
      return 1;
    case ID_START_FLASH_DATA:
      if (IsPortReady() && images_.DataImage().present()) StartUpdate(ID_COM_START_FLASH_DATA);
      return 1;
    case ID_SELECT_PORT:
      // The drop-down is locked while busy; a choice queued just before
      // would otherwise wait for the whole update.
      if (!busy) SelectPort();
      return 1;
    case ID_OPEN_FILE_CODE:
      LoadImage(true, {});
      return 1;
    case ID_OPEN_FILE_DATA:
      LoadImage(false, {});
      return 1;
    case ID_RESET:
      if (IsPortReady() && !busy) worker_.PostCommand(ID_COM_RESET);
      return 1;
    case kCloseRequest:
      CloseRequest();
      return 0;
    case kDeselectPort:
      if (!busy) DeselectPort();
      return 0;
    case kDropCodeFile:
      LoadImage(true, path);
      return 0;
    case kDropDataFile:
      LoadImage(false, path);
      return 0;
    default:
      return 0;
  }
}

void MainWindow::StartUpdate(int port_command) {
  if (flags_.BusyFlag.load() != 0) {
    // Asked again while busy: stop where the update can (the data flash
    // erase wait). The controls stay locked until the worker has ended it:
    // a code write cannot be stopped, and the port is still in use.
    flags_.AbortFlag.store(1);
    return;
  }
  if (!worker_.HasWindow()) return;
  flags_.BusyFlag.store(1);
  LockControls(ui_);
  if (!worker_.PostCommand(port_command)) {
    flags_.BusyFlag.store(0);
    UnlockControls(ui_, images_.HasCodeImage(), images_.DataImage().present());
  }
}

void MainWindow::LoadImage(bool code, const std::string& path) {
  // The worker reads the images while an update runs.
  if (flags_.BusyFlag.load() != 0) return;
  bool loaded = false;
  if (code) {
    loaded =
        path.empty() ? images_.LoadCodeImageFile(chooser_) : images_.LoadCodeImageFromPath(path);
    if (loaded && IsPortReady()) SetUpdateCodeEnabled(ui_, true);
  } else {
    loaded =
        path.empty() ? images_.LoadDataImageFile(chooser_) : images_.LoadDataImageFromPath(path);
    if (loaded && IsPortReady()) SetUpdateFlashEnabled(ui_, true);
  }
}

void MainWindow::CloseRequest() {
  if (flags_.BusyFlag.load() == 0) {
    commands_.clear();
    view_.CloseProgram();
    return;
  }
  // Nothing ever quits mid-update. The one step that may be cut short is
  // the data flash erase wait: offer that.
  if (flags_.EraseWaitFlag.load() != 0 && view_.AskStopEraseWait() &&
      flags_.EraseWaitFlag.load() != 0) {
    flags_.AbortFlag.store(1);
  }
}

void MainWindow::SendToWorker(int port_command, std::function<void()> then) {
  if (!worker_.SendCommand(port_command, [this, then] { ui_.Post(then); })) then();
}

void MainWindow::EndPending() {
  pending_ = false;
  if (!commands_.empty()) ScheduleRun();
}

void MainWindow::SelectPort() {
  BeginPending();
  if (IsPortReady()) {
    SendToWorker(ID_COM_CLOSE, [this] {
      view_.RunAfter(kSettle, [this] {
        DisablePortActions(ui_);
        OpenSelected();
      });
    });
    return;
  }
  OpenSelected();
}

void MainWindow::OpenSelected() {
  {
    std::lock_guard lock(open_mutex_);
    port_to_open_ = selected_port_;
  }
  SendToWorker(ID_COM_OPEN, [this] { view_.RunAfter(kSettle, [this] { FinishSelect(); }); });
}

void MainWindow::FinishSelect() {
  if (IsPortReady()) {
    if (images_.HasCodeImage()) SetUpdateCodeEnabled(ui_, true);
    if (images_.DataImage().present()) SetUpdateFlashEnabled(ui_, true);
    SetRebootEnabled(ui_, true);
  }
  EndPending();
}

void MainWindow::DeselectPort() {
  BeginPending();
  SendToWorker(ID_COM_CLOSE, [this] {
    DisablePortActions(ui_);
    EndPending();
  });
}

void MainWindow::PortMonitor() {
  if (pending_ || flags_.BusyFlag.load() != 0) return;
  if (!IsPortReady()) {
    RefreshPortList(drop_down_, port_list_, ports_);
    return;
  }
  bool alive = true;
  {
    // A worker at the port right now (a reboot) must not have its reply
    // purged away; the next tick probes instead.
    std::unique_lock lock(command_mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return;
    alive = link_.ProbePort();
  }
  if (alive) return;
  BeginPending();
  SendToWorker(ID_COM_CLOSE, [this] {
    DisablePortActions(ui_);
    EndPending();
  });
}

}  // namespace quelmar::app
