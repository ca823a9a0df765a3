// COM numbering, name resolution and enumeration of the POSIX backend, over
// a fake sysfs/dev/lock tree in a temporary folder. The fake device nodes
// are links to real character devices (/dev/null and friends), so nothing
// here needs mknod and no test opens a device to enumerate it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "link/posix_port.h"

namespace quelmar::link {
namespace {

namespace fs = std::filesystem;

// Character devices every Linux system has; each has its own device number.
constexpr const char* kNull = "/dev/null";
constexpr const char* kZero = "/dev/zero";
constexpr const char* kFull = "/dev/full";
constexpr const char* kUrandom = "/dev/urandom";
constexpr const char* kRandom = "/dev/random";

// A pid above the kernel's limit (2^22): never a live process.
constexpr int kDeadPid = 99999999;

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string LocksLine(const char* device, int pid, bool waiter = false) {
  struct stat st {};
  EXPECT_EQ(::stat(device, &st), 0);
  char line[160];
  std::snprintf(line, sizeof line, "7: %sFLOCK  ADVISORY  WRITE %d %02x:%02x:%llu 0 EOF\n",
                waiter ? "-> " : "", pid, major(st.st_dev), minor(st.st_dev),
                static_cast<unsigned long long>(st.st_ino));
  return line;
}

class FakeTree : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* device : {kNull, kZero, kFull, kUrandom, kRandom}) {
      struct stat st {};
      if (::stat(device, &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << device << " missing";
    }
    char pattern[] = "/tmp/quelmar-posix-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    paths_.sysfs_tty = root_ + "/sys";
    paths_.dev = root_ + "/dev";
    paths_.lock_dir = root_ + "/lock";
    paths_.proc_locks = root_ + "/locks";
    paths_.link_dir = root_ + "/links";
    for (const std::string& dir : {paths_.sysfs_tty, paths_.dev, paths_.lock_dir}) {
      fs::create_directory(dir);
    }
    ASSERT_EQ(::mkdir(paths_.link_dir.c_str(), 0700), 0);
    WriteFile(paths_.proc_locks, "");
  }
  void TearDown() override {
    if (!root_.empty()) fs::remove_all(root_);
  }

  // A tty as the kernel shows it: a sysfs entry (with a device link unless
  // told otherwise, and a type file for ttyS) and a node in dev.
  void AddTty(const std::string& name, const char* node, bool device_link = true,
              const char* type = "4\n") {
    std::string entry = paths_.sysfs_tty + "/" + name;
    fs::create_directory(entry);
    if (device_link) fs::create_symlink("../../devices/platform/serial8250", entry + "/device");
    if (type != nullptr) WriteFile(entry + "/type", type);
    if (node != nullptr) fs::create_symlink(node, paths_.dev + "/" + name);
  }
  void AddLink(const std::string& name, const std::string& target) {
    fs::create_symlink(target, paths_.link_dir + "/" + name);
  }
  std::string Dev(const std::string& name) const { return paths_.dev + "/" + name; }

  std::vector<PortEntry> Enumerate() { return MakePosixPortSystem(paths_)->EnumeratePorts(); }

