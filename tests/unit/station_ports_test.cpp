// The ports of a station: two names of one port are found (numbers, COM
// links and their devices, a glob and a link it matches, one server port by
// both protocols), and a station whose profile names one port twice is
// refused before anything is opened.
#include "station/ports.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/net_port.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include "link/posix_port.h"
#endif

namespace quelmar::station {
namespace {

TEST(FindSamePort, NumbersAndDevicesThatMeetAreOnePort) {
  using link::PortId;
  const struct {
    const char* name;
    std::vector<PortId> ports;
    std::optional<std::pair<size_t, size_t>> same;
  } cases[] = {
      {"all different", {{3, "/dev/ttyS2"}, {4, "/dev/ttyS3"}, {0, "/dev/pts/9"}}, std::nullopt},
      {"one number twice",
       {{3, "/dev/ttyS2"}, {5, "/dev/ttyS4"}, {3, "/dev/ttyS2"}},
       std::pair<size_t, size_t>{0, 2}},
      {"number re-pointed by a link",
       {{90, "/dev/null"}, {0, "/dev/null"}},
       std::pair<size_t, size_t>{0, 1}},
      {"one path twice", {{0, "/dev/pts/9"}, {0, "/dev/pts/9"}}, std::pair<size_t, size_t>{0, 1}},
      {"two numbers without devices", {{81, ""}, {82, ""}}, std::nullopt},
      {"one server port by both protocols",
       {{0, "rfc2217://127.0.0.1:7000"}, {0, "socket://127.0.0.1:7000"}},
       std::pair<size_t, size_t>{0, 1}},
      {"two ports of one server", {{0, "rfc2217://h:7000"}, {0, "rfc2217://h:7001"}}, std::nullopt},
      {"an address and a device", {{0, "socket://h:7000"}, {0, "/dev/pts/9"}}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FindSamePort(c.ports), c.same);
  }
#ifndef _WIN32
  // A COM<n> link and the device it points at.
  const auto dir =
      std::filesystem::temp_directory_path() / ("quelmar-same-port-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  { std::ofstream((dir / "ttyX0").string()) << ""; }
  std::filesystem::create_symlink(dir / "ttyX0", dir / "COM90");
  EXPECT_EQ(FindSamePort({{0, (dir / "ttyX1").string()},
                          {0, (dir / "COM90").string()},
                          {0, (dir / "ttyX0").string()}}),
            (std::pair<size_t, size_t>{1, 2}));
  std::filesystem::remove_all(dir);
#endif
}

TEST(StationPorts, OnePortTwiceInAProfileIsRefused) {
  std::unique_ptr<link::PortSystem> ports;
  std::string device = "COM7";  // a port of its own, for the cases that need one
  std::filesystem::path links;
#ifndef _WIN32
  // A pseudo-terminal with two COM<n> links to it, in a links folder of the
  // test's own.
  links = quelmar::testing::MakeTempDir("quelmar-station-ports-");
  ASSERT_FALSE(links.empty());
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  device = ::ptsname(master);
  std::filesystem::create_symlink(device, links / "COM90");
  std::filesystem::create_symlink(device, links / "COM91");
  link::PosixPaths paths;
  paths.link_dir = links.string();
  ports = link::WithNetworkPorts(link::MakePosixPortSystem(paths));
#else
  ports = link::MakePlatformPortSystem();
#endif
  const struct {
    const char* what;
    std::vector<std::string> entries;
    std::string refusal;  // empty: accepted
    bool posix_only;
  } cases[] = {
      {"COM3 and 3", {"COM3", "3"}, "'COM3' and '3' are the same port", false},
      {"COM3 and com3", {"COM4", "COM3", "com3"}, "'COM3' and 'com3' are the same port", false},
      {"a glob and a link it matches",
       {"COM90*", device},
       "'COM90' and '" + device + "' are the same port",
       true},
      {"a device path and a COM link to it",
       {device, "COM90"},
       "'" + device + "' and 'COM90' are the same port",
       true},
      {"two COM links to one device",
       {"COM90", "COM91"},
       "'COM90' and 'COM91' are the same port",
       true},
      {"one server port by both protocols",
       {"rfc2217://127.0.0.1:7000", "socket://127.0.0.1:7000"},
       "'rfc2217://127.0.0.1:7000' and 'socket://127.0.0.1:7000' are the same port",
       false},
      {"a port address that cannot be one",
       {"COM3", "rfc2217://no-port-here"},
       "'rfc2217://no-port-here' names no serial port",
       false},
      {"all different",
       {"COM3", "COM4", device, "rfc2217://127.0.0.1:7000", "socket://127.0.0.1:7001"},
       "",
       false},
      {"a device not plugged in yet", {"COM3", "/dev/no-such-adapter"}, "", true},
  };
  for (const auto& c : cases) {
#ifdef _WIN32
    if (c.posix_only) continue;
#endif
    SCOPED_TRACE(c.what);
    std::string why;
    EXPECT_EQ(CheckStationPorts(*ports, c.entries, &why), c.refusal.empty());
    EXPECT_EQ(why, c.refusal);
  }
#ifndef _WIN32
  ::close(master);
  std::filesystem::remove_all(links);
#endif
}

}  // namespace
}  // namespace quelmar::station
