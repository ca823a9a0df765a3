// Winsock side of the TCP seam.
// winsock2.h must come first.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <iphlpapi.h>
// clang-format on

#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/deadline.h"
#include "common/error_text.h"
#include "link/socket.h"

namespace quelmar::link {
namespace {

// Winsock is started once for the process and left running.
bool StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

std::string WinsockText(int error) {
  return Win32ErrorText(static_cast<unsigned long>(error));
}

// Waits until the socket is readable (or writable); false on time-out.
bool WaitFor(SOCKET s, bool write, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  fd_set errors;
  FD_ZERO(&errors);
  FD_SET(s, &errors);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &tv) > 0;
}

class WinsockStream final : public TcpStream {
 public:
  explicit WinsockStream(SOCKET s) : socket_(s) {}
  ~WinsockStream() override { closesocket(socket_); }
  WinsockStream(const WinsockStream&) = delete;
  WinsockStream& operator=(const WinsockStream&) = delete;

  int Receive(uint8_t* buffer, size_t n, int timeout_ms) override {
    const Deadline deadline{std::chrono::milliseconds(timeout_ms)};
    for (;;) {
      int k = recv(socket_, reinterpret_cast<char*>(buffer),
                   static_cast<int>(n > INT_MAX ? INT_MAX : n), 0);
      if (k > 0) return k;
      if (k == 0) return -1;
      if (WSAGetLastError() != WSAEWOULDBLOCK) return -2;
      int left = deadline.MillisLeft();
      if (left <= 0) return 0;
      WaitFor(socket_, false, left);
    }
  }

  bool ShutdownSend() override { return ::shutdown(socket_, SD_SEND) == 0; }

  int Send(const uint8_t* data, size_t n, int timeout_ms) override {
    const Deadline deadline{std::chrono::milliseconds(timeout_ms)};
    for (;;) {
      int k = send(socket_, reinterpret_cast<const char*>(data),
                   static_cast<int>(n > INT_MAX ? INT_MAX : n), 0);
      if (k >= 0) return k;
      if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
      int left = deadline.MillisLeft();
      if (left <= 0) return 0;
      WaitFor(socket_, true, left);
    }
  }

 private:
  SOCKET socket_;
};

struct Lookup {
  std::mutex mutex;
  std::condition_variable done_cv;
  bool done = false;
  int status = 0;
  addrinfo* result = nullptr;
  ~Lookup() {
    if (result != nullptr) freeaddrinfo(result);
  }
};

std::shared_ptr<Lookup> Resolve(const std::string& host, uint16_t port, int timeout_ms) {
  auto lookup = std::make_shared<Lookup>();
  std::thread([lookup, host, port] {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* result = nullptr;
    int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &result);
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

#ifndef SIO_TCP_SET_ACK_FREQUENCY
#define SIO_TCP_SET_ACK_FREQUENCY _WSAIOW(IOC_VENDOR, 23)
#endif

void SetOptions(SOCKET s) {
  BOOL on = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  // Every segment acknowledged at once: a port server with Nagle's rule on
  // holds the rest of a reply until the first piece is acknowledged.
  DWORD every = 1;
  DWORD ack_returned = 0;
  WSAIoctl(s, SIO_TCP_SET_ACK_FREQUENCY, &every, sizeof every, nullptr, 0, &ack_returned, nullptr,
           nullptr);
  // Keep-alive after 2 s of silence, then a probe a second.
  tcp_keepalive keep{1, 2000, 1000};
  DWORD returned = 0;
  WSAIoctl(s, SIO_KEEPALIVE_VALS, &keep, sizeof keep, nullptr, 0, &returned, nullptr, nullptr);
}

int ConnectOne(const addrinfo& address, const Deadline& deadline, SOCKET* out) {
  SOCKET s = socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (s == INVALID_SOCKET) return WSAGetLastError();
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  SetOptions(s);
  int error = 0;
  if (connect(s, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0) {
    error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      error = WSAETIMEDOUT;
      fd_set writable, failed;
      FD_ZERO(&writable);
      FD_ZERO(&failed);
      FD_SET(s, &writable);
      FD_SET(s, &failed);
      int left = deadline.MillisLeft();
      timeval tv{left / 1000, (left % 1000) * 1000};
      if (select(0, nullptr, &writable, &failed, &tv) > 0) {
        int so_error = 0;
        int size = sizeof so_error;
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &size);
        error = FD_ISSET(s, &failed) && so_error == 0 ? WSAECONNREFUSED : so_error;
      }
    }
  }
  if (error != 0) {
    closesocket(s);
    return error;
  }
  *out = s;
  return 0;
}

}  // namespace

ConnectResult ConnectTcp(const std::string& host, uint16_t port, int timeout_ms) {
  if (!StartWinsock()) return ConnectResult{nullptr, ConnectError::kOther, "Winsock did not start"};
  const Deadline deadline{std::chrono::milliseconds(timeout_ms)};
  std::shared_ptr<Lookup> lookup = Resolve(host, port, timeout_ms);
  if (lookup == nullptr) {
    return ConnectResult{nullptr, ConnectError::kResolve, "no answer from the name service"};
  }
  if (lookup->status != 0) {
    return ConnectResult{nullptr, ConnectError::kResolve, WinsockText(lookup->status)};
  }
  int last_error = WSAETIMEDOUT;
  for (const addrinfo* a = lookup->result; a != nullptr; a = a->ai_next) {
    SOCKET s = INVALID_SOCKET;
    int error = ConnectOne(*a, deadline, &s);
    if (error == 0) return ConnectResult{std::make_unique<WinsockStream>(s), {}, {}};
    if (last_error != WSAECONNREFUSED) last_error = error;
    if (deadline.Passed()) break;
  }
  ConnectError kind = last_error == WSAECONNREFUSED ? ConnectError::kRefused
                      : (last_error == WSAETIMEDOUT || last_error == WSAENETUNREACH ||
                         last_error == WSAEHOSTUNREACH)
                          ? ConnectError::kUnreachable
                          : ConnectError::kOther;
  return ConnectResult{nullptr, kind, WinsockText(last_error)};
}

std::vector<std::string> LocalAddresses() {
  std::vector<std::string> out;
  if (!StartWinsock()) return out;
  // The list's size is not known before: ask again with the size said.
  std::vector<unsigned char> buffer(16 * 1024);
  ULONG size = static_cast<ULONG>(buffer.size());
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG status = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && status == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    status = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (status != NO_ERROR) return out;
  for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); a != nullptr;
       a = a->Next) {
    if (a->OperStatus != IfOperStatusUp) continue;
    for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
      char text[NI_MAXHOST];
      if (::getnameinfo(u->Address.lpSockaddr, u->Address.iSockaddrLength, text, sizeof text,
                        nullptr, 0, NI_NUMERICHOST) != 0)
        continue;
      std::string address = text;
      address = address.substr(0, address.find('%'));  // a link-local address's zone
      out.push_back(std::move(address));
    }
  }
  return out;
}

}  // namespace quelmar::link
