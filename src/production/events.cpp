#include "production/events.h"

#include <nlohmann/json.hpp>

namespace quelmar::production {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string BoardStartEvent(const std::string& port, unsigned board,
                            std::chrono::system_clock::time_point time) {
  return Dump(
      Json{{"type", "board_start"}, {"port", port}, {"board", board}, {"time", IsoUtc(time)}});
}

std::string StepEvent(const std::string& port, unsigned board, const std::string& step,
                      const std::string& result) {
  return Dump(
      Json{{"type", "step"}, {"port", port}, {"board", board}, {"step", step}, {"result", result}});
}

std::string ProgressEvent(const std::string& port, unsigned board, const std::string& step,
                          uint64_t done, uint64_t total) {
  return Dump(Json{{"type", "progress"},
                   {"port", port},
                   {"board", board},
                   {"step", step},
                   {"done", done},
                   {"total", total}});
}

std::string RecordEvent(const BoardRecord& record) {
  // RecordJson is one object: open it and put the type first.
  return "{\"type\":\"record\"," + RecordJson(record).substr(1);
}

std::string HeldEvent(const std::string& port, const std::string& why) {
  return Dump(
      Json{{"type", "held"}, {"port", port}, {"why", why.empty() ? Json(nullptr) : Json(why)}});
}

std::string SummaryEvent(unsigned ok, unsigned failed, unsigned stopped) {
  return Dump(Json{{"type", "summary"},
                   {"boards", ok + failed + stopped},
                   {"ok", ok},
                   {"failed", failed},
                   {"stopped", stopped}});
}

bool ProgressThrottle::Allow(std::chrono::steady_clock::time_point now) {
  if (started_ && now - last_ < std::chrono::milliseconds(200)) return false;
  started_ = true;
  last_ = now;
  return true;
}

}  // namespace quelmar::production
