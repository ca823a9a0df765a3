#include "station/station.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "common/utf8_path.h"
#include "production/sha256.h"
#include "station/ports.h"

namespace quelmar::station {
namespace {

constexpr auto kScanPeriod = std::chrono::seconds(1);

// A console that shows nothing: a station's slots speak through its state.
class QuietConsole final : public RunConsole {
 public:
  void LogText(size_t, int, std::string_view) override {}
  void EndLine(size_t) override {}
  void Note(size_t, std::string_view) override {}
  void Progress(size_t, const ProgressState&) override {}
  void EndProgress(size_t) override {}
  void Waiting(size_t) override {}
  void BoardDone(size_t, unsigned, bool) override {}
  void RunEnded(const RunSummary&) override {}
};

// One port's view for the station: its board's log, failure line and
// progress go into the slot; no board starts while paused or stopping.
class SlotObserver final : public BoardObserver {
 public:
  SlotObserver(StationState& state, size_t slot, const std::atomic<bool>& paused,
               const std::atomic<bool>& stop, ScanDesk* desk, std::function<void()> scans_moved)
      : state_(state),
        slot_(slot),
        paused_(paused),
        stop_(stop),
        desk_(desk),
        scans_moved_(std::move(scans_moved)) {}

  bool MayStart(size_t) override {
    return !paused_.load() && !stop_.load() && (desk_ == nullptr || desk_->MayStart(slot_));
  }
  std::string TakeUnit(size_t) override { return desk_ ? desk_->RunningUnit(slot_) : ""; }
  void Started(size_t, unsigned) override {
    if (desk_) {
      desk_->Start(slot_);
      scans_moved_();
    }
    {
      std::lock_guard lock(mutex_);
      log_.clear();
      errors_.clear();
      recording_ = true;
    }
    state_.SetPhase(slot_, SlotPhase::kIdentifying);
  }
  void LogText(size_t, int severity, std::string_view text) override {
    std::lock_guard lock(mutex_);
    if (!recording_) return;
    // Bounded: the state keeps the end of a log, so does this.
    if (log_.size() > 2 * StationState::kMaxLogBytes)
      log_.erase(0, log_.size() - StationState::kMaxLogBytes);
    log_.append(text);
    if (severity == kSeverityError) {
      if (errors_.size() > 4096) errors_.erase(0, errors_.size() - 1024);
      errors_.append(text);
    }
  }
  void Fields(size_t, std::vector<std::pair<std::string, std::string>> values) override {
    state_.SetFields(slot_, std::move(values));
  }
  void Progress(size_t, const ProgressState& s) override {
    {
      std::lock_guard lock(mutex_);
      if (!recording_) return;
    }
    const uint32_t maximum = s.maximum == 0 ? 1 : s.maximum;
    state_.SetProgress(slot_, static_cast<int>(uint64_t{s.position} * 100 / maximum));
  }
  void Held(size_t, const std::string& why) override { state_.SetNote(slot_, why); }
  void Retrying(size_t, unsigned attempt, unsigned attempts) override {
    {
      // The new attempt's errors are the ones its failure line comes from.
      std::lock_guard lock(mutex_);
      errors_.clear();
    }
    state_.SetRetry(slot_, attempt - 1, attempts - 1);
  }
  // From the board's label thread, whenever its printer answered.
  void Label(size_t, unsigned number, bool printed, const std::string& why) override {
    state_.SetLabel(slot_, number, printed, why);
  }
  void Unfiled(size_t, unsigned number, const std::string& why) override {
    state_.UnfileBoard(slot_, number, "cannot write the record: " + why);
  }
  void Refused(size_t, const std::string& why) override {
    std::lock_guard lock(mutex_);
    refused_ = why;
  }
  void Finished(size_t, unsigned, bool ok) override {
    std::string log, failure;
    {
      std::lock_guard lock(mutex_);
      recording_ = false;
      log.swap(log_);
      failure = !refused_.empty() ? std::exchange(refused_, {})
                                  : LastLine(errors_.empty() ? log : errors_);
    }
    state_.FinishBoard(slot_, ok, ok ? std::string() : failure, std::move(log));
    if (desk_) {
      desk_->Finish(slot_);
      scans_moved_();
    }
  }

