// The line's page: its files (compiled in), the line's state as JSON and its
// changes as Server-Sent Events, and Pause / Resume / Stop for one station
// or for the whole line, served by a PageServer (the station page's rules
// and limits) over a LineWatcher, which reads the line's database on a
// thread of its own: nothing here waits on the database or on a station.
#pragma once

#include <string>
#include <string_view>

#include "line/stations.h"
#include "station/page_server.h"

namespace quelmar::station {

class LineSite final : public Site {
 public:
  explicit LineSite(line::LineWatcher& watcher) : watcher_(watcher) {}

  // GET /, /line.css, /line.js, /style.css, /page.js, /api/state;
  // POST /api/line/ACTION and /api/station/NAME/ACTION (NAME
  // percent-encoded; ACTION pause, resume or stop).
  Kind Find(std::string_view path) override;
  Page Get(std::string_view path) override;
  Page Act(std::string_view path) override;
  uint64_t Version() override { return watcher_.Version(); }
  std::string Event(uint64_t* version) override;

 private:
  line::LineWatcher& watcher_;
};

// The view as the page reads it (JSON text).
std::string LineViewJson(const line::LineView& view);

}  // namespace quelmar::station
