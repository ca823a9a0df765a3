// Units in progress across the processes that share one records file: a
// byte-range lock per unit (the unit's 64-bit hash as the offset) on one
// lock file beside the records. The system drops a process's locks when it
// ends, however it ends, so a killed station holds no unit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace quelmar::production {

class UnitLocks {
 public:
  // Opens (creates) the lock file. Null with *why when it cannot.
  static std::unique_ptr<UnitLocks> Open(const std::string& path, std::string* why);
  virtual ~UnitLocks() = default;
  // Without waiting: false when another process holds the unit (or a
  // unit of the same hash). One process takes a unit once at a time.
  virtual bool TryLock(const std::string& unit) = 0;
  virtual void Unlock(const std::string& unit) = 0;

 protected:
  // Where a unit's byte lies in the lock file.
  static uint64_t Offset(const std::string& unit) {
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const unsigned char c : unit) hash = (hash ^ c) * 1099511628211ull;
    return hash & 0x3FFFFFFFFFFFFFFFull;
  }
};

}  // namespace quelmar::production
