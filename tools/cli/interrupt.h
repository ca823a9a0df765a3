// Ctrl-C for the commands that write boards: the first stops at the next
// safe point, the second quits at once (status 130).
#pragma once

#ifndef _WIN32
#include <signal.h>
#endif

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/flags.h"

namespace quelmar::cli {

// The first Ctrl-C raises every board's AbortFlag; an update clears it
// when it starts, so it is raised again for as long as an update runs, as
// a front end does when the operator asks to stop. The handler only
// counts: a watcher thread does the rest within 20 ms.
class InterruptGuard {
 public:
  explicit InterruptGuard(std::vector<UpdateFlags*> flags, std::function<void()> on_interrupt = {});
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
  bool Interrupted() const;
  // A board that joined later (a station's new port) is stopped too.
  void Add(UpdateFlags* flags);

 private:
  std::mutex mutex_;  // flags_ grows while the watcher reads it
  std::vector<UpdateFlags*> flags_;
  std::function<void()> on_interrupt_;
#ifndef _WIN32
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
#endif
  std::jthread watcher_;
};

}  // namespace quelmar::cli
