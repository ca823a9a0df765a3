// What was written to a stdio stream (a tmpfile standing in for stdout or
// stderr), from its start.
#pragma once

#include <cstdio>
#include <string>

namespace quelmar::testing {

inline std::string Contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string s;
  char buffer[256];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) s.append(buffer, n);
  return s;
}

}  // namespace quelmar::testing
