// The open serial line of the POSIX backend: exclusive open, termios line
// settings, and reads and writes with deadlines on a non-blocking descriptor.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "common/deadline.h"
#include "common/error_text.h"
#include "link/posix_port.h"

namespace quelmar::link {
namespace {

// A write that makes no progress for this long has failed (the line is
// stuck), so a write can never hang the worker.
constexpr std::chrono::milliseconds kWriteStall{5000};

bool IsHangUpErrno(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// DTR and RTS stay inactive: on many boards they drive reset and boot mode.
// A pseudo-terminal has no modem lines and refuses the request; that is fine.
void ClearModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  (void)::ioctl(fd, TIOCMBIC, &lines);
}

// USB adapters hold received bytes up to 16 ms before passing them on unless
// asked for low latency. Drivers without the request (ptys) are fine as is.
void RequestLowLatency(int fd) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return;
  serial.flags |= ASYNC_LOW_LATENCY;
  (void)::ioctl(fd, TIOCSSERIAL, &serial);
#else
  (void)fd;
#endif
}

class PosixSerialPort final : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd_(fd) {}
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;
  // HUPCL was cleared at open, so closing leaves DTR and RTS as they are;
  // closing also drops our flock. The exclusive mode belongs to the tty, not
  // to our descriptor: it outlives the close while anything else holds the
  // device open (a simulator holds its pty), so it is given up explicitly.
  ~PosixSerialPort() override {
    (void)::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
  }

  bool GetCommState() override {
    if (::tcgetattr(fd_, &state_) != 0) return false;
    have_state_ = true;
    return true;
  }
  bool SetCommState() override;
  bool SetBaudRate(uint32_t baud) override;
  bool SetCommTimeouts(const ReadTimeouts& timeouts) override {
    per_byte_ms_.store(timeouts.per_byte_ms, std::memory_order_relaxed);
    constant_ms_.store(timeouts.constant_ms, std::memory_order_relaxed);
    return true;
  }
  bool Purge(uint32_t mask) override;
  bool Write(const uint8_t* data, uint32_t n, uint32_t* written) override;
  uint32_t Read(uint8_t* buffer, uint32_t n) override;
  bool HungUp() const override { return hung_up_.load(std::memory_order_acquire); }

 private:
  void MarkHungUp() { hung_up_.store(true, std::memory_order_release); }
  // Whether poll says the line is gone, without waiting.
  bool LineGone();

  const int fd_;
  // Owner thread only.
  termios state_{};
  bool have_state_ = false;
  // Purge may run on the port monitor's thread while the owner reads.
  std::atomic<uint32_t> per_byte_ms_{ReadTimeouts{}.per_byte_ms};
  std::atomic<uint32_t> constant_ms_{ReadTimeouts{}.constant_ms};
  std::atomic<bool> hung_up_{false};
};

bool PosixSerialPort::SetCommState() {
  if (!have_state_ && !GetCommState()) return false;
  termios t = state_;
  // Raw 8-bit data: no translation of CR/LF, no stripping, no break or
  // parity marks, and no XON/XOFF in either direction. Output XON/XOFF
  // (IXON) is cleared too: with it the driver would swallow every 0x11 and
  // 0x13 the board sends, and the replies are binary.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK | IGNPAR);
#ifdef IUCLC
  t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  // 8N1, receiver on, modem status ignored, no RTS/CTS, and no hang-up on
  // close (which would toggle the modem lines).
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  t.c_cflag |= static_cast<tcflag_t>(CS8 | CLOCAL | CREAD);
  // VMIN 1 makes a read with nothing there fail with EAGAIN, so a read of 0
  // bytes means the line has hung up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (::cfsetispeed(&t, B115200) != 0 || ::cfsetospeed(&t, B115200) != 0) return false;
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;

  // tcsetattr succeeds when any part was applied; check the parts we need.
  termios check{};
  if (::tcgetattr(fd_, &check) != 0) return false;
  if (::cfgetospeed(&check) != B115200 || (check.c_cflag & CSIZE) != CS8 ||
      (check.c_cflag & (PARENB | CSTOPB | CRTSCTS)) != 0 ||
      (check.c_lflag & (ICANON | ECHO)) != 0 || (check.c_iflag & (IXON | IXOFF | ICRNL)) != 0) {
    return false;
  }
  state_ = check;
  // Leaving B0 makes some drivers raise DTR and RTS again.
  ClearModemLines(fd_);
  RequestLowLatency(fd_);
  return true;
}

