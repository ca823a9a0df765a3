// Port numbering, enumeration and busy detection of the POSIX backend. None
// of this opens a device: opening a tty raises DTR and RTS, which resets many
// boards, and the port monitor enumerates twice a second.
#include "common/error_text.h"
#include "link/posix_port.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "link/port_presence.h"

namespace quelmar::link {
namespace {

constexpr int kMaxComNumber = 127;

struct FixedRange {
  const char* prefix;
  int first_number;
  int count;
};
// Longest prefix first is not needed: a name continues with digits only.
constexpr FixedRange kFixedRanges[] = {
    {"ttyS", 1, 16},
    {"ttyUSB", 17, 32},
    {"ttyACM", 49, 32},
};

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A decimal number made of digits only, without sign or leading zero.
std::optional<int> ParseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  if (text.size() > 1 && text[0] == '0') return std::nullopt;
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The number of a link named exactly "COM<n>", n in 1..127.
std::optional<int> LinkNameNumber(std::string_view name) {
  if (name.substr(0, 3) != "COM") return std::nullopt;
  auto n = ParseDecimal(name.substr(3));
  if (!n || *n < 1 || *n > kMaxComNumber) return std::nullopt;
  return n;
}

bool StatCharDevice(const std::string& path, struct stat* st) {
  return ::stat(path.c_str(), st) == 0 && S_ISCHR(st->st_mode);
}

std::string CanonicalPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::string ReadSmallFile(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string data(limit, '\0');
  in.read(data.data(), static_cast<std::streamsize>(limit));
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
}

// A device a link in the links folder numbers.
struct LinkedDevice {
  std::string device;  // the link's target, resolved
  struct stat st {};
};

// Links COM<n> in the folder whose target is an existing character device.
std::map<int, LinkedDevice> ScanLinks(const std::string& link_dir) {
  std::map<int, LinkedDevice> links;
  if (link_dir.empty() || !IsTrustedLinkDirectory(link_dir)) return links;
  DIR* dir = ::opendir(link_dir.c_str());
  if (dir == nullptr) return links;
  while (const dirent* entry = ::readdir(dir)) {
    auto n = LinkNameNumber(entry->d_name);
    if (!n) continue;
    std::string path = JoinPath(link_dir, entry->d_name);
    struct stat lst {};
    if (::lstat(path.c_str(), &lst) != 0 || !S_ISLNK(lst.st_mode)) continue;
    LinkedDevice linked;
    if (!StatCharDevice(path, &linked.st)) continue;
    linked.device = CanonicalPath(path);
    links.emplace(*n, std::move(linked));
  }
  ::closedir(dir);
  return links;
}

// One held lock of the kernel's locks table.
struct HeldLock {
  unsigned major_number;
  unsigned minor_number;
  unsigned long long inode;
  int pid;
};

// Lines look like "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF": the file
// system's device as hex major:minor, then the inode in decimal. Lines with
// "->" are waiters, which hold nothing.
std::vector<HeldLock> ReadLocksTable(const std::string& proc_locks) {
  std::vector<HeldLock> held;
  std::ifstream in(proc_locks);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::vector<std::string> tokens;
    for (std::string word; words >> word;) tokens.push_back(word);
    if (tokens.size() < 6 || tokens[1] == "->") continue;
    for (size_t i = 1; i < tokens.size(); ++i) {
      const std::string& t = tokens[i];
      size_t first = t.find(':');
      size_t second = first == std::string::npos ? first : t.find(':', first + 1);
      if (second == std::string::npos) continue;
      HeldLock lock{};
      const char* begin = t.data();
      const char* end = t.data() + t.size();
      auto r1 = std::from_chars(begin, begin + first, lock.major_number, 16);
      auto r2 = std::from_chars(begin + first + 1, begin + second, lock.minor_number, 16);
      auto r3 = std::from_chars(begin + second + 1, end, lock.inode, 10);
      if (r1.ec != std::errc() || r1.ptr != begin + first || r2.ec != std::errc() ||
          r2.ptr != begin + second || r3.ec != std::errc() || r3.ptr != end) {
        continue;
      }
      int pid = -1;
      std::from_chars(tokens[i - 1].data(), tokens[i - 1].data() + tokens[i - 1].size(), pid);
      lock.pid = pid;
      held.push_back(lock);
      break;
    }
  }
  return held;
}

std::optional<int> FindLock(const std::vector<HeldLock>& held, const struct stat& st) {
  for (const HeldLock& lock : held) {
    if (lock.major_number == major(st.st_dev) && lock.minor_number == minor(st.st_dev) &&
        lock.inode == static_cast<unsigned long long>(st.st_ino)) {
      return lock.pid;
    }
  }
  return std::nullopt;
}

int LiveLockPidIn(const std::vector<std::string>& dirs, const std::string& lock_name) {
  for (const std::string& dir : dirs) {
    if (int pid = LiveLockFilePid(dir, lock_name)) return pid;
  }
  return 0;
}

class PosixPortSystem final : public PortSystem {
 public:
  explicit PosixPortSystem(PosixPaths paths) : paths_(std::move(paths)) {}

