// A scripted serial port for unit tests. It records every operation as a
// line of text ("purge 15", "write 55 01 01 55", "read 6 -> 6", ...) and
// answers each write through a responder that queues the reads to come.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/serial_port.h"
#include "support/fake_clock.h"

namespace quelmar::testing {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* data, size_t n);
inline std::string Hex(const Bytes& b) {
  return Hex(b.data(), b.size());
}

// Everything the fake line saw and will answer. Shared by the fake port
// system and every port it opens, so tests can look after a close.
struct FakeLine {
  // Called after each successful write with the bytes written; queue the
  // replies with Reply(). Without a responder, nothing answers.
  std::function<void(FakeLine&, const Bytes&)> responder;
  // One entry per read to come: the bytes it delivers (possibly fewer than
  // asked for, possibly none). A read with nothing queued delivers nothing.
  std::deque<Bytes> reads;
  std::vector<std::string> events;
  std::vector<Bytes> writes;  // every frame written, in order

  // Failure injection.
  bool fail_get_state = false;
  bool fail_set_state = false;
  bool fail_set_timeouts = false;
  bool fail_purge = false;
  bool hung_up = false;
  // The writes with these indexes (0-based, counting every write) fail,
  // reporting the given byte count.
  std::vector<std::pair<size_t, uint32_t>> failing_writes;

  link::ReadTimeouts timeouts{};
  FakeClock* clock = nullptr;  // advanced by the time-out of empty reads
  size_t write_count = 0;

  void Reply(Bytes bytes) { reads.push_back(std::move(bytes)); }
  void Silence() { reads.push_back({}); }
  // Events of one kind only ("write", "read", "purge", ...).
  std::vector<std::string> EventsStartingWith(std::string_view prefix) const;
};

class FakePort final : public link::SerialPort {
 public:
  explicit FakePort(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}
  ~FakePort() override { line_->events.push_back("close"); }

  bool GetCommState() override;
  bool SetCommState() override;
  bool SetCommTimeouts(const link::ReadTimeouts& timeouts) override;
  bool Purge(uint32_t mask) override;
  bool Write(const uint8_t* data, uint32_t n, uint32_t* written) override;
  uint32_t Read(uint8_t* buffer, uint32_t n) override;
  bool HungUp() const override { return line_->hung_up; }

 private:
  std::shared_ptr<FakeLine> line_;
};

class FakePortSystem final : public link::PortSystem {
 public:
  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
  std::vector<link::PortEntry> present;
  link::OpenError open_error = link::OpenError::kNone;
  std::string open_advice;
  int open_count = 0;
  std::vector<link::PortId> opened;  // every port asked for, in order

  std::vector<link::PortEntry> EnumeratePorts() override { return present; }
  link::OpenResult OpenPort(const link::PortId& id) override;
  std::optional<link::PortId> ResolvePort(std::string_view text) override;
};

}  // namespace quelmar::testing
