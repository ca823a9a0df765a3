#include "line/line_seams.h"

#include <filesystem>
#include <set>
#include <utility>

#include "line/job_run.h"

namespace quelmar::line {

bool Line::Open(const production::LineSettings& settings, const std::string& spool_folder,
                const std::vector<production::FieldDef>& fields, std::string* why) {
  station_ = settings.station;
  fields_.clear();
  std::optional<int> version;
  if (!settings.job.empty()) {
    production::JobName name;
    if (!production::ParseJobName(settings.job, &name, why)) return false;
    job_name_ = name.name;
    pinned_ = name.version.has_value();
    version = name.version;
  }
  for (const production::FieldDef& f : fields) {
    if (f.pool.empty() && !f.from_scan) {
      *why = "field '" + f.name +
             "': a profile with [line] takes every value from the line's pools (pool = \"NAME\")";
      return false;
    }
    fields_.push_back({f, f.pool});
  }
  if (!spool_.Open(settings.spool.empty() ? spool_folder : settings.spool, why)) return false;
  if (!db_.Connect(settings.database, why) || !db_.CheckSchema(why) ||
      !db_.StartStation(station_, &identity_, why))
    return false;
  if (!job_name_.empty()) {
    std::shared_ptr<const production::Release> release;
    if (!FetchRelease(version, &release, &fields_, why)) return false;
    release_ = std::move(release);
  }
  if (!db_.CheckFields(fields_, why)) return false;
  // Records an earlier run could not file go in before any new board,
  // with those it held while their labels printed.
  size_t filed = 0;
  std::vector<std::string> notes;
  FileHeld(&notes);
  const LineDb::Filed result = spool_.FileAll(db_, identity_, &filed, &notes, why);
  {
    std::lock_guard lock(notes_mutex_);
    notes_.insert(notes_.end(), notes.begin(), notes.end());
  }
  if (result != LineDb::Filed::kOk) return false;
  retry_ = std::thread([this] {
    std::unique_lock lock(retry_mutex_);
    while (!retry_wake_.wait_for(lock, std::chrono::seconds(3), [this] { return retry_stop_; })) {
      lock.unlock();
      FileSpool();
      lock.lock();
    }
  });
  return true;
}

Line::~Line() {
  {
    std::lock_guard lock(retry_mutex_);
    retry_stop_ = true;
  }
  retry_wake_.notify_all();
  if (retry_.joinable()) retry_.join();
  std::lock_guard lock(held_mutex_);
  // A record still held is left, with its lock file, for the next start.
  if (held_open_ && held_ids_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(held_.folder(), ignored);
    held_lock_.ReleaseAndRemove();
  }
}

std::vector<std::string> Line::Notes() {
  std::lock_guard lock(notes_mutex_);
  return std::exchange(notes_, {});
}

bool Line::FetchRelease(std::optional<int> version, std::shared_ptr<const production::Release>* out,
                        std::vector<PoolField>* fields, std::string* why) {
  Job job;
  if (db_.FetchJob(job_name_, version, &job, why) != LineDb::Got::kOk) return false;
  if (job.summary.state != "released") {
    *why = "job " + JobLabel(job_name_, job.summary.version) +
           " is retired: no new board of it starts";
    return false;
  }
  if (!CheckJob(job, why)) return false;
  std::shared_ptr<production::Release> release;
  if (!MakeRelease(job, &release, fields, why)) return false;
  *out = std::move(release);
  return true;
}

bool Line::ChangeOver(const std::shared_ptr<const production::Release>& from, std::string* why) {
  std::shared_ptr<const production::Release> release;
  std::vector<PoolField> fields;
  std::string reason;
  if (!FetchRelease(std::nullopt, &release, &fields, &reason)) {
    // No released version at all is the retirement's line; a newer one
    // that does not check is said.
    if (reason.find("no released version") == std::string::npos) *why += "; " + reason;
    return false;
  }
  if (release->job.version <= from->job.version) return false;
  if (!db_.CheckFields(fields, &reason)) {
    *why += "; " + reason;
    return false;
  }
  const std::string note =
      "changed over to job " + JobLabel(release->job.name, release->job.version) + " (sha256 " +
      release->job.sha256 + "): job " + JobLabel(from->job.name, from->job.version) + " is retired";
  {
    std::lock_guard lock(release_mutex_);
    // Another board's thread may have changed over first.
    if (release_ != from) return true;
    release_ = release;
    fields_ = std::move(fields);
  }
  if (on_change_over_) on_change_over_(*release, note);
  return true;
}

std::shared_ptr<const production::Release> Line::ReleaseFor(const std::string& id) {
  std::lock_guard lock(release_mutex_);
  if (!id.empty()) {
    const auto at = board_releases_.find(id);
    if (at != board_releases_.end()) {
      auto release = std::move(at->second);
      board_releases_.erase(at);
      return release;
    }
  }
  return release_;
}

production::ValueSource::Reserved Line::Reserve(const production::BoardTag& board,
                                                std::vector<production::FieldValue>* values,
                                                std::string* why) {
  std::string key, rework_of;
  LineDb::Reserved reserved = LineDb::Reserved::kFailed;
  std::shared_ptr<const production::Release> release;
  // A retired version changes over once to the newest released one.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::vector<PoolField> fields;
    {
      std::lock_guard lock(release_mutex_);
      release = release_;
      fields = fields_;
    }
    BoardTag tag{board.id, station_, board.port};
    if (release) {
      tag.job = release->job.name;
      tag.job_version = release->job.version;
    }
    tag.unit = board.unit;
    tag.rework = board.rework;
    reserved = db_.Reserve(fields, tag, values, &key, why, &rework_of);
    if (reserved != LineDb::Reserved::kRetired || !release || pinned_ || !ChangeOver(release, why))
      break;
  }
  if (release && on_job_stops_ &&
      (reserved == LineDb::Reserved::kMade || reserved == LineDb::Reserved::kRetired))
    on_job_stops_(*release, reserved == LineDb::Reserved::kMade ? "made" : "retired");
  if (reserved == LineDb::Reserved::kOk) {
    {
      std::lock_guard lock(keys_mutex_);
      keys_[board.id] = std::move(key);
    }
    if (release) {
      std::lock_guard lock(release_mutex_);
      board_releases_[board.id] = release;
    }
    if (!rework_of.empty()) {
      std::lock_guard lock(keys_mutex_);
      rework_of_[board.id] = std::move(rework_of);
    }
  }
  switch (reserved) {
    case LineDb::Reserved::kOk:
      return production::ValueSource::Reserved::kOk;
    case LineDb::Reserved::kUsedUp:
    case LineDb::Reserved::kMade:
      return production::ValueSource::Reserved::kUsedUp;
    case LineDb::Reserved::kRetired:
      if (pinned_) return production::ValueSource::Reserved::kUsedUp;
      // A station on the job's newest version waits, its board untouched,
      // for a newer one to change over to.
      *why += " and no newer version is released";
      return production::ValueSource::Reserved::kAway;
    case LineDb::Reserved::kAway:
      return production::ValueSource::Reserved::kAway;
    case LineDb::Reserved::kFailed:
      break;
  }
  return production::ValueSource::Reserved::kFailed;
}

