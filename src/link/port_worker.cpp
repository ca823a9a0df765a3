#include "link/port_worker.h"

#include <array>
#include <system_error>

#include "common/ids.h"

namespace quelmar::link {

namespace {

using Operation = std::function<void()> PortWorker::Commands::*;

// Indexed by the command id minus ID_COM_OPEN; empty entries run nothing.
constexpr std::array<Operation, 12> kCommandTable = {
    &PortWorker::Commands::open,   // 40007 ID_COM_OPEN
    &PortWorker::Commands::close,  // 40008 ID_COM_CLOSE
    nullptr,
    nullptr,
    nullptr,
    nullptr,                            // 40009..40012
    &PortWorker::Commands::flash_code,  // 40013 ID_COM_START_FLASH_CODE
    nullptr,                            // 40014
    &PortWorker::Commands::flash_data,  // 40015 ID_COM_START_FLASH_DATA
    nullptr,
    nullptr,                       // 40016, 40017
    &PortWorker::Commands::reset,  // 40018 ID_COM_RESET
};

static_assert(ID_COM_OPEN == 40007 && ID_COM_CLOSE == 40008 && ID_COM_START_FLASH_CODE == 40013 &&
              ID_COM_START_FLASH_DATA == 40015 && ID_COM_RESET == 40018);

}  // namespace

PortWorker::PortWorker(Commands commands, Log& log) : commands_(std::move(commands)), log_(log) {}

PortWorker::~PortWorker() {
  CloseWindow();
  Join();
}

bool PortWorker::StartPortWorker() {
  if (thread_.joinable()) return true;
  try {
    thread_ = std::thread([this] { Main(); });
  } catch (const std::system_error&) {
    return log_.ShowErrorBox("Failed create new thread") != 0;
  }
  return true;
}

bool PortWorker::HasWindow() const {
  std::lock_guard lock(mutex_);
  return window_;
}

int PortWorker::RunPortCommand(int id) {
  const unsigned index = static_cast<unsigned>(id - ID_COM_OPEN);
  if (index >= kCommandTable.size() || kCommandTable[index] == nullptr) return 0;
  const std::function<void()>& operation = commands_.*kCommandTable[index];
  if (operation) operation();
  return 1;
}

bool PortWorker::WaitForWindow() {
  if (!thread_.joinable()) return false;
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return window_ || ended_; });
  return window_;
}

bool PortWorker::PostCommand(int id) {
  {
    std::lock_guard lock(mutex_);
    // After the outside close a posted command would only be dropped: say
    // so, so that the poster can undo what it did for it (BusyFlag).
    if (!window_ || close_requested_) return false;
    posted_.push_back({id, {}});
  }
  wake_.notify_all();
  return true;
}

bool PortWorker::SendCommand(int id, Done done) {
  bool on_worker = false;
  {
    std::lock_guard lock(mutex_);
    if (!window_) return false;
    on_worker = std::this_thread::get_id() == worker_id_;
    if (!on_worker) sent_.push_back({id, std::move(done)});
  }
  if (!on_worker) {
    wake_.notify_all();
    return true;
  }
  RunPortCommand(id);
  if (done) done();
  return true;
}

void PortWorker::CloseWindow() {
  {
    std::lock_guard lock(mutex_);
    if (!window_) return;
    close_requested_ = true;
  }
  wake_.notify_all();
}

void PortWorker::Join() {
  {
    std::lock_guard lock(mutex_);
    if (std::this_thread::get_id() == worker_id_) return;
  }
  if (thread_.joinable()) thread_.join();
}

void PortWorker::Main() {
  {
    std::lock_guard lock(mutex_);
    worker_id_ = std::this_thread::get_id();
  }
  if (commands_.create_window && !commands_.create_window()) {
    log_.ShowErrorBox("Failed create ComPort window");
    {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    wake_.notify_all();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    window_ = true;
  }
  wake_.notify_all();
  std::deque<Request> dropped;
  for (;;) {
    Request request;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return close_requested_ || !sent_.empty() || !posted_.empty(); });
      if (close_requested_) {
        // From here on nothing is taken: the window is gone.
        window_ = false;
        ended_ = true;
        dropped.swap(sent_);
        posted_.clear();
        break;
      }
      std::deque<Request>& queue = sent_.empty() ? posted_ : sent_;
      request = std::move(queue.front());
      queue.pop_front();
    }
    RunPortCommand(request.id);
    if (request.done) request.done();
  }
  // The close of the window releases an open port, as ClosePort does.
  if (commands_.close) commands_.close();
  // Senders that were still waiting are told, so none waits forever.
  for (Request& request : dropped) {
    if (request.done) request.done();
  }
}

}  // namespace quelmar::link
