// The page server full of other hosts' connections: three loopback
// addresses each holding as many idle connections as one address may
// (more than the server takes in all), and a page load from a fourth.
// POSIX only: the client sockets are bound to their addresses.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "station/dashboard_server.h"
#include "station/page_server.h"
#include "station/station_state.h"

namespace quelmar::station {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A connection to 127.0.0.1:port from the loopback address `from`.
class BoundClient {
 public:
  BoundClient(const char* from, uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                     ::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~BoundClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  BoundClient(const BoundClient&) = delete;
  BoundClient& operator=(const BoundClient&) = delete;

  bool Connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
  }
  // Reads until `done(got)` holds, the peer closes or `end` passes; whether
  // `done` held.
  template <class Done>
  bool ReadUntil(Clock::time_point end, Done done) {
    while (fd_ >= 0 && !closed_ && !done(got_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left <= 0ms) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[16384];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      got_.append(buffer, static_cast<size_t>(n));
    }
    return done(got_);
  }
  // One whole answer (head and Content-Length body) by `end`.
  bool ReadAnswer(Clock::time_point end) { return ReadUntil(end, WholeAnswer); }
  // Whether the server has closed the connection, waiting at most `limit`.
  bool ClosedWithin(std::chrono::milliseconds limit) {
    ReadUntil(Clock::now() + limit, [](const std::string&) { return false; });
    return closed_;
  }
  std::string& got() { return got_; }

 private:
  static bool WholeAnswer(const std::string& got) {
    const size_t head = got.find("\r\n\r\n");
    const size_t length = got.find("\r\nContent-Length: ");
    return head != std::string::npos && length != std::string::npos && length < head &&
           got.size() >= head + 4 + std::stoul(got.substr(length + 18));
  }

  int fd_ = -1;
  bool closed_ = false;
  std::string got_;
};

TEST(CrowdedServer, APageLoadFromANewAddressIsAnsweredWhileOthersHoldEveryConnection) {
  enum class Hold { kNothingSent, kKeptAlive, kEither };
  struct Case {
    const char* name;
    Hold hold;
  };
  const Case cases[] = {
      {"connected, nothing sent", Hold::kNothingSent},
      {"one request answered, kept alive", Hold::kKeptAlive},
      {"every other one of each", Hold::kEither},
  };
  const char* const holders[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
  StationState state;
  state.AddSlot("COM4");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;  // the caps as shipped
    options.port = 0;
    options.token = "0123456789abcdef0123456789abcdef";
    options.read_timeout = 120s;  // no held connection times out on its own during the test
    ASSERT_GT(std::size(holders) * options.max_connections_per_client, options.max_connections)
        << "the holders would leave room without anything being closed";
    DashboardServer server(state, options, {});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());

    std::vector<std::unique_ptr<BoundClient>> held;
    for (const char* from : holders) {
      for (size_t i = 0; i < options.max_connections_per_client; ++i) {
        held.push_back(std::make_unique<BoundClient>(from, server.Port()));
        BoundClient& h = *held.back();
        ASSERT_TRUE(h.Connected()) << from << " #" << i;
        if (c.hold == Hold::kKeptAlive || (c.hold == Hold::kEither && i % 2 == 1)) {
          h.Send("GET /api/state HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
          ASSERT_TRUE(h.ReadAnswer(Clock::now() + 20s)) << from << " #" << i << ": " << h.got();
        }
      }
    }
    const auto settled = Clock::now() + 20s;
    while (server.Connections() != options.max_connections && Clock::now() < settled)
      std::this_thread::sleep_for(5ms);
    ASSERT_EQ(server.Connections(), options.max_connections) << "the server is not full";

    // A browser's page load: the page, then its state, on one connection.
    const auto start = Clock::now();
    BoundClient page("127.0.0.5", server.Port());
    ASSERT_TRUE(page.Connected());
    page.Send("GET / HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_TRUE(page.ReadAnswer(start + 2s)) << "no page within 2 s: " << page.got();
    EXPECT_EQ(page.got().rfind("HTTP/1.1 200 ", 0), 0u) << page.got().substr(0, 200);
    page.got().clear();
    page.Send("GET /api/state HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    ASSERT_TRUE(page.ReadAnswer(start + 2s)) << "no state within 2 s: " << page.got();
    EXPECT_NE(page.got().find("\"port\":\"COM4\""), std::string::npos) << page.got();

    // Each connection beyond the cap, the holders' last ones and the
    // page's, took the place of the one idle longest: the oldest of
    // 127.0.0.2 are gone, the rest are kept.
    const size_t replaced = held.size() - options.max_connections + 1;
    for (size_t i = 0; i < replaced; ++i)
      EXPECT_TRUE(held[i]->ClosedWithin(20s)) << "127.0.0.2 #" << i << " was kept";
    EXPECT_FALSE(held[replaced]->ClosedWithin(200ms)) << "one too many was closed";
    EXPECT_FALSE(held.back()->ClosedWithin(200ms)) << "the newest connection was closed";
    // 127.0.0.4 lost none of its connections: one more from it is still
    // refused, and takes nobody's place.
    BoundClient more("127.0.0.4", server.Port());
    EXPECT_TRUE(more.ClosedWithin(20s)) << "an address went beyond its cap";
    EXPECT_EQ(server.Connections(), options.max_connections);
    server.Stop();
  }
}

}  // namespace
}  // namespace quelmar::station