std::string Line::TakeReworkOf(const std::string& id) {
  std::lock_guard lock(keys_mutex_);
  const auto at = rework_of_.find(id);
  if (at == rework_of_.end()) return "";
  std::string of = std::move(at->second);
  rework_of_.erase(at);
  return of;
}

std::string Line::Held() {
  std::string why;
  if (!db_.Ping(&why)) return why;
  FileSpool();
  return "";
}

FiledBoard Line::Sealed(const production::BoardRecord& record, bool take_key) {
  std::string key;
  {
    std::lock_guard lock(keys_mutex_);
    const auto at = keys_.find(record.id);
    if (at != keys_.end()) {
      key = at->second;
      if (take_key) keys_.erase(at);
    }
  }
  FiledBoard board{record.id,
                   station_,
                   record.port,
                   record.board,
                   record.result,
                   production::IsoUtc(record.time_start),
                   production::IsoUtc(record.time_end),
                   WithoutNul(production::RecordJson(record)),
                   "",
                   identity_,
                   db_.Server()};
  if (key.empty()) {
    // A board that ended before its values (it did not answer, or was
    // stopped) takes a reservation of no values now, for the key that
    // seals its record. With the database away its record is spooled
    // unsealed: the database will not take it, and sets it aside.
    std::vector<production::FieldValue> none;
    std::string ignored;
    BoardTag late{board.id, station_, board.port};
    std::shared_ptr<const production::Release> release;
    {
      std::lock_guard lock(release_mutex_);
      const auto at = board_releases_.find(record.id);
      release = at != board_releases_.end() ? at->second : release_;
    }
    if (release && record.job) {
      late.job = record.job->name;
      late.job_version = record.job->version;
      late.count = false;
    }
    db_.Reserve({}, late, &none, &key, &ignored);
    if (!take_key && !key.empty()) {
      std::lock_guard lock(keys_mutex_);
      keys_[record.id] = key;
    }
  }
  if (!key.empty()) board.seal = SealRecord(key, board.record);
  return board;
}

