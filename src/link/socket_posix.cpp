// POSIX side of the TCP seam.
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "common/deadline.h"
#include "common/error_text.h"
#include "link/socket.h"

namespace quelmar::link {
namespace {

// Keep-alive: the first probe after 2 s of silence, then every second, and
// the connection is given up after 3 unanswered. Sent data unacknowledged
// for 4 s ends it too, so a write into a vanished host fails in bounded time.
constexpr int kKeepIdleS = 2;
constexpr int kKeepIntervalS = 1;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 4000;

// A port server sends a reply in pieces as the board's bytes come (ser2net
// without its character delay, or a slow board), and with Nagle's rule on
// its side it holds each piece after the first until we acknowledge the
// one before. Our acknowledgement would wait for the next thing we send,
// which waits for the reply: some 40 ms a block. So every piece is
// acknowledged at once. The kernel clears the flag again as it pleases, so
// it is set after every receive.
void AckAtOnce(int fd) {
#ifdef TCP_QUICKACK
  int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
  (void)fd;
#endif
}

class PosixTcpStream final : public TcpStream {
 public:
  explicit PosixTcpStream(int fd) : fd_(fd) {}
  ~PosixTcpStream() override { ::close(fd_); }
  PosixTcpStream(const PosixTcpStream&) = delete;
  PosixTcpStream& operator=(const PosixTcpStream&) = delete;

  int Receive(uint8_t* buffer, size_t n, int timeout_ms) override {
    const Deadline deadline{std::chrono::milliseconds(timeout_ms)};
    for (;;) {
      ssize_t k = ::recv(fd_, buffer, n, MSG_DONTWAIT);
      if (k > 0) {
        AckAtOnce(fd_);
        return static_cast<int>(k);
      }
      if (k == 0) return -1;  // orderly close
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -2;
      int left = deadline.MillisLeft();
      if (left <= 0) return 0;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, left) < 0 && errno != EINTR) return -2;
    }
  }

  bool ShutdownSend() override { return ::shutdown(fd_, SHUT_WR) == 0; }

  int Send(const uint8_t* data, size_t n, int timeout_ms) override {
    const Deadline deadline{std::chrono::milliseconds(timeout_ms)};
    for (;;) {
      ssize_t k = ::send(fd_, data, n, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (k >= 0) return static_cast<int>(k);
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      int left = deadline.MillisLeft();
      if (left <= 0) return 0;
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, left) < 0 && errno != EINTR) return -1;
    }
  }

 private:
  const int fd_;
};

// getaddrinfo has no time limit of its own, so it runs on a thread of its
// own; when it is late, the caller goes on and the thread finishes alone.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int status = 0;
  addrinfo* result = nullptr;
  ~Lookup() {
    if (result != nullptr) ::freeaddrinfo(result);
  }
};

std::shared_ptr<Lookup> Resolve(const std::string& host, uint16_t port, int timeout_ms) {
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, host, port] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* result = nullptr;
    int status = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &result);
    std::lock_guard lock(lookup->mutex);
    lookup->status = status;
    lookup->result = result;
    lookup->done = true;
    lookup->done_cv.notify_all();
  }).detach();
  std::unique_lock lock(lookup->mutex);
  if (!lookup->done_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return lookup->done; })) {
    return nullptr;
  }
  return lookup;
}

void SetOptions(int fd) {
  int on = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
  int idle = kKeepIdleS, interval = kKeepIntervalS, count = kKeepCount;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
#ifdef TCP_USER_TIMEOUT
  unsigned user_timeout = kUserTimeoutMs;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
#endif
}

// One connect attempt; 0 when connected, else the errno (ETIMEDOUT when the
// deadline passed first).
int ConnectOne(const addrinfo& address, const Deadline& deadline, int* fd_out) {
  int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    address.ai_protocol);
  if (fd < 0) return errno;
  SetOptions(fd);
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      error = ETIMEDOUT;
      for (;;) {
        int left = deadline.MillisLeft();
        if (left <= 0) break;
        pollfd p{fd, POLLOUT, 0};
        int r = ::poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        socklen_t size = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
        break;
      }
    }
  }
  if (error != 0) {
    ::close(fd);
    return error;
  }
  *fd_out = fd;
  return 0;
}

ConnectError ErrorKind(int error) {
  switch (error) {
    case ECONNREFUSED:
      return ConnectError::kRefused;
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return ConnectError::kUnreachable;
    default:
      return ConnectError::kOther;
  }
}

}  // namespace

ConnectResult ConnectTcp(const std::string& host, uint16_t port, int timeout_ms) {
  const Deadline deadline{std::chrono::milliseconds(timeout_ms)};
  std::shared_ptr<Lookup> lookup = Resolve(host, port, timeout_ms);
  if (lookup == nullptr) {
    return ConnectResult{nullptr, ConnectError::kResolve, "no answer from the name service"};
  }
  if (lookup->status != 0) {
    return ConnectResult{nullptr, ConnectError::kResolve, ::gai_strerror(lookup->status)};
  }
  // Every address is tried; a refusal says more than a time-out, and the
  // last refusal or failure is what the user is told.
  int last_error = ETIMEDOUT;
  for (const addrinfo* a = lookup->result; a != nullptr; a = a->ai_next) {
    int fd = -1;
    int error = ConnectOne(*a, deadline, &fd);
    if (error == 0) return ConnectResult{std::make_unique<PosixTcpStream>(fd), {}, {}};
    if (last_error != ECONNREFUSED) last_error = error;
    if (deadline.Passed()) break;
  }
  return ConnectResult{nullptr, ErrorKind(last_error), ErrorText(last_error)};
}

std::vector<std::string> LocalAddresses() {
  std::vector<std::string> out;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || (i->ifa_flags & IFF_UP) == 0) continue;
    const int family = i->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char text[NI_MAXHOST];
    const socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (::getnameinfo(i->ifa_addr, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0)
      continue;
    std::string address = text;
    address = address.substr(0, address.find('%'));  // a link-local address's zone
    out.push_back(std::move(address));
  }
  ::freeifaddrs(list);
  return out;
}

}  // namespace quelmar::link
