// --json's output: one JSON object per line, each with a "type".
#pragma once

#include <chrono>
#include <string>

#include "production/record.h"

namespace quelmar::production {

// {"type":"board_start","port":"COM3","board":1,"time":"..."}
std::string BoardStartEvent(const std::string& port, unsigned board,
                            std::chrono::system_clock::time_point time);
// {"type":"step","port":..,"board":..,"step":"code","result":"ok"}; step is
// one of "identify", "code", "data", "reboot"; result "ok", "failed",
// "stopped".
std::string StepEvent(const std::string& port, unsigned board, const std::string& step,
                      const std::string& result);
// {"type":"progress","port":..,"board":..,"step":"code","done":12,"total":2048}
std::string ProgressEvent(const std::string& port, unsigned board, const std::string& step,
                          uint64_t done, uint64_t total);
// The record's own object with "type":"record" first.
std::string RecordEvent(const BoardRecord& record);
// {"type":"held","port":"COM3","why":"the line's database ... does not answer: ..."}:
// no new board starts on the port for that reason; "why":null once boards
// may start again.
std::string HeldEvent(const std::string& port, const std::string& why);
// {"type":"summary","boards":3,"ok":2,"failed":1,"stopped":0}
std::string SummaryEvent(unsigned ok, unsigned failed, unsigned stopped);

// At most five progress events a second for one board.
class ProgressThrottle {
 public:
  bool Allow(std::chrono::steady_clock::time_point now);

 private:
  std::chrono::steady_clock::time_point last_{};
  bool started_ = false;
};

}  // namespace quelmar::production
