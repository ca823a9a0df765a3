// The station's dashboard: its page (compiled in), the station's state as
// JSON, the state's changes as Server-Sent Events, and the Pause / Resume /
// Stop actions, served by a PageServer (its rules and limits).
//
// It only reads the StationState through snapshots, so the flashing threads
// never wait on it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/page_server.h"
#include "station/scans.h"
#include "station/station_state.h"

namespace quelmar::station {

enum class Control { kPause, kResume, kStop };

class DashboardServer {
 public:
  // on_control runs on the server's thread and must not block.
  DashboardServer(StationState& state, ServerOptions options,
                  std::function<void(Control)> on_control);
  ~DashboardServer();
  DashboardServer(const DashboardServer&) = delete;
  DashboardServer& operator=(const DashboardServer&) = delete;

  // Takes the page's scans (POST /api/scan, the scan as the body), before
  // Start; on_scan runs on the server's thread and must not block.
  void TakeScans(std::function<ScanAnswer(const std::string&)> on_scan);

  // Binds and starts serving. False, with the reason in *error, when the
  // address cannot be used.
  bool Start(std::string* error);
  // Closes every connection and joins the server's thread.
  void Stop();
  // The port bound (after Start).
  uint16_t Port() const;
  // The dashboard's addresses for a browser (after Start); see PageServer.
  std::vector<std::string> Urls() const;
  // Connections open now.
  size_t Connections() const;
  // Event streams open now.
  size_t EventStreams() const;

 private:
  class StationSite;
  std::unique_ptr<StationSite> site_;
  std::unique_ptr<PageServer> server_;
};

}  // namespace quelmar::station
