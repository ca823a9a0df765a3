// A station on the line's page: its state, as the StationState holds it,
// kept in its row of the line's database by a StationReporter, and the
// line page's Pause, Resume and Stop handed to the station as its own
// page's buttons hand them. The boards never wait on it: it reads the
// state through snapshots on a thread of its own, and the reporter keeps
// only the newest state for its writes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line/stations.h"
#include "station/dashboard_server.h"
#include "station/station_state.h"

namespace quelmar::station {

// What a station says of itself besides its state.
struct StationIdentity {
  std::string host;
  std::string version;
  std::string profile_sha256;
  std::string dashboard;  // its own page's address, or ""
};

// The row's contents for a snapshot: the state words, each slot's failure
// line only while it shows FAILED.
line::StationReport ReportOf(const StationSnapshot& snapshot, const StationIdentity& identity);

class LineReport {
 public:
  // on_control and on_note run on the reporter's thread and must not block.
  LineReport(StationState& state, std::string conninfo, std::string name, StationIdentity identity,
             std::function<void(Control)> on_control,
             std::function<void(const std::string&)> on_note, line::ReporterTimes times = {});
  // Stop() with a short limit.
  ~LineReport();
  LineReport(const LineReport&) = delete;
  LineReport& operator=(const LineReport&) = delete;

  // Checks the connection string and the name and starts; the database is
  // not waited for. False with one line in *why.
  bool Start(std::string* why);
  // Writes the station's last state and ends, waiting at most `limit`.
  // False when the database did not take it in that time.
  bool Stop(std::chrono::milliseconds limit = std::chrono::seconds(3));

 private:
  void Follow();

  StationState& state_;
  const StationIdentity identity_;
  line::StationReporter reporter_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  bool started_ = false;
  std::thread thread_;
};

}  // namespace quelmar::station
