#include "station/dashboard_server.h"

#include <nlohmann/json.hpp>
#include <optional>

#include "station/web_assets.h"

namespace quelmar::station {

// The station's paths over its state.
class DashboardServer::StationSite : public Site {
 public:
  static constexpr std::string_view kScanPath = "/api/scan";

  StationSite(StationState& state, std::function<void(Control)> on_control)
      : state_(state), on_control_(std::move(on_control)) {}

  Kind Find(std::string_view path) override {
    if (ControlOf(path) || (path == kScanPath && on_scan_)) return Kind::kAction;
    if (FindWebAsset(path) || path == "/api/state" || LogSlot(path)) return Kind::kPage;
    return Kind::kNone;
  }

  Page Get(std::string_view path) override {
    if (const WebAsset* asset = FindWebAsset(path))
      return {std::string(asset->content_type), std::string(asset->body)};
    if (const std::optional<size_t> slot = LogSlot(path)) {
      const StationSnapshot s = state_.Snapshot();
      const std::string port = *slot < s.slots.size() ? s.slots[*slot].port : "";
      return {"application/json", SlotLogsJson(port, state_.SlotLogs(*slot))};
    }
    return {"application/json", SnapshotJson(state_.Snapshot())};
  }

  Page Act(std::string_view path) override {
    if (on_control_) on_control_(*ControlOf(path));
    return {"application/json", std::string("{\"run\":\"") + RunStateWord(state_.Run()) + "\"}"};
  }

  Page ActWith(std::string_view path, std::string_view body) override {
    if (path != kScanPath) return Act(path);
    const ScanAnswer answer = on_scan_(std::string(body));
    nlohmann::json j{{"taken", answer.taken}, {"line", answer.line}};
    // Refused: the page says the line, and so does a script's status.
    return {"application/json", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
            answer.taken ? 200u : 409u};
  }

  std::function<ScanAnswer(const std::string&)> on_scan_;

  uint64_t Version() override { return state_.Version(); }

  std::string Event(uint64_t* version) override {
    const StationSnapshot s = state_.Snapshot();
    *version = s.version;
    return "event: state\ndata: " + SnapshotJson(s) + "\n\n";
  }

 private:
  static std::optional<Control> ControlOf(std::string_view path) {
    if (path == "/api/pause") return Control::kPause;
    if (path == "/api/resume") return Control::kResume;
    if (path == "/api/stop") return Control::kStop;
    return std::nullopt;
  }

  // N of "/api/log/N", when slot N exists.
  std::optional<size_t> LogSlot(std::string_view path) const {
    constexpr std::string_view kLog = "/api/log/";
    if (path.substr(0, kLog.size()) != kLog) return std::nullopt;
    const std::string_view digits = path.substr(kLog.size());
    if (digits.empty() || digits.size() > 6) return std::nullopt;
    size_t n = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return std::nullopt;
      n = n * 10 + static_cast<size_t>(c - '0');
    }
    if (n >= state_.SlotCount()) return std::nullopt;
    return n;
  }

  StationState& state_;
  std::function<void(Control)> on_control_;
};

DashboardServer::DashboardServer(StationState& state, ServerOptions options,
                                 std::function<void(Control)> on_control)
    : site_(std::make_unique<StationSite>(state, std::move(on_control))),
      server_(std::make_unique<PageServer>(*site_, std::move(options))) {}

DashboardServer::~DashboardServer() {
  server_->Stop();
}

void DashboardServer::TakeScans(std::function<ScanAnswer(const std::string&)> on_scan) {
  site_->on_scan_ = std::move(on_scan);
}

bool DashboardServer::Start(std::string* error) {
  return server_->Start(error);
}
void DashboardServer::Stop() {
  server_->Stop();
}
uint16_t DashboardServer::Port() const {
  return server_->Port();
}
std::vector<std::string> DashboardServer::Urls() const {
  return server_->Urls();
}
size_t DashboardServer::Connections() const {
  return server_->Connections();
}
size_t DashboardServer::EventStreams() const {
  return server_->EventStreams();
}

}  // namespace quelmar::station
