// Stations and the line's page, through the database: each station keeps
// its row in the stations table up to date and announces each change with
// NOTIFY; the line's page reads the rows (and the boards) when told, and
// carries Pause, Resume and Stop to a station through its row and a NOTIFY
// on the station's own channel. Plain data here: no libpq type, no Boost.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quelmar::line {

struct SlotReport {
  std::string port;
  std::string state;  // "waiting", "identifying", "writing", "ok", "failed", "gone"
  int percent = 0;
  std::string failure;  // the last board's failure line, while the slot shows it
  // A board written again after the link failed: the retry under way
  // (1, 2, ...) of the retries allowed; 0 on a board's first pass.
  unsigned retry = 0, retries = 0;
  bool operator==(const SlotReport&) const = default;
};

struct ImageReport {
  std::string file;
  std::string sha256;
  bool operator==(const ImageReport&) const = default;
};

// The released job a station runs (`job run NAME`), as the line shows it.
struct JobReport {
  std::string name;    // 1 to 64 letters, digits, '_', '-' and '.'
  int version = 0;     // 1 or more
  std::string sha256;  // the bundle's, 64 lowercase hex digits
  // "running"; "made": its quantity is made, no new board starts;
  // "retired": its version is retired, no new board of it starts.
  std::string state;
  bool operator==(const JobReport&) const = default;
};

// A station's state as it reports it to the line.
struct StationReport {
  std::string host;
  std::string version;
  std::string profile_sha256;
  std::vector<ImageReport> images;
  std::string dashboard;        // the station's own page ("http://10.0.0.7:8080/"), or ""
  std::string run = "running";  // "running", "paused", "stopping", "stopped"
  uint64_t ok = 0;              // boards of this run
  uint64_t failed = 0;
  std::vector<SlotReport> slots;
  // The job it runs; none for a station of a profile. A job the database
  // would refuse is left out of the row rather than the row refused.
  std::optional<JobReport> job;
  bool operator==(const StationReport&) const = default;
};

enum class LineControl { kPause, kResume, kStop };
// "pause", "resume", "stop".
const char* ControlWord(LineControl control);
std::optional<LineControl> ControlOfWord(std::string_view word);

// Whether `name` can name a station on the line: 1 to 200 bytes of UTF-8
// without control characters. False with one line in *why.
bool CheckStationName(const std::string& name, std::string* why);

// The channel a station LISTENs on for its controls: "quelmar_control_"
// and the first 32 hex digits of the SHA-256 of its name, so that any name
// makes a channel of PostgreSQL's length.
std::string ControlChannel(const std::string& name);
// The channel every station's change is announced on; the payload is the
// station's name.
inline constexpr char kStationsChannel[] = "quelmar_stations";

struct ReporterTimes {
  std::chrono::milliseconds min_period{1000};  // at most one write of the row a second
  std::chrono::milliseconds heartbeat{2000};   // last_seen moved on while nothing changes
  std::chrono::milliseconds retry{2000};       // a new connection after one failed
  std::chrono::milliseconds look{50};          // how often controls are looked for
};

// Keeps a station's row in the line's database. Report() never waits: the
// newest state replaces one not yet written, and a thread of its own writes
// it (at most once per min_period), keeps last_seen moving, reconnects while
// the database is away, and hands the controls addressed to this station to
// on_control.
class StationReporter {
 public:
  // on_control and on_note run on the reporter's thread and must not
  // block. on_note gets one line when the database goes away or comes
  // back, or another station takes this one's name.
  StationReporter(std::string conninfo, std::string name,
                  std::function<void(LineControl)> on_control,
                  std::function<void(const std::string&)> on_note = {}, ReporterTimes times = {});
  // Stop() with a short limit.
  ~StationReporter();
  StationReporter(const StationReporter&) = delete;
  StationReporter& operator=(const StationReporter&) = delete;

