#include "production/durable_file.h"

#include <atomic>
#include <cctype>
#include <cstdio>

namespace quelmar::production {

std::string LockHeldText(const std::string& path, std::string holder,
                         std::chrono::milliseconds wait) {
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000.0);
  // The holder is alive (a lock goes with its process): removing the lock
  // file would only let a second process in beside it.
  return "'" + path + "' is locked for more than " + seconds + " s by " +
         (holder.empty() ? "another process" : holder) +
         ", which is still running: let it finish or end it (its lock goes with it)";
}

bool IsLockHeldText(const std::string& error) {
  return error.find("' is locked for more than ") != std::string::npos;
}

std::string NewHolderTag() {
  static std::atomic<unsigned> next{0};
  std::string tag = ProcessName() + " " + std::to_string(next.fetch_add(1));
  for (char& c : tag) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
  }
  return tag;
}

}  // namespace quelmar::production
