#include "com_link.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace quelmar::sim {

namespace {

std::string ReadLink(const std::string& path) {
  char buffer[4096];
  ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return {};
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

bool CreateComLink(const std::string& folder, int number, const std::string& target, bool force,
                   std::string* link_path, std::string* error) {
  if (folder.empty()) {
    *error = "no folder for port links";
    return false;
  }
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    // The folder names devices for this user only.
    if (ec || chmod(folder.c_str(), 0700) != 0) {
      *error = "cannot create " + folder + ": " + (ec ? ec.message() : strerror(errno));
      return false;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    *error = folder + " is not a folder";
    return false;
  }

  std::string path = folder + "/COM" + std::to_string(number);
  struct stat lst;
  if (lstat(path.c_str(), &lst) == 0) {
    bool is_link = S_ISLNK(lst.st_mode);
    bool live = is_link && stat(path.c_str(), &st) == 0;
    if (!is_link && !force) {
      *error = path + " exists and is not a link (use --force to replace it)";
      return false;
    }
    if (live && !force) {
      *error = path + " already points at " + ReadLink(path) +
               ", which is present (use --force to replace it)";
      return false;
    }
  }
  // Build the link aside and rename it over the old one, so that the
  // number never points nowhere while being replaced.
  std::string temp = path + ".tmp" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(target.c_str(), temp.c_str()) != 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    *error = "cannot create " + path + ": " + strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  *link_path = path;
  return true;
}

void RemoveComLink(const std::string& link_path, const std::string& target) {
  if (link_path.empty()) return;
  if (ReadLink(link_path) == target) unlink(link_path.c_str());
}

}  // namespace quelmar::sim
