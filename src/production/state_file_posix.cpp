#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/error_text.h"
#include "production/state_file.h"

namespace quelmar::production {

bool FindStateFile(const std::string& path, StateFile* file, std::string* why) {
  *file = StateFile{path, false, false};
  auto cannot = [&](int error) {
    *why = "cannot look at the state file '" + path + "': " + ErrorText(error);
    return false;
  };
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    return cannot(errno);
  }
  if (S_ISLNK(st.st_mode)) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
      const int error = errno;
      if (error != ENOENT) return cannot(error);
      char target[PATH_MAX] = {};
      const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
      *why = "the state file '" + path + "' is a link to '" +
             (n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string("?")) +
             "', which does not exist";
      return false;
    }
    file->path = real;
    std::free(real);
    if (::stat(file->path.c_str(), &st) != 0) return cannot(errno);
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "the state file '" + path + "' is not a regular file";
    return false;
  }
  file->exists = true;
  // By the permission bits: a superuser could write it anyway, but a
  // read-only state file is a sign that it should not change.
  file->read_only = (st.st_mode & S_IWUSR) == 0;
  return true;
}

}  // namespace quelmar::production
