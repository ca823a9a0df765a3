#include "station_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

namespace quelmar::testing {
namespace {

constexpr char kToken[] = "station-test-token";

}  // namespace

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0)
    port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

bool StationRun::Start(const TempDir& dir, const std::string& profile_lines,
                       const std::vector<std::string>& env) {
  port_ = FreePort();
  const std::string profile = dir.File("station.toml");
  WriteWholeFile(profile, "listen = \"127.0.0.1:" + std::to_string(port_) + "\"\ntoken = \"" +
                              kToken + "\"\n" + profile_lines);
  if (!program_.Start(QUELMAR_CLI_PATH, {"station", profile}, env)) {
    ADD_FAILURE() << "the station did not start";
    return false;
  }
  if (!WaitFor([](const nlohmann::json& s) { return s.is_object(); }, std::chrono::seconds(20))) {
    ADD_FAILURE() << "the station served no state within 20 s: " << program_.Out()
                  << program_.Err();
    return false;
  }
  return true;
}

std::string StationRun::Request(const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
          static_cast<ssize_t>(request.size())) {
    // Until the server closes (Connection: close), at most 10 s.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
  }
  ::close(fd);
  return answer;
}

nlohmann::json StationRun::State() {
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  const std::string answer =
      Request("GET /api/state HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
  const size_t body = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.1 200", 0) != 0 || body == std::string::npos) return nullptr;
  return nlohmann::json::parse(answer.substr(body + 4), nullptr, false);
}

bool StationRun::WaitFor(const std::function<bool(const nlohmann::json&)>& check,
                         std::chrono::milliseconds limit, nlohmann::json* last) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const nlohmann::json state = State();
    if (last != nullptr) *last = state;
    if (!state.is_discarded() && !state.is_null() && check(state)) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

bool StationRun::Scan(const std::string& unit, std::string* whole) {
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  const std::string answer =
      Request("POST /api/scan HTTP/1.1\r\nHost: " + host + "\r\nX-Quelmar-Token: " + kToken +
              "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(unit.size()) +
              "\r\nConnection: close\r\n\r\n" + unit);
  if (whole != nullptr) *whole = answer;
  return answer.rfind("HTTP/1.1 200", 0) == 0;
}

int StationRun::Stop(std::chrono::milliseconds limit) {
  const std::string host = "127.0.0.1:" + std::to_string(port_);
  Request("POST /api/stop HTTP/1.1\r\nHost: " + host + "\r\nX-Quelmar-Token: " + kToken +
          "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  return program_.Wait(limit);
}

}  // namespace quelmar::testing
