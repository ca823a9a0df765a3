// Scans typed (or sent by a keyboard-wedge scanner) on the terminal, and
// the profile's serial scanner, for `station` and `flash --auto` when the
// profile scans units. Stdin is read on a thread of its own, so the run
// never waits on it; EOF ends the reading quietly.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "station/scans.h"

namespace quelmar::cli {

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
  void Start(const std::optional<std::string>& scanner, unsigned baud);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  std::unique_ptr<station::ScannerReader> scanner_;
};

}  // namespace quelmar::cli
