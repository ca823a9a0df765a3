// quelmar-cli station run by a test: a profile of the test's own with a
// free dashboard port and a known token, its state read as the page reads
// it (GET /api/state) and its Stop button pressed (POST /api/stop).
#pragma once

#include <cstdint>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.h"

namespace quelmar::testing {

// A loopback port nothing listens on now (a race with another program
// only fails the test).
uint16_t FreePort();

class StationRun {
 public:
  // Writes profile_lines plus listen and token into dir/station.toml and
  // starts the station on it. False (with a gtest failure) when it does not
  // serve its page within 20 s.
  bool Start(const TempDir& dir, const std::string& profile_lines,
             const std::vector<std::string>& env = {});
  // The state as the page reads it; a null value when nothing answered.
  nlohmann::json State();
  // Reads the state until check(state) holds or the limit passes; the
  // last state read, for the failure message.
  bool WaitFor(const std::function<bool(const nlohmann::json&)>& check,
               std::chrono::milliseconds limit, nlohmann::json* last = nullptr);
  // Posts a unit's scan with the token, as the page's scan box does; true
  // when the station took it (200). *answer: the whole answer.
  bool Scan(const std::string& unit, std::string* answer = nullptr);
  // Presses Stop with the token and waits for the station to end: its exit
  // status, or -1.
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(60));
  BackgroundProgram& program() { return program_; }

 private:
  // One request, the whole answer (headers and body), "" when none came.
  std::string Request(const std::string& request);

  BackgroundProgram program_;
  uint16_t port_ = 0;
};

}  // namespace quelmar::testing
