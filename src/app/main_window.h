// The main window's logic, without a toolkit: it owns the program's one
// link, log, progress state, image store, flags and port worker, takes the
// operator's commands one at a time on the UI thread, decides whether each
// may run now and hands the device work to the worker. It also runs the
// port monitor.
//
// Opening and closing the port are sent to the worker and waited for
// without blocking the UI thread: from the send until the worker has
// finished (and the short settle after it), further commands wait their
// turn in the queue and monitor ticks are skipped. The window keeps
// painting and showing the log meanwhile.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/port_drop_down.h"
#include "app/ui_queue.h"
#include "common/clock.h"
#include "common/flags.h"
#include "common/log.h"
#include "common/progress.h"
#include "image/image_store.h"
#include "link/link.h"
#include "link/port_list.h"
#include "link/port_worker.h"

namespace quelmar::app {

// Requests of the main window beside the six command ids of common/ids.h.
inline constexpr int kCloseRequest = 1;  // Exit, or the window manager's close
inline constexpr int kDeselectPort = 2;  // the drop-down's "----"
inline constexpr int kDropCodeFile = 3;  // a code file (.fcode, build output) dropped
inline constexpr int kDropDataFile = 4;  // a .fdata file dropped on the dialog

// What Exit asks during the data flash erase wait (Yes stops the wait).
inline constexpr char kStopEraseWaitQuestion[] =
    "Stop waiting for the data flash erase?\n\n"
    "Nothing is then written: the data flash stays erased.";

// What a click on a dialog control asks of the main window; 0 for none.
int CommandForControl(int control_id);

// What the toolkit does for the main window, on the UI thread.
class MainWindowView {
 public:
  virtual ~MainWindowView() = default;
  // Runs fn on the UI thread after the delay (0: when the event loop next
  // comes to it). Calls with equal delays run in the order asked.
  virtual void RunAfter(std::chrono::milliseconds delay, std::function<void()> fn) = 0;
  // Asks the operator whether to stop waiting for the data flash erase.
  virtual bool AskStopEraseWait() = 0;
  // Destroys the windows and ends the event loop with exit code 0.
  virtual void CloseProgram() = 0;
};

class MainWindow {
 public:
  struct Parts {
    link::PortSystem& ports;
    UiQueue& ui;  // the only way to the view, from either thread
    MainWindowView& view;
    PortDropDown& drop_down;
    image::FileChooser& chooser;
    Clock& clock = SystemClock();  // the updates' waits
  };
  static constexpr std::chrono::milliseconds kMonitorInterval{500};
  static constexpr std::chrono::milliseconds kSettle{50};

  explicit MainWindow(Parts parts);
  // Ends the worker (closing an open port) before anything it uses goes.
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Fills the drop-down (the dialog's initialisation).
  void InitPortList();
  // Starts the port worker and waits until it takes commands; false after
  // its error box.
  bool StartPortWorker();

  // --- what the dialog hands over, UI thread ---
  // Queues a command (an ID_* of the main window or one of the k* above);
  // it runs when the event loop next comes to it, after those before it.
  void PostCommand(int id, std::string path = {});
  // A click on a dialog control (the click table).
  void OnClick(int control_id);
  // The operator chose drop-down entry index (-1: no entry).
  void OnPortChosen(int index);
  // One tick of the port monitor, every kMonitorInterval.
  void PortMonitor();

  // Runs one command now and returns the window procedure's result: 1 for
  // the six commands (whether or not their condition held), 0 otherwise.
  int RunCommand(int id, const std::string& path = {});

  // A port is open and the worker exists.
  bool IsPortReady() const;
  // A port open or close is under way.
  bool PortChangePending() const { return pending_; }
  // Nothing queued, nothing under way.
  bool Idle() const { return !pending_ && !running_ && commands_.empty(); }

  const link::PortId& SelectedPort() const { return selected_port_; }
  void SetSelectedPort(link::PortId id) { selected_port_ = std::move(id); }

  // The program's state, for the view and for tests.
  Log& GetLog() { return log_; }
  Progress& GetProgress() { return progress_; }
  image::ImageStore& Images() { return images_; }
  UpdateFlags& Flags() { return flags_; }
  link::Link& GetLink() { return link_; }
  link::PortWorker& Worker() { return worker_; }
  const link::PortList& Ports() const { return port_list_; }

 private:
  struct Command {
    int id;
    std::string path;
  };

  link::PortWorker::Commands WorkerCommands();
  // Runs a worker operation while holding the command lock, which the
  // monitor's probe needs too.
  void Exclusive(const std::function<void()>& operation);

  void ScheduleRun();
  void RunQueued();
  void StartUpdate(int port_command);
  void LoadImage(bool code, const std::string& path);
  void CloseRequest();
  void SelectPort();
  void OpenSelected();
  void FinishSelect();
  void DeselectPort();
  // Sends a command to the worker; then runs on the UI thread once it has
  // run (at once when the worker dropped it).
  void SendToWorker(int port_command, std::function<void()> then);
  void BeginPending() { pending_ = true; }
  void EndPending();

  link::PortSystem& ports_;
  UiQueue& ui_;
  MainWindowView& view_;
  PortDropDown& drop_down_;
  image::FileChooser& chooser_;
  Clock& clock_;

  Log log_;
  Progress progress_;
  image::ImageStore images_;
  UpdateFlags flags_;
  link::Link link_;
  link::PortList port_list_;
  link::PortId selected_port_;

  // Handed from the UI thread to the worker's open.
  std::mutex open_mutex_;
  link::PortId port_to_open_;
  // Held by every worker command; the monitor probes only when it gets it.
  std::recursive_mutex command_mutex_;

  std::deque<Command> commands_;
  bool run_scheduled_ = false;
  bool running_ = false;  // a command is being run (it may show a dialog)
  bool pending_ = false;  // a port open or close is under way

  // Last: it runs the operations above on its thread, and goes first.
  link::PortWorker worker_;
};

}  // namespace quelmar::app
