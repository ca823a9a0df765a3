// TCP seam of the network port backend: one connected stream, with a POSIX
// side (socket_posix.cpp) and a Winsock side (socket_win32.cpp). Nothing
// above it includes a socket header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quelmar::link {

// One connected TCP stream. Receive is called by one thread at a time and
// Send by one thread at a time; the two may run at once on two threads.
class TcpStream {
 public:
  virtual ~TcpStream() = default;
  // Waits at most timeout_ms for bytes, then takes up to n of them. Returns
  // the count (> 0), 0 when nothing came in time, -1 once the peer has
  // closed, -2 when the connection failed (reset: the peer closed with
  // bytes of ours unread, or went away).
  virtual int Receive(uint8_t* buffer, size_t n, int timeout_ms) = 0;
  // Sends what fits, waiting at most timeout_ms for room. Returns the count
  // sent (0 when there was no room in time), -1 when the connection failed.
  virtual int Send(const uint8_t* data, size_t n, int timeout_ms) = 0;
  // Ends the sending side: the peer reads the end of the stream once it has
  // everything sent before. Receive still works. False when the connection
  // failed (or the stream cannot do it).
  virtual bool ShutdownSend() { return false; }
};

enum class ConnectError {
  kNone,
  kResolve,      // the name does not resolve
  kRefused,      // nothing listens there
  kUnreachable,  // no route, or no answer in time
  kOther,
};

struct ConnectResult {
  std::unique_ptr<TcpStream> stream;  // null on failure
  ConnectError error = ConnectError::kNone;
  // What the system said, in its words ("Name or service not known").
  std::string detail;
};

// Connects to host (a name, an IPv4 address, or an IPv6 address without
// brackets) and port, trying each address the name has, within timeout_ms
// in all, name look-up included. The stream has Nagle's delay off (every
// request leaves at once) and keep-alive on, so a board-host that vanished
// is noticed even while nothing is sent.
ConnectResult ConnectTcp(const std::string& host, uint16_t port, int timeout_ms);

// The addresses of this machine's network interfaces that are up, as text
// ("192.168.1.5", "fd00::2"; IPv6 without brackets or zone), loopback ones
// included, in the system's order. Empty when they cannot be read.
std::vector<std::string> LocalAddresses();

}  // namespace quelmar::link