  std::vector<PortEntry> EnumeratePorts() override;
  OpenResult OpenPort(const PortId& id) override;
  std::optional<PortId> ResolvePort(std::string_view text) override;
  bool PortPresent(const PortId& id) override;

 private:
  // Read at each use, so a folder made after start-up counts.
  std::string LinkDir() const {
    return paths_.link_dir.empty() ? PortLinkDirectory() : paths_.link_dir;
  }
  std::string FixedPath(int number) const {
    std::string name = FixedDeviceName(number);
    return name.empty() ? std::string() : JoinPath(paths_.dev, name);
  }
  // A fixed-table device that is really there: a sysfs entry with a device
  // link (virtual consoles have none), not a ttyS without hardware (type 0),
  // and a character node.
  bool FixedPresent(const std::string& name, struct stat* st) const;
  // The number a device node has: its link's, else its fixed one (unless a
  // link has taken that number); 0 for none.
  int NumberOf(const std::string& path, const struct stat& st,
               const std::map<int, LinkedDevice>& links) const;

  PosixPaths paths_;
};

bool PosixPortSystem::FixedPresent(const std::string& name, struct stat* st) const {
  std::string entry = JoinPath(paths_.sysfs_tty, name);
  struct stat lst {};
  if (::lstat(JoinPath(entry, "device").c_str(), &lst) != 0) return false;
  if (name.rfind("ttyS", 0) == 0) {
    std::string type = ReadSmallFile(JoinPath(entry, "type"), 16);
    while (!type.empty() && std::isspace(static_cast<unsigned char>(type.back()))) type.pop_back();
    if (type == "0") return false;
  }
  return StatCharDevice(JoinPath(paths_.dev, name), st);
}

std::vector<PortEntry> PosixPortSystem::EnumeratePorts() {
  std::map<int, LinkedDevice> links = ScanLinks(LinkDir());
  std::set<dev_t> linked_devices;
  std::map<int, PortEntry> found;
  std::map<int, struct stat> nodes;
  for (const auto& [number, linked] : links) {
    found[number] = PortEntry{number, linked.device, false};
    nodes[number] = linked.st;
    linked_devices.insert(linked.st.st_rdev);
  }
  for (int number = 1; number <= kMaxComNumber; ++number) {
    std::string name = FixedDeviceName(number);
    if (name.empty() || found.count(number) != 0) continue;
    struct stat st {};
    if (!FixedPresent(name, &st)) continue;
    // A device a link has numbered is listed under that number only.
    if (linked_devices.count(st.st_rdev) != 0) continue;
    found[number] = PortEntry{number, JoinPath(paths_.dev, name), false};
    nodes[number] = st;
  }

  std::vector<HeldLock> held = ReadLocksTable(paths_.proc_locks);
  std::vector<std::string> lock_dirs = LockDirectories(paths_);
  std::vector<PortEntry> ports;
  for (auto& [number, entry] : found) {
    entry.busy = LiveLockPidIn(lock_dirs, LockFileName(entry.device, paths_.dev)) != 0 ||
                 FindLock(held, nodes[number]).has_value();
    ports.push_back(entry);
  }
  return ports;
}

int PosixPortSystem::NumberOf(const std::string& path, const struct stat& st,
                              const std::map<int, LinkedDevice>& links) const {
  for (const auto& [number, linked] : links) {
    if (linked.st.st_rdev == st.st_rdev) return number;
  }
  // By the name as given, then by the name it resolves to (by-id links).
  for (const std::string& name : {BaseName(path), BaseName(CanonicalPath(path))}) {
    int number = FixedComNumber(name);
    if (number == 0 || links.count(number) != 0) continue;
    struct stat fixed {};
    if (StatCharDevice(FixedPath(number), &fixed) && fixed.st_rdev == st.st_rdev) return number;
  }
  return 0;
}

std::optional<PortId> PosixPortSystem::ResolvePort(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  if (text.empty()) return std::nullopt;

  std::string_view digits = text;
  if (text.size() > 3 && (text[0] == 'c' || text[0] == 'C') && (text[1] == 'o' || text[1] == 'O') &&
      (text[2] == 'm' || text[2] == 'M')) {
    digits = text.substr(3);
  }
  if (!digits.empty() && std::isdigit(static_cast<unsigned char>(digits[0]))) {
    auto n = ParseDecimal(digits);
    if (n && *n >= 1 && *n <= kMaxComNumber) {
      std::map<int, LinkedDevice> links = ScanLinks(LinkDir());
      auto link = links.find(*n);
      return PortId{*n, link != links.end() ? link->second.device : FixedPath(*n)};
    }
    if (digits.size() != text.size() || text.find('/') == std::string_view::npos) {
      return std::nullopt;
    }
  }

  // A device path, or a bare name in the dev folder ("ttyUSB0").
  std::string path(text);
  if (path.find('/') == std::string::npos) path = JoinPath(paths_.dev, path);
  struct stat st {};
  if (!StatCharDevice(path, &st)) return std::nullopt;
  std::map<int, LinkedDevice> links = ScanLinks(LinkDir());
  int number = NumberOf(path, st, links);
  if (number == 0) return PortId{0, path};
  auto link = links.find(number);
  return PortId{number, link != links.end() ? link->second.device : FixedPath(number)};
}

bool PosixPortSystem::PortPresent(const PortId& id) {
  // A number is looked up afresh, as an open would: its link may point at
  // another device by now.
  if (id.number > 0) return PortListed(EnumeratePorts(), id);
  // Pseudo-terminals and by-id paths are not listed: their node tells.
  struct stat st {};
  return !id.device.empty() && StatCharDevice(id.device, &st);
}

OpenResult PosixPortSystem::OpenPort(const PortId& id) {
  if (id.number <= 0) {
    if (id.device.empty()) return OpenResult{nullptr, OpenError::kNotFound, {}};
    return OpenPosixDevice(id.device, id.device, paths_);
  }
  // The number decides, looked up afresh: a link may have been pointed at a
  // new device (the simulator restarted) since the list was made.
  std::string label = "COM" + std::to_string(id.number);
  if (id.number > kMaxComNumber) return OpenResult{nullptr, OpenError::kNotFound, {}};
  std::string link_dir = LinkDir();
  std::map<int, LinkedDevice> links = ScanLinks(link_dir);
  if (auto link = links.find(id.number); link != links.end()) {
    return OpenPosixDevice(link->second.device, label, paths_);
  }
  std::string path = FixedPath(id.number);
  if (path.empty()) {
    return OpenResult{nullptr, OpenError::kNotFound,
                      label + " has no device: make a link named " + label + " in " + link_dir +
                          " to the device it should open."};
  }
  return OpenPosixDevice(path, label, paths_);
}

}  // namespace