 private:
  static std::string LastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return "FAILED";
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end + 1 - (start == std::string::npos ? 0 : start + 1));
  }

  StationState& state_;
  const size_t slot_;
  const std::atomic<bool>& paused_;
  const std::atomic<bool>& stop_;
  std::mutex mutex_;
  bool recording_ = false;
  std::string log_;
  std::string errors_;
  std::string refused_;  // why the board was refused before its first erase
  ScanDesk* const desk_;
  const std::function<void()> scans_moved_;
};

}  // namespace

void UseRelease(const production::Release& release, BoardJob* job) {
  job->code = release.code;
  job->data = release.data;
  job->reboot = release.reboot;
  job->retries = release.retries;
}

std::vector<ImageInfo> ReleaseImages(const production::Release& release) {
  std::vector<ImageInfo> infos;
  for (const auto* hash : {&release.code_hash, &release.data_hash}) {
    if (!*hash) continue;
    const std::string& file = (*hash)->file;
    infos.push_back({file.substr(file.find('/') + 1), (*hash)->sha256});
  }
  return infos;
}

std::string ReleaseLine(const production::Release& release) {
  std::string line = "Job " + release.job.name + "@" + std::to_string(release.job.version) +
                     " (sha256 " + release.job.sha256 + ") from the line's database:";
  const std::vector<ImageInfo> infos = ReleaseImages(release);
  for (size_t i = 0; i < infos.size(); ++i) {
    const bool code = i == 0 && release.code;
    line += std::string(i > 0 ? "," : "") + (code ? " code '" : " data '") + infos[i].file +
            "' (sha256 " + infos[i].sha256 + ")";
  }
  if (release.plan.size() > 0) line += ", " + std::to_string(release.plan.size()) + " field(s)";
  if (release.reboot) line += ", reboot";
  return line;
}

ScanSettings ScanSettingsOf(const std::optional<std::string>& scan,
                            const std::optional<std::string>& scan_pattern,
                            const production::Profile& station) {
  ScanSettings settings;
  settings.mode = ScanModeOf(scan.value_or("off"));
  settings.unit_pattern = scan_pattern.value_or("");
  settings.slot_pattern = station.slot_pattern.value_or("");
  return settings;
}

bool StationSetup::Check(const production::Profile& profile, std::string* why) {
  const bool released = profile.line && !profile.line->job.empty();
  const char* missing =
      profile.ports.empty() ? "no 'ports'"
      : !released && !profile.code && !profile.data && !profile.reboot.value_or(false)
          ? "nothing to do: give 'code', 'data' or 'reboot'"
          : nullptr;
  if (missing) {
    *why = profile.path + ": " + missing;
    return false;
  }
  // Every port is named before any file is read, and none twice.
  {
    auto ports = link::MakePlatformPortSystem();
    if (!CheckStationPorts(*ports, profile.ports, why)) {
      *why = profile.path + ": " + *why;
      return false;
    }
  }
  return true;
}

