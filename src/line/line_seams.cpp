#include "line/line_seams.h"

namespace quelmar::line {

bool Line::Open(const production::LineSettings& settings, const std::string& spool_folder,
                const std::vector<production::FieldDef>& fields, std::string* why) {
  station_ = settings.station;
  fields_.clear();
  for (const production::FieldDef& f : fields) {
    if (f.pool.empty()) {
      *why = "field '" + f.name +
             "': a profile with [line] takes every value from the line's pools (pool = \"NAME\")";
      return false;
    }
    fields_.push_back({f, f.pool});
  }
  if (!spool_.Open(spool_folder, why)) return false;
  if (!db_.Connect(settings.database, why) || !db_.CheckSchema(why) ||
      !db_.CheckFields(fields_, why))
    return false;
  // Records an earlier run could not file go in before any new board.
  size_t filed = 0;
  if (spool_.FileAll(db_, &filed, why) != LineDb::Filed::kOk) return false;
  return true;
}

production::ValueSource::Reserved Line::Reserve(const production::BoardTag& board,
                                                std::vector<production::FieldValue>* values,
                                                std::string* why) {
  switch (db_.Reserve(fields_, {board.id, station_, board.port}, values, why)) {
    case LineDb::Reserved::kOk:
      return production::ValueSource::Reserved::kOk;
    case LineDb::Reserved::kUsedUp:
      return production::ValueSource::Reserved::kUsedUp;
    case LineDb::Reserved::kAway:
      return production::ValueSource::Reserved::kAway;
    case LineDb::Reserved::kFailed:
      break;
  }
  return production::ValueSource::Reserved::kFailed;
}

std::string Line::Held() {
  std::string why;
  if (!db_.Ping(&why)) return why;
  FileSpool();
  return "";
}

bool Line::Keep(const production::BoardRecord& record, std::string* why) {
  const FiledBoard board{record.id,
                         station_,
                         record.port,
                         record.board,
                         record.result,
                         production::IsoUtc(record.time_start),
                         production::IsoUtc(record.time_end),
                         production::RecordJson(record)};
  std::string reason;
  const LineDb::Filed filed = db_.File(board, &reason);
  if (filed == LineDb::Filed::kOk) {
    FileSpool();
    return true;
  }
  // Not in the database: kept in the spool until it is.
  std::string spool_why;
  if (!spool_.Put(board, &spool_why)) {
    *why = reason + "; " + spool_why;
    return false;
  }
  spooled_ = true;
  if (filed == LineDb::Filed::kAway) {
    *why = reason + "; the record waits in '" + spool_.folder() + "' until it answers";
    return true;
  }
  *why = reason + " (the record waits in '" + spool_.folder() + "')";
  return false;
}

void Line::FileSpool() {
  if (!spooled_.load()) return;
  std::lock_guard lock(spool_mutex_);
  size_t filed = 0;
  std::string why;
  if (spool_.FileAll(db_, &filed, &why) == LineDb::Filed::kOk) spooled_ = false;
}

}  // namespace quelmar::line
