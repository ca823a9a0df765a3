#include "pty_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <thread>
#include <vector>

#include "link/posix_port.h"

namespace quelmar::sim {

using Clock = std::chrono::steady_clock;

std::chrono::nanoseconds WireTime(uint64_t bytes) {
  // bytes * 10 bits / 115200 baud, in nanoseconds, rounded to nearest.
  const uint64_t num = bytes * kBitsPerByte * 1'000'000'000ULL;
  return std::chrono::nanoseconds((num + kBaud / 2) / kBaud);
}

bool PtyLine::Open(std::string* error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    *error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
    return false;
  }
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    *error = std::string("cannot unlock the pseudo-terminal: ") + strerror(errno);
    Close();
    return false;
  }
  const char* name = ptsname(master_);
  if (name == nullptr) {
    *error = std::string("cannot name the pseudo-terminal: ") + strerror(errno);
    Close();
    return false;
  }
  slave_path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY);
  if (slave_ < 0) {
    *error = "cannot open " + slave_path_ + ": " + strerror(errno);
    Close();
    return false;
  }
  int flags = fcntl(master_, F_GETFL);
  if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) {
    *error = std::string("cannot make the pseudo-terminal non-blocking: ") + strerror(errno);
    Close();
    return false;
  }
  return true;
}

bool PtyLine::OpenTty(const std::string& path, std::string* error) {
  master_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) {
    *error = "cannot open " + path + ": " + strerror(errno);
    return false;
  }
  if (!isatty(master_)) {
    *error = path + " is not a terminal";
    Close();
    return false;
  }
  if (flock(master_, LOCK_EX | LOCK_NB) != 0) {
    *error = path + " is in use by another program";
    Close();
    return false;
  }
  // Raw, and whatever the host sent before the board was there discarded.
  if (!quelmar::link::MakeRawBoardEnd(master_)) {
    *error = "cannot set " + path + " raw: " + strerror(errno);
    Close();
    return false;
  }
  tty_ = true;
  slave_path_ = path;
  return true;
}

void PtyLine::Close() {
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
  master_ = -1;
  slave_ = -1;
}

void PtyLine::WaitUntilRead(std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  if (tty_) {
    // What the tty's driver has not passed on yet.
    int queued = 0;
    while (master_ >= 0 && ioctl(master_, TIOCOUTQ, &queued) == 0 && queued > 0 &&
           Clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return;
  }
  // Bytes written to the master reach the slave's queue a moment later.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int waiting = 0;
  while (slave_ >= 0 && ioctl(slave_, FIONREAD, &waiting) == 0 && waiting > 0 &&
         Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

namespace {

// A run of bytes on one direction of the wire, timed from an anchor: byte n
// (from 0) has fully crossed at anchor + WireTime(n + 1).
struct WireSchedule {
  Clock::time_point anchor{};
  uint64_t count = 0;  // bytes scheduled since the anchor

  // Schedules n more bytes that cannot start before `earliest`; returns when
  // the last of them has crossed.
  Clock::time_point Add(uint64_t n, Clock::time_point earliest) {
    if (earliest >= anchor + WireTime(count)) {
      anchor = earliest;
      count = 0;
    }
    count += n;
    return anchor + WireTime(count);
  }
};

struct RxChunk {
  Clock::time_point due;
  std::vector<uint8_t> bytes;
};

struct TxByte {
  Clock::time_point due;
  uint8_t value;
};

bool IsHangUp(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

}  // namespace

ServeEnd Serve(PtyLine& line, Board& board, const ServeOptions& options, std::string* error) {
  const int fd = line.master_fd();
  std::deque<RxChunk> rx;
  std::deque<TxByte> tx;
  WireSchedule rx_wire;
  WireSchedule tx_wire;
  bool hang_up = false;
  bool write_blocked = false;
  std::vector<uint8_t> out;
  uint8_t buffer[4096];

  for (;;) {
    if (options.stop != nullptr && *options.stop) return ServeEnd::kStopped;
    Clock::time_point now = Clock::now();

    // Hand the board what has fully arrived and schedule its answer.
    while (!hang_up && !rx.empty() && rx.front().due <= now) {
      RxChunk chunk = std::move(rx.front());
      rx.pop_front();
      Response response = board.Receive(chunk.bytes, chunk.due);
      for (size_t k = 0; k < response.bytes.size(); ++k) {
        Clock::time_point due = options.pace ? tx_wire.Add(1, chunk.due) : chunk.due;
        tx.push_back({due, response.bytes[k]});
      }
      if (response.hang_up) {
        hang_up = true;
        rx.clear();
      }
    }

    // Send every byte that is due.
    out.clear();
    for (const TxByte& b : tx) {
      if (b.due > now) break;
      out.push_back(b.value);
    }
    if (!out.empty()) {
      ssize_t n = write(fd, out.data(), out.size());
      if (n > 0) {
        tx.erase(tx.begin(), tx.begin() + n);
        write_blocked = static_cast<size_t>(n) < out.size();
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        write_blocked = errno == EAGAIN;
      } else if (line.serves_tty() && n < 0 && IsHangUp(errno)) {
        return ServeEnd::kLineGone;
      } else {
        *error = "writing to " + line.slave_path() + " failed: " + strerror(errno);
        return ServeEnd::kFailed;
      }
    }
    if (hang_up && tx.empty()) {
      // The last reply reaches the host before the line goes: closing the
      // pty at once would throw away what the host has not read yet.
      line.WaitUntilRead(std::chrono::seconds(1));
      line.Close();
      return ServeEnd::kHungUp;
    }

    // Sleep until the next byte is due, data comes in, or a signal.
    Clock::time_point wake = Clock::time_point::max();
    if (!rx.empty() && !hang_up) wake = std::min(wake, rx.front().due);
    if (!tx.empty() && !write_blocked) wake = std::min(wake, tx.front().due);
    struct pollfd pfd = {fd, 0, 0};
    if (!hang_up) pfd.events |= POLLIN;
    if (write_blocked) pfd.events |= POLLOUT;
    struct timespec timeout = {0, 0};
    struct timespec* timeout_ptr = nullptr;
    if (wake != Clock::time_point::max()) {
      auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
      timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
      timeout_ptr = &timeout;
    }
    int ready = ppoll(&pfd, 1, timeout_ptr, options.wait_mask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      *error = "waiting on " + line.slave_path() + " failed: " + strerror(errno);
      return ServeEnd::kFailed;
    }
    if (ready == 0) continue;
    if (pfd.revents & POLLOUT) write_blocked = false;
    if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      Clock::time_point arrived = Clock::now();
      if (n > 0) {
        auto count = static_cast<uint64_t>(n);
        Clock::time_point due = options.pace ? rx_wire.Add(count, arrived) : arrived;
        rx.push_back({due, std::vector<uint8_t>(buffer, buffer + n)});
      } else if (line.serves_tty() && (n == 0 || IsHangUp(errno))) {
        // A hung-up tty reads as end of file (or EIO): its other end is gone.
        return ServeEnd::kLineGone;
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        *error = "reading from " + line.slave_path() + " failed: " + strerror(errno);
        return ServeEnd::kFailed;
      }
    }
  }
}

}  // namespace quelmar::sim
