// Where a field's values come from: a counter or a list file, with the
// state (the next counter value, how far the list is used) in a file of its
// own. A value is handed out only after the new state is on disk, under a
// lock that other threads and processes on the same state file respect, so
// no value is handed out twice, crash or not.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "production/fields.h"
#include "production/value_list.h"

namespace quelmar::production {

struct SourceOptions {
  // How long Open and Reserve wait for a lock someone else holds.
  std::chrono::milliseconds lock_wait{3000};
  // The run's records file, or empty. A source without a state file whose
  // values the records already hold is refused: its state was lost (a
  // folder copied without it), and starting afresh would give them again.
  std::string records_path;
};

class ValueSource {
 public:
  // kAway: the line's database did not answer, so nothing was reserved
  // (never from a state file).
  enum class Reserved { kOk, kUsedUp, kFailed, kAway };

  // Loads the list (by ReadValueList's rules), finds the state file (a link
  // followed once), and checks the state under its lock: well formed,
  // writable, for this counter's block or this list's values as given so
  // far. False with *why naming the file.
  bool Open(const FieldDef& def, const SourceOptions& options, std::string* why);

  // Takes the next value: under the lock, reads and checks the state,
  // writes the advanced state (write, flush, rename) and only then returns
  // the value. kUsedUp with *why when the counter passed its end (or its
  // format's range, or a MAC its block) or the list is used up.
  Reserved Reserve(FieldValue* value, std::string* why);

  const FieldDef& def() const { return spec_; }
  // The state file acted on: a link's target.
  const std::string& state_file() const { return state_path_; }

  // For tests: called under the lock between reading the state and writing
  // the new one, where a process that hangs would stop.
  void SetPauseForTest(std::function<void()> pause) { pause_ = std::move(pause); }

 private:
  struct State {
    bool exists = false;
    bool used_up = false;    // a counter that cannot step again
    uint64_t position = 0;   // the next counter value, or the list values used
    bool has_range = false;  // a counter's state names its block
    uint64_t start = 0, step = 0;
    std::optional<uint64_t> end;
    std::optional<std::string> last, sha256;  // a list's last value given, hash of those used
  };
  bool ReadState(State* state, std::string* why) const;
  bool CheckState(const State& state, std::string* why);
  // The records file against the state: values of this field it holds that
  // the state has not given yet (a state missing, or put back from a copy).
  bool CheckRecords(const State& state, std::string* why) const;
  // How much of a records file's end is read when a state file is there.
  static constexpr size_t kRecentRecords = 4u << 20;
  std::string StateText(uint64_t next_position, bool used_up);
  // The hash over the list's first `used` values (see StateText).
  std::string UsedHash(size_t used);

  FieldDef spec_;
  SourceOptions options_;
  std::string state_path_;
  std::vector<ListValue> list_;
  size_t hashed_ = 0;  // UsedHash's last result covers the first hashed_ values
  std::string hash_;
  // The state's position when this process last read or wrote it: a state
  // that goes back, or goes away, during a run is refused.
  std::optional<uint64_t> seen_;
  std::function<void()> pause_;
  std::mutex mutex_;  // one reservation at a time in this process
};

}  // namespace quelmar::production