bool StationSetup::Prepare(const production::Profile& profile, const std::string& version,
                           std::string* why) {
  name = profile.name ? *profile.name : Utf8FromPath(PathFromUtf8(profile.path).stem());
  why->clear();
  if (profile.line && !profile.line->job.empty()) return PrepareJob(profile, version, why);
  // The hashes shown and recorded are of the bytes loaded, taken as they are read.
  images.SetFileDigest(&digest);
  if (profile.code && !images.LoadCodeImageFromPath(*profile.code)) return false;
  if (profile.code && !images.HasCodeImage()) {
    *why = *profile.code + ": both code banks are empty: nothing to write.";
    return false;
  }
  if (profile.data && !images.LoadDataImageFromPath(*profile.data)) return false;
  // A pinned file is the one the profile was made for, or no board is written.
  if (!production::CheckImagePin(images.CodeFile(), "code_sha256", profile.code_sha256, why) ||
      !production::CheckImagePin(images.DataFile(), "data_sha256", profile.data_sha256, why))
    return false;
  for (const auto* file : {&images.CodeFile(), &images.DataFile()}) {
    if (*file)
      infos.push_back({Utf8FromPath(PathFromUtf8((*file)->path).filename()), (*file)->digest});
  }
  // Every slot's boards are sessions of this one run.
  production::RunSettings settings;
  settings.fields = profile.fields;
  settings.records_path = profile.records;
  settings.code_path = profile.code;
  settings.data_path = profile.data;
  settings.profile = production::FileHash{profile.path, profile.sha256};
  settings.version = version;
  settings.label_template = profile.label_template;
  settings.label_printer = profile.label_printer;
  if (profile.label_timeout_ms)
    settings.label_timeout = std::chrono::milliseconds(*profile.label_timeout_ms);
  settings.rework = profile.rework.value_or(false);
  if (profile.line) {
    line = std::make_unique<line::Line>();
    if (!line->Open(*profile.line, line::SpoolFolderFor(profile.path), profile.fields, why))
      return false;
    settings.line_values = line.get();
    settings.line_records = line.get();
    settings.station = profile.line->station;
  }
  if (!production.Prepare(settings, images, why)) return false;
  scans = ScanSettingsOf(profile.scan, profile.scan_pattern, profile);
  job.code = profile.code.has_value();
  job.data = profile.data.has_value();
  job.reboot = profile.reboot.value_or(false);
  job.retries = profile.retries.value_or(0);
  job.auto_mode = true;
  job.production = &production;
  return true;
}

bool StationSetup::PrepareJob(const production::Profile& profile, const std::string& version,
                              std::string* why) {
  line = std::make_unique<line::Line>();
  if (!line->Open(*profile.line, line::SpoolFolderFor(profile.path), {}, why)) return false;
  const std::shared_ptr<const production::Release> release = line->ReleaseFor("");
  infos = ReleaseImages(*release);
  production::RunSettings settings;
  settings.fields = release->plan.defs();
  settings.records_path = profile.records;
  settings.profile = production::FileHash{profile.path, profile.sha256};
  settings.version = version;
  settings.rework = profile.rework.value_or(false);
  settings.line_values = line.get();
  settings.line_records = line.get();
  settings.station = profile.line->station;
  if (!production.Prepare(settings, release->images, why)) return false;
  UseRelease(*release, &job);
  scans = ScanSettingsOf(release->scan, release->scan_pattern, profile);
  job.auto_mode = true;
  job.production = &production;
  return true;
}

// A slot: one port and the runner that does --auto on it.
struct Station::Slot {
  size_t index = 0;
  std::string label;
  link::PortId id;
  std::unique_ptr<SlotObserver> observer;
  std::unique_ptr<BoardRunner> runner;
  std::thread thread;
};

Station::Station(StationState& state, BoardJob job, const image::ImageStore& images,
                 std::vector<std::string> ports, StationSeams seams)
    : state_(state),
      job_(std::move(job)),
      images_(images),
      entries_(std::move(ports)),
      seams_(std::move(seams)),
      ports_(seams_.make_ports()),
      quiet_(std::make_unique<QuietConsole>()) {
  job_.auto_mode = true;
}

Station::~Station() {
  StopSlots();
}

void Station::Pause() {
  paused_ = true;
  state_.SetRunState(stop_ ? RunState::kStopping : RunState::kPaused);
}

void Station::Resume() {
  paused_ = false;
  state_.SetRunState(stop_ ? RunState::kStopping : RunState::kRunning);
}

void Station::Stop() {
  stop_ = true;
  state_.SetRunState(RunState::kStopping);
}

bool Station::SlotPresent(size_t slot) {
  return slot < slots_.size() && slots_[slot]->runner->PortPresent(0);
}

