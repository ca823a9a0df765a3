#include "station/line_site.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "station/web_assets.h"

namespace quelmar::station {

namespace {

using Json = nlohmann::json;

constexpr std::string_view kLinePrefix = "/api/line/";
constexpr std::string_view kStationPrefix = "/api/station/";

// A control path: whom (nullopt: the whole line) and what. Nothing for any
// other path, or a name that is not percent-encoded text.
struct ControlPath {
  std::optional<std::string> station;
  line::LineControl control;
};

std::optional<std::string> PercentDecoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    unsigned value = 0;
    for (size_t k = 1; k <= 2; ++k) {
      const char c = text[i + k];
      const int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + static_cast<unsigned>(digit);
    }
    out += static_cast<char>(value);
    i += 2;
  }
  return out;
}

std::optional<ControlPath> ControlOf(std::string_view path) {
  if (path.starts_with(kLinePrefix)) {
    const auto control = line::ControlOfWord(path.substr(kLinePrefix.size()));
    if (!control) return std::nullopt;
    return ControlPath{std::nullopt, *control};
  }
  if (!path.starts_with(kStationPrefix)) return std::nullopt;
  const std::string_view rest = path.substr(kStationPrefix.size());
  const size_t slash = rest.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return std::nullopt;
  const auto control = line::ControlOfWord(rest.substr(slash + 1));
  std::optional<std::string> name = PercentDecoded(rest.substr(0, slash));
  if (!control || !name || name->empty()) return std::nullopt;
  return ControlPath{std::move(name), *control};
}

Page Text(unsigned status, const std::string& line) {
  return {"text/plain; charset=utf-8", line + "\n", status};
}

Json YieldOf(uint64_t ok, uint64_t failed) {
  const uint64_t total = ok + failed;
  return total == 0 ? Json(nullptr)
                    : Json(100.0 * static_cast<double>(ok) / static_cast<double>(total));
}

}  // namespace

Site::Kind LineSite::Find(std::string_view path) {
  if (path.starts_with(kLinePrefix) || path.starts_with(kStationPrefix))
    return ControlOf(path) ? Kind::kAction : Kind::kNone;
  if (FindLineAsset(path) || path == "/api/state") return Kind::kPage;
  return Kind::kNone;
}

Page LineSite::Get(std::string_view path) {
  if (const WebAsset* asset = FindLineAsset(path))
    return {std::string(asset->content_type), std::string(asset->body)};
  return {"application/json", LineViewJson(watcher_.View())};
}

Page LineSite::Act(std::string_view path) {
  const std::optional<ControlPath> c = ControlOf(path);
  if (!c) return Text(404, "Not Found");
  std::vector<std::string> stations;
  const std::string server = watcher_.View().server;
  switch (watcher_.Control(c->station, c->control, &stations)) {
    case line::LineWatcher::Sent::kQueued:
      break;
    case line::LineWatcher::Sent::kAway:
      return Text(503, "the line's database " + server + " does not answer: nothing was sent");
    case line::LineWatcher::Sent::kNoStation:
      return Text(404, "no station '" + *c->station + "' on the line");
    case line::LineWatcher::Sent::kStopped:
      return Text(409, "station '" + *c->station + "' has stopped");
    case line::LineWatcher::Sent::kNoneRunning:
      return Text(409, "no station of the line runs");
  }
  Json j;
  j["control"] = line::ControlWord(c->control);
  j["stations"] = stations;
  // Accepted: the stations take it from the database, and the page shows
  // what they did.
  return {"application/json", j.dump(-1, ' ', false, Json::error_handler_t::replace), 202};
}

std::string LineSite::Event(uint64_t* version) {
  const line::LineView view = watcher_.View();
  *version = view.version;
  return "event: state\ndata: " + LineViewJson(view) + "\n\n";
}

std::string LineViewJson(const line::LineView& v) {
  Json j;
  j["version"] = v.version;
  j["server"] = v.server;
  const size_t slash = v.server.rfind('/');
  j["line"] = slash == std::string::npos ? v.server : v.server.substr(slash + 1);
  j["connected"] = v.connected;
  j["problem"] = v.problem;
  j["notice"] = v.notice;
  j["ok"] = v.ok;
  j["failed"] = v.failed;
  j["yield"] = YieldOf(v.ok, v.failed);
  j["first_pass_yield"] = YieldOf(v.first_pass, v.ok + v.failed - v.first_pass);
  j["last_hour"] = v.last_hour;
  j["refused"] = v.refused;
  unsigned up = 0;
  j["stations"] = Json::array();
  for (const line::LineStation& s : v.stations) {
    const bool is_up = !s.offline && s.run != "stopped";
    up += is_up ? 1 : 0;
    Json images = Json::array();
    for (const line::ImageReport& i : s.images)
      images.push_back({{"file", i.file}, {"sha256", i.sha256}});
    Json slots = Json::array();
    for (const line::SlotReport& slot : s.slots) {
      slots.push_back({{"port", slot.port},
                       {"state", slot.state},
                       {"percent", slot.percent},
                       {"retry", slot.retry},
                       {"retries", slot.retries},
                       {"failure", slot.failure}});
    }
    Json job = nullptr;
    if (s.job) {
      job = {{"name", s.job->name},
             {"version", s.job->version},
             {"sha256", s.job->sha256},
             {"state", s.job->state}};
    }
    j["stations"].push_back({{"name", s.name},
                             {"host", s.host},
                             {"version", s.version},
                             {"profile_sha256", s.profile_sha256},
                             {"images", images},
                             {"dashboard", s.dashboard},
                             {"run", s.run},
                             {"state", s.offline ? std::string("offline") : s.run},
                             {"seen_s", s.seen_s},
                             {"started", s.started},
                             {"slots", slots},
                             {"run_ok", s.run_ok},
                             {"run_failed", s.run_failed},
                             {"ok", s.ok},
                             {"failed", s.failed},
                             {"yield", YieldOf(s.ok, s.failed)},
                             {"first_pass_yield",
                              YieldOf(s.first_pass, s.ok + s.failed - s.first_pass)},
                             {"last_hour", s.last_hour},
                             {"job", job}});
  }
  j["up"] = up;
  j["failures"] = Json::array();
  for (const line::LineFailure& f : v.failures) {
    Json fields = Json::array();
    for (const auto& [name, value] : f.fields) fields.push_back({name, value});
    j["failures"].push_back({{"station", f.station},
                             {"port", f.port},
                             {"board", f.board},
                             {"time", f.time},
                             {"fields", fields},
                             {"failure", f.failure},
                             {"unit", f.unit}});
  }
  // Text from stations and boards may be any bytes: invalid UTF-8 is
  // replaced, never thrown over.
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace quelmar::station