// The speeds termios names; another one cannot be set through it.
std::optional<speed_t> SpeedOf(uint32_t baud) {
  static const std::pair<uint32_t, speed_t> kSpeeds[] = {
      {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
      {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
      {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
      {460800, B460800}, {921600, B921600},
#endif
  };
  for (const auto& [rate, speed] : kSpeeds)
    if (rate == baud) return speed;
  return std::nullopt;
}

bool PosixSerialPort::SetBaudRate(uint32_t baud) {
  const std::optional<speed_t> speed = SpeedOf(baud);
  if (!speed || (!have_state_ && !GetCommState())) return false;
  termios t = state_;
  if (::cfsetispeed(&t, *speed) != 0 || ::cfsetospeed(&t, *speed) != 0) return false;
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) return false;
  termios check{};
  if (::tcgetattr(fd_, &check) != 0 || ::cfgetospeed(&check) != *speed) return false;
  state_ = check;
  return true;
}

bool PosixSerialPort::LineGone() {
  pollfd p{fd_, 0, 0};  // POLLHUP and POLLERR are always reported
  int r;
  do {
    r = ::poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return true;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

bool PosixSerialPort::Purge(uint32_t mask) {
  if (HungUp()) return false;
  if (LineGone()) {
    MarkHungUp();
    return false;
  }
  // The abort bits have nothing to abort: reads and writes are done on the
  // owner thread and are over by the time anyone purges.
  bool rx = (mask & PURGE_RXCLEAR) != 0;
  bool tx = (mask & PURGE_TXCLEAR) != 0;
  if (!rx && !tx) return true;
  int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
  if (::tcflush(fd_, queue) != 0) {
    if (IsHangUpErrno(errno)) MarkHungUp();
    return false;
  }
  return true;
}

bool PosixSerialPort::Write(const uint8_t* data, uint32_t n, uint32_t* written) {
  uint32_t sent = 0;
  bool ok = !HungUp();
  Deadline progress_due(kWriteStall);
  while (ok && sent < n) {
    ssize_t k = ::write(fd_, data + sent, n - sent);
    if (k > 0) {
      sent += static_cast<uint32_t>(k);
      progress_due = Deadline(kWriteStall);
      continue;
    }
    if (k < 0 && errno == EINTR) continue;
    if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      if (IsHangUpErrno(errno)) MarkHungUp();
      ok = false;
      break;
    }
    // The driver's buffer is full: wait for room, but not forever.
    const int left = progress_due.MillisLeft();
    if (left <= 0) {
      ok = false;
      break;
    }
    pollfd p{fd_, POLLOUT, 0};
    int r = ::poll(&p, 1, left);
    if (r < 0 && errno != EINTR) {
      ok = false;
    } else if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      MarkHungUp();
      ok = false;
    }
  }
  if (written != nullptr) *written = sent;
  return ok;
}

uint32_t PosixSerialPort::Read(uint8_t* buffer, uint32_t n) {
  if (n == 0 || HungUp()) return 0;
  uint64_t budget_ms = uint64_t{per_byte_ms_.load(std::memory_order_relaxed)} * n +
                       constant_ms_.load(std::memory_order_relaxed);
  // A signal interrupts poll, but neither ends the read nor moves its end.
  const Deadline deadline{std::chrono::milliseconds(budget_ms)};
  uint32_t got = 0;
  while (got < n) {
    const int left = deadline.MillisLeft();
    if (left <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (r == 0) continue;
    if ((p.revents & POLLNVAL) != 0) {
      MarkHungUp();
      break;
    }
    bool gone = (p.revents & (POLLHUP | POLLERR)) != 0;
    if ((p.revents & POLLIN) != 0) {
      // Take what is there even when the line has just gone.
      ssize_t k = ::read(fd_, buffer + got, n - got);
      if (k > 0) {
        got += static_cast<uint32_t>(k);
      } else if (k == 0) {
        gone = true;
      } else if (IsHangUpErrno(errno)) {
        gone = true;
      } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        break;
      }
    }
    if (gone) {
      MarkHungUp();
      break;
    }
  }
  return got;
}

std::string Describe(const std::string& path, const std::string& label) {
  return label.empty() || label == path ? path : label + " (" + path + ")";
}

// Whether the caller belongs to the group (now, in this login).
bool InGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  count = ::getgroups(count, groups.data());
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<size_t>(i)] == gid) return true;
  }
  return false;
}

