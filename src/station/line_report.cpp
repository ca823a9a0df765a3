#include "station/line_report.h"

#include <utility>

namespace quelmar::station {
namespace {

// A snapshot at most this often: the row is written at most once a second
// however fast the slots change, so more would only cost the boards' CPU.
constexpr auto kLookPeriod = std::chrono::milliseconds(200);

}  // namespace

line::StationReport ReportOf(const StationSnapshot& s, const StationIdentity& identity) {
  line::StationReport r;
  r.host = identity.host;
  r.version = identity.version;
  r.profile_sha256 = identity.profile_sha256;
  r.dashboard = identity.dashboard;
  for (const ImageInfo& image : s.images) r.images.push_back({image.file, image.sha256});
  if (s.job) r.job = line::JobReport{s.job->name, s.job->version, s.job->sha256, s.job->state};
  r.run = RunStateWord(s.run);
  r.ok = s.ok;
  r.failed = s.failed;
  for (const SlotSnapshot& slot : s.slots) {
    // A board tried again is a writing slot with its retry beside it: the
    // slot states the line's functions take stay as they were.
    const bool retrying = slot.phase == SlotPhase::kRetrying;
    const bool writing = slot.phase == SlotPhase::kWriting || retrying;
    r.slots.push_back({slot.port, writing ? "writing" : PhaseWord(slot.phase),
                       writing ? slot.percent : 0,
                       slot.phase == SlotPhase::kFailed ? slot.failure : std::string(),
                       retrying ? slot.retry : 0u, retrying ? slot.retries : 0u});
  }
  return r;
}

LineReport::LineReport(StationState& state, std::string conninfo, std::string name,
                       StationIdentity identity, std::function<void(Control)> on_control,
                       std::function<void(const std::string&)> on_note, line::ReporterTimes times)
    : state_(state),
      identity_(std::move(identity)),
      reporter_(
          std::move(conninfo), std::move(name),
          [on_control = std::move(on_control)](line::LineControl c) {
            switch (c) {
              case line::LineControl::kPause:
                on_control(Control::kPause);
                break;
              case line::LineControl::kResume:
                on_control(Control::kResume);
                break;
              case line::LineControl::kStop:
                on_control(Control::kStop);
                break;
            }
          },
          std::move(on_note), times) {}

LineReport::~LineReport() {
  Stop(std::chrono::seconds(2));
}

bool LineReport::Start(std::string* why) {
  if (!reporter_.Start(why)) return false;
  started_ = true;
  thread_ = std::thread([this] { Follow(); });
  return true;
}

void LineReport::Follow() {
  uint64_t seen = 0;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
    }
    if (state_.Version() != seen) {
      const StationSnapshot snapshot = state_.Snapshot();
      seen = snapshot.version;
      reporter_.Report(ReportOf(snapshot, identity_));
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, kLookPeriod, [&] { return stop_; });
      continue;
    }
    state_.WaitForChange(seen, kLookPeriod);
  }
}

bool LineReport::Stop(std::chrono::milliseconds limit) {
  if (!started_) return true;
  started_ = false;
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // The state as the station ends, whatever the follower saw last.
  reporter_.Report(ReportOf(state_.Snapshot(), identity_));
  return reporter_.Stop(limit);
}

}  // namespace quelmar::station