void Station::Scan(StationView& view) {
  for (const std::string& name : ExpandPorts(*ports_, entries_)) {
    bool known = false;
    for (const auto& s : slots_) known = known || s->label == name;
    if (known) continue;
    const link::PortId id = PortOfName(*ports_, name);
    // A glob's port that is a slot's port under another name (a COM<n>
    // link to a device named too) would be written by two runners.
    const Slot* same = nullptr;
    for (const auto& s : slots_)
      if (same == nullptr && SamePort(s->id, id)) same = s.get();
    if (same != nullptr) {
      if (left_out_.insert(name).second)
        view.Note("'" + name + "' and '" + same->label + "' are the same port: '" + name +
                  "' gets no slot.");
      continue;
    }
    auto slot = std::make_unique<Slot>();
    slot->label = name;
    slot->id = id;
    slot->index = state_.AddSlot(name);
    if (desk_) desk_->AddSlot(name);
    slot->observer = std::make_unique<SlotObserver>(state_, slot->index, paused_, stop_,
                                                    desk_.get(), [this] { ShowScans(); });
    RunnerSeams seams{seams_.make_ports, seams_.clock, slot->observer.get()};
    slot->runner =
        std::make_unique<BoardRunner>(job_, images_, std::vector{slot->id}, *quiet_, seams);
    if (hooks_.slot_added) {
      for (UpdateFlags* f : slot->runner->Flags()) hooks_.slot_added(f);
    }
    Slot& s = *slot;
    s.thread = std::thread([&s, interrupted = hooks_.interrupted] { s.runner->Run(interrupted); });
    slots_.push_back(std::move(slot));
  }
  for (size_t i = 0; i < slots_.size(); ++i) {
    const bool present = SlotPresent(i);
    state_.MarkPresence(slots_[i]->index, present);
    if (!desk_) continue;
    const std::string dropped = desk_->SetPresent(slots_[i]->index, present);
    if (!dropped.empty())
      view.Note("scan \"" + dropped + "\" unbound: " + slots_[i]->label +
                " has gone; scan the board again once it is plugged in");
  }
  if (desk_) ShowScans();
}

void Station::UseScans(const ScanSettings& settings) {
  if (settings.mode == ScanMode::kOff || !slots_.empty()) return;
  desk_ = std::make_unique<ScanDesk>(settings);
  ShowScans();
}

ScanAnswer Station::OfferScan(const std::string& scan) {
  if (!desk_) return {false, "scan refused: the profile scans no units"};
  ScanAnswer answer = desk_->Offer(scan);
  ShowScans();
  return answer;
}

void Station::ShowScans() {
  if (!desk_) return;
  std::lock_guard lock(scans_shown_);
  state_.SetScans(ScanModeWord(desk_->Mode()), desk_->NextSlot(), desk_->Slots());
}

void Station::StopSlots() {
  for (const auto& s : slots_) s->runner->Stop();
  for (const auto& s : slots_)
    if (s->thread.joinable()) s->thread.join();
}

StationSnapshot Station::Run(StationView& view, StationHooks hooks) {
  hooks_ = std::move(hooks);
  if (!hooks_.interrupted) hooks_.interrupted = [] { return false; };
  uint64_t shown = 0;
  auto next_scan = std::chrono::steady_clock::now();
  while (!stop_.load()) {
    if (std::chrono::steady_clock::now() >= next_scan) {
      next_scan = std::chrono::steady_clock::now() + kScanPeriod;
      Scan(view);
    }
    if (state_.Version() != shown) {
      const auto snapshot = state_.Snapshot();
      shown = snapshot.version;
      view.Show(snapshot);
      // Ten redraws a second at most, however fast the boards move.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    state_.WaitForChange(shown, std::chrono::milliseconds(250));
  }
  state_.SetRunState(RunState::kStopping);
  StopSlots();
  state_.SetRunState(RunState::kStopped);
  const auto last = state_.Snapshot();
  view.Show(last);
  return last;
}

}  // namespace quelmar::station