std::string GroupName(gid_t gid) {
  std::vector<char> buffer(4096);
  group entry{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return "dialout";
}

std::string PermissionAdvice(const std::string& path, const std::string& who) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IRWXG) != 0 && !InGroup(st.st_gid)) {
    std::string group = GroupName(st.st_gid);
    return "No permission to open " + who + ": you are not in the '" + group +
           "' group; add yourself with `sudo usermod -aG " + group + " $USER`, then log in again.";
  }
  return "No permission to open " + who + ".";
}

std::string BusyAdvice(const std::string& who, std::optional<int> pid) {
  if (pid && *pid == ::getpid()) return who + " is already open in this program.";
  if (pid && *pid > 0) {
    return who + " is in use by another program (process " + std::to_string(*pid) + ").";
  }
  return who + " is in use by another program.";
}

OpenResult Failure(OpenError error, std::string advice) {
  return OpenResult{nullptr, error, std::move(advice)};
}

}  // namespace

std::unique_ptr<SerialPort> MakePosixSerialPort(int fd) {
  return std::make_unique<PosixSerialPort>(fd);
}

OpenResult OpenPosixDevice(const std::string& path, const std::string& label,
                           const PosixPaths& paths) {
  const std::string who = Describe(path, label);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == EACCES) return Failure(OpenError::kPermission, PermissionAdvice(path, who));
    return Failure(OpenError::kNotFound, "There is no device " + who + ".");
  }
  if (!S_ISCHR(st.st_mode)) {
    return Failure(OpenError::kNotFound, who + " is not a serial device.");
  }

  // A live LCK file is another program's claim; do not even open (opening
  // would touch the modem lines under it).
  const std::string lock_name = LockFileName(path, paths.dev);
  for (const std::string& dir : LockDirectories(paths)) {
    if (int pid = LiveLockFilePid(dir, lock_name)) {
      return Failure(OpenError::kBusy, who + " is in use by another program (process " +
                                           std::to_string(pid) + ", lock file " + dir + "/" +
                                           lock_name + ").");
    }
  }

  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int error = errno;
    switch (error) {
      case ENOENT:
        return Failure(OpenError::kNotFound, "There is no device " + who + ".");
      case ENXIO:
      case ENODEV:
      case EIO:  // a ttyS without hardware behind it
        return Failure(OpenError::kNotFound, who + " has no device behind it.");
      case EBUSY:
        return Failure(OpenError::kBusy, BusyAdvice(who, LockingPid(paths.proc_locks, path)));
      case EACCES:
      case EPERM:
        return Failure(OpenError::kPermission, PermissionAdvice(path, who));
      default:
        return Failure(OpenError::kOther, "Cannot open " + who + ": " + ErrorText(error) + ".");
    }
  }

  // TIOCEXCL keeps other programs out but not root; the flock keeps out
  // every program that asks for it, root included, and other copies of ours.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && (errno == EWOULDBLOCK || errno == EAGAIN)) {
    ::close(fd);
    return Failure(OpenError::kBusy, BusyAdvice(who, LockingPid(paths.proc_locks, path)));
  }
  (void)::ioctl(fd, TIOCEXCL);
  ClearModemLines(fd);
  termios t{};
  if (::tcgetattr(fd, &t) == 0 && (t.c_cflag & HUPCL) != 0) {
    t.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    (void)::tcsetattr(fd, TCSANOW, &t);
  }
  return OpenResult{MakePosixSerialPort(fd), OpenError::kNone, {}};
}

bool MakeRawBoardEnd(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL);
  t.c_cflag |= static_cast<tcflag_t>(CLOCAL | CREAD);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) return false;
  termios check{};
  if (::tcgetattr(fd, &check) != 0) return false;
  if ((check.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) != 0 || (check.c_oflag & OPOST) != 0 ||
      (check.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP)) != 0) {
    errno = EINVAL;
    return false;
  }
  (void)::tcflush(fd, TCIOFLUSH);
  return true;
}

}  // namespace quelmar::link
