// Puts the simulated board on a line: a pseudo-terminal of its own, whose
// slave side the host opens as if it were a serial port, or an existing tty
// whose other end is the host's port (the gadget side of a USB ACM link,
// or a pty that a virtual machine made for its serial device). The driver
// only moves bytes between that line and the Board.
#pragma once

#include <signal.h>

#include <chrono>
#include <string>

#include "board.h"

namespace quelmar::sim {

// One byte on a 115200-baud 8N1 line: start bit, 8 data bits, stop bit.
inline constexpr int kBaud = 115200;
inline constexpr int kBitsPerByte = 10;
// Wire time of n bytes from a common start, rounded to whole nanoseconds;
// computed from the start each time so that long runs do not drift.
std::chrono::nanoseconds WireTime(uint64_t bytes);

class PtyLine {
 public:
  PtyLine() = default;
  PtyLine(const PtyLine&) = delete;
  PtyLine& operator=(const PtyLine&) = delete;
  ~PtyLine() { Close(); }

  // Creates the pty, keeps the slave open (never read) so that the master
  // does not see a hang-up whenever the host closes its side, and makes
  // the master non-blocking.
  bool Open(std::string* error);
  // Serves the existing tty at path instead: opened non-blocking, locked
  // against a second simulator (flock), and set raw at 115200 8N1 without
  // flow control, since a tty starts out echoing and translating, which
  // would mangle the binary frames.
  bool OpenTty(const std::string& path, std::string* error);
  // Closes the line. On its own pty the host sees its line hang up; on a
  // tty, whether the other end notices is up to that end's driver.
  void Close();
  // Waits, at most `limit`, until the host has read everything sent to it.
  void WaitUntilRead(std::chrono::milliseconds limit);

  // The device the host opens (the pty's slave), or the tty served.
  const std::string& slave_path() const { return slave_path_; }
  // The descriptor the board's bytes move through.
  int master_fd() const { return master_; }
  // Whether this serves an existing tty, whose hang-up ends the serving.
  bool serves_tty() const { return tty_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  bool tty_ = false;
  std::string slave_path_;
};

enum class ServeEnd {
  kStopped,   // a stop signal came
  kHungUp,    // a fault hung up the line
  kLineGone,  // the tty served hung up (its adapter or gadget went away)
  kFailed,    // the line failed under us
};

struct ServeOptions {
  bool pace = false;  // bytes take their real wire time in both directions
  // Set by the signal handler; checked after every wake-up.
  const volatile sig_atomic_t* stop = nullptr;
  // Signal mask to wait with, with the stop signals unblocked. The caller
  // keeps them blocked otherwise, so no signal is lost between a check of
  // `stop` and the wait.
  const sigset_t* wait_mask = nullptr;
};

// Serves the board on the line until a stop signal, a hang-up fault, the
// served tty's hang-up or a failure (described in *error).
ServeEnd Serve(PtyLine& line, Board& board, const ServeOptions& options, std::string* error);

}  // namespace quelmar::sim
