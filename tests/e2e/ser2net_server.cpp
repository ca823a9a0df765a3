#include "ser2net_server.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace quelmar::testing {
namespace {

// Ports in the kernel's tables, in any state (listening or not): a port that
// is in TIME_WAIT may not be bindable either.
std::set<uint16_t> PortsInTables(bool listening_only) {
  std::set<uint16_t> ports;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // heading
    while (std::getline(in, line)) {
      std::istringstream words(line);
      std::string slot, local, remote, state;
      if (!(words >> slot >> local >> remote >> state)) continue;
      const size_t colon = local.rfind(':');
      if (colon == std::string::npos) continue;
      if (listening_only && state != "0A") continue;
      ports.insert(static_cast<uint16_t>(std::stoul(local.substr(colon + 1), nullptr, 16)));
    }
  }
  return ports;
}

}  // namespace

bool TcpPortListens(uint16_t port) {
  return PortsInTables(true).count(port) != 0;
}

Ser2net::~Ser2net() {
  Stop();
}

bool Ser2net::Start(const std::vector<Connection>& connections) {
  connections_ = connections;
  const std::set<uint16_t> taken = PortsInTables(false);
  std::mt19937 random(
      static_cast<unsigned>(::getpid()) * 7919u +
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  ports_.clear();
  while (ports_.size() < connections.size()) {
    const auto port = static_cast<uint16_t>(20000 + random() % 30000);
    if (taken.count(port) == 0 && std::find(ports_.begin(), ports_.end(), port) == ports_.end()) {
      ports_.push_back(port);
    }
  }
  std::ostringstream config;
  for (size_t i = 0; i < connections.size(); ++i) {
    const Connection& c = connections[i];
    const char* stack = c.kind == Kind::kRfc2217       ? "telnet(rfc2217),"
                        : c.kind == Kind::kPlainTelnet ? "telnet,"
                                                       : "";
    config << "connection: &board" << i << "\n"
           << "  accepter: " << stack << "tcp,127.0.0.1," << ports_[i] << "\n"
           << "  connector: serialdev," << c.device << ",115200n81,local\n";
    if (!c.options.empty()) {
      config << "  options:\n";
      for (const std::string& option : c.options) config << "    " << option << "\n";
    }
  }
  WriteWholeFile(dir_.File("ser2net.yaml"), config.str());
  server_ = std::make_unique<BackgroundProgram>();
  // -n: stay in the foreground; -u: no UUCP lock files (the simulator's pty
  // is ours alone); the pid file in our folder, not /run.
  if (!server_->Start("/usr/sbin/ser2net", {"-n", "-u", "-P", dir_.File("ser2net.pid"), "-c",
                                            dir_.File("ser2net.yaml")})) {
    ADD_FAILURE() << "ser2net did not start";
    return false;
  }
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    bool all = true;
    for (uint16_t port : ports_) all = all && TcpPortListens(port);
    if (all) return true;
    if (std::chrono::steady_clock::now() > limit) {
      ADD_FAILURE() << "ser2net did not listen on its ports within 10 s; it said: "
                    << server_->Err() << server_->Out();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Ser2net::Url(size_t i) const {
  const char* scheme = connections_.at(i).kind == Kind::kRaw ? "socket://" : "rfc2217://";
  return scheme + std::string("127.0.0.1:") + std::to_string(ports_.at(i));
}

void Ser2net::Signal(int signal_number) {
  if (signal_number == SIGKILL) killed_ = true;
  if (server_) server_->Signal(signal_number);
}

void Ser2net::Stop() {
  if (!server_) return;
  server_->Signal(SIGCONT);
  server_->Signal(SIGTERM);
  if (server_->Wait(std::chrono::seconds(10)) < 0 && !killed_) {
    ADD_FAILURE() << "ser2net did not stop within 10 s of SIGTERM";
  }
  server_.reset();
}

}  // namespace quelmar::testing
