// The line's database behind a production run's two seams: the fields'
// values from its pools, the records filed in it, and while it does not
// answer no new board, and each finished board's record in the spool
// until it does.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "line/line_db.h"
#include "line/spool.h"
#include "production/profile.h"
#include "production/record.h"
#include "production/seams.h"

namespace quelmar::line {

class Line final : public production::BoardValues, public production::RecordSink {
 public:
  Line() = default;
  // Ends the thread that files the spool.
  ~Line() override;
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Before any board: connects, checks the schema, that this station may
  // run under its name (registered for the role it logs in with, no
  // other station of the name seen) and each field against its pool,
  // opens the spool (settings.spool, else spool_folder; made when
  // missing, tried for writing) and files what it holds from an earlier
  // run. False with one line in *why, which names the server and never a
  // password. Notes() then holds what a person should look at.
  bool Open(const production::LineSettings& settings, const std::string& spool_folder,
            const std::vector<production::FieldDef>& fields, std::string* why);
  // Lines about the spool (records of another line, records set aside)
  // since the last call.
  std::vector<std::string> Notes();

  production::ValueSource::Reserved Reserve(const production::BoardTag& board,
                                            std::vector<production::FieldValue>* values,
                                            std::string* why) override;
  // The database asked afresh: "" when it answers (and the spool is filed
  // then), else the line why no new board may start.
  std::string Held() override;
  std::string TakeReworkOf(const std::string& id) override;
  // Seals the record with its board's key, puts it in the spool (durably)
  // and then files it, removing it from the spool once the database has
  // it. A filing the database refuses or delays leaves the record in the
  // spool, kept (*why then says so): only a record that can be kept
  // nowhere fails its board.
  bool Keep(const production::BoardRecord& record, std::string* why) override;
  // Seals the record and puts it in the spool's held/ folder, out of the
  // filing's way: should the station end before Keep, the next Open moves
  // it into the spool, which files it.
  bool Hold(const production::BoardRecord& record, std::string* why) override;

  // A run of a released job ([line] job): what a new board gets now, or
  // what the board `id` was reserved under (taken: asked once per board).
  std::shared_ptr<const production::Release> ReleaseFor(const std::string& id) override;
  // Called (on a board's thread) when the run changed over to a newer
  // release of its job, after the line's terminal note.
  void OnChangeOver(std::function<void(const production::Release&, const std::string& note)> f) {
    on_change_over_ = std::move(f);
  }

  // Called (on a board's thread) when a board of the job is refused
  // because the job has made its quantity ("made") or its version is
  // retired with no newer one to change to ("retired").
  void OnJobStops(std::function<void(const production::Release&, const char* state)> f) {
    on_job_stops_ = std::move(f);
  }

  const std::string& Server() const { return db_.Server(); }
  LineDb& db() { return db_; }

 private:
  // Files what the spool holds, once the database answers. Quiet: what it
  // cannot file stays for the next time.
  void FileSpool();

  // Fetches, checks and makes the release of the job's name (version:
  // none for the newest released one). False with one line.
  bool FetchRelease(std::optional<int> version, std::shared_ptr<const production::Release>* out,
                    std::vector<PoolField>* fields, std::string* why);
  // The current release is retired: takes the newest released version
  // when it is newer. False with *why when there is none to change to.
  bool ChangeOver(const std::shared_ptr<const production::Release>& from, std::string* why);

  // The record as the database takes it, sealed with its board's key
  // (taken from keys_ when take_key, else left there for Keep).
  FiledBoard Sealed(const production::BoardRecord& record, bool take_key);
  // Moves the held records of this station's earlier run into the spool
  // (those the spool has already are only removed). A line each in *notes.
  void FileHeld(std::vector<std::string>* notes);
  void Unhold(const std::string& id);

  LineDb db_;
  Spool spool_;
  std::mutex held_mutex_;
  Spool held_;  // the spool's held/TAG folder, opened by the first Hold
  bool held_open_ = false;
  // This object's part of held/: a folder and a lock of its own, told
  // from another run's (or another Line's in this process).
  std::string held_tag_ = production::NewHolderTag();
  production::FileLock held_lock_;  // held/TAG.lock, while this run holds records
  std::set<std::string> held_ids_;
  std::string station_;
  std::string identity_;  // the database's, as the spool keeps it
  std::string job_name_;  // [line] job, without its version
  bool pinned_ = false;   // [line] job names a version
  std::mutex release_mutex_;
  std::shared_ptr<const production::Release> release_;  // new boards get it
  std::vector<PoolField> fields_;                       // its fields, with their pools
  std::map<std::string, std::shared_ptr<const production::Release>> board_releases_;
  std::function<void(const production::Release&, const std::string&)> on_change_over_;
  std::function<void(const production::Release&, const char*)> on_job_stops_;
  std::mutex spool_mutex_;            // one filing of the spool at a time
  std::atomic<bool> spooled_{false};  // the spool may hold records
  std::mutex keys_mutex_;
  std::map<std::string, std::string> keys_;       // board id -> its seal key, in memory only
  std::map<std::string, std::string> rework_of_;  // board id -> the board it reworks
  std::mutex notes_mutex_;
  std::vector<std::string> notes_;
  // While the spool holds records, a thread of its own tries to file them
  // every few seconds: a record spooled mid-run goes in as soon as the
  // database takes it, whether or not another board comes.
  std::mutex retry_mutex_;
  std::condition_variable retry_wake_;
  bool retry_stop_ = false;
  std::thread retry_;
};

}  // namespace quelmar::line
