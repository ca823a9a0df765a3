#include "station/station_state.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace quelmar::station {

const char* PhaseWord(SlotPhase phase) {
  switch (phase) {
    case SlotPhase::kWaiting:
      return "waiting";
    case SlotPhase::kIdentifying:
      return "identifying";
    case SlotPhase::kWriting:
      return "writing";
    case SlotPhase::kOk:
      return "ok";
    case SlotPhase::kFailed:
      return "failed";
    case SlotPhase::kGone:
      return "gone";
    case SlotPhase::kRetrying:
      return "retry";
  }
  return "waiting";
}

const char* RunStateWord(RunState state) {
  switch (state) {
    case RunState::kRunning:
      return "running";
    case RunState::kPaused:
      return "paused";
    case RunState::kStopping:
      return "stopping";
    case RunState::kStopped:
      return "stopped";
  }
  return "running";
}

StationState::StationState(Clock& clock) : clock_(clock), start_(clock.Now()) {}

void StationState::BumpLocked() {
  version_.fetch_add(1, std::memory_order_acq_rel);
  // notify without waiting for anyone: readers re-check the version.
  changed_.notify_all();
}

void StationState::SetHeader(std::string profile, std::string station_version,
                             std::vector<ImageInfo> images) {
  std::lock_guard lock(mutex_);
  profile_ = std::move(profile);
  station_version_ = std::move(station_version);
  images_ = std::move(images);
  BumpLocked();
}

void StationState::SetJob(std::optional<JobShown> job) {
  std::lock_guard lock(mutex_);
  if (job_ == job) return;
  job_ = std::move(job);
  BumpLocked();
}

size_t StationState::AddSlot(std::string port) {
  std::lock_guard lock(mutex_);
  slots_.emplace_back();
  slots_.back().view.port = std::move(port);
  BumpLocked();
  return slots_.size() - 1;
}

std::optional<size_t> StationState::FindSlot(const std::string& port) const {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i].view.port == port) return i;
  return std::nullopt;
}

void StationState::SetPhase(size_t slot, SlotPhase phase) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  SlotSnapshot& v = slots_[slot].view;
  if (v.phase == phase) return;
  v.phase = phase;
  if (phase == SlotPhase::kIdentifying || phase == SlotPhase::kWriting) {
    v.percent = 0;
    v.failure.clear();
  }
  if (phase == SlotPhase::kIdentifying) {
    v.fields.clear();
    v.retry = v.retries = 0;
  }
  BumpLocked();
}

void StationState::MarkPresence(size_t slot, bool present) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  SlotSnapshot& v = slots_[slot].view;
  // One look and one change under one lock: a board that starts meanwhile
  // is never shown gone.
  const bool idle =
      v.phase == SlotPhase::kWaiting || v.phase == SlotPhase::kOk || v.phase == SlotPhase::kFailed;
  if (!present && idle) {
    v.phase = SlotPhase::kGone;
  } else if (present && v.phase == SlotPhase::kGone) {
    v.phase = SlotPhase::kWaiting;
  } else {
    return;
  }
  BumpLocked();
}

void StationState::SetProgress(size_t slot, int percent) {
  percent = std::clamp(percent, 0, 100);
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  SlotSnapshot& v = slots_[slot].view;
  const bool retrying = v.phase == SlotPhase::kRetrying;
  if ((v.phase == SlotPhase::kWriting || retrying) && v.percent == percent) return;
  if (!retrying) v.phase = SlotPhase::kWriting;
  v.percent = percent;
  BumpLocked();
}

void StationState::SetFields(size_t slot, std::vector<std::pair<std::string, std::string>> fields) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  slots_[slot].view.fields = std::move(fields);
  BumpLocked();
}

void StationState::SetNote(size_t slot, std::string note) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size() || slots_[slot].view.note == note) return;
  slots_[slot].view.note = std::move(note);
  BumpLocked();
}

void StationState::SetRetry(size_t slot, unsigned retry, unsigned retries) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  SlotSnapshot& v = slots_[slot].view;
  v.phase = SlotPhase::kRetrying;
  v.retry = retry;
  v.retries = retries;
  v.percent = 0;
  BumpLocked();
}

void StationState::SetLabel(size_t slot, unsigned number, bool printed, std::string why) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  SlotSnapshot& v = slots_[slot].view;
  if (printed) {
    // A label of an earlier board printed late does not hide a later one's failure.
    if (v.label_failure.empty() || number < v.label_board) return;
    v.label_failure.clear();
  } else {
    if (number < v.label_board && !v.label_failure.empty()) {
      ++v.labels_failed;
      BumpLocked();
      return;
    }
    v.label_failure = why.empty() ? std::string("no reason given") : std::move(why);
    ++v.labels_failed;
  }
  v.label_board = number;
  BumpLocked();
}

void StationState::UnfileBoard(size_t slot, unsigned number, std::string failure) {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size() || ok_ == 0) return;
  --ok_;
  ++failed_;
  // Of the OK boards, those at their first attempt: never more than they.
  first_pass_ = std::min(first_pass_, ok_);
  // The tile changes only while it still shows that board.
  SlotSnapshot& v = slots_[slot].view;
  if (v.phase == SlotPhase::kOk && v.boards == number) {
    v.phase = SlotPhase::kFailed;
    v.last_ok = false;
    v.failure = std::move(failure);
  }
  BumpLocked();
}