  std::string root_;
  PosixPaths paths_;
};

std::string Describe(const std::vector<PortEntry>& ports) {
  std::string text;
  for (const PortEntry& p : ports) {
    text += "COM" + std::to_string(p.number) + "=" + p.device + (p.busy ? " busy" : "") + "; ";
  }
  return text;
}

TEST(FixedNumbering, EdgesOfEachRange) {
  struct Case {
    int number;
    const char* name;
  };
  const Case cases[] = {
      {-1, ""},        {0, ""},          {1, "ttyS0"},    {16, "ttyS15"},
      {17, "ttyUSB0"}, {48, "ttyUSB31"}, {49, "ttyACM0"}, {80, "ttyACM31"},
      {81, ""},        {127, ""},        {128, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FixedDeviceName(c.number), c.name) << "COM" << c.number;
    if (*c.name != '\0') {
      EXPECT_EQ(FixedComNumber(c.name), c.number) << c.name;
    }
  }
}

TEST(FixedNumbering, RoundTripsAndNamesAreDistinct) {
  std::vector<std::string> seen;
  for (int n = 1; n <= 80; ++n) {
    std::string name = FixedDeviceName(n);
    ASSERT_FALSE(name.empty()) << n;
    EXPECT_EQ(FixedComNumber(name), n) << name;
    for (const std::string& other : seen) EXPECT_NE(other, name);
    seen.push_back(name);
  }
}

TEST(FixedNumbering, NamesOutsideTheTableHaveNoNumber) {
  for (const char* name : {"ttyS16", "ttyUSB32", "ttyACM32", "ttyS01", "ttyS", "ttyUSB", "ttyAMA0",
                           "/dev/ttyS0", "ttyS-1", "ttyUSB0x", "ttySAC0", "tty0", ""}) {
    EXPECT_EQ(FixedComNumber(name), 0) << name;
  }
}

TEST_F(FakeTree, EnumerationListsPresentPortsInOrder) {
  AddTty("ttyS0", kNull);
  AddTty("ttyS1", kZero, true, "0\n");  // phantom: no UART behind it
  AddTty("ttyS3", kZero, false);        // no device link: virtual
  AddTty("ttyACM31", kUrandom);         // COM80
  AddTty("ttyUSB0", kFull);             // COM17
  AddTty("ttyUSB1", nullptr);           // sysfs entry but no node
  AddTty("ttyUSB2", nullptr);
  WriteFile(Dev("ttyUSB2"), "not a device");  // node is a plain file
  AddTty("ttyUSB40", kZero);                  // beyond the table
  AddTty("ttyAMA0", kZero);                   // not in the table, no link
  AddLink("COM100", kRandom);
  AddLink("COM128", kZero);  // beyond COM127
  AddLink("COM0", kZero);
  AddLink("COM050", kZero);                    // not a link name
  AddLink("COM101", root_ + "/nowhere");       // dangling
  AddLink("COM102", paths_.proc_locks);        // not a device
  WriteFile(paths_.link_dir + "/COM103", "");  // a file, not a link

  auto ports = Enumerate();
  EXPECT_EQ(Describe(ports), "COM1=" + Dev("ttyS0") + "; COM17=" + Dev("ttyUSB0") +
                                 "; COM80=" + Dev("ttyACM31") + "; COM100=/dev/random; ");
}

TEST_F(FakeTree, EnumerationOfNothingIsEmpty) {
  EXPECT_TRUE(Enumerate().empty());
  paths_.sysfs_tty = root_ + "/missing";
  paths_.link_dir = root_ + "/missing";
  EXPECT_TRUE(Enumerate().empty());
}

TEST_F(FakeTree, LinkTakesPrecedenceAndDeviceIsListedOnce) {
  AddTty("ttyS0", kNull);
  AddTty("ttyUSB0", kFull);
  AddLink("COM1", kZero);   // COM1 now means /dev/zero
  AddLink("COM90", kFull);  // ttyUSB0's device: listed as COM90 only
  EXPECT_EQ(Describe(Enumerate()), "COM1=/dev/zero; COM90=/dev/full; ");
}

TEST_F(FakeTree, LinksInAFolderOthersCanWriteAreIgnored) {
  AddLink("COM100", kRandom);
  ASSERT_EQ(::chmod(paths_.link_dir.c_str(), 0777), 0);
  EXPECT_TRUE(Enumerate().empty());
  ASSERT_EQ(::chmod(paths_.link_dir.c_str(), 0700), 0);
  EXPECT_EQ(Enumerate().size(), 1u);
}

TEST_F(FakeTree, OnlyAFolderNoOneElseCanWriteIsTrusted) {
  AddLink("COM100", kRandom);
  // Anyone in the folder's group could point our numbers elsewhere as
  // surely as anyone at all; reading and searching it is harmless.
  const struct {
    mode_t mode;
    bool trusted;
  } cases[] = {{0777, false}, {0720, false}, {0770, false}, {0702, false},
               {0730, false}, {0700, true},  {0755, true},  {0750, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(::chmod(paths_.link_dir.c_str(), c.mode), 0);
    EXPECT_EQ(IsTrustedLinkDirectory(paths_.link_dir), c.trusted);
    EXPECT_EQ(Enumerate().size(), c.trusted ? 1u : 0u);
  }
  ASSERT_EQ(::chmod(paths_.link_dir.c_str(), 0700), 0);
}

TEST_F(FakeTree, BusyPortsStayListedAndAreMarked) {
  AddTty("ttyS0", kNull);       // flock in the locks table
  AddTty("ttyS1", kZero);       // only a waiter in the locks table
  AddTty("ttyUSB0", kFull);     // live ASCII LCK file
  AddTty("ttyACM0", kUrandom);  // dead LCK file
  AddLink("COM100", kRandom);   // live binary LCK file, under the target's name
  WriteFile(paths_.proc_locks, "1: POSIX  ADVISORY  READ 1 fd:00:12345 0 EOF\n" +
                                   LocksLine(kNull, 4242) + LocksLine(kZero, 4243, true));
  char ascii[16];
  std::snprintf(ascii, sizeof ascii, "%10d\n", static_cast<int>(::getpid()));
  WriteFile(paths_.lock_dir + "/LCK..ttyUSB0", ascii);
  std::snprintf(ascii, sizeof ascii, "%10d\n", kDeadPid);
  WriteFile(paths_.lock_dir + "/LCK..ttyACM0", ascii);
  int pid = ::getpid();
  WriteFile(paths_.lock_dir + "/LCK..random",
            std::string(reinterpret_cast<char*>(&pid), sizeof pid));

  EXPECT_EQ(Describe(Enumerate()),
            "COM1=" + Dev("ttyS0") + " busy; COM2=" + Dev("ttyS1") + "; COM17=" + Dev("ttyUSB0") +
                " busy; COM49=" + Dev("ttyACM0") + "; COM100=/dev/random busy; ");
}

TEST_F(FakeTree, LockFilesAndLocksTable) {
  struct Case {
    std::string content;
    bool live;
  };
  char mine[16];
  std::snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(::getpid()));
  const Case cases[] = {
      {mine, true},
      {"  " + std::to_string(::getpid()), true},
      {"1\n", true},  // init: kill() says EPERM or succeeds, it is alive either way
      {std::to_string(kDeadPid) + "\n", false},
      {"0\n", false},
      {"-5\n", false},
      {"", false},
      {"garbage!", false},
  };
  for (const Case& c : cases) {
    WriteFile(paths_.lock_dir + "/LCK..ttyUSB0", c.content);
    EXPECT_EQ(LiveLockFilePid(paths_.lock_dir, "LCK..ttyUSB0") != 0, c.live) << c.content;
  }
  EXPECT_EQ(LiveLockFilePid(paths_.lock_dir, "LCK..missing"), 0);

  EXPECT_EQ(LockFileName("/dev/ttyUSB0"), "LCK..ttyUSB0");
  EXPECT_EQ(LockFileName("/dev/pts/3"), "LCK..pts_3");
  EXPECT_EQ(LockFileName(Dev("ttyACM1"), paths_.dev), "LCK..ttyACM1");

  WriteFile(paths_.proc_locks, LocksLine(kZero, 77, true) + LocksLine(kNull, 4242));
  EXPECT_EQ(LockingPid(paths_.proc_locks, kNull), 4242);
  EXPECT_EQ(LockingPid(paths_.proc_locks, kZero), std::nullopt);  // waiter only
  EXPECT_EQ(LockingPid(paths_.proc_locks, kFull), std::nullopt);
}

TEST_F(FakeTree, ResolvePortForms) {
  AddTty("ttyS2", kNull);
  AddTty("ttyUSB0", kFull);
  AddLink("COM100", kRandom);
  auto ports = MakePosixPortSystem(paths_);
  struct Case {
    const char* text;
    int number;  // -1: names no port
    std::string device;
  };
  const Case cases[] = {
      {"COM3", 3, Dev("ttyS2")},
      {"com3", 3, Dev("ttyS2")},
      {"3", 3, Dev("ttyS2")},
      {" COM17\n", 17, Dev("ttyUSB0")},
      {"COM1", 1, Dev("ttyS0")},  // named even when absent: opening will say so
      {"127", 127, ""},
      {"COM100", 100, "/dev/random"},
      {"COM0", -1, ""},
      {"0", -1, ""},
      {"COM128", -1, ""},
      {"128", -1, ""},
      {"COM-3", -1, ""},
      {"+3", -1, ""},
      {"COM 3", -1, ""},
      {"COM3x", -1, ""},
      {"COM03", -1, ""},
      {"COM", -1, ""},
      {"", -1, ""},
      {"ttyUSB0", 17, Dev("ttyUSB0")},  // a bare name in the dev folder
      {"ttyUSB5", -1, ""},
      {"/dev/random", 100, "/dev/random"},  // the linked device itself
      {"/dev/zero", 0, "/dev/zero"},        // a device without a number
      {"/nonexistent/ttyUSB0", -1, ""},
  };
  for (const Case& c : cases) {
    auto id = ports->ResolvePort(c.text);
    if (c.number < 0) {
      EXPECT_FALSE(id.has_value()) << c.text;
      continue;
    }
    ASSERT_TRUE(id.has_value()) << c.text;
    EXPECT_EQ(id->number, c.number) << c.text;
    EXPECT_EQ(id->device, c.device) << c.text;
  }
  // Paths: a fixed-table node, a link in the folder, a plain file.
  auto by_path = ports->ResolvePort(Dev("ttyUSB0"));
  ASSERT_TRUE(by_path.has_value());
  EXPECT_EQ(by_path->number, 17);
  auto by_link = ports->ResolvePort(paths_.link_dir + "/COM100");
  ASSERT_TRUE(by_link.has_value());
  EXPECT_EQ(by_link->number, 100);
  EXPECT_FALSE(ports->ResolvePort(paths_.proc_locks).has_value());
}

TEST_F(FakeTree, ALinkTakesTheNumberFromTheFixedDevice) {
  AddTty("ttyUSB0", kFull);
  AddLink("COM17", kZero);
  auto ports = MakePosixPortSystem(paths_);
  auto id = ports->ResolvePort(Dev("ttyUSB0"));
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->number, 0);
  EXPECT_EQ(id->device, Dev("ttyUSB0"));
  id = ports->ResolvePort("COM17");
  ASSERT_TRUE(id.has_value());
  EXPECT_EQ(id->device, "/dev/zero");
}