  // Checks the connection string and the name and starts the thread; the
  // database is not waited for. False with one line in *why.
  bool Start(std::string* why);
  // The station's state now; any thread, never blocks.
  void Report(StationReport report);
  // Writes the newest state (report run "stopped" first) and ends the
  // thread, waiting at most `limit`. False when the state could not be
  // written in that time (the database away); the thread then ends by
  // itself. No control is handed on after Stop has begun.
  bool Stop(std::chrono::milliseconds limit = std::chrono::seconds(5));
  // Whether the last attempt to reach the database worked.
  bool Connected() const;

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;  // the thread's too: it may outlive a Stop that gave up
  bool started_ = false;
};

// A station as the line's page shows it.
struct LineStation {
  std::string name;
  std::string host;
  std::string version;
  std::string profile_sha256;
  std::vector<ImageReport> images;
  std::string dashboard;
  std::string run;       // as reported
  bool offline = false;  // not seen for the offline time (the database's clock), not stopped
  int64_t seen_s = 0;    // seconds since it was seen, while offline; else 0
  std::string started;   // ISO 8601 UTC
  std::vector<SlotReport> slots;
  uint64_t run_ok = 0, run_failed = 0;         // its run's, as it reported them
  uint64_t ok = 0, failed = 0, last_hour = 0;  // its boards of today and the last hour
  uint64_t first_pass = 0;  // of today's ok boards, those ok at their first attempt
  // The job it runs: a name of at most 64 bytes and one of the three
  // states; a row holding any other is read as none.
  std::optional<JobReport> job;
  bool operator==(const LineStation&) const = default;
};

struct LineFailure {
  std::string station;
  std::string port;
  uint64_t board = 0;
  std::string time;                                         // its end, ISO 8601 UTC
  std::vector<std::pair<std::string, std::string>> fields;  // name, value as written
  std::string failure;
  std::string unit;  // scanned from the board's label, or ""
  bool operator==(const LineFailure&) const = default;
};

struct LineView {
  uint64_t version = 0;
  std::string server;  // "user@host:port/db"
  bool connected = false;
  std::string problem;                // why not, one line
  std::vector<LineStation> stations;  // by name
  // The boards table's boards of today (since local midnight) and of the
  // last hour, every station's.
  uint64_t ok = 0, failed = 0, last_hour = 0;
  uint64_t first_pass = 0;  // today's boards ok at their first attempt
  // Records the database refused today (changed after their board, not
  // the board's values): a problem for a person to look at.
  uint64_t refused = 0;
  std::vector<LineFailure> failures;  // the latest first
  std::string notice;                 // the last control that could not be carried, one line
  bool SameAs(const LineView& other) const;
};

struct WatcherTimes {
  std::chrono::milliseconds throttle{500};  // at most one read of the tables per this
  std::chrono::seconds offline{10};
  std::chrono::milliseconds refresh{5000};  // a read at least this often
  std::chrono::milliseconds retry{2000};
  std::chrono::milliseconds look{50};
  size_t failures = 10;
};

// The line's page's side of the database: a thread of its own LISTENs for
// the stations' changes and reads the tables when told (several changes
// close together make one read), when a station's last-seen time runs out,
// and now and then; it reconnects by itself. Readers take snapshots.
class LineWatcher {
 public:
  explicit LineWatcher(std::string conninfo, WatcherTimes times = {},
                       std::function<void(const std::string&)> on_note = {});
  ~LineWatcher();
  LineWatcher(const LineWatcher&) = delete;
  LineWatcher& operator=(const LineWatcher&) = delete;

  // Checks the connection string and starts the thread. False with one line.
  bool Start(std::string* why);
  // Ends the thread, waiting for it at most a few seconds (it may be in
  // the middle of a connection attempt; it ends by itself after that).
  void Stop();

  uint64_t Version() const;
  LineView View() const;

  // A control for one station (or, with no name, for every station that
  // has not stopped), judged by the newest view and carried by the
  // thread: never waits on the database.
  enum class Sent { kQueued, kAway, kNoStation, kStopped, kNoneRunning };
  Sent Control(const std::optional<std::string>& station, LineControl control,
               std::vector<std::string>* stations);

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;
  bool started_ = false;
};

// Text as PostgreSQL takes it: invalid UTF-8 and NUL become U+FFFD.
std::string ValidText(std::string_view text);

}  // namespace quelmar::line
