// The line's database behind a production run's two seams: the fields'
// values from its pools, the records filed in it, and while it does not
// answer no new board, and each finished board's record in the spool
// until it does.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "line/line_db.h"
#include "line/spool.h"
#include "production/profile.h"
#include "production/record.h"
#include "production/seams.h"

namespace quelmar::line {

class Line final : public production::BoardValues, public production::RecordSink {
 public:
  // Before any board: connects, checks the schema and each field against
  // its pool, opens the spool (spool_folder, made when missing) and files
  // what it holds from an earlier run. False with one line in *why, which
  // names the server and never a password.
  bool Open(const production::LineSettings& settings, const std::string& spool_folder,
            const std::vector<production::FieldDef>& fields, std::string* why);

  production::ValueSource::Reserved Reserve(const production::BoardTag& board,
                                            std::vector<production::FieldValue>* values,
                                            std::string* why) override;
  // The database asked afresh: "" when it answers (and the spool is filed
  // then), else the line why no new board may start.
  std::string Held() override;
  // Files the record; while the database does not answer, the record goes
  // to the spool (durably) and counts as kept. A record the database
  // refuses is spooled too, and fails its board.
  bool Keep(const production::BoardRecord& record, std::string* why) override;

  const std::string& Server() const { return db_.Server(); }
  LineDb& db() { return db_; }

 private:
  // Files what the spool holds, once the database answers. Quiet: what it
  // cannot file stays for the next time.
  void FileSpool();

  LineDb db_;
  Spool spool_;
  std::string station_;
  std::vector<PoolField> fields_;
  std::mutex spool_mutex_;            // one filing of the spool at a time
  std::atomic<bool> spooled_{false};  // the spool may hold records
};

}  // namespace quelmar::line
