#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "common/error_text.h"
#include "production/durable_file.h"

namespace quelmar::production {

namespace {

std::string Why(const std::string& what) {
  return what + ": " + ErrorText(errno);
}

bool WriteAll(int fd, const char* p, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string HostName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return "";
  return host;
}

std::string ProcessName() {
  const std::string host = HostName();
  return "process " + std::to_string(getpid()) + (host.empty() ? "" : " on " + host);
}

namespace {

// Whether fd is the file now at path (not one removed or replaced since).
bool IsFileAt(int fd, const std::string& path) {
  struct stat held {};
  struct stat there {};
  return fstat(fd, &held) == 0 && ::stat(path.c_str(), &there) == 0 &&
         held.st_dev == there.st_dev && held.st_ino == there.st_ino;
}

}  // namespace

bool FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait,
                       std::string* error) {
  Release();
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    // Never through a link: the holder empties and writes the lock file,
    // which must not reach a file of someone else's, nor make one.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      struct stat st {};
      if (errno == ELOOP && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        *error =
            "the lock file '" + path + "' is a link, which this program never makes: move it away";
        return false;
      }
      *error = Why("cannot open the lock file '" + path + "'");
      return false;
    }
    // flock belongs to the open file description: a second open in this
    // process is refused like another process.
    bool locked = false;
    for (;;) {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        locked = true;
        break;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) {
        *error = Why("cannot lock '" + path + "'");
        ::close(fd);
        return false;
      }
      // Waiting on a file that is no longer there would end in a lock that
      // excludes no one who opens the path now.
      if (!IsFileAt(fd, path)) break;
      if (std::chrono::steady_clock::now() >= until) {
        char holder[200] = {};
        const ssize_t n = pread(fd, holder, sizeof holder - 1, 0);
        std::string who = n > 0 ? std::string(holder, static_cast<size_t>(n)) : std::string();
        *error = LockHeldText(path, who, wait);
        ::close(fd);
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (locked && IsFileAt(fd, path)) {
      // Who holds it, for whoever waits next; not needed for the lock itself.
      const std::string me = ProcessName() + "\n";
      if (ftruncate(fd, 0) == 0) (void)!pwrite(fd, me.data(), me.size(), 0);
      handle_ = fd;
      path_ = path;
      return true;
    }
    // The file was removed or replaced between the open and the lock: the
    // one at the path now is the lock.
    ::close(fd);
    if (std::chrono::steady_clock::now() >= until) {
      *error = "'" + path + "' is removed or replaced again and again: cannot lock it";
      return false;
    }
  }
}

bool FileLock::StillHeld(std::string* error) const {
  if (handle_ >= 0 && IsFileAt(static_cast<int>(handle_), path_)) return true;
  *error = "the lock file '" + path_ + "' was removed or replaced while this process held it";
  return false;
}

void FileLock::ReleaseAndRemove() {
  if (handle_ < 0) return;
  // The name goes while the lock is held: whoever opened it meanwhile
  // finds the file gone once it has the lock, and makes a new one.
  if (IsFileAt(static_cast<int>(handle_), path_)) ::unlink(path_.c_str());
  Release();
}

void FileLock::Release() {
  if (handle_ < 0) return;
  const int fd = static_cast<int>(handle_);
  if (ftruncate(fd, 0) != 0) {
    // Only the holder's name stays behind; the lock goes with the close.
  }
  ::close(fd);
  handle_ = -1;
}

bool FlushFolder(const std::string& folder, std::string* error) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    *error = Why("cannot flush the folder '" + folder + "'");
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  return true;
}

bool AppendFile::Open(const std::string& path, std::string* error) {
  Close();
  path_ = path;
  return OpenPath(error);
}

bool AppendFile::OpenPath(std::string* error) {
  bool created = true;
  int fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  }
  if (fd < 0) {
    *error = Why("cannot open '" + path_ + "' for writing");
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "'" + path_ + "' is not a regular file";
    ::close(fd);
    return false;
  }
  // A record in a file whose name a power cut takes with it is lost too.
  if (created) {
    const std::string folder = std::filesystem::path(path_).parent_path().string();
    if (!FlushFolder(folder.empty() ? "." : folder, error)) {
      ::close(fd);
      return false;
    }
  }
  handle_ = fd;
  return true;
}

bool AppendFile::StillAtPath() const {
  struct stat open {};
  struct stat named {};
  return fstat(static_cast<int>(handle_), &open) == 0 && ::stat(path_.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

bool AppendFile::Append(const std::string& text, std::string* error) {
  if (path_.empty()) {
    *error = "no records file is open";
    return false;
  }
  // Rotated, moved or deleted since the last append: the records go where
  // the path leads now.
  if (handle_ >= 0 && !StillAtPath()) CloseFile();
  if (handle_ < 0) {
    std::string why;
    if (!OpenPath(&why)) {
      *error = "'" + path_ + "' was moved or deleted and cannot be made again: " + why;
      return false;
    }
  }
  const int fd = static_cast<int>(handle_);
  // Every writer appends under this lock, so that the last byte read below
  // is still the last when the record goes in, and a cut-back takes only
  // this record's bytes.
  const auto until = std::chrono::steady_clock::now() + lock_wait_;
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      *error = Why("cannot lock '" + path_ + "'");
      return false;
    }
    if (std::chrono::steady_clock::now() >= until) {
      *error = LockHeldText(path_, "another process", lock_wait_);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  struct stat st {};
  char last = '\n';
  bool ok = fstat(fd, &st) == 0 && (st.st_size == 0 || pread(fd, &last, 1, st.st_size - 1) == 1);
  if (!ok) *error = Why("cannot read '" + path_ + "'");
  if (ok) {
    // A writer that died mid-append left a torn line: it stays, alone on its
    // line, for readers to skip.
    const std::string line = last == '\n' ? text : "\n" + text;
    // One write: O_APPEND puts it whole at the end, even beside a writer
    // that does not take the lock.
    if (!WriteAll(fd, line.data(), line.size())) {
      ok = false;
      *error = Why("cannot write '" + path_ + "'");
    } else if (fsync(fd) != 0) {
      ok = false;
      *error = Why("cannot flush '" + path_ + "'");
    }
    if (!ok && ftruncate(fd, st.st_size) != 0) *error += "; " + Why("and cannot cut it back");
  }
  flock(fd, LOCK_UN);
  return ok;
}

void AppendFile::CloseFile() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

void AppendFile::Close() {
  CloseFile();
  path_.clear();
}

}  // namespace quelmar::production
