#include "sim_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace quelmar::bench {

using SteadyClock = std::chrono::steady_clock;

bool StartSim(const std::vector<std::string>& args, uint32_t slack_ns, Child* child) {
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  std::vector<char*> argv;
  std::string program = QUELMAR_SIM_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The child inherits this thread's timer slack.
  const int old_slack = ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  if (slack_ns > 0) ::prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slack_ns), 0, 0, 0);
  const int error =
      ::posix_spawn(&child->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (old_slack > 0) ::prctl(PR_SET_TIMERSLACK, old_slack, 0, 0, 0);
  ::close(pipe_fds[1]);
  if (error != 0) {
    ::close(pipe_fds[0]);
    errno = error;
    return false;
  }
  child->out = pipe_fds[0];
  return true;
}

bool ReadFirstLine(int fd, std::string* line) {
  const auto deadline = SteadyClock::now() + std::chrono::seconds(10);
  char c = 0;
  while (SteadyClock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    ssize_t k = ::read(fd, &c, 1);
    if (k <= 0) return false;
    if (c == '\n') return !line->empty();
    line->push_back(c);
  }
  return false;
}

int StopSim(Child& child) {
  int status = -1;
  if (child.pid > 0) {
    ::kill(child.pid, SIGTERM);
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    child.pid = -1;
  }
  if (child.out >= 0) ::close(child.out);
  child.out = -1;
  return status;
}

}  // namespace quelmar::bench
