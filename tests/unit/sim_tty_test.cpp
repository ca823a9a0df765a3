// The simulator on an existing tty (quelmar-sim --tty): the test makes a
// pseudo-terminal, gives its slave to the simulator as the board's end and
// plays the host on the master, as a USB gadget's tty or a virtual
// machine's pty would have it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "link/protocol.h"
#include "pty_driver.h"

namespace quelmar::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// A pseudo-terminal the test holds the master of; the slave starts out as
// any new tty does: echoing, translating, line by line.
class HostEnd {
 public:
  HostEnd() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(grantpt(master_), 0);
    EXPECT_EQ(unlockpt(master_), 0);
    slave_ = ptsname(master_);
  }
  ~HostEnd() { Close(); }
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  const std::string& slave() const { return slave_; }

  void Send(const Bytes& bytes) const {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What arrives within the limit, up to n bytes.
  Bytes Receive(size_t n, std::chrono::milliseconds limit = 2s) const {
    return ReadFrom(master_, n, limit);
  }

  static Bytes ReadFrom(int fd, size_t n, std::chrono::milliseconds limit) {
    Bytes got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (got.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buffer[256];
      const ssize_t k = read(fd, buffer, std::min(sizeof buffer, n - got.size()));
      if (k <= 0) break;
      got.insert(got.end(), buffer, buffer + k);
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

TEST(SimTty, OpeningFailsWithAReasonForWhatIsNoTtyOrIsTaken) {
  const std::string folder =
      (std::filesystem::temp_directory_path() / ("quelmar-sim-tty-" + std::to_string(getpid())))
          .string();
  std::filesystem::create_directories(folder);
  const std::string plain = folder + "/plain-file";
  std::ofstream(plain) << "x";
  HostEnd host;
  PtyLine first;
  std::string error;
  ASSERT_TRUE(first.OpenTty(host.slave(), &error)) << error;

  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {folder + "/missing", "cannot open " + folder + "/missing: "},
      {plain, plain + " is not a terminal"},
      {host.slave(), host.slave() + " is in use by another program"},  // a second simulator
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    PtyLine line;
    std::string why;
    EXPECT_FALSE(line.OpenTty(c.path, &why));
    EXPECT_EQ(why.substr(0, c.reason.size()), c.reason) << why;
    EXPECT_LT(line.master_fd(), 0);
  }
  std::filesystem::remove_all(folder);
}

TEST(SimTty, BytesCrossUntouchedBothWaysAndNothingEchoes) {
  HostEnd host;
  PtyLine line;
  std::string error;
  ASSERT_TRUE(line.OpenTty(host.slave(), &error)) << error;
  EXPECT_TRUE(line.serves_tty());
  EXPECT_EQ(line.slave_path(), host.slave());

  // CR, LF, XON, XOFF, ^C, ^D, DEL, NUL, ^Z, ^\ and 0xFF: each is something
  // a new tty acts on (translates, swallows, signals, ends a line with).
  const Bytes awkward = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x04, 0x7F, 0x00, 0x1A, 0x1C, 0xFF, 0x55};
  host.Send(awkward);
  EXPECT_EQ(HostEnd::ReadFrom(line.master_fd(), awkward.size(), 2s), awkward)
      << "the board must get the host's bytes as sent, at once";
  EXPECT_EQ(host.Receive(1, 200ms), Bytes{}) << "nothing may echo back to the host";

  ASSERT_EQ(write(line.master_fd(), awkward.data(), awkward.size()),
            static_cast<ssize_t>(awkward.size()));
  EXPECT_EQ(host.Receive(awkward.size() + 1, 500ms), awkward)
      << "the host must get the board's bytes as sent (no LF to CR LF)";
}

TEST(SimTty, BytesWrittenBeforeTheBoardOpenedTheTtyNeverReachIt) {
  HostEnd host;
  // A request (and a line end, so that even a line-by-line tty would pass
  // it on) sent while no board was there.
  const auto request = link::MakeRequest(link::CMD_GET_BOOTLOADER_INFO);
  Bytes stale(request.begin(), request.end());
  stale.push_back('\n');
  host.Send(stale);
  PtyLine line;
  std::string error;
  ASSERT_TRUE(line.OpenTty(host.slave(), &error)) << error;
  EXPECT_EQ(HostEnd::ReadFrom(line.master_fd(), stale.size(), 300ms), Bytes{})
      << "the board got what was sent before it opened the tty";
  // What comes after the open does reach it.
  host.Send(Bytes(request.begin(), request.end()));
  EXPECT_EQ(HostEnd::ReadFrom(line.master_fd(), request.size(), 2s),
            Bytes(request.begin(), request.end()));
}

TEST(SimTty, BytesTheBoardHasNotReadDoNotHoldBackTheHangUp) {
  // Before a hang-up the board waits only for its own output to leave the
  // tty; input it has not read is no reason to wait.
  HostEnd host;
  PtyLine line;
  std::string error;
  ASSERT_TRUE(line.OpenTty(host.slave(), &error)) << error;
  host.Send(Bytes{0x55, 0x01, 0x01});
  std::atomic<bool> returned{false};
  std::thread waiter([&] {
    line.WaitUntilRead(std::chrono::seconds(30));
    returned.store(true);
  });
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (!returned.load() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(5ms);
  EXPECT_TRUE(returned.load()) << "waited 10 s: the wait for the board's output to leave the tty "
                                  "waits on the host's unread bytes instead";
  waiter.join();  // at most the 30 s given
}

volatile sig_atomic_t g_stop = 0;
void OnStop(int) {
  g_stop = 1;
}

// Serve on the tty until it ends; the host asks once first.
struct ServeCase {
  const char* name;
  bool close_host;  // else the stop flag is raised
  ServeEnd end;
};

class SimTtyServe : public ::testing::TestWithParam<ServeCase> {};

TEST_P(SimTtyServe, AnswersThenEndsAsTheLineOrTheSignalSays) {
  const ServeCase& c = GetParam();
  HostEnd host;
  PtyLine line;
  std::string error;
  ASSERT_TRUE(line.OpenTty(host.slave(), &error)) << error;
  Board board(BoardConfig{});
  g_stop = 0;
  struct sigaction action = {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
  ServeEnd end = ServeEnd::kFailed;
  std::string why;
  std::atomic<bool> finished{false};
  // As the program does: the stop signal is blocked but while the server
  // waits, so that it cannot slip in between a check and the wait.
  std::thread server([&] {
    sigset_t block, wait_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &wait_mask);
    sigdelset(&wait_mask, SIGUSR1);
    ServeOptions options;
    options.stop = &g_stop;
    options.wait_mask = &wait_mask;
    end = Serve(line, board, options, &why);
    finished.store(true);
  });

  const auto request = link::MakeRequest(link::CMD_GET_BOOTLOADER_INFO);
  host.Send(Bytes(request.begin(), request.end()));
  const Bytes reply = host.Receive(link::kBootloaderReplySize);
  ASSERT_EQ(reply.size(), link::kBootloaderReplySize);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 5), (Bytes{0xAA, 0x03, 0x01, 0x02, 0x08}));

  if (c.close_host) {
    host.Close();  // the tty's other end goes: a hang-up, not a failure
  } else {
    pthread_kill(server.native_handle(), SIGUSR1);
  }
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (!finished.load() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_TRUE(finished.load()) << "the simulator went on serving";
  if (!finished.load()) {
    // Asked to stop, it may still spin on the dead line: then nothing ends
    // it, and the test program goes rather than hang.
    pthread_kill(server.native_handle(), SIGUSR1);
    const auto last = std::chrono::steady_clock::now() + 2s;
    while (!finished.load() && std::chrono::steady_clock::now() < last) {
      std::this_thread::sleep_for(5ms);
    }
    if (!finished.load()) {
      std::fprintf(stderr, "the simulator is stuck on the hung-up tty\n");
      std::_Exit(1);
    }
  }
  server.join();
  EXPECT_EQ(end, c.end) << why;
}

// A board that hangs up the line: the host sends its requests at once and
// must get the last reply whole before the hang-up.
struct HangUpCase {
  const char* name;
  BoardConfig config;
  std::vector<uint8_t> commands;  // the first is answered, then the line goes
};

class SimTtyHangUp : public ::testing::TestWithParam<HangUpCase> {};

TEST_P(SimTtyHangUp, TheLastReplyArrivesWholeBeforeTheLineGoes) {
  const HangUpCase& c = GetParam();
  HostEnd host;
  PtyLine line;
  std::string error;
  ASSERT_TRUE(line.OpenTty(host.slave(), &error)) << error;
  Board board(c.config);
  std::atomic<bool> finished{false};
  ServeEnd end = ServeEnd::kFailed;
  std::string why;
  std::thread server([&] {
    ServeOptions options;
    options.pace = true;  // the reply takes its wire time: the hang-up must wait for it
    end = Serve(line, board, options, &why);
    finished.store(true);
  });
  Bytes requests;
  for (uint8_t command : c.commands) {
    const auto r = link::MakeRequest(command);
    requests.insert(requests.end(), r.begin(), r.end());
  }
  // The reply to the first request, as a board without the fault gives it.
  const Bytes last_reply =
      Board(BoardConfig{})
          .Receive(std::span<const uint8_t>(requests.data(), 4), std::chrono::steady_clock::now())
          .bytes;
  ASSERT_FALSE(last_reply.empty());
  host.Send(requests);
  // Read until the hang-up (or 5 s): nothing more, nothing less.
  const Bytes got = host.Receive(last_reply.size() + 1, 5s);
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (!finished.load() && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(5ms);
  if (!finished.load()) {
    std::fprintf(stderr, "waited 10 s for the simulator to hang up the tty\n");
    std::_Exit(1);  // the server thread cannot be stopped: go rather than hang
  }
  server.join();
  EXPECT_EQ(end, ServeEnd::kHungUp) << why;
  EXPECT_EQ(got, last_reply);
}

BoardConfig HangsUpAt(uint8_t command) {
  BoardConfig config;
  Fault fault;
  fault.kind = FaultKind::kHangup;
  fault.site = FaultSite::kCommand;
  fault.command = command;
  config.faults.push_back(fault);
  return config;
}

BoardConfig HangsUpAfterReboot() {
  BoardConfig config;
  config.after_reboot = AfterReboot::kHangup;
  return config;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimTtyHangUp,
    ::testing::Values(HangUpCase{"HangUpFault",
                                 HangsUpAt(link::CMD_GET_CHIP_INFO),
                                 {link::CMD_GET_BOOTLOADER_INFO, link::CMD_GET_CHIP_INFO}},
                      HangUpCase{"AfterReboot",
                                 HangsUpAfterReboot(),
                                 {link::CMD_REBOOT, link::CMD_GET_BOOTLOADER_INFO}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

INSTANTIATE_TEST_SUITE_P(Ends, SimTtyServe,
                         ::testing::Values(ServeCase{"HostEndCloses", true, ServeEnd::kLineGone},
                                           ServeCase{"StopAsked", false, ServeEnd::kStopped}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace quelmar::sim
