#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "production/unit_lock.h"

namespace quelmar::production {

namespace {

// Open file description locks where there are: a thread's close of another
// descriptor of the file drops none of them.
#ifdef F_OFD_SETLK
constexpr int kSetLock = F_OFD_SETLK;
#else
constexpr int kSetLock = F_SETLK;
#endif

class PosixUnitLocks final : public UnitLocks {
 public:
  explicit PosixUnitLocks(int fd) : fd_(fd) {}
  ~PosixUnitLocks() override { ::close(fd_); }
  bool TryLock(const std::string& unit) override { return Set(unit, F_WRLCK); }
  void Unlock(const std::string& unit) override { Set(unit, F_UNLCK); }

 private:
  bool Set(const std::string& unit, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = static_cast<off_t>(Offset(unit));
    range.l_len = 1;
    int r;
    do r = ::fcntl(fd_, kSetLock, &range);
    while (r != 0 && errno == EINTR);
    return r == 0;
  }
  int fd_;
};

}  // namespace

std::unique_ptr<UnitLocks> UnitLocks::Open(const std::string& path, std::string* why) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    *why = "cannot open the units' lock file '" + path + "': " + std::strerror(errno);
    return nullptr;
  }
  return std::make_unique<PosixUnitLocks>(fd);
}

}  // namespace quelmar::production
