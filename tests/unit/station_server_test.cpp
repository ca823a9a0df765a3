// The dashboard server against raw connections: bad requests get a 4xx or
// are dropped, only the names the station answers to are served, the
// control actions need the token and the page's own origin, slow, stalled
// and idle clients never lock others out, and none of it holds up the
// threads that write the station's state.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>
#ifndef _WIN32
#include <unistd.h>  // gethostname
#endif

#include "link/socket.h"
#include "station/dashboard_server.h"
#include "station/page_server.h"
#include "station/scans.h"
#include "station/station_state.h"

namespace quelmar::station {
namespace {

using namespace std::chrono_literals;

constexpr char kToken[] = "0123456789abcdef0123456789abcdef";
constexpr char kLineName[] = "line3.factory.example";  // the profile's hostnames

// A client connection with bounded waits.
class Client {
 public:
  explicit Client(uint16_t port, const std::string& address = "127.0.0.1")
      : stream_(link::ConnectTcp(address, port, 20000).stream) {}

  bool Connected() const { return stream_ != nullptr; }
  bool Send(const std::string& bytes) {
    size_t done = 0;
    while (stream_ && done < bytes.size()) {
      const int n = stream_->Send(reinterpret_cast<const uint8_t*>(bytes.data()) + done,
                                  bytes.size() - done, 20000);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return stream_ != nullptr;
  }
  // Reads until the peer closes, `until` appears, or the limit passes.
  // closed() tells whether the peer closed.
  std::string Read(std::chrono::milliseconds limit, const std::string& until = {}) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (stream_ && !closed_) {
      if (!until.empty() && got_.find(until) != std::string::npos) break;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left <= 0ms) break;
      uint8_t buffer[16384];
      const int n = stream_->Receive(buffer, sizeof buffer, static_cast<int>(left.count()));
      if (n < 0) closed_ = true;
      if (n <= 0) continue;
      got_.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
    return got_;
  }
  bool closed() const { return closed_; }
  std::string& got() { return got_; }

 private:
  std::unique_ptr<link::TcpStream> stream_;
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

  // The JSON state as a client at `address` asks for it with these Host
  // (and further) header lines: the answer, closed.
  std::string GetState(const std::string& address, const std::string& headers,
                       const std::string& path = "/api/state") {
    Client c(port_, address);
    EXPECT_TRUE(c.Connected()) << address;
    c.Send("GET " + path + " HTTP/1.1\r\n" + headers + "Connection: close\r\n\r\n");
    return c.Read(20s);
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
     421},
    {"no host at all", [](const std::string&) { return std::string("GET / HTTP/1.1\r\n\r\n"); },
     400},
    {"own Host, then a foreign one",
     [](const std::string& h) {
       return "GET /api/state HTTP/1.1\r\nHost: " + h + "\r\nHost: evil.example\r\n\r\n";
     },
     400},
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

// This machine's name, as the station finds it.
std::string MachineName() {
#ifdef _WIN32
  const char* name = std::getenv("COMPUTERNAME");
  return name ? name : "";
#else
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
#endif
}

// Replaces every {P} with the port and {HOST} with the machine's name.
std::string Fill(std::string text, uint16_t port) {
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"{P}", std::to_string(port)},
                                   {"{HOST}", MachineName()}})
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at))
      text.replace(at, key.size(), value);
  return text;
}

