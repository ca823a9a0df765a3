// Where a field's values come from: a counter or a list file, with the
// state (the next counter value, how far the list is used) in a file of its
// own. A value is handed out only after the new state is on disk, under a
// lock that other threads and processes on the same state file respect, so
// no value is handed out twice, crash or not.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "production/fields.h"

namespace quelmar::production {

class ValueSource {
 public:
  enum class Reserved { kOk, kUsedUp, kFailed };

  // Loads the list (a duplicate value or one that does not fit the field is
  // refused), and checks the state file: well formed, writable, its lock
  // free within the lock wait. False with *why naming the file.
  bool Open(const FieldDef& def, std::string* why);
  // How long Reserve and Open wait for a lock someone else holds.
  void SetLockWait(std::chrono::milliseconds wait) { lock_wait_ = wait; }

  // Takes the next value: under the lock, reads the state, writes the
  // advanced state (write, flush, rename) and only then returns the value.
  // kUsedUp with *why when the counter passed its end (or its format's
  // range) or the list is used up.
  Reserved Reserve(FieldValue* value, std::string* why);

  const FieldDef& def() const { return spec_; }

 private:
  // The state file's position: the next counter value or the count of list
  // lines used. False with *why when the file is corrupt.
  bool ReadState(uint64_t* position, bool* used_up, std::string* why) const;

  FieldDef spec_;
  std::vector<std::string> list_;
  std::chrono::milliseconds lock_wait_{3000};
  std::mutex mutex_;  // one reservation at a time in this process
};

}  // namespace quelmar::production