void StationState::FinishBoard(size_t slot, bool ok, std::string failure, std::string log) {
  if (log.size() > kMaxLogBytes) log.erase(0, log.size() - kMaxLogBytes);
  const Clock::TimePoint now = clock_.Now();
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return;
  Slot& s = slots_[slot];
  s.view.phase = ok ? SlotPhase::kOk : SlotPhase::kFailed;
  s.view.percent = ok ? 100 : s.view.percent;
  s.view.failure = ok ? std::string() : std::move(failure);
  s.view.last_ok = ok;
  ++s.view.boards;
  s.logs.push_back(BoardLog{s.view.boards, ok, std::move(log)});
  while (s.logs.size() > kLogsPerSlot) s.logs.pop_front();
  ++(ok ? ok_ : failed_);
  if (ok && s.view.retry == 0) ++first_pass_;
  s.view.retry = s.view.retries = 0;
  finished_.push_back(now);
  PruneLocked(now);
  BumpLocked();
}

void StationState::PruneLocked(Clock::TimePoint now) const {
  while (!finished_.empty() &&
         (now - finished_.front() >= std::chrono::hours(1) || finished_.size() > kMaxFinishTimes))
    finished_.pop_front();
}

void StationState::SetScans(std::string mode, std::string next,
                            const std::vector<SlotScan>& slots) {
  std::lock_guard lock(mutex_);
  bool changed = scan_ != mode || scan_next_ != next;
  scan_ = std::move(mode);
  scan_next_ = std::move(next);
  for (size_t i = 0; i < slots.size() && i < slots_.size(); ++i) {
    changed = changed || !(slots_[i].view.scan == slots[i]);
    slots_[i].view.scan = slots[i];
  }
  if (changed) BumpLocked();
}

void StationState::SetRunState(RunState state) {
  std::lock_guard lock(mutex_);
  if (run_ == state) return;
  run_ = state;
  BumpLocked();
}

RunState StationState::Run() const {
  std::lock_guard lock(mutex_);
  return run_;
}

StationSnapshot StationState::Snapshot() const {
  const Clock::TimePoint now = clock_.Now();
  StationSnapshot s;
  std::lock_guard lock(mutex_);
  s.version = version_.load(std::memory_order_acquire);
  s.profile = profile_;
  s.station_version = station_version_;
  s.images = images_;
  s.job = job_;
  s.run = run_;
  s.scan = scan_;
  s.scan_next = scan_next_;
  s.ok = ok_;
  s.failed = failed_;
  s.first_pass = first_pass_;
  PruneLocked(now);
  s.last_hour = static_cast<unsigned>(finished_.size());
  s.uptime_s = std::chrono::duration<double>(now - start_).count();
  s.slots.reserve(slots_.size());
  for (const Slot& slot : slots_) s.slots.push_back(slot.view);
  return s;
}

std::vector<BoardLog> StationState::SlotLogs(size_t slot) const {
  std::lock_guard lock(mutex_);
  if (slot >= slots_.size()) return {};
  return {slots_[slot].logs.begin(), slots_[slot].logs.end()};
}

size_t StationState::SlotCount() const {
  std::lock_guard lock(mutex_);
  return slots_.size();
}

uint64_t StationState::WaitForChange(uint64_t seen, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return version_.load() != seen; });
  return version_.load();
}

namespace {

// Text from boards and files may be any bytes: invalid UTF-8 is replaced,
// never thrown over.
std::string Dump(const nlohmann::json& j) {
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::string SnapshotJson(const StationSnapshot& s) {
  nlohmann::json j;
  j["version"] = s.version;
  j["profile"] = s.profile;
  j["station_version"] = s.station_version;
  j["images"] = nlohmann::json::array();
  for (const ImageInfo& image : s.images)
    j["images"].push_back({{"file", image.file}, {"sha256", image.sha256}});
  j["job"] = nullptr;
  if (s.job) {
    j["job"] = {{"name", s.job->name},
                {"version", s.job->version},
                {"sha256", s.job->sha256},
                {"state", s.job->state}};
  }
  j["run"] = RunStateWord(s.run);
  j["ok"] = s.ok;
  j["failed"] = s.failed;
  const unsigned total = s.ok + s.failed;
  j["yield"] = total == 0 ? nlohmann::json(nullptr) : nlohmann::json(100.0 * s.ok / total);
  j["first_pass"] = s.first_pass;
  j["first_pass_yield"] =
      total == 0 ? nlohmann::json(nullptr) : nlohmann::json(100.0 * s.first_pass / total);
  j["last_hour"] = s.last_hour;
  j["uptime_s"] = static_cast<uint64_t>(s.uptime_s);
  j["slots"] = nlohmann::json::array();
  for (const SlotSnapshot& slot : s.slots) {
    nlohmann::json fields = nlohmann::json::array();
    for (const auto& [name, value] : slot.fields) fields.push_back({name, value});
    j["slots"].push_back({{"port", slot.port},
                          {"state", PhaseWord(slot.phase)},
                          {"percent", slot.percent},
                          {"fields", fields},
                          {"boards", slot.boards},
                          {"failure", slot.failure},
                          {"note", slot.note},
                          {"retry", slot.retry},
                          {"retries", slot.retries},
                          {"unit", slot.scan.unit},
                          {"label_failure", slot.label_failure},
                          {"label_board", slot.label_board},
                          {"scan", slot.scan.needs}});
  }
  j["scan"] = s.scan == "off" ? nlohmann::json(nullptr)
                              : nlohmann::json{{"mode", s.scan}, {"next", s.scan_next}};
  return Dump(j);
}

std::string SlotLogsJson(const std::string& port, const std::vector<BoardLog>& logs) {
  nlohmann::json j;
  j["port"] = port;
  j["boards"] = nlohmann::json::array();
  for (const BoardLog& b : logs)
    j["boards"].push_back({{"board", b.number}, {"ok", b.ok}, {"log", b.log}});
  return Dump(j);
}

}  // namespace quelmar::station