// Which Host and Origin are served, on a loopback, another loopback and a
// wildcard address: a page of another site reached through a name it
// rebinds to this machine reads nothing, whatever Origin it claims.
TEST_F(ServerTest, OnlyTheNamesOfTheStationAreServed) {
  struct Case {
    const char* name;
    const char* listen;
    const char* connect;  // the address the client reaches
    const char* headers;  // {P}: the port, {HOST}: the machine's name
    const char* path;
    int status;
  };
  const Case cases[] = {
      {"foreign Host on a wildcard address", "0.0.0.0", "127.0.0.1", "Host: evil.example:{P}",
       "/api/state", 421},
      {"foreign Host with its own Origin, state", "0.0.0.0", "127.0.0.1",
       "Host: evil.example:{P}\r\nOrigin: http://evil.example:{P}", "/api/state", 421},
      {"foreign Host with its own Origin, log", "0.0.0.0", "127.0.0.1",
       "Host: evil.example:{P}\r\nOrigin: http://evil.example:{P}", "/api/log/0", 421},
      {"foreign Host, events", "0.0.0.0", "127.0.0.1", "Host: evil.example:{P}", "/events", 421},
      {"foreign Host, page", "0.0.0.0", "127.0.0.1", "Host: evil.example:{P}", "/", 421},
      {"the wildcard address as a name", "0.0.0.0", "127.0.0.1", "Host: 0.0.0.0:{P}", "/api/state",
       421},
      {"localhost on a wildcard address", "0.0.0.0", "127.0.0.1", "Host: localhost:{P}",
       "/api/state", 200},
      {"the machine's name", "0.0.0.0", "127.0.0.1", "Host: {HOST}:{P}", "/api/state", 200},
      {"the machine's name with more after it", "0.0.0.0", "127.0.0.1",
       "Host: {HOST}.evil.example:{P}", "/api/state", 421},
      {"a name of the line, in capitals", "0.0.0.0", "127.0.0.1", "Host: LINE3.Factory.EXAMPLE:{P}",
       "/api/state", 200},
      {"a name of the line, log with its own Origin", "0.0.0.0", "127.0.0.1",
       "Host: line3.factory.example:{P}\r\nOrigin: http://line3.factory.example:{P}", "/api/log/0",
       200},
      {"an address of the line", "0.0.0.0", "127.0.0.1", "Host: 10.9.8.7:{P}", "/api/state", 200},
      {"a name of the line with more after it", "0.0.0.0", "127.0.0.1",
       "Host: line3.factory.example.evil.example:{P}", "/api/state", 421},
      {"a name of the line with more before it", "0.0.0.0", "127.0.0.1",
       "Host: evil-line3.factory.example:{P}", "/api/state", 421},
      {"a name of the line on a loopback address", "127.0.0.1", "127.0.0.1",
       "Host: line3.factory.example:{P}", "/api/state", 200},
      {"the address listened on", "127.0.0.2", "127.0.0.2", "Host: 127.0.0.2:{P}", "/api/state",
       200},
      {"the address listened on, log with its own Origin", "127.0.0.2", "127.0.0.2",
       "Host: 127.0.0.2:{P}\r\nOrigin: http://127.0.0.2:{P}", "/api/log/0", 200},
      {"localhost when listening on another loopback address", "127.0.0.2", "127.0.0.2",
       "Host: localhost:{P}", "/api/state", 200},
      {"a loopback address not listened on", "127.0.0.2", "127.0.0.2", "Host: 127.0.0.3:{P}",
       "/api/state", 421},
      {"wrong port", "127.0.0.1", "127.0.0.1", "Host: 127.0.0.1:1", "/api/state", 421},
      {"port left out", "127.0.0.1", "127.0.0.1", "Host: localhost", "/api/state", 421},
      {"port with a sign", "127.0.0.1", "127.0.0.1", "Host: localhost:+{P}", "/api/state", 421},
      {"empty port", "127.0.0.1", "127.0.0.1", "Host: localhost:", "/api/state", 421},
      {"name with a trailing dot", "127.0.0.1", "127.0.0.1", "Host: localhost.:{P}", "/api/state",
       421},
      {"a user before the name", "127.0.0.1", "127.0.0.1", "Host: evil.example@localhost:{P}",
       "/api/state", 421},
      {"IPv6 loopback", "127.0.0.1", "127.0.0.1", "Host: [::1]:{P}", "/api/state", 200},
      {"IPv6 loopback without brackets", "127.0.0.1", "127.0.0.1", "Host: ::1:{P}", "/api/state",
       421},
      {"own Origin", "127.0.0.1", "127.0.0.1",
       "Host: localhost:{P}\r\nOrigin: http://localhost:{P}", "/api/state", 200},
      {"Origin of a look-alike name", "127.0.0.1", "127.0.0.1",
       "Host: localhost:{P}\r\nOrigin: http://evil-localhost:{P}", "/api/state", 403},
      {"Origin with more after the name", "127.0.0.1", "127.0.0.1",
       "Host: localhost:{P}\r\nOrigin: http://localhost:{P}.evil.example", "/api/state", 403},
      {"Origin with the Host as its path", "127.0.0.1", "127.0.0.1",
       "Host: localhost:{P}\r\nOrigin: http://evil.example/localhost:{P}", "/api/state", 403},
      {"Origin over https", "127.0.0.1", "127.0.0.1",
       "Host: localhost:{P}\r\nOrigin: https://localhost:{P}", "/api/state", 403},
      {"Origin null", "127.0.0.1", "127.0.0.1", "Host: localhost:{P}\r\nOrigin: null", "/api/state",
       403},
      {"Origin of another loopback name", "127.0.0.1", "127.0.0.1",
       "Host: localhost:{P}\r\nOrigin: http://127.0.0.1:{P}", "/api/log/0", 403},
      {"own Origin, then a foreign one", "127.0.0.1", "127.0.0.1",
       "Host: localhost:{P}\r\nOrigin: http://localhost:{P}\r\nOrigin: http://evil.example",
       "/api/state", 403},
  };
  state_.AddSlot("COM3");
  state_.FinishBoard(0, true, "", "the board's log\n");
  std::map<std::string, std::unique_ptr<DashboardServer>> servers;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.headers).find("{HOST}") != std::string::npos && MachineName().empty()) {
      ADD_FAILURE() << "this machine's name is not known to the test";
      continue;
    }
    auto& server = servers[c.listen];
    if (!server) {
      ServerOptions options;
      options.address = c.listen;
      options.port = 0;
      options.token = kToken;
      options.hostnames = {kLineName, "10.9.8.7"};
      server = std::make_unique<DashboardServer>(state_, options, nullptr);
      std::string error;
      ASSERT_TRUE(server->Start(&error)) << error;
    }
    port_ = server->Port();
    const std::string answer = GetState(c.connect, Fill(c.headers, port_) + "\r\n", c.path);
    EXPECT_EQ(StatusOf(answer), c.status) << answer.substr(0, 300);
    if (c.status == 421) {
      EXPECT_NE(answer.find("\r\n\r\nunknown host: add the name to the profile's hostnames\n"),
                std::string::npos)
          << answer;
    }
    if (c.status != 200) {
      EXPECT_EQ(answer.find("COM3"), std::string::npos) << "the state got out: " << answer;
    } else if (std::string(c.path) == "/api/log/0") {
      EXPECT_NE(answer.find("the board's log"), std::string::npos) << answer;
    } else {
      EXPECT_NE(answer.find("\"port\":\"COM3\""), std::string::npos) << answer;
    }
  }
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

