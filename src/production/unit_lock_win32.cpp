#include <windows.h>

#include "common/error_text.h"
#include "common/utf8_path.h"
#include "production/unit_lock.h"

namespace quelmar::production {

namespace {

class Win32UnitLocks final : public UnitLocks {
 public:
  explicit Win32UnitLocks(HANDLE file) : file_(file) {}
  ~Win32UnitLocks() override { CloseHandle(file_); }
  bool TryLock(const std::string& unit) override {
    OVERLAPPED at = Where(unit);
    return LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) !=
           0;
  }
  void Unlock(const std::string& unit) override {
    OVERLAPPED at = Where(unit);
    UnlockFileEx(file_, 0, 1, 0, &at);
  }

 private:
  static OVERLAPPED Where(const std::string& unit) {
    OVERLAPPED at{};
    const uint64_t offset = Offset(unit);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
  }
  HANDLE file_;
};

}  // namespace

std::unique_ptr<UnitLocks> UnitLocks::Open(const std::string& path, std::string* why) {
  HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *why = "cannot open the units' lock file '" + path + "': " + Win32ErrorText(GetLastError());
    return nullptr;
  }
  return std::make_unique<Win32UnitLocks>(file);
}

}  // namespace quelmar::production
