// The POSIX serial port over a real pseudo-terminal pair: the backend opens
// the slave side as it would a board's port, the test plays the board on the
// master side. A few cases wait for a real read deadline; they use short
// time-outs where the length does not matter.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "link/posix_port.h"

namespace quelmar::link {
namespace {

using Bytes = std::vector<uint8_t>;
using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

long long MsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<Ms>(SteadyClock::now() - start).count();
}

void NoOp(int) {}

class PtyPort : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    char name[128];
    ASSERT_EQ(::ptsname_r(master_, name, sizeof name), 0);
    slave_ = name;
    char pattern[] = "/tmp/quelmar-pty-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    paths_.lock_dir = root_;
    paths_.link_dir = root_;
    paths_.sysfs_tty = root_ + "/no-sysfs";  // only our link is enumerated
    system_ = MakePosixPortSystem(paths_);
    port_ = OpenConfigured();
    ASSERT_NE(port_, nullptr);
  }
  void TearDown() override {
    port_.reset();
    CloseMaster();
    if (!root_.empty()) std::filesystem::remove_all(root_);
  }

  // Opens the slave as Link::OpenPort does.
  std::unique_ptr<SerialPort> OpenConfigured() {
    OpenResult r = system_->OpenPort(PortId{0, slave_});
    EXPECT_EQ(r.error, OpenError::kNone) << r.advice;
    if (!r.port) return nullptr;
    EXPECT_TRUE(r.port->GetCommState());
    EXPECT_TRUE(r.port->SetCommState());
    EXPECT_TRUE(r.port->Purge(kPurgeAll));
    EXPECT_TRUE(r.port->SetCommTimeouts(ReadTimeouts{50, 800}));
    return std::move(r.port);
  }

  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  void MasterWrite(const Bytes& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the board side receives within the wait.
  Bytes MasterRead(size_t n, int wait_ms) {
    Bytes got;
    auto deadline = SteadyClock::now() + Ms(wait_ms);
    while (got.size() < n) {
      auto left = std::chrono::duration_cast<Ms>(deadline - SteadyClock::now()).count();
      if (left <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      uint8_t buffer[4096];
      ssize_t k = ::read(master_, buffer, std::min(sizeof buffer, n - got.size()));
      if (k <= 0) break;
      got.insert(got.end(), buffer, buffer + k);
    }
    return got;
  }

  int master_ = -1;
  std::string slave_;
  std::string root_;
  PosixPaths paths_;
  std::unique_ptr<PortSystem> system_;
  std::unique_ptr<SerialPort> port_;
};

Bytes EveryByteValue() {
  // The bytes a cooked or flow-controlled line would change first, then all.
  Bytes bytes{0x11, 0x13, 0x0A, 0x0D, 0x00, 0xFF, 0x03, 0x04, 0x7F, 0x1A};
  for (int v = 0; v < 256; ++v) bytes.push_back(static_cast<uint8_t>(v));
  return bytes;
}

TEST_F(PtyPort, BytesPassUnchangedBothWays) {
  const Bytes sent = EveryByteValue();
  MasterWrite(sent);
  Bytes received(sent.size());
  EXPECT_EQ(port_->Read(received.data(), static_cast<uint32_t>(received.size())), sent.size());
  EXPECT_EQ(received, sent);

  uint32_t written = 0;
  EXPECT_TRUE(port_->Write(sent.data(), static_cast<uint32_t>(sent.size()), &written));
  EXPECT_EQ(written, sent.size());
  EXPECT_EQ(MasterRead(sent.size(), 1000), sent);
  // Nothing more: no echo of what came in, no CR added to LF.
  EXPECT_TRUE(MasterRead(1, 100).empty());
}

TEST_F(PtyPort, ReadEndsAsSoonAsAllBytesHaveCome) {
  std::thread board([&] {
    std::this_thread::sleep_for(Ms(50));
    MasterWrite({0xAA, 0x01, 0x02});
    std::this_thread::sleep_for(Ms(50));
    MasterWrite({0x03});
  });
  // A long deadline, so that the early return stands out on a busy machine.
  ASSERT_TRUE(port_->SetCommTimeouts(ReadTimeouts{50, 6000}));
  uint8_t reply[4] = {};
  auto start = SteadyClock::now();
  EXPECT_EQ(port_->Read(reply, 4), 4u);
  EXPECT_LT(MsSince(start), 3000);  // the deadline is 6200 ms
  board.join();
  EXPECT_EQ(Bytes(reply, reply + 4), (Bytes{0xAA, 0x01, 0x02, 0x03}));
}

TEST_F(PtyPort, ShortReplyComesBackAtTheDeadline) {
  MasterWrite({0xAA, 0x05});
  uint8_t reply[4] = {};
  auto start = SteadyClock::now();
  EXPECT_EQ(port_->Read(reply, 4), 2u);  // 50 * 4 + 800 ms
  auto elapsed = MsSince(start);
  EXPECT_GE(elapsed, 1000);
  EXPECT_LT(elapsed, 5000) << "a short reply must not wait for more";
  EXPECT_EQ(reply[0], 0xAA);
  EXPECT_EQ(reply[1], 0x05);
  EXPECT_FALSE(port_->HungUp());
}

TEST_F(PtyPort, DeadlineGrowsWithTheLengthAskedFor) {
  ASSERT_TRUE(port_->SetCommTimeouts(ReadTimeouts{30, 100}));
  uint8_t reply[10];
  auto start = SteadyClock::now();
  EXPECT_EQ(port_->Read(reply, 10), 0u);  // 30 * 10 + 100 ms
  auto elapsed = MsSince(start);
  EXPECT_GE(elapsed, 400);
  EXPECT_LT(elapsed, 3000);
}

TEST_F(PtyPort, SignalsNeitherEndNorStretchARead) {
  struct sigaction action {};
  action.sa_handler = NoOp;  // no SA_RESTART: poll sees EINTR
  sigemptyset(&action.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGUSR1, &action, &saved), 0);
  pthread_t reader = ::pthread_self();
  ASSERT_TRUE(port_->SetCommTimeouts(ReadTimeouts{0, 600}));

  // Signals before the reply: the read still gets it.
  std::thread board([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(Ms(60));
      ::pthread_kill(reader, SIGUSR1);
    }
    std::this_thread::sleep_for(Ms(60));
    MasterWrite({1, 2, 3, 4});
  });
  uint8_t reply[4] = {};
  EXPECT_EQ(port_->Read(reply, 4), 4u);
  board.join();

  // Signals all through a silent read: it ends at its own deadline. A read
  // that started its wait again after each signal would last past 1400 ms.
  std::thread pester([&] {
    for (int i = 0; i < 8; ++i) {
      std::this_thread::sleep_for(Ms(100));
      ::pthread_kill(reader, SIGUSR1);
    }
  });
  auto start = SteadyClock::now();
  EXPECT_EQ(port_->Read(reply, 4), 0u);
  auto elapsed = MsSince(start);
  pester.join();
  EXPECT_GE(elapsed, 600);
  EXPECT_LT(elapsed, 1300);
  ::sigaction(SIGUSR1, &saved, nullptr);
}