// A link on another site's page (the line's page to a station's) opens the
// station's page: a top-level navigation, whose answer goes to the user's
// window. Nothing else from another site gets through, nor does the
// line's page come from a station.
TEST_F(ServerTest, ALinkFromAnotherSiteOpensThePageAndNothingElse) {
  struct Case {
    const char* method;
    const char* path;
    const char* mode;
    const char* dest;
    int status;
  };
  const Case cases[] = {
      {"GET", "/", "navigate", "document", 200},
      {"GET", "/api/state", "navigate", "document", 200},
      {"GET", "/", "navigate", "iframe", 403},
      {"GET", "/api/state", "cors", "empty", 403},
      {"GET", "/events", "cors", "empty", 403},
      {"GET", "/", "no-cors", "script", 403},
      {"POST", "/api/pause", "navigate", "document", 403},
      {"GET", "/line.html", "navigate", "document", 404},
      {"GET", "/line.js", "", "", 404},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.mode + " " + c.dest);
    std::string request = std::string(c.method) + " " + c.path + " HTTP/1.1\r\nHost: " + host_ +
                          "\r\nX-Quelmar-Token: " + kToken +
                          "\r\nContent-Length: 0\r\nConnection: close\r\n";
    if (*c.mode != '\0') {
      request += std::string("Sec-Fetch-Site: cross-site\r\nSec-Fetch-Mode: ") + c.mode +
                 "\r\nSec-Fetch-Dest: " + c.dest + "\r\n";
    }
    const std::string answer = Exchange(request + "\r\n");
    EXPECT_EQ(StatusOf(answer), c.status) << answer.substr(0, 300);
  }
  server_->Stop();
  EXPECT_TRUE(controls_.empty());
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
      {"/app.js", "text/javascript; charset=utf-8", "connectEvents(render)"},
      {"/page.js", "text/javascript; charset=utf-8", "new EventSource('/events')"},
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
  const std::string head = c.got().substr(0, c.got().find("\r\n\r\n") + 2);
  EXPECT_NE(head.find("\r\nContent-Type: text/event-stream\r\n"), std::string::npos) << head;
  // The stream is the server's answer like any other: no script in it runs,
  // and no browser takes it for another type.
  EXPECT_NE(
      head.find("\r\nContent-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\n"),
      std::string::npos)
      << head;
  EXPECT_NE(head.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos) << head;
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
  // Long enough that the reading client, starved of CPU on a loaded,
  // sanitized run, still takes each big event in time.
  ServerOptions options;
  options.write_timeout = 5s;
  StartServer(options);
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

  // Big states, changed until the stalled stream is gone: the server only
  // sends the states its ticker sees, and loopback sockets can hold tens of
  // megabytes, so a fixed count of changes might never fill them on a slow
  // (sanitized, loaded) run. At least 500 changes: 100 MB.
  std::atomic<bool> done{false};
  std::atomic<bool> enough{false};
  std::atomic<int> changes{0};
  std::thread writer([&] {
    const std::string pad(200000, 'f');
    for (int i = 0; !enough || i < 500; ++i) {
      state_.SetFields(slot, {{"n", std::to_string(i)}, {"pad", pad}});
      changes = i + 1;
      std::this_thread::sleep_for(2ms);
    }
    state_.SetFields(slot, {{"n", "last"}});
    done = true;
  });
  // The bound only catches a writer held up for good: under a sanitizer on
  // a loaded machine the changes alone may take many seconds.
  const auto end = std::chrono::steady_clock::now() + 180s;
  int seen = 0;
  auto last_move = std::chrono::steady_clock::now();
  while (!done && std::chrono::steady_clock::now() < end) {
    reader.Read(20ms);
    if (reader.got().size() > (1u << 20)) reader.got().erase(0, reader.got().size() - 4096);
    if (server_->EventStreams() <= 1) enough = true;
    // A writer that stops moving for 30 s is held up.
    if (changes != seen) {
      seen = changes;
      last_move = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - last_move > 30s) {
      break;
    }
  }
  if (!done) {
    // The writer is stuck inside the state, or the stalled stream was never
    // dropped: the writer cannot be joined, so end here.
    ADD_FAILURE() << "gave up after " << changes.load()
                  << " state changes: the writer was held up or the stalled stream kept";
    std::abort();
  }
  writer.join();

  auto last = ReadEventUntil(reader, "\"last\"", 20s);
  EXPECT_FALSE(last.is_null()) << "the reading client never got the newest state";
  // The stalled stream and the half request are gone; the reader stays.
  WaitForConnections(1, "the stalled clients to be dropped");
  EXPECT_EQ(server_->EventStreams(), 1u);
}

