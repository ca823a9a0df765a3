// A production run as a front end drives it: checked once before any
// board is touched, then one BoardSession per board from identification to
// its record. The CLI uses it; the station uses it the same way.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/ui_sink.h"
#include "image/image_store.h"
#include "link/link.h"
#include "production/events.h"
#include "production/label.h"
#include "production/plan.h"
#include "production/record.h"
#include "production/release.h"
#include "production/units.h"

namespace quelmar::production {

// Whole lines of JSON to one stream, shared by the boards' threads; each
// line is flushed at once so that a reader follows the run as it goes.
class JsonLines {
 public:
  explicit JsonLines(std::FILE* out) : out_(out) {}
  void Emit(const std::string& line);

 private:
  std::mutex mutex_;
  std::FILE* out_;
};

struct RunSettings {
  std::vector<FieldDef> fields;
  std::optional<std::string> records_path;  // JSON Lines records go there
  std::optional<std::string> code_path;     // for the records: file and hash
  std::optional<std::string> data_path;
  std::optional<FileHash> profile;
  std::string version;
  std::FILE* json = nullptr;  // --json: events go there
  std::chrono::milliseconds lock_wait{3000};
  // The line's database (a profile with [line], made by src/line): every
  // field's values come from its pools, and every record is filed there
  // too. None: the fields' state files, and the records file alone.
  BoardValues* line_values = nullptr;
  RecordSink* line_records = nullptr;
  std::string station;  // the line's name for this station, in each record
  // [label]: each OK board's label, sent to the printer within the bound.
  std::optional<std::string> label_template;
  std::optional<std::string> label_printer;
  std::chrono::milliseconds label_timeout{10000};
  // A rework station: a unit written OK before is given its newest
  // record's values again rather than refused.
  bool rework = false;
};

class ProductionRun {
 public:
  // Everything that can refuse the run, before any board: the fields
  // against the images, their sources and state files, the records file
  // (opened for appending), the image files' hashes. False with one line
  // in *why.
  bool Prepare(RunSettings settings, const image::ImageStore& images, std::string* why);

  bool HasFields() const { return !plan_.empty(); }
  // A run of a released job (a [line] job = "..." profile): its release
  // as new boards get it now; null otherwise.
  std::shared_ptr<const Release> CurrentRelease() const;
  // Why no new board may start now, in one line naming what is missing
  // ("" when one may): the line's database does not answer. Asks afresh.
  std::string Held();
  // --json: the port's boards are held for that reason ("" once they may
  // start again).
  void EmitHeld(const std::string& port, const std::string& why);
  // The boards that ended ok / failed / stopped so far.
  unsigned Ok() const { return ok_.load(); }
  unsigned Failed() const { return failed_.load(); }
  unsigned Stopped() const { return stopped_.load(); }
  // --json's last line.
  void EmitSummary();
  // Lines from Prepare that a person should read: records held by a run
  // that ended before its labels were printed, appended now.
  const std::vector<std::string>& Notes() const { return notes_; }

 private:
  friend class BoardSession;
  RunSettings settings_;
  const image::ImageStore* images_ = nullptr;
  FieldPlan plan_;
  BoardValues* source_ = &plan_;
  std::optional<RecordsFile> records_;
  // Without the line: the records file's boards by unit.
  std::optional<UnitHistory> units_;
  std::vector<RecordSink*> sinks_;  // the records file, then the line's
  std::optional<JsonLines> json_;
  std::optional<FileHash> code_hash_, data_hash_;
  std::string host_;
  LabelTemplate label_;
  PrinterTarget printer_;
  std::atomic<unsigned> next_board_{1};
  std::atomic<unsigned> ok_{0}, failed_{0}, stopped_{0};
  std::vector<std::string> notes_;
};

// One board's part of the run. Steps in order: Identified, Reserve (before
// the first erase), the updates with Images() and Sent(), Finish.
class BoardSession {
 public:
  BoardSession(ProductionRun& run, std::string port, std::string device);
  BoardSession(const BoardSession&) = delete;
  BoardSession& operator=(const BoardSession&) = delete;
  ~BoardSession();

  // The unit scanned from the board's label, before Reserve: its earlier
  // boards decide its values (see UnitHistory), and its record names it.
  void SetUnit(std::string unit);

  unsigned Number() const { return record_.board; }
  // The values reserved for this board, as its record shows them (after
  // Reserve; empty before).
  std::vector<std::pair<std::string, std::string>> FieldTexts() const;
  // What identification found.
  void Identified(const link::Link& link);
  // One value of every field, reserved durably, and the board's own images
  // built. kUsedUp: a source is used up and the run should start no more
  // boards; *why has the line.
  ValueSource::Reserved Reserve(std::string* why);
  // The images this board is to receive: its own when it has fields.
  const image::ImageStore& Images() const;
  // A run of a released job: what this board is written with (its steps
  // too); null otherwise.
  const std::shared_ptr<const Release>& ReleaseOf() const { return release_; }
  update::SentBlocks* Sent() { return &sent_; }

  // The attempt that failed with this line when it ended is tried again:
  // both are kept in the record, and what the next attempt sends is hashed
  // afresh (the record's hashes are of what the last one sent).
  void Retry(std::string failure, std::chrono::system_clock::time_point ended);
  // A step ("identify", "code", "data", "reboot") starts (result null) or
  // ends ("ok", "failed", "stopped"). --json says so.
  void Step(const std::string& step, const char* result);
  // The board's progress; --json passes on at most five a second.
  void Progress(const ProgressState& state);

  // Ends the board: its record, with the result, the failure line (the
  // log's last line for a failed board when none is given) and the whole
  // log, appended to the records file and sent as --json's record. False
  // with *why when the record could not be written.
  bool Finish(const std::string& result, std::optional<std::string> failure, std::string log,
              std::string* why);
  // Finish in two: Close makes the record, File keeps it; between them an
  // OK board's label is printed (off the port's thread: it may take the
  // label's whole bound).
  void Close(const std::string& result, std::optional<std::string> failure, std::string log);
  bool File(std::string* why);
  // Whether the board gets a label when OK: its release's template, or
  // the run's own.
  bool WantsLabel() const;
  // Renders the closed OK board's label and sends it; its record keeps
  // what was sent and whether it was printed. False with *why when not.
  bool PrintLabel(std::string* why, const std::function<bool()>& cancelled = {});
  // After Finish: a line for the operator about where the record was kept
  // (the spool, while the line's database does not answer), or "".
  const std::string& Notice() const { return notice_; }

 private:
  ProductionRun& run_;
  BoardRecord record_;
  std::vector<FieldValue> values_;
  std::shared_ptr<const Release> release_;
  std::unique_ptr<BoardImages> images_;
  SentHashes sent_;
  std::string notice_;
  bool unit_begun_ = false;  // UnitHistory::Begin said yes, End not yet called
  std::string step_;
  ProgressThrottle throttle_;
  std::mutex progress_mutex_;
};

}  // namespace quelmar::production
