// POSIX side of a label command: the program with the label on its stdin.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "common/deadline.h"
#include "common/error_text.h"
#include "production/label.h"

namespace quelmar::production {

bool RunWithInput(const std::vector<std::string>& argv, const std::string& input,
                  std::chrono::milliseconds timeout, int* status, std::string* why) {
  const Deadline deadline(timeout);
  if (argv.empty()) {
    *why = "no command to run";
    return false;
  }
  int in[2];
  // An exec that fails says so through a pipe that closes on exec.
  int failed[2];
  if (::pipe2(in, O_CLOEXEC) != 0) {
    *why = "cannot run '" + argv[0] + "': " + ErrorText(errno);
    return false;
  }
  if (::pipe2(failed, O_CLOEXEC) != 0) {
    *why = "cannot run '" + argv[0] + "': " + ErrorText(errno);
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A group of its own: a program killed at the bound takes what it
    // started with it (a script's lp, a sleep).
    ::setpgid(0, 0);
    ::dup2(in[0], 0);
    // Only its stdio: descriptors opened without close-on-exec (the page
    // server's sockets) would otherwise outlive a killed station in the
    // program, and keep its port from the next start.
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
      for (int fd = 3; fd < 1024; ++fd) {
        if (fd != failed[1]) ::close(fd);
      }
    }
    ::execvp(args[0], args.data());
    const int error = errno;
    (void)!::write(failed[1], &error, sizeof error);
    ::_exit(127);
  }
  if (pid > 0) ::setpgid(pid, pid);  // set on both sides: no race with the kill
  ::close(in[0]);
  ::close(failed[1]);
  if (pid < 0) {
    *why = "cannot run '" + argv[0] + "': " + ErrorText(errno);
    ::close(in[1]);
    ::close(failed[0]);
    return false;
  }
  int exec_error = 0;
  const bool not_run = ::read(failed[0], &exec_error, sizeof exec_error) == sizeof exec_error;
  ::close(failed[0]);
  (void)::fcntl(in[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  while (!not_run && written < input.size()) {
    pollfd p{in[1], POLLOUT, 0};
    const int ready = ::poll(&p, 1, deadline.MillisLeft());
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (p.revents & (POLLERR | POLLHUP)) != 0) break;
    // A program that ends without reading all of it raises SIGPIPE on this
    // thread: held off, and taken before it is let through.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &block, &old);
    const ssize_t k = ::write(in[1], input.data() + written, input.size() - written);
    const int error = errno;
    const timespec none{0, 0};
    if (k < 0 && error == EPIPE) (void)::sigtimedwait(&block, nullptr, &none);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (k > 0) written += static_cast<size_t>(k);
    if (k < 0 && error != EAGAIN && error != EINTR) break;
  }
  ::close(in[1]);
  int wstatus = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      *why = "cannot wait for '" + argv[0] + "': " + ErrorText(errno);
      return false;
    }
    if (deadline.Passed()) {
      ::kill(-pid, SIGKILL);
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
      }
      *why =
          "'" + argv[0] + "' did not end within " + std::to_string(timeout.count()) + " ms: killed";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (not_run) {
    *why = "cannot run '" + argv[0] + "': " + ErrorText(exec_error);
    return false;
  }
  *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  if (written < input.size() && *status == 0) {
    *why = "'" + argv[0] + "' ended before it read the whole label";
    return false;
  }
  return true;
}

}  // namespace quelmar::production