// Reads one whole answer (its head and its Content-Length body) off c;
// false on giving up.
bool ReadOneAnswer(Client& c) {
  const auto end = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < end) {
    const std::string& got = c.got();
    const size_t head = got.find("\r\n\r\n");
    const size_t length = got.find("\r\nContent-Length: ");
    if (head != std::string::npos && length != std::string::npos && length < head &&
        got.size() >= head + 4 + std::stoul(got.substr(length + 18)))
      return true;
    if (c.closed()) return false;
    c.Read(20ms);
  }
  return false;
}

// Connections beyond a cap with none to spare, in all (every one of them
// has a request still arriving) or of one client address (one host holding
// idle connections), are dropped at once; the server serves again when
// they go.
TEST_F(ServerTest, ConnectionsBeyondACapWithNoneToSpareAreDroppedAndTheServerRecovers) {
  struct Case {
    const char* name;
    size_t max_connections;
    size_t per_client;
    const char* held_send;  // what each held connection sends
  };
  const Case cases[] = {
      {"in all, every request still arriving", 12, 1000, "GET / HTTP/1.1\r\nX-Slow: "},
      {"of one client address, all idle", 100, 12, ""},
  };
  const size_t slot = state_.AddSlot("x");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;
    options.read_timeout = 30s;  // the held connections must not time out during the test
    options.slow_request = 30s;  // nor their requests count as slow
    options.max_connections = c.max_connections;
    options.max_connections_per_client = c.per_client;
    StartServer(options);
    const size_t cap = std::min(c.max_connections, c.per_client);
    std::vector<std::unique_ptr<Client>> held;
    for (size_t i = 0; i < cap; ++i) {
      held.push_back(std::make_unique<Client>(port_));
      ASSERT_TRUE(held.back()->Connected()) << i;
      held.back()->Send(c.held_send);
    }
    WaitForConnections(cap, "the connections to be held");
    // The state still changes at once with the server full.
    state_.SetProgress(slot, 10);

    Client extra(port_);
    extra.Send("GET /api/state HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
    const std::string answer = extra.Read(20s);
    EXPECT_TRUE(extra.closed()) << "the connection over the cap was not dropped";
    EXPECT_EQ(StatusOf(answer), 0);
    EXPECT_EQ(server_->Connections(), cap) << "a held connection was closed for it";

    held.clear();
    WaitForConnections(0, "the held connections to close");
    const std::string again =
        Exchange("GET /api/state HTTP/1.1\r\nHost: " + host_ + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusOf(again), 200);
    EXPECT_NE(again.find("\"percent\":10"), std::string::npos);
  }
}