bool Line::Hold(const production::BoardRecord& record, std::string* why) {
  namespace fs = std::filesystem;
  const FiledBoard board = Sealed(record, false);
  std::lock_guard lock(held_mutex_);
  std::string reason;
  if (!held_open_ || !held_lock_.StillHeld(&reason)) {
    // The lock before the folder: a run that finds the folder without its
    // lock takes it for an ended run's and files what it holds.
    const fs::path held = fs::path(spool_.folder()) / "held";
    std::error_code error;
    fs::create_directories(held, error);
    if (!held_lock_.Acquire((held / (held_tag_ + ".lock")).string(), std::chrono::milliseconds(0),
                            why) ||
        !held_.Open((held / held_tag_).string(), why))
      return false;
    held_open_ = true;
  }
  if (!held_.Put(board, why)) return false;
  held_ids_.insert(record.id);
  return true;
}

void Line::Unhold(const std::string& id) {
  std::lock_guard lock(held_mutex_);
  if (held_ids_.erase(id) == 0) return;
  std::string ignored;
  held_.Remove(id, &ignored);
}

void Line::FileHeld(std::vector<std::string>* notes) {
  namespace fs = std::filesystem;
  const fs::path held = fs::path(spool_.folder()) / "held";
  std::error_code error;
  if (!fs::is_directory(held, error)) return;
  // One folder per run, beside its lock: a run still going holds its lock,
  // and its records are its own.
  // A lock without its folder is a run's that ended between the two: it
  // is swept as the others.
  std::set<std::string> tags;
  for (fs::directory_iterator it(held, error), end; !error && it != end; it.increment(error)) {
    std::error_code type_error;
    const std::string name = it->path().filename().string();
    if (it->is_directory(type_error) && !it->is_symlink(type_error))
      tags.insert(name);
    else if (name.size() > 5 && name.compare(name.size() - 5, 5, ".lock") == 0)
      tags.insert(name.substr(0, name.size() - 5));
  }
  for (const std::string& tag : tags) {
    production::FileLock owner;
    std::string why;
    const fs::path lock_path = held / (tag + ".lock");
    if (!owner.Acquire(lock_path.string(), std::chrono::milliseconds(0), &why)) {
      // Held: that run still goes. Anything else (a link put there) would
      // keep its records out of the spool for good, unless said.
      if (!production::IsLockHeldText(why))
        notes->push_back(why + "; the records held beside it wait");
      continue;
    }
    const fs::path folder = held / tag;
    std::error_code folder_error;
    if (!fs::is_directory(fs::symlink_status(folder, folder_error))) {
      // No folder (a link or a file of that name is no run's): nothing held.
      if (fs::exists(fs::symlink_status(folder, folder_error)))
        owner.Release();
      else
        owner.ReleaseAndRemove();
      continue;
    }
    Spool run;
    std::vector<FiledBoard> boards;
    std::vector<std::string> unreadable;
    if (!run.Open(folder.string(), &why) || !run.Pending(&boards, &unreadable, &why)) {
      notes->push_back(why);
      continue;
    }
    for (const std::string& name : unreadable)
      notes->push_back("'" + name + "' in '" + folder.string() +
                       "' is not a record this program held: it is left where it is");
    for (const FiledBoard& board : boards) {
      // Another station's, sharing the folder: that one files its own.
      if (board.station != station_ || board.line != identity_) continue;
      const fs::path from = folder / (board.id + ".json");
      const fs::path to = fs::path(spool_.folder()) / (board.id + ".json");
      if (fs::exists(to, error)) {
        // The spool has the record Keep made after it: that one is filed.
        fs::remove(from, error);
        continue;
      }
      error.clear();
      fs::rename(from, to, error);
      if (error) {
        notes->push_back("cannot move the held record of board " + board.id +
                         " into the spool: " + error.message());
        continue;
      }
      notes->push_back("board " + std::to_string(board.board) + " (" + board.id +
                       ") was OK when the station ended while printing its label: its record "
                       "goes into the spool now, to be filed from there; the label may not have "
                       "printed (quelmar-cli label reprint sends it again)");
    }
    // Only an emptied folder goes (fs::remove leaves one that holds files).
    fs::remove(folder, error);
    owner.ReleaseAndRemove();
  }
}