TEST_F(FakeTree, OpenFailuresSayWhy) {
  AddTty("ttyUSB0", kFull);
  char ascii[16];
  std::snprintf(ascii, sizeof ascii, "%10d\n", static_cast<int>(::getpid()));
  WriteFile(paths_.lock_dir + "/LCK..ttyUSB0", ascii);
  auto ports = MakePosixPortSystem(paths_);

  OpenResult busy = ports->OpenPort(PortId{17, ""});
  EXPECT_EQ(busy.port, nullptr);
  EXPECT_EQ(busy.error, OpenError::kBusy);
  EXPECT_NE(busy.advice.find("COM17"), std::string::npos) << busy.advice;
  EXPECT_NE(busy.advice.find(std::to_string(::getpid())), std::string::npos) << busy.advice;

  OpenResult absent = ports->OpenPort(PortId{18, ""});
  EXPECT_EQ(absent.port, nullptr);
  EXPECT_EQ(absent.error, OpenError::kNotFound);

  OpenResult unlinked = ports->OpenPort(PortId{90, ""});
  EXPECT_EQ(unlinked.error, OpenError::kNotFound);
  EXPECT_NE(unlinked.advice.find(paths_.link_dir), std::string::npos) << unlinked.advice;

  EXPECT_EQ(ports->OpenPort(PortId{128, ""}).error, OpenError::kNotFound);
  EXPECT_EQ(ports->OpenPort(PortId{0, paths_.proc_locks}).error, OpenError::kNotFound);
  for (const OpenResult* r : {&busy, &absent, &unlinked}) {
    EXPECT_EQ(r->advice.find('\n'), std::string::npos);
  }
}

