// The boards a station wrote before, by the unit scanned from each one's
// label: read from the records file when a run starts and kept up to date
// as boards end, so that a board flashed again is recognised. A unit
// written OK is refused on a production station; a rework station (or a
// unit whose every board failed) gives it its newest record's values
// again, drawing none.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "production/fields.h"

namespace quelmar::production {

struct BoardRecord;

// A unit's newest record, as a board given its values again needs it.
struct UnitRecord {
  std::string id;
  nlohmann::ordered_json fields;  // name -> value, as the record holds them
};

// The values a record holds for the fields, as their sources would hand
// them out. False with *why naming the field it lacks or cannot read.
bool RecordedValues(const std::vector<FieldDef>& defs, const nlohmann::ordered_json& fields,
                    std::vector<FieldValue>* values, std::string* why);

class UnitHistory {
 public:
  // Reads the records file; a missing one is empty. False with *why when
  // it cannot be read.
  bool Load(const std::string& records_path, std::string* why);
  // The same for records already read.
  void Add(const nlohmann::ordered_json& record);

  enum class Found { kNew, kAgain, kRefused };
  // A board of the unit starts on port. kNew: no earlier board, it takes
  // new values. kAgain: *again is the record whose values it takes.
  // kRefused: one line in *why. Unless refused, the unit is in progress
  // until End: a second board of it meanwhile is refused.
  Found Begin(const std::string& unit, bool rework, const std::string& port, UnitRecord* again,
              std::string* why);
  // The board of the unit ended; its record (null: none was kept) joins
  // the history.
  void End(const std::string& unit, const BoardRecord* record);

 private:
  struct Entry {
    std::string id, station, port, time;
    bool ok = false;
    nlohmann::ordered_json fields;
  };
  struct Holder {
    std::string unit;  // "" for a board without one
    std::string id;
  };
  void AddLocked(const std::string& unit, Entry entry);

  std::mutex mutex_;
  std::map<std::string, Entry> newest_;     // unit -> its newest record
  std::map<std::string, Entry> newest_ok_;  // unit -> its newest OK record
  // field name and value (as JSON) -> the newest record holding it
  std::map<std::pair<std::string, std::string>, Holder> holders_;
  std::map<std::string, std::string> in_progress_;  // unit -> port
};

}  // namespace quelmar::production
