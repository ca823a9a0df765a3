// What a station shows: one slot per port and a header with the totals.
// The flashing threads write it and never wait on whoever reads it: every
// change takes one short lock, copies a few small values and bumps a
// version counter. Readers (the dashboard server, the terminal view) take
// snapshots when the version has moved.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"

namespace quelmar::station {

// kRetrying: the board is identified and written again after the link
// spoiled an attempt (its percent is the step's, as while writing).
enum class SlotPhase { kWaiting, kIdentifying, kWriting, kOk, kFailed, kGone, kRetrying };
// The word the page and the terminal show for a phase.
const char* PhaseWord(SlotPhase phase);

enum class RunState { kRunning, kPaused, kStopping, kStopped };
const char* RunStateWord(RunState state);

// One finished board of a slot, kept for its log view.
struct BoardLog {
  unsigned number = 0;
  bool ok = false;
  std::string log;
};

// A slot's scan: the unit bound for its next board, else its running
// board's (as shown, "" for none), and whether it waits for its scan.
struct SlotScan {
  std::string unit;
  bool needs = false;  // scan = "required" and none bound: the tile says SCAN
  bool operator==(const SlotScan&) const = default;
};

struct SlotSnapshot {
  std::string port;
  SlotPhase phase = SlotPhase::kWaiting;
  int percent = 0;  // of the step running; meaningful while writing
  std::vector<std::pair<std::string, std::string>> fields;  // name, value as written
  unsigned boards = 0;                                      // finished on this slot
  std::string failure;                                      // the last board's failure line
  bool last_ok = false;  // the last board's result, whatever the slot shows now
  // Why no new board starts on the slot (the line's database does not
  // answer), or "".
  std::string note;
  // The board's retry under way (1, 2, ...) of the retries allowed; 0
  // while its first attempt runs.
  unsigned retry = 0, retries = 0;
  SlotScan scan;
  // The newest label that could not be printed: its board's number and
  // why ("" once a later board's label is printed). labels_failed counts
  // them all, so that a view tells a new one from the one it showed.
  std::string label_failure;
  unsigned label_board = 0;
  unsigned labels_failed = 0;
};

struct ImageInfo {
  std::string file;    // file name as given
  std::string sha256;  // lowercase hex, whole
};

// The released job the station runs, as its page and the line's show it.
struct JobShown {
  std::string name;
  int version = 0;
  std::string sha256;  // the bundle's, lowercase hex
  // "running"; "made" (its quantity made: no new board starts) or
  // "retired" (no new board of this version starts).
  std::string state = "running";
  bool operator==(const JobShown&) const = default;
};

struct StationSnapshot {
  uint64_t version = 0;
  std::string profile;
  std::string station_version;
  std::vector<ImageInfo> images;
  std::optional<JobShown> job;  // none: the station runs a profile of its own
  RunState run = RunState::kRunning;
  unsigned ok = 0;
  unsigned failed = 0;
  unsigned first_pass = 0;  // of the ok boards, those written at their first attempt
  unsigned last_hour = 0;  // boards finished within the last hour
  double uptime_s = 0;
  std::vector<SlotSnapshot> slots;
  // Scanning: "off", "optional" or "required", and the slot the next unit
  // scan binds to ("COM3 (slot 2)", or "").
  std::string scan = "off";
  std::string scan_next;
};

class StationState {
 public:
  // Logs kept per slot and the longest log kept per board: bounded, so a
  // station that runs for days holds no more than this.
  static constexpr size_t kLogsPerSlot = 5;
  static constexpr size_t kMaxLogBytes = 64 * 1024;
  // Finish times kept for the hourly rate (far beyond what serial
  // bootloaders reach in an hour, so the cap only bounds memory).
  static constexpr size_t kMaxFinishTimes = 20000;

  explicit StationState(Clock& clock = SystemClock());

  void SetHeader(std::string profile, std::string station_version, std::vector<ImageInfo> images);
  // The job the station runs now, or none; set at the start and at each
  // change-over, and as the job turns made or retired.
  void SetJob(std::optional<JobShown> job);
  // A new slot at the end; returns its index.
  size_t AddSlot(std::string port);
  // The slot of a port, or nullopt.
  std::optional<size_t> FindSlot(const std::string& port) const;

  void SetPhase(size_t slot, SlotPhase phase);
  // Whether the slot's port is there: an absent one shows GONE unless a
  // board is being identified or written on it; a present one that showed
  // GONE waits again. OK and FAILED stay while the port is there.
  void MarkPresence(size_t slot, bool present);
  // Writing at this percentage (0..100). Only a changed whole percent counts.
  void SetProgress(size_t slot, int percent);
  void SetFields(size_t slot, std::vector<std::pair<std::string, std::string>> fields);
  // Why no new board starts on the slot, in one line; "" once one may.
  void SetNote(size_t slot, std::string note);
  // The slot's board is tried again: retry `retry` of `retries`. Its slot
  // shows RETRY until it ends, and an ok end no longer counts as first pass.
  void SetRetry(size_t slot, unsigned retry, unsigned retries);
  // Board `number`'s label was printed, or not for the reason why. It may
  // come after the slot's next board started: the tile keeps saying LABEL
  // NOT PRINTED until a later board's label is printed.
  void SetLabel(size_t slot, unsigned number, bool printed, std::string why);
  // OK board `number`'s record was lost after its label: the totals count
  // it failed, and the slot says so (failure) while it shows that board.
  void UnfileBoard(size_t slot, unsigned number, std::string failure);
  // A board ended: the slot turns OK or FAILED, the totals and its log
  // list move. The log is cut to kMaxLogBytes (its end kept).
  void FinishBoard(size_t slot, bool ok, std::string failure, std::string log);
  // The scans as the desk holds them: its mode, the slot the next one
  // binds, each slot's (in the slots' order; extra ones are ignored).
  void SetScans(std::string mode, std::string next, const std::vector<SlotScan>& slots);
  void SetRunState(RunState state);
  RunState Run() const;

  uint64_t Version() const { return version_.load(std::memory_order_acquire); }
  StationSnapshot Snapshot() const;
  // The slot's last boards, oldest first; empty for an unknown slot.
  std::vector<BoardLog> SlotLogs(size_t slot) const;
  size_t SlotCount() const;

  // Waits until the version differs from `seen` or the time is up; returns
  // the version. For readers only: writers never wait.
  uint64_t WaitForChange(uint64_t seen, std::chrono::milliseconds limit) const;

 private:
  struct Slot {
    SlotSnapshot view;
    std::deque<BoardLog> logs;
  };
  void BumpLocked();
  void PruneLocked(Clock::TimePoint now) const;

  Clock& clock_;
  const Clock::TimePoint start_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::atomic<uint64_t> version_{1};
  std::string profile_;
  std::string station_version_;
  std::vector<ImageInfo> images_;
  std::optional<JobShown> job_;
  RunState run_ = RunState::kRunning;
  unsigned ok_ = 0;
  unsigned failed_ = 0;
  unsigned first_pass_ = 0;
  mutable std::deque<Clock::TimePoint> finished_;  // within the last hour
  std::string scan_ = "off";
  std::string scan_next_;
  std::deque<Slot> slots_;  // a deque: slots added later never move the others
};

// The snapshot as the page reads it (JSON text).
std::string SnapshotJson(const StationSnapshot& s);
// A slot's logs as the page reads them (JSON text).
std::string SlotLogsJson(const std::string& port, const std::vector<BoardLog>& logs);

}  // namespace quelmar::station
