// The dashboard server against raw sockets: bad requests get a 4xx or are
// dropped, the control actions need the token and the page's own origin,
// slow and stalled clients are cut off, and none of it holds up the
// threads that write the station's state.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "station/dashboard_server.h"
#include "station/station_state.h"

namespace quelmar::station {
namespace {

using namespace std::chrono_literals;

constexpr char kToken[] = "0123456789abcdef0123456789abcdef";

// A client socket with bounded waits.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Client() {
    if (fd_ >= 0) close(fd_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  // Reads until the peer closes, `until` appears, or the limit passes.
  // closed() tells whether the peer closed.
  std::string Read(std::chrono::milliseconds limit, const std::string& until = {}) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (!until.empty() && got_.find(until) != std::string::npos) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left <= 0ms) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed_ = true;
        break;
      }
      got_.append(buffer, static_cast<size_t>(n));
    }
    return got_;
  }
  bool closed() const { return closed_; }
  std::string& got() { return got_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string got_;
};

// The status code of the first response in `text`, or 0.
int StatusOf(const std::string& text) {
  if (text.rfind("HTTP/1.1 ", 0) != 0 || text.size() < 12) return 0;
  return std::stoi(text.substr(9, 3));
}

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { StartServer({}); }

  void StartServer(ServerOptions options) {
    server_.reset();
    options.address = "127.0.0.1";
    options.port = 0;
    options.token = kToken;
    if (options.read_timeout == ServerOptions{}.read_timeout) options.read_timeout = 400ms;
    if (options.write_timeout == ServerOptions{}.write_timeout) options.write_timeout = 400ms;
    options.event_period = 20ms;
    server_ = std::make_unique<DashboardServer>(state_, options, [this](Control c) {
      controls_.push_back(c);
      state_.SetRunState(c == Control::kPause    ? RunState::kPaused
                         : c == Control::kResume ? RunState::kRunning
                                                 : RunState::kStopping);
    });
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    port_ = server_->Port();
    host_ = "127.0.0.1:" + std::to_string(port_);
  }

  // Sends one request and reads the answer until the server closes or 20 s.
  std::string Exchange(const std::string& request) {
    Client c(port_);
    EXPECT_TRUE(c.Connected());
    c.Send(request);
    return c.Read(20s);
  }

  // Waits, bounded, until the server holds `n` connections.
  void WaitForConnections(size_t n, const char* what) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (server_->Connections() != n && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(5ms);
    ASSERT_EQ(server_->Connections(), n) << "gave up waiting for " << what;
  }

  StationState state_;
  std::vector<Control> controls_;  // written on the server's thread, read after Stop
  std::unique_ptr<DashboardServer> server_;
  uint16_t port_ = 0;
  std::string host_;
};

struct BadRequest {
  const char* name;
  std::string (*build)(const std::string& host);
  int status;  // 0: the connection is dropped without an answer
};