std::string PortLinkDirectory() {
  if (const char* dir = std::getenv("QUELMAR_PORT_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && *runtime != '\0') {
    return JoinPath(runtime, "quelmar");
  }
  return "/tmp/quelmar-" + std::to_string(::getuid());
}

std::string FixedDeviceName(int com_number) {
  for (const FixedRange& range : kFixedRanges) {
    int index = com_number - range.first_number;
    if (index >= 0 && index < range.count) return range.prefix + std::to_string(index);
  }
  return {};
}

int FixedComNumber(const std::string& device_name) {
  for (const FixedRange& range : kFixedRanges) {
    std::string_view name(device_name);
    std::string_view prefix(range.prefix);
    if (name.substr(0, prefix.size()) != prefix) continue;
    auto index = ParseDecimal(name.substr(prefix.size()));
    if (index && *index < range.count) return range.first_number + *index;
  }
  return 0;
}

std::unique_ptr<PortSystem> MakePosixPortSystem(PosixPaths paths) {
  return std::make_unique<PosixPortSystem>(std::move(paths));
}

bool IsTrustedLinkDirectory(const std::string& link_dir) {
  struct stat st {};
  if (::stat(link_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  if (st.st_uid != ::geteuid() && st.st_uid != 0) return false;
  return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool CreatePortLink(int com_number, const std::string& device, const std::string& link_dir,
                    std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (com_number < 1 || com_number > kMaxComNumber) {
    return fail("COM" + std::to_string(com_number) + " is outside COM1..COM127");
  }
  if (::mkdir(link_dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return fail("Cannot make " + link_dir + ": " + ErrorText(errno));
  }
  if (!IsTrustedLinkDirectory(link_dir)) {
    return fail(link_dir + " is not a folder of this user's that only this user can change");
  }
  // Made under a temporary name and renamed over the old link, so a reader
  // never sees the number missing.
  std::string name = "COM" + std::to_string(com_number);
  std::string final_path = JoinPath(link_dir, name);
  std::string temp_path = JoinPath(link_dir, "." + name + "." + std::to_string(::getpid()));
  ::unlink(temp_path.c_str());
  if (::symlink(device.c_str(), temp_path.c_str()) != 0) {
    return fail("Cannot make the link " + final_path + ": " + ErrorText(errno));
  }
  if (::rename(temp_path.c_str(), final_path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temp_path.c_str());
    return fail("Cannot make the link " + final_path + ": " + ErrorText(saved));
  }
  return true;
}

std::string LockFileName(const std::string& device_path, const std::string& dev_dir) {
  std::string relative;
  for (const std::string& dir : {dev_dir, std::string("/dev")}) {
    std::string prefix = dir.empty() || dir.back() == '/' ? dir : dir + "/";
    if (!prefix.empty() && device_path.rfind(prefix, 0) == 0) {
      relative = device_path.substr(prefix.size());
      break;
    }
  }
  if (relative.empty()) relative = BaseName(device_path);
  for (char& c : relative) {
    if (c == '/') c = '_';
  }
  return "LCK.." + relative;
}

std::vector<std::string> LockDirectories(const PosixPaths& paths) {
  std::vector<std::string> dirs{paths.lock_dir};
  if (paths.lock_dir == "/run/lock" && CanonicalPath("/var/lock") != CanonicalPath("/run/lock")) {
    dirs.push_back("/var/lock");
  }
  return dirs;
}

int LiveLockFilePid(const std::string& lock_dir, const std::string& lock_file_name) {
  std::string data = ReadSmallFile(JoinPath(lock_dir, lock_file_name), 64);
  if (data.empty()) return 0;
  bool text = true;
  for (char c : data) {
    if (!std::isdigit(static_cast<unsigned char>(c)) &&
        !std::isspace(static_cast<unsigned char>(c))) {
      text = false;
    }
  }
  // HDB style is the pid as ten padded ASCII characters; older programs
  // wrote the binary int.
  int pid = 0;
  if (text) {
    size_t first = data.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return 0;
    auto [end, ec] = std::from_chars(data.data() + first, data.data() + data.size(), pid);
    if (ec != std::errc()) return 0;
  } else if (data.size() == sizeof(int)) {
    std::memcpy(&pid, data.data(), sizeof(int));
  } else {
    return 0;
  }
  if (pid <= 0) return 0;
  if (::kill(pid, 0) == 0 || errno == EPERM) return pid;
  return 0;
}

std::optional<int> LockingPid(const std::string& proc_locks, const std::string& device_path) {
  struct stat st {};
  if (::stat(device_path.c_str(), &st) != 0) return std::nullopt;
  return FindLock(ReadLocksTable(proc_locks), st);
}

}  // namespace quelmar::link
