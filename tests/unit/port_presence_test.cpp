// Whether a port is there, as a station slot shows it: a local port by the
// ports listed (a pseudo-terminal by its node), a network port by what its
// connections said, never by opening or connecting.
#include "link/port_presence.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "link/net_port.h"
#include "support/fake_port.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include "link/posix_port.h"
#endif

namespace quelmar::link {
namespace {

TEST(PortListed, TheNumberDecidesAndAPortWithoutOneGoesByItsPath) {
  const std::vector<PortEntry> listed = {{3, "/dev/ttyS2"}, {90, "/dev/pts/7"}};
  const struct {
    const char* what;
    PortId id;
    bool listed;
  } cases[] = {
      {"its number listed", {3, "/dev/ttyS2"}, true},
      {"its number listed, the device it led to before not", {90, "/dev/pts/4"}, true},
      {"its number not listed, its old device listed under another", {4, "/dev/ttyS2"}, false},
      {"no number, its path listed", {0, "/dev/pts/7"}, true},
      {"no number, its path not listed", {0, "/dev/pts/9"}, false},
      {"no number, no path", {0, ""}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(PortListed(listed, c.id), c.listed) << c.what;
  // A list that holds an entry without a number (a system that lists such
  // ports) never matches a port without a number by that number.
  EXPECT_FALSE(PortListed({{0, "/dev/other"}}, {0, "/dev/pts/9"}));
}

// Each step does one thing to the port "rfc2217://board-host:2000" and
// says what the presence is after it.
TEST(ConnectionPresence, FollowsWhatTheConnectionsSaid) {
  ConnectionPresence presence;
  const std::string key = "rfc2217://board-host:2000";
  auto line = std::make_shared<quelmar::testing::FakeLine>();
  std::unique_ptr<SerialPort> port, older;
  enum class Do {
    kNothing,
    kOpen,
    kRefused,
    kBusy,
    kHangUpSeenByRead,
    kHangUpSeenByHungUp,
    kClose,
    kOpenKeepingOld,
    kCloseOld
  };
  const struct {
    const char* what;
    Do action;
    bool present;
  } steps[] = {
      {"nothing tried yet", Do::kNothing, true},
      {"connected", Do::kOpen, true},
      {"the server hung up; a read sees it", Do::kHangUpSeenByRead, false},
      {"the dead connection is closed", Do::kClose, false},
      {"the server refuses connections", Do::kRefused, false},
      {"connected again", Do::kOpen, true},
      {"closed by its owner while well", Do::kClose, true},
      {"another client holds the port", Do::kBusy, true},
      {"connected again", Do::kOpen, true},
      {"the server hung up; asked directly", Do::kHangUpSeenByHungUp, false},
      {"a new connection while the dead one is still being let go of", Do::kOpenKeepingOld, true},
      {"the old one closed now: the new one stands", Do::kCloseOld, true},
  };
  for (const auto& step : steps) {
    switch (step.action) {
      case Do::kNothing:
        break;
      case Do::kOpen:
        line = std::make_shared<quelmar::testing::FakeLine>();
        port = presence
                   .Track(key, OpenResult{std::make_unique<quelmar::testing::FakePort>(line),
                                          OpenError::kNone,
                                          {}})
                   .port;
        ASSERT_NE(port, nullptr) << step.what;
        break;
      case Do::kRefused:
        EXPECT_EQ(presence.Track(key, OpenResult{nullptr, OpenError::kNotFound, "refused"}).advice,
                  "refused")
            << "the open's own result is handed on";
        break;
      case Do::kBusy:
        presence.Track(key, OpenResult{nullptr, OpenError::kBusy, {}});
        break;
      case Do::kHangUpSeenByRead: {
        line->hung_up = true;
        uint8_t byte = 0;
        port->Read(&byte, 1);
        break;
      }
      case Do::kHangUpSeenByHungUp:
        line->hung_up = true;
        EXPECT_TRUE(port->HungUp());
        break;
      case Do::kClose:
        port.reset();
        break;
      case Do::kOpenKeepingOld:
        older = std::move(port);
        line = std::make_shared<quelmar::testing::FakeLine>();
        port = presence
                   .Track(key, OpenResult{std::make_unique<quelmar::testing::FakePort>(line),
                                          OpenError::kNone,
                                          {}})
                   .port;
        break;
      case Do::kCloseOld:
        older.reset();
        break;
    }
    EXPECT_EQ(presence.Present(key), step.present) << step.what;
    EXPECT_TRUE(presence.Present("rfc2217://other-host:2000"))
        << "another port is not touched: " << step.what;
  }
}

TEST(ConnectionPresence, AnOpenedPortPassesEverythingThrough) {
  ConnectionPresence presence;
  auto line = std::make_shared<quelmar::testing::FakeLine>();
  line->Reply({0xAA, 0x01});
  auto port =
      presence
          .Track(
              "socket://h:1",
              OpenResult{std::make_unique<quelmar::testing::FakePort>(line), OpenError::kNone, {}})
          .port;
  ASSERT_NE(port, nullptr);
  const uint8_t request[] = {0x55, 0x01, 0x01, 0x55};
  uint32_t written = 0;
  EXPECT_TRUE(port->SetCommTimeouts({7, 9}));
  EXPECT_TRUE(port->Write(request, 4, &written));
  EXPECT_EQ(written, 4u);
  uint8_t reply[2] = {};
  EXPECT_EQ(port->Read(reply, 2), 2u);
  EXPECT_EQ(reply[0], 0xAA);
  EXPECT_TRUE(port->Purge(kPurgeAll));
  EXPECT_EQ(line->events, (std::vector<std::string>{"set-timeouts 7 9", "write 55 01 01 55",
                                                    "read 2 -> 2", "purge 15"}));
}

TEST(NetworkPorts, AnAddressWhoseServerRefusesIsAbsentAndALocalPortAsksItsBackend) {
  auto local = std::make_unique<quelmar::testing::FakePortSystem>();
  local->present = {{5, "/dev/fake5"}};
  auto ports = WithNetworkPorts(std::move(local));
  // Nothing listens on port 1 of the loopback address.
  const auto url = ports->ResolvePort("socket://127.0.0.1:1");
  ASSERT_TRUE(url.has_value());
  EXPECT_TRUE(ports->PortPresent(*url)) << "nothing tried yet";
  EXPECT_EQ(ports->OpenPort(*url).port, nullptr);
  EXPECT_FALSE(ports->PortPresent(*url)) << "the last connection was refused";
  EXPECT_TRUE(ports->PortPresent({5, "/dev/fake5"}));
  EXPECT_FALSE(ports->PortPresent({6, "/dev/fake6"}));
}

#ifndef _WIN32
// A pseudo-terminal is not listed as a serial port: by path its node
// tells; by a COM<n> link to it, the link.
TEST(PosixPorts, APseudoTerminalIsThereWhileItsNodeIs) {
  const auto links = quelmar::testing::MakeTempDir("quelmar-presence-");
  ASSERT_FALSE(links.empty());
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const std::string device = ::ptsname(master);
  std::filesystem::create_symlink(device, links / "COM90");
  // A second terminal, without a link: no number at all.
  const int lone_master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(lone_master, 0);
  ASSERT_EQ(::grantpt(lone_master), 0);
  ASSERT_EQ(::unlockpt(lone_master), 0);
  const std::string lone = ::ptsname(lone_master);
  PosixPaths paths;
  paths.link_dir = links.string();
  auto ports = MakePosixPortSystem(paths);

  EXPECT_TRUE(ports->PortPresent({0, device})) << device;
  EXPECT_TRUE(ports->PortPresent({0, lone})) << lone << " is not listed, but there";
  EXPECT_TRUE(ports->PortPresent({90, device}));
  EXPECT_FALSE(ports->PortPresent({91, device})) << "COM91 has no link and no device";
  EXPECT_FALSE(ports->PortPresent({0, (links / "no-such-tty").string()}));
  EXPECT_FALSE(ports->PortPresent({0, (links / "COM90").string() + "x"}));

  ::close(master);  // the terminals go, as when their simulators end
  ::close(lone_master);
  EXPECT_FALSE(ports->PortPresent({0, device}));
  EXPECT_FALSE(ports->PortPresent({0, lone}));
  EXPECT_FALSE(ports->PortPresent({90, device})) << "the link now points at nothing";
  std::filesystem::remove_all(links);
}
#endif

}  // namespace
}  // namespace quelmar::link