TEST_F(PtyPort, HangUpEndsTheReadAtOnce) {
  std::thread board([&] {
    std::this_thread::sleep_for(Ms(100));
    CloseMaster();
  });
  ASSERT_TRUE(port_->SetCommTimeouts(ReadTimeouts{50, 6000}));
  uint8_t reply[4];
  auto start = SteadyClock::now();
  EXPECT_EQ(port_->Read(reply, 4), 0u);
  EXPECT_LT(MsSince(start), 3000);  // the deadline is 6200 ms
  board.join();
  EXPECT_TRUE(port_->HungUp());
  EXPECT_FALSE(port_->Purge(kPurgeAll));

  start = SteadyClock::now();
  EXPECT_EQ(port_->Read(reply, 4), 0u);
  EXPECT_LT(MsSince(start), 3000);
  uint32_t written = 99;
  EXPECT_FALSE(port_->Write(reply, 4, &written));
  EXPECT_EQ(written, 0u);
}

TEST_F(PtyPort, PurgeDiscardsTheQueuesItNames) {
  ASSERT_TRUE(port_->SetCommTimeouts(ReadTimeouts{0, 100}));
  struct Case {
    uint32_t mask;
    bool input_survives;
  };
  const Case cases[] = {
      {PURGE_TXCLEAR, true},  {PURGE_TXABORT | PURGE_RXABORT, true},
      {PURGE_RXCLEAR, false}, {kPurgeClear, false},
      {kPurgeAll, false},
  };
  for (const Case& c : cases) {
    MasterWrite({0x55, 0x66, 0x77});
    std::this_thread::sleep_for(Ms(50));
    EXPECT_TRUE(port_->Purge(c.mask)) << c.mask;
    uint8_t reply[3] = {};
    EXPECT_EQ(port_->Read(reply, 3), c.input_survives ? 3u : 0u) << c.mask;
  }
}