TEST_F(FakeTree, CreatePortLinkMakesAndReplacesLinks) {
  std::string dir = root_ + "/made";
  std::string error;
  ASSERT_TRUE(CreatePortLink(120, kZero, dir, &error)) << error;
  ASSERT_TRUE(CreatePortLink(120, kFull, dir, &error)) << error;  // repointed
  EXPECT_FALSE(CreatePortLink(128, kFull, dir, &error));
  EXPECT_FALSE(error.empty());
  paths_.link_dir = dir;
  EXPECT_EQ(Describe(Enumerate()), "COM120=/dev/full; ");
  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(PortLinkDirectory, FollowsTheEnvironment) {
  const char* saved_port = std::getenv("QUELMAR_PORT_DIR");
  const char* saved_xdg = std::getenv("XDG_RUNTIME_DIR");
  std::string port = saved_port ? saved_port : "";
  std::string xdg = saved_xdg ? saved_xdg : "";

  ::setenv("QUELMAR_PORT_DIR", "/x/ports", 1);
  ::setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
  EXPECT_EQ(PortLinkDirectory(), "/x/ports");
  ::unsetenv("QUELMAR_PORT_DIR");
  EXPECT_EQ(PortLinkDirectory(), "/run/user/7/quelmar");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(PortLinkDirectory(), "/tmp/quelmar-" + std::to_string(::getuid()));

  if (saved_port) ::setenv("QUELMAR_PORT_DIR", port.c_str(), 1);
  if (saved_xdg) ::setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
}

}  // namespace
}  // namespace quelmar::link
