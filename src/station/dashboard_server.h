// The station's dashboard: a small HTTP server on a thread of its own that
// serves the page (compiled in), the station's state as JSON, a stream of
// Server-Sent Events and the Pause / Resume / Stop actions.
//
// It only reads the StationState through snapshots, so the flashing threads
// never wait on it. Each event stream holds at most one event being written
// and the newest one waiting: a slow client skips states, it never queues
// them. Requests are bounded in size and time, and the connections in
// number.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "station/station_state.h"

namespace quelmar::station {

enum class Control { kPause, kResume, kStop };

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 8080;  // 0 picks a free port (tests)
  std::string token;     // needed by the control actions; never empty
  size_t max_connections = 100;
  size_t header_limit = 8 * 1024;
  size_t body_limit = 1024;
  // A request must arrive whole, and a response or event be taken, within
  // these; a connection idle between requests is closed after idle_timeout.
  std::chrono::milliseconds read_timeout{10000};
  std::chrono::milliseconds write_timeout{10000};
  std::chrono::milliseconds idle_timeout{30000};
  std::chrono::milliseconds event_period{100};  // how often the state is looked at
  std::chrono::milliseconds keepalive{15000};   // a comment on a quiet event stream
};

class DashboardServer {
 public:
  // on_control runs on the server's thread and must not block.
  DashboardServer(StationState& state, ServerOptions options,
                  std::function<void(Control)> on_control);
  ~DashboardServer();
  DashboardServer(const DashboardServer&) = delete;
  DashboardServer& operator=(const DashboardServer&) = delete;

  // Binds and starts serving. False, with the reason in *error, when the
  // address cannot be used.
  bool Start(std::string* error);
  // Closes every connection and joins the server's thread.
  void Stop();
  // The port bound (after Start).
  uint16_t Port() const;
  // Connections open now.
  size_t Connections() const;
  // Event streams open now.
  size_t EventStreams() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "ADDR:PORT" ("127.0.0.1:8080", "0.0.0.0:80", "[::1]:8080"). False when
// it is not one.
bool ParseListen(const std::string& text, std::string* address, uint16_t* port);

// A random token for the control actions (32 hex digits).
std::string MakeToken();

}  // namespace quelmar::station