TEST_F(PtyPort, ProbeFromAnotherThreadDuringARead) {
  ASSERT_TRUE(port_->SetCommTimeouts(ReadTimeouts{0, 300}));
  std::atomic<int> probes_ok{0};
  std::thread monitor([&] {
    for (int i = 0; i < 10; ++i) {
      if (port_->Purge(kPurgeAll)) ++probes_ok;
      std::this_thread::sleep_for(Ms(20));
    }
  });
  uint8_t reply[4];
  EXPECT_EQ(port_->Read(reply, 4), 0u);
  monitor.join();
  EXPECT_EQ(probes_ok.load(), 10);
  EXPECT_FALSE(port_->HungUp());
}

TEST_F(PtyPort, SecondOpenIsRefusedUntilTheFirstCloses) {
  OpenResult second = system_->OpenPort(PortId{0, slave_});
  EXPECT_EQ(second.port, nullptr);
  EXPECT_EQ(second.error, OpenError::kBusy);
  EXPECT_FALSE(second.advice.empty());

  // Refused with one of ours open, the first still works.
  MasterWrite({0x42});
  uint8_t byte = 0;
  EXPECT_EQ(port_->Read(&byte, 1), 1u);
  EXPECT_EQ(byte, 0x42);

  port_.reset();
  port_ = OpenConfigured();
  EXPECT_NE(port_, nullptr);
}

