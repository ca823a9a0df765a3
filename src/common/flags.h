// The two words that tie a front end to a running update.
#pragma once

#include <atomic>
#include <cstdint>

namespace quelmar {

struct UpdateFlags {
  // 1 while an update runs: the front end starts nothing, refuses to close
  // and leaves the port alone. Set by the front end, cleared by the update.
  std::atomic<uint32_t> BusyFlag{0};
  // 1 asks a running update to stop where it can (the data flash erase wait).
  // Set by the front end, cleared by the update at its start and end.
  std::atomic<uint32_t> AbortFlag{0};
  // 1 while the data flash update polls the board for the end of the erase:
  // the one step AbortFlag can stop, so a front end may offer to stop it
  // then. The safety wait that may follow is not stoppable.
  std::atomic<uint32_t> EraseWaitFlag{0};
};

}  // namespace quelmar