bool Line::Keep(const production::BoardRecord& record, std::string* why) {
  const FiledBoard board = Sealed(record, true);
  // In the spool before the filing starts: a station killed before the
  // database's answer loses nothing, and the next filing of the same
  // record is a no-op.
  std::string spool_why;
  const bool spooled = spool_.Put(board, &spool_why);
  // The spool has it now (or nothing will): the held one goes.
  if (spooled) Unhold(board.id);
  std::string reason;
  const LineDb::Filed filed = db_.File(board, &reason);
  if (!spooled) Unhold(board.id);
  if (filed == LineDb::Filed::kOk) {
    std::string ignored;
    if (spooled && !spool_.Remove(board.id, &ignored)) spooled_ = true;
    FileSpool();
    return true;
  }
  if (!spooled) {
    *why = reason + "; " + spool_why;
    return false;
  }
  if (filed == LineDb::Filed::kRefused && reason.rfind(LineDb::kRefusedPrefix, 0) == 0) {
    std::string ignored;
    spool_.SetAside(board.id, reason, &ignored);
    *why = "the line's database " + db_.Server() + " " + reason + "; the record is kept in '" +
           spool_.folder() + "' (" + board.id + ".refused)";
    return true;
  }
  spooled_ = true;
  *why = reason + "; the record waits in '" + spool_.folder() + "' until it answers";
  return true;
}

void Line::FileSpool() {
  if (!spooled_.load()) return;
  std::lock_guard lock(spool_mutex_);
  size_t filed = 0;
  std::string why;
  std::vector<std::string> notes;
  const LineDb::Filed result = spool_.FileAll(db_, identity_, &filed, &notes, &why);
  bool waiting = false;
  for (const std::string& note : notes)
    waiting = waiting || note.find(" waits: ") != std::string::npos;
  if (result == LineDb::Filed::kOk && !waiting) spooled_ = false;
  std::lock_guard notes_lock(notes_mutex_);
  notes_.insert(notes_.end(), notes.begin(), notes.end());
}

}  // namespace quelmar::line
