// Scans typed (or sent by a keyboard-wedge scanner) on the terminal, and
// the profile's serial scanner, for `station` and `flash --auto` when the
// profile scans units. Stdin is read on a thread of its own, so the run
// never waits on it; EOF ends the reading quietly.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "station/scans.h"

namespace quelmar::cli {

// The scans in what `in` holds up to its end (a terminal's lines), each
// handed to scan as read; a line beyond the longest scan is said through
// too_long.
void ReadScans(std::FILE* in, const std::function<void(const std::string&)>& scan,
               const std::function<void()>& too_long);

class ScanInput {
 public:
  // offer: a scan to the desk, its answer back; say: each line for the
  // operator (the answers and the scanner's news).
  ScanInput(std::function<station::ScanAnswer(const std::string&)> offer,
            std::function<void(const std::string&)> say);
  // Stops the scanner; stdin's reader is left blocked in its read and
  // says nothing more.
  ~ScanInput();
  ScanInput(const ScanInput&) = delete;
  ScanInput& operator=(const ScanInput&) = delete;

  // Starts reading stdin, and the profile's scanner when it names one.
  // stdin_ended, if given, is called once stdin has ended (on the reading
  // thread, while the run listens).
  void Start(const std::optional<std::string>& scanner, unsigned baud,
             std::function<void()> stdin_ended = nullptr);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<station::ScannerReader> scanner_;
};

// Whether scans can come on stdin: a terminal, a pipe or a file (a
// script's), not a null device or a closed stdin.
bool StdinCanScan();

}  // namespace quelmar::cli
