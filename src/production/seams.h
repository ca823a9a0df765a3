// The two seams a production run's values and records go through. Behind
// them: the state files and the records file of one station, and beside
// them the line's database (src/line) that a line of stations shares. A
// run does not know which it has; a value is never given twice and a
// record never lost by either.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "production/fields.h"
#include "production/source.h"

namespace quelmar::production {

struct BoardRecord;
struct Release;

// Whom values are reserved for.
struct BoardTag {
  std::string id;  // the board's UUID, as its record carries it
  std::string port;
  // The unit scanned from the board's label ("" for none), and whether the
  // station reworks: a unit written OK before gets its values again there
  // and is refused elsewhere.
  std::string unit = {};
  bool rework = false;
};

// Where a run's field values come from.
class BoardValues {
 public:
  virtual ~BoardValues() = default;
  // One value of every field of the run, in the fields' order, each
  // reserved durably before this returns. Values reserved before a
  // failure are in *values and stay used.
  virtual ValueSource::Reserved Reserve(const BoardTag& board, std::vector<FieldValue>* values,
                                        std::string* why) = 0;
  // Why no new board may start now, in one line ("" when one may): values
  // could not be had (the line's database does not answer). Asks afresh
  // each time.
  virtual std::string Held() { return ""; }
  // A run of a released job: what the board `id` is written with, as its
  // values were reserved (after Reserve), or what a new board gets now
  // (an empty id). Null: the run's own images and fields.
  virtual std::shared_ptr<const Release> ReleaseFor(const std::string& id) {
    (void)id;
    return nullptr;
  }
  // After Reserve of a board with a unit: the id of the earlier record
  // whose values it was given again ("" when it got new ones). Taken:
  // asked once per board.
  virtual std::string TakeReworkOf(const std::string& id) {
    (void)id;
    return "";
  }
};

// Where a run's records go.
class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Keeps a finished board's record, durably, before returning. False with
  // *why when this sink lost it. True with a line in *why when it kept the
  // record elsewhere than it should (the line's spool, while the database
  // does not answer): the operator is told.
  virtual bool Keep(const BoardRecord& record, std::string* why) = 0;
  // Keeps the record as it stands where the next run finds it should this
  // process end before Keep (an OK board's record while its label is
  // printed). Keep then replaces it. False with *why.
  virtual bool Hold(const BoardRecord& record, std::string* why) {
    (void)record;
    (void)why;
    return true;
  }
};

}  // namespace quelmar::production
