// A production station: --auto on every port of a profile at once, one
// slot per port, ports joining and leaving, pause, resume and stop. Its
// StationState is what the dashboard page and a front end's view show; a
// front end (the CLI, a desktop view, the line's page) drives it and prints
// or draws, nothing more.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "common/flags.h"
#include "image/image_store.h"
#include "line/line_seams.h"
#include "link/serial_port.h"
#include "production/profile.h"
#include "production/run.h"
#include "production/sha256.h"
#include "station/board_runner.h"
#include "station/scans.h"
#include "station/station_state.h"

namespace quelmar::station {

// Everything a station needs before its first board, made from its
// profile and checked before any board is touched: the ports (none
// twice), the images, their hashes for the header, the fields with their
// state files, the records file.
class StationSetup {
 public:
  // The images' loads log through log.
  explicit StationSetup(Log& log) : images(log) {}
  StationSetup(const StationSetup&) = delete;
  StationSetup& operator=(const StationSetup&) = delete;

  // What the profile itself must say: ports, something to do, no port
  // twice. Opens nothing, reads no file. False with one line in *why.
  static bool Check(const production::Profile& profile, std::string* why);
  // The images, fields, state files and records file of a checked
  // profile, or with [line] the line's database and its spool beside the
  // profile. False with one line in *why; *why stays empty when the line
  // went to the log already (an image that does not load). version goes
  // into the records.
  bool Prepare(const production::Profile& profile, const std::string& version, std::string* why);

  // A profile with [line] job: the job's release from the line.
  bool PrepareJob(const production::Profile& profile, const std::string& version, std::string* why);

  std::string name;                     // the profile's name, else its file's
  production::Sha256FileDigest digest;  // set before `images` so it outlives their loads
  image::ImageStore images;
  std::vector<ImageInfo> infos;
  std::unique_ptr<line::Line> line;  // a profile with [line]
  production::ProductionRun production;
  BoardJob job;  // every board's steps, a session of `production` each
  // The units scanned per board: the profile's, or its job's, with the
  // station's slot_pattern.
  ScanSettings scans;
};

// A profile's scan keys as a desk takes them (the job's scan and
// scan_pattern when it runs one).
ScanSettings ScanSettingsOf(const std::optional<std::string>& scan,
                            const std::optional<std::string>& scan_pattern,
                            const production::Profile& station);

// A released job's steps in the boards' job.
void UseRelease(const production::Release& release, BoardJob* job);
// "Job widget@2 (sha256 ...) from the line's database: code 'app.elf'
// (sha256 ...), data 'cal.fdata' (sha256 ...)": what a station runs.
std::string ReleaseLine(const production::Release& release);
// The images of a release as the station's header shows them.
std::vector<ImageInfo> ReleaseImages(const production::Release& release);

// What a front end shows of a station besides its page.
class StationView {
 public:
  virtual ~StationView() = default;
  // The state after it changed: at most ten times a second while the
  // station runs, and once more when it has stopped.
  virtual void Show(const StationSnapshot& snapshot) = 0;
  // A line for the operator about the ports (without line end).
  virtual void Note(const std::string& line) = 0;
};

// The outside world of a station: how ports are opened and how its
// runners' time passes.
struct StationSeams {
  std::function<std::unique_ptr<link::PortSystem>()> make_ports = link::MakePlatformPortSystem;
  Clock* clock = &SystemClock();
};

// What the station asks of whoever runs it.
struct StationHooks {
  // Whether the user asked to stop at once: no further step starts.
  std::function<bool()> interrupted = [] { return false; };
  // A new slot's flags, for whatever stops running boards (Ctrl-C).
  std::function<void(UpdateFlags*)> slot_added;
};

class Station {
 public:
  // ports: the profile's entries (names, device paths, globs). job: what
  // every board gets (auto_mode is set here).
  Station(StationState& state, BoardJob job, const image::ImageStore& images,
          std::vector<std::string> ports, StationSeams seams = {});
  // Stops the slots that still run and waits for them.
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // The dashboard's controls and Ctrl-C; any thread. Pause: the boards
  // being written finish, no new one starts. Stop: the same, then Run ends.
  void Pause();
  void Resume();
  void Stop();
  bool Stopping() const { return stop_.load(); }

  // Scans bind units to the slots (before the first Scan). Mode off: none.
  void UseScans(const ScanSettings& settings);
  // The station's scans, or null when its profile scans none.
  ScanDesk* Scans() { return desk_.get(); }
  // A scan from the page, the terminal or the scanner; any thread.
  ScanAnswer OfferScan(const std::string& scan);

  // Looks at the ports once: a new port of a glob joins as a slot (one that
  // is a slot's port under another name is left out, said once), and each
  // slot shows whether its port is there, as the port backend tells it.
  // Run does this every second.
  void Scan(StationView& view);
  // Whether slot i's port is there now, as its runner's port backend
  // tells it.
  bool SlotPresent(size_t slot);
  size_t SlotCount() const { return slots_.size(); }

  // Scans every second and shows the state as it changes, until Stop;
  // then stops every slot at its next safe point, waits for them and shows
  // the last state, which it returns.
  StationSnapshot Run(StationView& view, StationHooks hooks = {});

 private:
  struct Slot;
  void StopSlots();
  // The desk's scans into the state the page shows.
  void ShowScans();

  StationState& state_;
  BoardJob job_;
  const image::ImageStore& images_;
  const std::vector<std::string> entries_;
  StationSeams seams_;
  StationHooks hooks_;
  std::unique_ptr<link::PortSystem> ports_;  // for names and globs; slots open their own
  std::unique_ptr<RunConsole> quiet_;        // the slots' runners print nothing
  std::vector<std::unique_ptr<Slot>> slots_;
  std::set<std::string> left_out_;  // names said to be a slot's port already
  std::atomic<bool> paused_{false};
  std::atomic<bool> stop_{false};
  std::unique_ptr<ScanDesk> desk_;
  std::mutex scans_shown_;  // one writer of the scans' view at a time
};

}  // namespace quelmar::station