const BadRequest kBadRequests[] = {
    {"garbage request line", [](const std::string&) { return std::string("HELLO\r\n\r\n"); }, 400},
    {"binary noise", [](const std::string&) { return std::string("\x01\x02\xff\r\n\r\n", 7); },
     400},
    {"bad version",
     [](const std::string& h) { return "GET / HTTP/7.3\r\nHost: " + h + "\r\n\r\n"; }, 400},
    {"bad header line",
     [](const std::string& h) { return "GET / HTTP/1.1\r\nHost: " + h + "\r\nNoColon\r\n\r\n"; },
     400},
    {"oversized header",
     [](const std::string& h) {
       return "GET / HTTP/1.1\r\nHost: " + h + "\r\nX-Fill: " + std::string(20000, 'a') +
              "\r\n\r\n";
     },
     431},
    {"oversized body",
     [](const std::string& h) {
       return "POST /api/pause HTTP/1.1\r\nHost: " + h + "\r\nContent-Length: 1000000\r\n\r\n" +
              std::string(2000, 'x');
     },
     413},
    {"oversized chunked body",
     [](const std::string& h) {
       return "POST /api/pause HTTP/1.1\r\nHost: " + h +
              "\r\nTransfer-Encoding: chunked\r\n\r\n4000\r\n" + std::string(0x4000, 'x');
     },
     413},
    {"unknown path",
     [](const std::string& h) { return "GET /admin HTTP/1.1\r\nHost: " + h + "\r\n\r\n"; }, 404},
    {"path up the tree",
     [](const std::string& h) {
       return "GET /../../etc/passwd HTTP/1.1\r\nHost: " + h + "\r\n\r\n";
     },
     404},
    {"log of no slot",
     [](const std::string& h) { return "GET /api/log/7 HTTP/1.1\r\nHost: " + h + "\r\n\r\n"; },
     404},
    {"log with letters",
     [](const std::string& h) { return "GET /api/log/1x HTTP/1.1\r\nHost: " + h + "\r\n\r\n"; },
     404},
    {"page posted to",
     [](const std::string& h) {
       return "POST / HTTP/1.1\r\nHost: " + h + "\r\nContent-Length: 0\r\n\r\n";
     },
     405},
    {"state deleted",
     [](const std::string& h) { return "DELETE /api/state HTTP/1.1\r\nHost: " + h + "\r\n\r\n"; },
     405},
    {"pause by GET, token and all",
     [](const std::string& h) {
       return "GET /api/pause HTTP/1.1\r\nHost: " + h + "\r\nX-Quelmar-Token: " + kToken +
              "\r\n\r\n";
     },
     405},
    {"pause preflight",
     [](const std::string& h) {
       return "OPTIONS /api/pause HTTP/1.1\r\nHost: " + h +
              "\r\nOrigin: http://evil.example\r\n\r\n";
     },
     403},
    {"pause without token",
     [](const std::string& h) {
       return "POST /api/pause HTTP/1.1\r\nHost: " + h + "\r\nContent-Length: 0\r\n\r\n";
     },
     401},
    {"pause with a wrong token",
     [](const std::string& h) {
       return "POST /api/pause HTTP/1.1\r\nHost: " + h +
              "\r\nX-Quelmar-Token: 0123456789abcdef0123456789abcdee\r\nContent-Length: 0\r\n\r\n";
     },
     403},
    {"pause with a token's prefix",
     [](const std::string& h) {
       return "POST /api/pause HTTP/1.1\r\nHost: " + h +
              "\r\nX-Quelmar-Token: 0123\r\nContent-Length: 0\r\n\r\n";
     },
     403},
    {"pause with the token in the URL",
     [](const std::string& h) {
       return "POST /api/pause?token=" + std::string(kToken) + " HTTP/1.1\r\nHost: " + h +
              "\r\nContent-Length: 0\r\n\r\n";
     },
     401},
    {"pause from a foreign origin, token and all",
     [](const std::string& h) {
       return "POST /api/pause HTTP/1.1\r\nHost: " + h + "\r\nOrigin: http://evil.example\r\n" +
              "X-Quelmar-Token: " + kToken + "\r\nContent-Length: 0\r\n\r\n";
     },
     403},
    {"pause from another site by fetch metadata",
     [](const std::string& h) {
       return "POST /api/pause HTTP/1.1\r\nHost: " + h + "\r\nSec-Fetch-Site: cross-site\r\n" +
              "X-Quelmar-Token: " + kToken + "\r\nContent-Length: 0\r\n\r\n";
     },
     403},
    {"state through a rebound name",
     [](const std::string&) {
       return std::string("GET /api/state HTTP/1.1\r\nHost: evil.example:8080\r\n\r\n");
     },
     403},
    {"no host at all", [](const std::string&) { return std::string("GET / HTTP/1.1\r\n\r\n"); },
     403},
    {"half a request, then silence",
     [](const std::string& h) { return "GET / HTTP/1.1\r\nHost: " + h + "\r\nX-Slow: "; }, 0},
};

TEST_F(ServerTest, BadRequestsAreRefusedAndChangeNothing) {
  const uint64_t before = state_.Version();
  for (const BadRequest& bad : kBadRequests) {
    SCOPED_TRACE(bad.name);
    Client c(port_);
    ASSERT_TRUE(c.Connected());
    c.Send(bad.build(host_));
    const std::string answer = c.Read(20s);
    EXPECT_TRUE(c.closed()) << "the connection stayed open";
    EXPECT_EQ(StatusOf(answer), bad.status) << answer.substr(0, 200);
    if (bad.status != 0) {
      EXPECT_NE(answer.find("\r\nContent-Security-Policy: default-src 'self'"), std::string::npos);
      EXPECT_NE(answer.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos);
    }
  }
  server_->Stop();
  EXPECT_TRUE(controls_.empty());
  EXPECT_EQ(state_.Version(), before);
  EXPECT_EQ(state_.Run(), RunState::kRunning);
}

