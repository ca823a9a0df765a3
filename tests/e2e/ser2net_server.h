// Debian's ser2net run by a test: its own configuration file, on loopback,
// on free TCP ports, in front of simulated boards on pseudo-terminals.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace quelmar::testing {

class Ser2net {
 public:
  enum class Kind { kRfc2217, kRaw, kPlainTelnet };
  // One TCP port of the server and the device behind it.
  struct Connection {
    Kind kind = Kind::kRfc2217;
    std::string device;
    // Extra lines of the connection's options (" chardelay: false", ...).
    std::vector<std::string> options;
  };

  Ser2net() = default;
  ~Ser2net();
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  // Writes the configuration, starts the server and waits until every port
  // listens. False (with a gtest failure) when it does not come up.
  bool Start(const std::vector<Connection>& connections);
  // "rfc2217://127.0.0.1:PORT" (or socket://) for connection i.
  std::string Url(size_t i) const;
  uint16_t Port(size_t i) const { return ports_.at(i); }
  void Signal(int signal_number);
  // SIGTERM (after SIGCONT, in case it was stopped) and wait.
  void Stop();

 private:
  TempDir dir_;
  std::vector<Connection> connections_;
  std::vector<uint16_t> ports_;
  std::unique_ptr<BackgroundProgram> server_;
  bool killed_ = false;  // a test ended it with SIGKILL
};

// Whether something listens on the TCP port (IPv4 or IPv6), by the
// kernel's tables: asking by connecting would take a server's only slot.
bool TcpPortListens(uint16_t port);

}  // namespace quelmar::testing
