// Simulated boards as child processes of a benchmark.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quelmar::bench {

struct Child {
  pid_t pid = -1;
  int out = -1;  // its standard output
};

// Starts quelmar-sim with the arguments; slack_ns (when not 0) is its timer
// slack, which it inherits.
bool StartSim(const std::vector<std::string>& args, uint32_t slack_ns, Child* child);
// The first line of the child's output, waiting at most 10 s.
bool ReadFirstLine(int fd, std::string* line);
// Stops it (SIGTERM) and returns its wait status.
int StopSim(Child& child);

}  // namespace quelmar::bench
