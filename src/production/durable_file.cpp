#include "production/durable_file.h"

#include <cstdio>

namespace quelmar::production {

std::string LockHeldText(const std::string& path, std::string holder,
                         std::chrono::milliseconds wait) {
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000.0);
  return "'" + path + "' is locked" + (holder.empty() ? "" : " by " + holder) + " for more than " +
         seconds + " s";
}

}  // namespace quelmar::production