// With every connection taken, a new one takes the place of the one idle
// longest, however it came to be idle, or of a request arriving too
// slowly: the page load is answered, the oldest held connection is the
// one closed and the newest stays.
TEST_F(ServerTest, AFullServerClosesTheConnectionIdleLongestForANewOne) {
  enum class Hold { kNothingSent, kKeptAlive, kLingering, kSlowRequest };
  struct Case {
    const char* name;
    Hold hold;
  };
  const Case cases[] = {
      {"connected, nothing sent", Hold::kNothingSent},
      {"answered and kept alive", Hold::kKeptAlive},
      {"answered with Connection: close, the client not closing", Hold::kLingering},
      {"half a request, arriving too slowly", Hold::kSlowRequest},
  };
  constexpr size_t kMax = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;
    options.read_timeout = 30s;  // only making room may close a held connection
    options.max_connections = kMax;
    options.slow_request = c.hold == Hold::kSlowRequest ? 100ms : 30s;
    StartServer(options);
    std::vector<std::unique_ptr<Client>> held;
    for (size_t i = 0; i < kMax; ++i) {
      held.push_back(std::make_unique<Client>(port_));
      Client& h = *held.back();
      ASSERT_TRUE(h.Connected()) << i;
      const std::string get = "GET /api/state HTTP/1.1\r\nHost: " + host_ + "\r\n";
      switch (c.hold) {
        case Hold::kNothingSent:
          break;
        case Hold::kKeptAlive:
          h.Send(get + "\r\n");
          ASSERT_TRUE(ReadOneAnswer(h)) << i << ": " << h.got();
          break;
        case Hold::kLingering:
          h.Send(get + "Connection: close\r\n\r\n");
          ASSERT_TRUE(ReadOneAnswer(h)) << i << ": " << h.got();
          break;
        case Hold::kSlowRequest:
          h.Send(get + "X-Slow: ");
          break;
      }
    }
    WaitForConnections(kMax, "the connections to be held");
    // Past the slow requests' limit (a wait, not a time measured).
    if (c.hold == Hold::kSlowRequest) std::this_thread::sleep_for(300ms);

    Client page(port_);
    page.Send("GET / HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
    ASSERT_TRUE(ReadOneAnswer(page)) << "the page load was kept out: " << page.got();
    EXPECT_EQ(StatusOf(page.got()), 200);
    EXPECT_NE(page.got().find("<main id=\"slots\">"), std::string::npos);
    EXPECT_FALSE(page.closed());
    // Lingering ones were closed from the client's side already: which one
    // made room cannot be told.
    if (c.hold != Hold::kLingering) {
      held.front()->Read(20s);
      EXPECT_TRUE(held.front()->closed()) << "the oldest held connection was kept";
      held.back()->Read(200ms);
      EXPECT_FALSE(held.back()->closed()) << "the newest held connection was closed";
    }
  }
}

