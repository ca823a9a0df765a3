#include "support/fake_port.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace quelmar::testing {

std::string Hex(const uint8_t* data, size_t n) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
    s += b;
  }
  return s;
}

std::vector<std::string> FakeLine::EventsStartingWith(std::string_view prefix) const {
  std::vector<std::string> out;
  for (const auto& e : events)
    if (std::string_view(e).substr(0, prefix.size()) == prefix) out.push_back(e);
  return out;
}

bool FakePort::GetCommState() {
  line_->events.push_back("get-state");
  return !line_->fail_get_state;
}

bool FakePort::SetCommState() {
  line_->events.push_back("set-state");
  return !line_->fail_set_state;
}

bool FakePort::SetCommTimeouts(const link::ReadTimeouts& timeouts) {
  line_->events.push_back("set-timeouts " + std::to_string(timeouts.per_byte_ms) + " " +
                          std::to_string(timeouts.constant_ms));
  line_->timeouts = timeouts;
  return !line_->fail_set_timeouts;
}

bool FakePort::Purge(uint32_t mask) {
  line_->events.push_back("purge " + std::to_string(mask));
  if (line_->fail_purge || line_->hung_up) return false;
  // Pending input is discarded, as a real purge does.
  if (mask & link::PURGE_RXCLEAR) line_->reads.clear();
  return true;
}

bool FakePort::Write(const uint8_t* data, uint32_t n, uint32_t* written) {
  const size_t index = line_->write_count++;
  Bytes bytes(data, data + n);
  auto failing = std::find_if(line_->failing_writes.begin(), line_->failing_writes.end(),
                              [&](const auto& f) { return f.first == index; });
  if (failing != line_->failing_writes.end() || line_->hung_up) {
    const uint32_t count = failing != line_->failing_writes.end() ? failing->second : 0;
    line_->events.push_back("write-failed " + Hex(bytes));
    *written = count;
    return false;
  }
  line_->events.push_back("write " + (n <= 8 ? Hex(bytes) : "frame " + std::to_string(n)));
  line_->writes.push_back(bytes);
  *written = n;
  if (line_->responder) line_->responder(*line_, bytes);
  return true;
}

uint32_t FakePort::Read(uint8_t* buffer, uint32_t n) {
  uint32_t count = 0;
  if (!line_->reads.empty()) {
    Bytes next = std::move(line_->reads.front());
    line_->reads.pop_front();
    // A scripted read longer than asked for leaves the rest for the next read.
    count = static_cast<uint32_t>(std::min<size_t>(n, next.size()));
    if (count > 0) std::memcpy(buffer, next.data(), count);
    if (next.size() > count) line_->reads.push_front(Bytes(next.begin() + count, next.end()));
  }
  if (count < n && line_->clock != nullptr && !line_->hung_up) {
    // A read that comes up short waits out its whole time-out.
    line_->clock->Advance(
        std::chrono::milliseconds(line_->timeouts.per_byte_ms * n + line_->timeouts.constant_ms));
  }
  line_->events.push_back("read " + std::to_string(n) + " -> " + std::to_string(count));
  return count;
}

link::OpenResult FakePortSystem::OpenPort(const link::PortId& id) {
  ++open_count;
  opened.push_back(id);
  line->events.push_back("open");
  if (open_error != link::OpenError::kNone) return {nullptr, open_error, open_advice};
  return {std::make_unique<FakePort>(line), link::OpenError::kNone, {}};
}

std::optional<link::PortId> FakePortSystem::ResolvePort(std::string_view text) {
  if (text.substr(0, 3) == "COM") text.remove_prefix(3);
  int number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number < 1 || number > 127) return std::nullopt;
  return link::PortId{number, "/dev/fake" + std::to_string(number)};
}

}  // namespace quelmar::testing
