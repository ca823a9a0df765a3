// quelmar-sim --tty as a program: it serves a tty it is given (here the
// slave of a pseudo-terminal whose master the test holds, as a gadget's
// tty or a virtual machine's pty would be), says so on its first line,
// and ends with status 3 and its dumps when that tty hangs up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "process.h"

namespace quelmar::testing {
namespace {

using Bytes = std::vector<uint8_t>;

class Pty {
 public:
  Pty() {
    // Not inherited by the simulator: its copy would keep the master open.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(grantpt(master_), 0);
    EXPECT_EQ(unlockpt(master_), 0);
    slave_ = ptsname(master_);
  }
  ~Pty() { Close(); }
  void Close() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }
  const std::string& slave() const { return slave_; }
  int master() const { return master_; }

 private:
  int master_ = -1;
  std::string slave_;
};

Bytes Receive(int fd, size_t n) {
  Bytes got;
  while (got.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 3000) <= 0) break;
    uint8_t buffer[64];
    const ssize_t k = read(fd, buffer, n - got.size());
    if (k <= 0) break;
    got.insert(got.end(), buffer, buffer + k);
  }
  return got;
}

TEST(SimOnATty, AnswersOnTheTtyAndEndsWithItsHangUpLeavingItsDumps) {
  Pty pty;
  TempDir dir;
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--tty", pty.slave(), "--dump-code-a", dir.File("a.bin")}));
  EXPECT_EQ(sim.device(), pty.slave()) << "the first line names the tty served";

  const Bytes request = {0x55, 0x01, 0x01, 0x55};
  ASSERT_EQ(write(pty.master(), request.data(), request.size()), 4);
  const Bytes reply = Receive(pty.master(), 6);
  ASSERT_EQ(reply.size(), 6u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 5), (Bytes{0xAA, 0x03, 0x01, 0x02, 0x08}));

  pty.Close();  // the tty's other end goes (an adapter pulled, a gadget unbound)
  EXPECT_EQ(sim.Wait(std::chrono::seconds(10)), 3);
  EXPECT_NE(sim.Stderr().find("; the line hung up"), std::string::npos) << sim.Stderr();
  EXPECT_EQ(FileBytes(dir.File("a.bin")).size(), 0x80000u) << "bank A is dumped on the way out";
}

TEST(SimOnATty, WhatTheOptionRefuses) {
  Pty pty;
  TempDir links;  // a refused run must leave no COM<n> link behind
  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"--tty"}, 2, "--tty takes the path of a tty"},
      {{"--tty", pty.slave(), "--com", "5"}, 2, "--com and --tty do not go together"},
      {{"--tty", "/nonexistent/tty9"}, 1, "cannot open /nonexistent/tty9: "},
      {{"--tty", "/dev/null"}, 1, "/dev/null is not a terminal"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const RunResult r = RunProgram(QUELMAR_SIM_PATH, c.args, {"QUELMAR_PORT_DIR=" + links.path()},
                                   std::chrono::seconds(10));
    EXPECT_EQ(r.exit_code, c.status) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "nothing is served, so no first line";
    EXPECT_TRUE(std::filesystem::is_empty(links.path())) << "a link was left in the port folder";
  }
  const RunResult help = RunProgram(QUELMAR_SIM_PATH, {"--help"});
  EXPECT_NE(help.out.find("--tty PATH"), std::string::npos);
}

}  // namespace
}  // namespace quelmar::testing
