// The port worker: one thread that owns the serial port and runs the port
// commands one at a time, so the window stays responsive while an update
// writes thousands of blocks.
//
// Commands reach it two ways: posted (queued, the caller goes on) and sent
// (the caller is told when it has run). A waiting send is served before
// the posted commands. Requests made while the worker has no command window
// (not yet created, or closed from outside) are dropped.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "common/log.h"

namespace quelmar::link {

class PortWorker {
 public:
  // The operations behind the five port commands. Each runs on the worker
  // thread, to its end, before the next command is taken.
  struct Commands {
    std::function<void()> open;        // ID_COM_OPEN
    std::function<void()> close;       // ID_COM_CLOSE
    std::function<void()> flash_code;  // ID_COM_START_FLASH_CODE
    std::function<void()> flash_data;  // ID_COM_START_FLASH_DATA
    std::function<void()> reset;       // ID_COM_RESET
    // Creates the command window on the worker thread; false when that
    // fails. Empty: creation always succeeds.
    std::function<bool()> create_window;
  };
  // Called on the worker thread when a sent command has run.
  using Done = std::function<void()>;

  PortWorker(Commands commands, Log& log);
  // Closes the command window (as an outside close would) and joins.
  ~PortWorker();
  PortWorker(const PortWorker&) = delete;
  PortWorker& operator=(const PortWorker&) = delete;

  // Starts the thread; it creates its command window first. Returns as soon
  // as the thread exists, before the window does. False (after the error box
  // "Failed create new thread") when no thread could be started.
  bool StartPortWorker();
  // The thread was started (PortThread not null).
  bool Started() const { return thread_.joinable(); }
  // The command window exists: requests are taken.
  bool HasWindow() const;
  // Waits until the worker has made its command window or has ended; true
  // when the window exists.
  bool WaitForWindow();

  // Queues a command and returns at once. False when it was dropped (no
  // window, or the outside close has come and the worker is ending).
  bool PostCommand(int id);
  // Queues a command ahead of every posted one; done runs on the worker
  // thread once it has run, or once the outside close has dropped it, so a
  // sender never waits forever. On the worker thread itself the command
  // runs at once (as a window sending to its own window would). False when
  // dropped at once (done is then never called).
  bool SendCommand(int id, Done done = {});
  // Sends the close command (RequestPortClose).
  bool RequestPortClose(Done done = {}) { return SendCommand(kCloseCommand, std::move(done)); }

  // The outside close of the command window: once the command running now
  // has ended, an open port is closed with "COM port closed." and the
  // worker ends; every later request is dropped. Commands still queued are
  // dropped too.
  void CloseWindow();
  // Waits until the worker thread has ended (after CloseWindow, or when its
  // window could not be created).
  void Join();

  // The command table: runs the command with this id (on the calling
  // thread). 1 when the id names a command, after it has run; 0 otherwise.
  int RunPortCommand(int id);

 private:
  static constexpr int kCloseCommand = 40008;
  struct Request {
    int id;
    Done done;
  };

  void Main();

  Commands commands_;
  Log& log_;
  std::thread thread_;

  mutable std::mutex mutex_;
  std::thread::id worker_id_;  // guarded by mutex_
  std::condition_variable wake_;
  bool window_ = false;  // PortWindow not null
  bool close_requested_ = false;
  bool ended_ = false;  // the thread is done (or never made its window)
  std::deque<Request> sent_;
  std::deque<Request> posted_;
};

}  // namespace quelmar::link
