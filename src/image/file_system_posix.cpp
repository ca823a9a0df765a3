// Image files on POSIX systems: opening regular files only and replacing a
// file in one step.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/error_text.h"
#include "image/file_system.h"

namespace quelmar::image::detail {

namespace {

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + ErrorText(errno);
}

}  // namespace

std::FILE* OpenRegularFile(const std::string& path, int64_t* size) {
  std::FILE* file = nullptr;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ::close(fd);
    return nullptr;
  }
  file = fdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return nullptr;
  }
  *size = static_cast<int64_t>(st.st_size);
  return file;
}

bool ReplaceWithBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                      std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return fail("no file name in '" + path + "'");

  // The temporary file sits beside the target so that rename() is atomic.
  std::string temp = (slash == std::string::npos ? std::string() : folder) + "." + name + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return fail(ErrnoText(("cannot create a file in '" + folder + "'").c_str()));
  auto abandon = [&](const std::string& message) {
    close(fd);
    unlink(temp.c_str());
    return fail(message);
  };
  // mkstemp makes the file private: keep the permissions of the file being
  // replaced, or give a new one the usual rw-r--r--.
  struct stat existing {};
  const mode_t mode = stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  if (fchmod(fd, mode) != 0) return abandon(ErrnoText("cannot set file permissions"));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(ErrnoText(("cannot write '" + temp + "'").c_str()));
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) return abandon(ErrnoText(("cannot flush '" + temp + "'").c_str()));
  if (close(fd) != 0) {
    unlink(temp.c_str());
    return fail(ErrnoText(("cannot close '" + temp + "'").c_str()));
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const std::string message = ErrnoText(("cannot rename into '" + path + "'").c_str());
    unlink(temp.c_str());
    return fail(message);
  }
  // Make the rename itself durable: until the folder is on disk, a power
  // cut may bring back the old file. A file system that cannot flush a
  // folder at all (EINVAL) has nothing more to give.
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0)
    return fail(ErrnoText(("cannot open the folder '" + folder + "' to flush it").c_str()));
  if (fsync(dir) != 0 && errno != EINVAL) {
    const std::string message = ErrnoText(("cannot flush the folder '" + folder + "'").c_str());
    close(dir);
    return fail(message);
  }
  close(dir);
  return true;
}

}  // namespace quelmar::image::detail