TEST_F(PtyPort, ClosingGivesUpExclusiveUseWhileOthersHoldTheDevice) {
  // Whoever else holds the device open (a simulated board holds its pty)
  // keeps the tty alive past our close; a user without root must still be
  // able to open it again.
  const int other = ::open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  int exclusive = 0;
  ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "an open port keeps other programs out";
  port_.reset();
  ASSERT_EQ(::ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  ::close(other);
}

TEST_F(PtyPort, LiveLockFileMakesThePortBusy) {
  port_.reset();
  std::string lock = root_ + "/" + LockFileName(slave_);
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  std::ofstream(lock) << text;
  OpenResult r = system_->OpenPort(PortId{0, slave_});
  EXPECT_EQ(r.port, nullptr);
  EXPECT_EQ(r.error, OpenError::kBusy);
  EXPECT_NE(r.advice.find(std::to_string(::getpid())), std::string::npos) << r.advice;

  std::ofstream(lock, std::ios::trunc) << "  99999999\n";  // left by a process that is gone
  port_ = OpenConfigured();
  EXPECT_NE(port_, nullptr);
}

TEST_F(PtyPort, PermissionRefusalSaysWhichGroupToJoin) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  port_.reset();
  const group* dialout = ::getgrnam("dialout");
  gid_t gid = dialout != nullptr ? dialout->gr_gid : 20;
  std::string name = dialout != nullptr ? "dialout" : "";
  ASSERT_EQ(::chown(slave_.c_str(), 0, gid), 0);
  ASSERT_EQ(::chmod(slave_.c_str(), 0660), 0);

  // A user outside the group, in a child so the test keeps its rights.
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(out[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    OpenResult r = MakePosixPortSystem(paths_)->OpenPort(PortId{0, slave_});
    std::string report = std::to_string(static_cast<int>(r.error)) + " " + r.advice;
    ssize_t ignored = ::write(out[1], report.data(), report.size());
    (void)ignored;
    ::_exit(r.port ? 1 : 0);
  }
  ::close(out[1]);
  std::string report;
  char buffer[512];
  for (ssize_t k; (k = ::read(out[0], buffer, sizeof buffer)) > 0;) report.append(buffer, k);
  ::close(out[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << report;
  EXPECT_EQ(report.rfind(std::to_string(static_cast<int>(OpenError::kPermission)) + " ", 0), 0u)
      << report;
  EXPECT_NE(report.find("sudo usermod -aG " + (name.empty() ? std::string() : name)),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("log in again"), std::string::npos) << report;
}

TEST_F(PtyPort, OpenByLinkedNumber) {
  port_.reset();
  std::string error;
  ASSERT_TRUE(CreatePortLink(99, slave_, root_, &error)) << error;
  auto listed = system_->EnumeratePorts();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].number, 99);
  EXPECT_FALSE(listed[0].busy);

  OpenResult r = system_->OpenPort(PortId{99, ""});
  ASSERT_NE(r.port, nullptr) << r.advice;
  // Held by us: still listed, now busy (our flock shows in /proc/locks).
  listed = system_->EnumeratePorts();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_TRUE(listed[0].busy);
  uint32_t written = 0;
  ASSERT_TRUE(r.port->SetCommState());
  EXPECT_TRUE(r.port->Write(reinterpret_cast<const uint8_t*>("\x55\x01"), 2, &written));
  EXPECT_EQ(MasterRead(2, 1000), (Bytes{0x55, 0x01}));
}

TEST_F(PtyPort, LargeWriteArrivesWholeThroughASlowReader) {
  Bytes data(256 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  Bytes received;
  std::thread board([&] {
    while (received.size() < data.size()) {
      Bytes chunk = MasterRead(std::min<size_t>(4096, data.size() - received.size()), 3000);
      if (chunk.empty()) break;
      received.insert(received.end(), chunk.begin(), chunk.end());
      std::this_thread::sleep_for(Ms(1));
    }
  });
  uint32_t written = 0;
  EXPECT_TRUE(port_->Write(data.data(), static_cast<uint32_t>(data.size()), &written));
  EXPECT_EQ(written, data.size());
  board.join();
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

TEST_F(PtyPort, WriteThatStallsTwoSecondsAndThenDrainsSucceeds) {
  // More than the pty holds, so the write must wait for the board; the
  // board reads nothing for 2 s and then everything. A write gives up only
  // after 5 s without progress.
  Bytes data(256 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
  Bytes received;
  std::atomic<bool> stalled{false};
  std::thread board([&] {
    std::this_thread::sleep_for(Ms(2000));
    stalled = true;
    while (received.size() < data.size()) {
      Bytes chunk = MasterRead(data.size() - received.size(), 3000);
      if (chunk.empty()) break;
      received.insert(received.end(), chunk.begin(), chunk.end());
    }
  });
  uint32_t written = 0;
  EXPECT_TRUE(port_->Write(data.data(), static_cast<uint32_t>(data.size()), &written));
  EXPECT_TRUE(stalled.load()) << "the pty took it all at once: nothing stalled";
  EXPECT_EQ(written, data.size());
  board.join();
  EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
  EXPECT_FALSE(port_->HungUp());
}

}  // namespace
}  // namespace quelmar::link