TEST_F(ServerTest, ControlsWithTokenAndOwnOriginAreCarriedOut) {
  struct Case {
    const char* path;
    const char* origin;  // empty: none sent (curl, scripts)
    Control control;
    const char* run;
  };
  const Case cases[] = {
      {"/api/pause", "", Control::kPause, "paused"},
      {"/api/resume", "own", Control::kResume, "running"},
      {"/api/stop", "own", Control::kStop, "stopping"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string request = std::string("POST ") + c.path + " HTTP/1.1\r\nHost: " + host_ +
                          "\r\nX-Quelmar-Token: " + kToken +
                          "\r\nContent-Length: 0\r\nConnection: close\r\n";
    if (std::string(c.origin) == "own") request += "Origin: http://" + host_ + "\r\n";
    const std::string answer = Exchange(request + "\r\n");
    EXPECT_EQ(StatusOf(answer), 200) << answer;
    EXPECT_NE(answer.find(std::string("{\"run\":\"") + c.run + "\"}"), std::string::npos) << answer;
  }
  server_->Stop();
  ASSERT_EQ(controls_.size(), 3u);
  EXPECT_EQ(controls_[0], Control::kPause);
  EXPECT_EQ(controls_[1], Control::kResume);
  EXPECT_EQ(controls_[2], Control::kStop);
}

TEST_F(ServerTest, PageFilesAndStateAreServedWithTheirTypes) {
  state_.SetHeader("<b>line 3</b>", "1.0.0", {{"<img src=x onerror=alert(1)>.elf", "ab12"}});
  state_.AddSlot("/dev/ttyUSB0");
  struct Case {
    const char* path;
    const char* type;
    const char* contains;
  };
  const Case cases[] = {
      {"/", "text/html; charset=utf-8", "<main id=\"slots\">"},
      {"/index.html", "text/html; charset=utf-8", "/app.js"},
      {"/app.js", "text/javascript; charset=utf-8", "new EventSource('/events')"},
      {"/style.css", "text/css; charset=utf-8", ".state-failed"},
      {"/api/state", "application/json", "\"profile\":\"<b>line 3</b>\""},
      {"/api/state?x=1", "application/json", "\"file\":\"<img src=x onerror=alert(1)>.elf\""},
      {"/api/log/0", "application/json", "\"port\":\"/dev/ttyUSB0\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const std::string answer = Exchange(std::string("GET ") + c.path +
                                        " HTTP/1.1\r\nHost: localhost:" + std::to_string(port_) +
                                        "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusOf(answer), 200);
    EXPECT_NE(answer.find(std::string("\r\nContent-Type: ") + c.type + "\r\n"), std::string::npos);
    EXPECT_NE(answer.find(c.contains), std::string::npos) << answer.substr(0, 300);
  }
}

TEST_F(ServerTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  Client c(port_);
  ASSERT_TRUE(c.Connected());
  const std::string get = "GET /api/state HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n";
  c.Send(get + get + "GET /nothing HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  const std::string answer = c.Read(20s);
  size_t count = 0;
  for (size_t at = answer.find("HTTP/1.1 200"); at != std::string::npos;
       at = answer.find("HTTP/1.1 200", at + 1))
    ++count;
  EXPECT_EQ(count, 2u);
  EXPECT_NE(answer.find("HTTP/1.1 404"), std::string::npos);
  EXPECT_TRUE(c.closed());
}

// Reads events off a stream until one carries `want` in its data; the
// last event's JSON, or null on giving up.
nlohmann::json ReadEventUntil(Client& c, const std::string& want, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    c.Read(50ms);
    std::string& got = c.got();
    const size_t last = got.rfind("event: state\ndata: ");
    if (last != std::string::npos) {
      const size_t stop = got.find("\n\n", last);
      if (stop != std::string::npos) {
        const std::string data = got.substr(last + 19, stop - last - 19);
        if (data.find(want) != std::string::npos) return nlohmann::json::parse(data);
      }
    }
    if (c.closed()) break;
  }
  return nullptr;
}

TEST_F(ServerTest, EventStreamCarriesEachNewState) {
  const size_t slot = state_.AddSlot("COM7");
  Client c(port_);
  ASSERT_TRUE(c.Connected());
  c.Send("GET /events HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  auto first = ReadEventUntil(c, "COM7", 20s);
  ASSERT_FALSE(first.is_null()) << "gave up waiting for the first event";
  EXPECT_EQ(StatusOf(c.got()), 200);
  EXPECT_NE(c.got().find("Content-Type: text/event-stream"), std::string::npos);
  EXPECT_EQ(first["slots"][0]["state"], "waiting");

  state_.SetProgress(slot, 42);
  auto writing = ReadEventUntil(c, "\"percent\":42", 20s);
  ASSERT_FALSE(writing.is_null()) << "gave up waiting for the writing event";
  EXPECT_EQ(writing["slots"][0]["state"], "writing");

  state_.SetFields(slot, {{"serial", "100042"}});
  state_.FinishBoard(slot, false, "Erase failed: the board did not answer", "log\n");
  auto failed = ReadEventUntil(c, "\"failed\":1", 20s);
  ASSERT_FALSE(failed.is_null()) << "gave up waiting for the failed event";
  EXPECT_EQ(failed["slots"][0]["state"], "failed");
  EXPECT_EQ(failed["slots"][0]["failure"], "Erase failed: the board did not answer");
  EXPECT_EQ(failed["slots"][0]["fields"][0][1], "100042");
  EXPECT_EQ(failed["yield"], 0.0);
}

// A client that never reads its event stream is cut off after the write
// limit; a client that reads still gets the newest state, and the writer
// of the state never waits on either.
TEST_F(ServerTest, StalledEventClientIsDroppedAndWritersNeverWait) {
  const size_t slot = state_.AddSlot("slot");
  Client stalled(port_);
  ASSERT_TRUE(stalled.Connected());
  // Never read: once the sockets' buffers are full the server's writes stall.
  stalled.Send("GET /events HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  Client reader(port_);
  reader.Send("GET /events HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  Client half(port_);
  half.Send("GET / HTTP/1.1\r\nHost: " + host_ + "\r\n");  // never finished
  WaitForConnections(3, "three connections");

  // Big states, changed 500 times: 100 MB offered to a client that takes
  // none, far beyond the sockets' buffers.
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const std::string pad(200000, 'f');
    for (int i = 0; i < 500; ++i) {
      state_.SetFields(slot, {{"n", std::to_string(i)}, {"pad", pad}});
      std::this_thread::sleep_for(2ms);
    }
    state_.SetFields(slot, {{"n", "last"}});
    done = true;
  });
  // The bound only catches a writer held up for good: under a sanitizer on
  // a loaded machine the 500 changes alone may take many seconds.
  const auto end = std::chrono::steady_clock::now() + 120s;
  while (!done && std::chrono::steady_clock::now() < end) {
    reader.Read(20ms);
    if (reader.got().size() > (1u << 20)) reader.got().erase(0, reader.got().size() - 4096);
  }
  if (!done) {
    // The writer is stuck inside the state: it cannot be joined, so end here.
    ADD_FAILURE() << "gave up waiting for 500 state changes: the writer was held up";
    std::abort();
  }
  writer.join();

  auto last = ReadEventUntil(reader, "\"last\"", 20s);
  EXPECT_FALSE(last.is_null()) << "the reading client never got the newest state";
  // The stalled stream and the half request are gone; the reader stays.
  WaitForConnections(1, "the stalled clients to be dropped");
  EXPECT_EQ(server_->EventStreams(), 1u);
}

TEST_F(ServerTest, ConnectionsBeyondTheCapAreDroppedAndTheServerRecovers) {
  ServerOptions options;
  options.read_timeout = 30s;  // the held connections must not time out during the test
  StartServer(options);
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 100; ++i) {
    held.push_back(std::make_unique<Client>(port_));
    ASSERT_TRUE(held.back()->Connected()) << i;
  }
  WaitForConnections(100, "100 connections");
  // The state still changes at once with the server full.
  const size_t slot = state_.AddSlot("x");
  state_.SetProgress(slot, 10);

  Client extra(port_);
  extra.Send("GET /api/state HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  const std::string answer = extra.Read(20s);
  EXPECT_TRUE(extra.closed()) << "the 101st connection was not dropped";
  EXPECT_EQ(StatusOf(answer), 0);

  held.clear();
  WaitForConnections(0, "the held connections to close");
  const std::string again =
      Exchange("GET /api/state HTTP/1.1\r\nHost: " + host_ + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(again), 200);
  EXPECT_NE(again.find("\"percent\":10"), std::string::npos);
}

TEST(ListenTest, AddressesAndPorts) {
  struct Case {
    const char* text;
    bool ok;
    const char* address;
    uint16_t port;
  };
  const Case cases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080},
      {"0.0.0.0:80", true, "0.0.0.0", 80},
      {"[::1]:9000", true, "::1", 9000},
      {"127.0.0.1", false, "", 0},
      {"127.0.0.1:0", false, "", 0},
      {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:80x", false, "", 0},
      {"localhost:8080", false, "", 0},
      {":8080", false, "", 0},
      {"127.0.0.1:", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string address;
    uint16_t port = 0;
    ASSERT_EQ(ParseListen(c.text, &address, &port), c.ok);
    if (c.ok) {
      EXPECT_EQ(address, c.address);
      EXPECT_EQ(port, c.port);
    }
  }
}

TEST(ListenTest, AnAddressInUseIsSaid) {
  StationState state;
  ServerOptions options;
  options.port = 0;
  options.token = kToken;
  DashboardServer first(state, options, {});
  std::string error;
  ASSERT_TRUE(first.Start(&error)) << error;
  options.port = first.Port();
  DashboardServer second(state, options, {});
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(first.Port())),
            std::string::npos)
      << error;
  options.token.clear();
  options.port = 0;
  DashboardServer tokenless(state, options, {});
  EXPECT_FALSE(tokenless.Start(&error));
}

}  // namespace
}  // namespace quelmar::station
