#include "link/port_presence.h"

#include <cstdint>

namespace quelmar::link {

bool PortListed(const std::vector<PortEntry>& listed, const PortId& id) {
  for (const PortEntry& p : listed) {
    // A port without a number is never taken for another by its (absent)
    // number.
    if (id.number > 0 ? p.number == id.number : !id.device.empty() && p.device == id.device)
      return true;
  }
  return false;
}

bool PortSystem::PortPresent(const PortId& id) {
  return PortListed(EnumeratePorts(), id);
}

// What the last open or close of one port said. A generation tells the
// connection of the last open from an older one still being let go of.
struct ConnectionPresence::Entry {
  enum class Seen { kNothing, kOpen, kLost, kClosed, kBusy, kRefused };

  void Opened(uint64_t* generation_out, Seen seen) {
    std::lock_guard lock(mutex);
    ++generation;
    if (generation_out != nullptr) *generation_out = generation;
    state = seen;
  }
  // The connection of `of` hung up.
  void Lost(uint64_t of) {
    std::lock_guard lock(mutex);
    if (of == generation) state = Seen::kLost;
  }
  // The connection of `of` was closed by its owner.
  void Closed(uint64_t of, bool hung_up) {
    std::lock_guard lock(mutex);
    if (of != generation) return;
    state = hung_up || state == Seen::kLost ? Seen::kLost : Seen::kClosed;
  }
  bool Present() const {
    std::lock_guard lock(mutex);
    return state != Seen::kLost && state != Seen::kRefused;
  }

  mutable std::mutex mutex;
  uint64_t generation = 0;
  Seen state = Seen::kNothing;
};

namespace {

using Seen = ConnectionPresence::Entry::Seen;

// An open port that tells its entry when its line hangs up and when it is
// closed; everything else goes straight through.
class TrackedPort final : public SerialPort {
 public:
  TrackedPort(std::unique_ptr<SerialPort> inner, std::shared_ptr<ConnectionPresence::Entry> entry,
              uint64_t generation)
      : inner_(std::move(inner)), entry_(std::move(entry)), generation_(generation) {}
  ~TrackedPort() override { entry_->Closed(generation_, inner_->HungUp()); }

  bool GetCommState() override { return Checked(inner_->GetCommState()); }
  bool SetCommState() override { return Checked(inner_->SetCommState()); }
  bool SetBaudRate(uint32_t baud) override { return Checked(inner_->SetBaudRate(baud)); }
  bool SetCommTimeouts(const ReadTimeouts& timeouts) override {
    return Checked(inner_->SetCommTimeouts(timeouts));
  }
  bool Purge(uint32_t mask) override { return Checked(inner_->Purge(mask)); }
  bool Write(const uint8_t* data, uint32_t n, uint32_t* written) override {
    return Checked(inner_->Write(data, n, written));
  }
  uint32_t Read(uint8_t* buffer, uint32_t n) override {
    const uint32_t got = inner_->Read(buffer, n);
    Checked(true);
    return got;
  }
  bool HungUp() const override {
    const bool hung_up = inner_->HungUp();
    if (hung_up) entry_->Lost(generation_);
    return hung_up;
  }

 private:
  template <typename T>
  T Checked(T result) {
    HungUp();
    return result;
  }

  std::unique_ptr<SerialPort> inner_;
  std::shared_ptr<ConnectionPresence::Entry> entry_;
  const uint64_t generation_;
};

}  // namespace

std::shared_ptr<ConnectionPresence::Entry> ConnectionPresence::EntryFor(const std::string& key) {
  std::lock_guard lock(mutex_);
  auto& entry = entries_[key];
  if (!entry) entry = std::make_shared<Entry>();
  return entry;
}

OpenResult ConnectionPresence::Track(const std::string& key, OpenResult opened) {
  const auto entry = EntryFor(key);
  if (!opened.port) {
    entry->Opened(nullptr, opened.error == OpenError::kBusy ? Seen::kBusy : Seen::kRefused);
    return opened;
  }
  uint64_t generation = 0;
  entry->Opened(&generation, Seen::kOpen);
  opened.port = std::make_unique<TrackedPort>(std::move(opened.port), entry, generation);
  return opened;
}

bool ConnectionPresence::Present(const std::string& key) const {
  std::shared_ptr<Entry> entry;
  {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end()) return true;
    entry = found->second;
  }
  return entry->Present();
}

}  // namespace quelmar::link
