// A raw label printer on loopback for tests: one that takes every label,
// one that accepts and never reads, or a port where nothing listens.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quelmar::testing {

// kTake reads each connection to its end and closes it; kStall accepts and
// never reads nor closes (a printer out of paper holding the line);
// kRefuse listens nowhere: the port is closed; kDrop reads a few bytes of
// each label and closes with the rest unread (a printer that throws it away).
class Printer {
 public:
  enum class Mode { kTake, kStall, kRefuse, kDrop };

  explicit Printer(Mode mode);
  ~Printer();
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  // "tcp://127.0.0.1:PORT"
  std::string Target() const;
  // Each connection's bytes, in the order they ended.
  std::vector<std::string> Labels();
  bool WaitForLabels(size_t n, std::chrono::milliseconds limit);
  // Until a connection has been accepted.
  bool WaitForConnection(std::chrono::milliseconds limit);

 private:
  void Serve();

  const Mode mode_;
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> accepted_{0};
  std::thread thread_;
  std::vector<int> held_;
  std::mutex mutex_;
  std::vector<std::string> labels_;
};

}  // namespace quelmar::testing