// Opens an event stream and reads only its head: a page that then stops
// reading (a browser tab asleep, a client that hangs).
std::unique_ptr<Client> OpenStream(uint16_t port, const std::string& host) {
  auto c = std::make_unique<Client>(port);
  c->Send("GET /events HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
  c->Read(20s, "\r\n\r\n");
  return c;
}

// Event streams that nobody reads stay open as long as their client does;
// they must never take the connections a page load needs.
TEST_F(ServerTest, IdleStreamsNeverKeepAPageLoadOut) {
  const size_t slot = state_.AddSlot("COM5");
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 150; ++i) idle.push_back(OpenStream(port_, host_));

  const std::string page = Exchange("GET / HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  EXPECT_EQ(StatusOf(page), 200) << page.substr(0, 200);
  EXPECT_NE(page.find("<main id=\"slots\">"), std::string::npos);
  const std::string state = Exchange("GET /api/state HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  EXPECT_EQ(StatusOf(state), 200) << state.substr(0, 200);

  // The newest stream is the one kept: it gets the next state, and the
  // oldest has been closed.
  state_.SetProgress(slot, 77);
  EXPECT_FALSE(ReadEventUntil(*idle.back(), "\"percent\":77", 20s).is_null())
      << "the newest stream lost its events";
  idle.front()->Read(20s);
  EXPECT_TRUE(idle.front()->closed()) << "the oldest stream was kept";
}

// A stream beyond a cap closes the oldest: per client address, and in all.
TEST_F(ServerTest, AStreamBeyondACapClosesTheOldest) {
  struct Case {
    const char* name;
    size_t max_streams;
    size_t per_client;
  };
  const Case cases[] = {
      {"per client", 64, 3},
      {"in all", 3, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerOptions options;
    options.max_streams = c.max_streams;
    options.max_streams_per_client = c.per_client;
    StartServer(options);
    std::vector<std::unique_ptr<Client>> streams;
    for (int i = 0; i < 5; ++i) streams.push_back(OpenStream(port_, host_));
    for (size_t i = 0; i < streams.size(); ++i) {
      streams[i]->Read(i < 2 ? 20s : 200ms);
      EXPECT_EQ(streams[i]->closed(), i < 2) << "stream " << i;
    }
    EXPECT_EQ(server_->EventStreams(), 3u);
  }
}

// A site of the page server whose state the test sets, and that tells
// which versions the server has drawn and how often it looked.
class TestSite : public Site {
 public:
  Kind Find(std::string_view) override { return Kind::kNone; }
  Page Get(std::string_view) override { return {}; }
  Page Act(std::string_view) override { return {}; }
  uint64_t Version() override {
    looks_.fetch_add(1);
    return version_.load();
  }
  std::string Event(uint64_t* version) override {
    std::lock_guard lock(mutex_);
    *version = version_.load();
    drawn_.push_back(*version);
    uint64_t failing = *version;
    if (fail_at_.compare_exchange_strong(failing, 0))
      throw std::runtime_error("the state could not be drawn");
    return "event: state\ndata: " + events_[*version] + "\n\n";
  }

  void Set(uint64_t version, std::string data) {
    {
      std::lock_guard lock(mutex_);
      events_[version] = std::move(data);
    }
    version_ = version;
  }
  void FailAt(uint64_t version) { fail_at_ = version; }
  bool Drawn(uint64_t version) {
    std::lock_guard lock(mutex_);
    return std::find(drawn_.begin(), drawn_.end(), version) != drawn_.end();
  }
  uint64_t Looks() const { return looks_.load(); }

 private:
  std::mutex mutex_;
  std::map<uint64_t, std::string> events_;
  std::vector<uint64_t> drawn_;
  std::atomic<uint64_t> version_{0};
  std::atomic<uint64_t> looks_{0};
  std::atomic<uint64_t> fail_at_{0};
};

// Waits, bounded, until `done`; false on giving up.
template <class F>
bool WaitFor(F done) {
  const auto end = std::chrono::steady_clock::now() + 60s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

class PageServerTest : public ::testing::Test {
 protected:
  void Start(ServerOptions options) {
    options.port = 0;
    options.token = kToken;
    options.event_period = 10ms;
    server_ = std::make_unique<PageServer>(site_, options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    host_ = "127.0.0.1:" + std::to_string(server_->Port());
  }
  // Waits until the server has drawn `version` and then looked at the
  // state twice more, so the event it made has been offered.
  void WaitUntilOffered(uint64_t version) {
    ASSERT_TRUE(WaitFor([&] { return site_.Drawn(version); })) << "version " << version;
    const uint64_t looks = site_.Looks();
    ASSERT_TRUE(WaitFor([&] { return site_.Looks() >= looks + 2; }));
  }

  TestSite site_;
  std::unique_ptr<PageServer> server_;
  std::string host_;
};

// A client that has fallen behind gets the newest state when it reads
// again, never the ones in between: they are not queued up for it.
TEST_F(PageServerTest, TheNewestEventReplacesOneWaiting) {
  ServerOptions options;
  options.write_timeout = 120s;  // the stalled write must outlast the test's waits
  Start(options);
  // Far more than the sockets' buffers take: its write stalls while the
  // client does not read.
  site_.Set(1, std::string(16 << 20, 'a'));
  Client c(server_->Port());
  c.Send("GET /events HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  WaitUntilOffered(1);
  site_.Set(2, "\"second\"");
  WaitUntilOffered(2);
  site_.Set(3, "\"third\"");
  WaitUntilOffered(3);

  c.Read(120s, "\"third\"");
  ASSERT_NE(c.got().find("\"third\""), std::string::npos) << "the newest state never came";
  EXPECT_EQ(c.got().find("\"second\""), std::string::npos) << "a state was queued, not replaced";
  EXPECT_EQ(c.got().rfind("\"third\""), c.got().find("\"third\"")) << "the newest state came twice";
}

// A state that fails to be drawn (out of memory, say) stops nothing: the
// next one still reaches the page.
TEST_F(PageServerTest, EventsGoOnAfterAStateFailsToBeDrawn) {
  Start({});
  site_.Set(1, "\"first\"");
  site_.FailAt(2);
  Client c(server_->Port());
  c.Send("GET /events HTTP/1.1\r\nHost: " + host_ + "\r\n\r\n");
  c.Read(20s, "\"first\"");
  ASSERT_NE(c.got().find("\"first\""), std::string::npos);
  site_.Set(2, "\"second\"");
  ASSERT_TRUE(WaitFor([&] { return site_.Drawn(2); }));
  site_.Set(3, "\"third\"");
  c.Read(20s, "\"third\"");
  EXPECT_NE(c.got().find("\"third\""), std::string::npos) << "the events stopped";
}

// On a wildcard address the station prints where a browser finds it: each
// of the machine's addresses, never 0.0.0.0, and each opens the page.
TEST_F(PageServerTest, AWildcardAddressPrintsAddressesThatOpenThePage) {
  ServerOptions options;
  options.address = "0.0.0.0";
  Start(options);
  const std::vector<std::string> urls = server_->Urls();
  ASSERT_FALSE(urls.empty());
  const std::string port = ":" + std::to_string(server_->Port()) + "/";
  EXPECT_EQ(urls.back(), "http://127.0.0.1" + port) << "the loopback address comes last";
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    ASSERT_EQ(url.rfind("http://", 0), 0u);
    ASSERT_EQ(url.substr(url.size() - port.size()), port);
    const std::string authority = url.substr(7, url.size() - 8);
    std::string address = authority.substr(0, authority.size() - port.size() + 1);
    EXPECT_NE(address, "0.0.0.0");
    if (address.front() == '[') address = address.substr(1, address.size() - 2);
    Client c(server_->Port(), address);
    ASSERT_TRUE(c.Connected());
    c.Send("GET /nothing HTTP/1.1\r\nHost: " + authority + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusOf(c.Read(20s)), 404) << "refused instead of looked up: " << c.got();
  }
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

// A second station on a port in use fails to start, on every system and
// whichever of the two listens on every address.
TEST(ListenTest, APortInUseIsSaid) {
  const struct {
    const char* first;
    const char* second;
  } cases[] = {{"127.0.0.1", "127.0.0.1"},
               {"0.0.0.0", "127.0.0.1"},
               {"127.0.0.1", "0.0.0.0"},
               {"0.0.0.0", "0.0.0.0"}};
  StationState state;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " then " + c.second);
    ServerOptions options;
    options.address = c.first;
    options.port = 0;
    options.token = kToken;
    DashboardServer first(state, options, {});
    std::string error;
    ASSERT_TRUE(first.Start(&error)) << error;
    options.address = c.second;
    options.port = first.Port();
    DashboardServer second(state, options, {});
    EXPECT_FALSE(second.Start(&error));
    EXPECT_EQ(error.rfind(std::string("cannot listen on ") + c.second + ":" +
                              std::to_string(first.Port()) + ": ",
                          0),
              0u)
        << error;
    // The first one still answers.
    Client client(first.Port());
    client.Send("GET /api/state HTTP/1.1\r\nHost: localhost:" + std::to_string(first.Port()) +
                "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusOf(client.Read(20s)), 200);
  }
}

// Whatever front end starts it, the server takes no token a made one
// would beat.
TEST(ListenTest, NoStartWithoutAGoodToken) {
  const struct {
    const char* token;
    const char* says;
  } cases[] = {
      {"", "is empty"},
      {"0123456789abcde", "is shorter than 16 characters"},
      {"0123456789 abcdef", "holds a space"},
  };
  StationState state;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.token);
    ServerOptions options;
    options.port = 0;
    options.token = c.token;
    DashboardServer server(state, options, {});
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

// The page's scan box: a scan goes as the body of a POST with the token,
// and only such a POST binds anything.
TEST_F(ServerTest, ScansFromThePageTakeTheTokenAndAnswerTheirLine) {
  ScanDesk desk({ScanMode::kRequired, "PCB-\\d{4}", ""});
  desk.AddSlot("COM3");
  server_.reset();
  ServerOptions options;
  options.port = 0;
  options.token = kToken;
  server_ = std::make_unique<DashboardServer>(state_, options, nullptr);
  server_->TakeScans([&](const std::string& scan) { return desk.Offer(scan); });
  std::string error;
  ASSERT_TRUE(server_->Start(&error)) << error;
  port_ = server_->Port();
  host_ = "127.0.0.1:" + std::to_string(port_);
  const auto post = [&](const std::string& body, const std::string& headers) {
    return Exchange("POST /api/scan HTTP/1.1\r\nHost: " + host_ + "\r\n" + headers +
                    "Content-Length: " + std::to_string(body.size()) +
                    "\r\nConnection: close\r\n\r\n" + body);
  };
  const std::string token = std::string("X-Quelmar-Token: ") + kToken + "\r\n";
  const struct {
    std::string body, headers;
    int status;
    std::string says;
  } kCases[] = {
      {"PCB-0001", "", 401, ""},
      {"PCB-0001", token + "Origin: http://evil.example\r\n", 403, ""},
      {"PCB-12", token, 409, "it does not match scan_pattern"},
      {"PCB-0001", token + "Origin: http://" + host_ + "\r\n", 200,
       "scan \\\"PCB-0001\\\" bound to COM3 (slot 1)"},
      {"PCB-0001", token, 409, "it is bound to COM3 (slot 1) already"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.body + " " + c.headers);
    const std::string answer = post(c.body, c.headers);
    EXPECT_EQ(StatusOf(answer), c.status) << answer;
    EXPECT_NE(answer.find(c.says), std::string::npos) << answer;
    // Only the taken scan binds the slot: its board may start from then on.
    EXPECT_EQ(desk.MayStart(0), c.status == 200 || c.says.find("already") != std::string::npos);
  }
  EXPECT_TRUE(desk.MayStart(0));
}

}  // namespace
}  // namespace quelmar::station
