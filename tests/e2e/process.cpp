#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

extern char** environ;

namespace quelmar::testing {
namespace {

std::vector<char*> Argv(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Child side, first thing after the fork: a process group of its own, so
// that teardown ends whatever it starts in turn, and death with the test
// process, however that ends (a killed test must leave nothing running).
void TieToParent(pid_t parent) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // the parent died before the prctl
}

// Ends the child's whole process group at once.
void KillGroup(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
}

// The folder for COM<n> links when a test names none: one of this test
// process's own, never the user's shared one, removed at exit.
class PrivatePortDir {
 public:
  PrivatePortDir() {
    const char* given = std::getenv("QUELMAR_PORT_DIR");
    if (given != nullptr && *given != '\0') return;
    char name[] = "/tmp/quelmar-test-ports-XXXXXX";
    if (mkdtemp(name) == nullptr) return;
    path_ = name;
    setenv("QUELMAR_PORT_DIR", path_.c_str(), 1);
  }
  ~PrivatePortDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

 private:
  std::string path_;
};

void EnsurePrivatePortDir() {
  static PrivatePortDir dir;
}

// Child side: apply NAME=VALUE settings, then exec.
[[noreturn]] void Exec(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env) {
  for (const auto& kv : env) putenv(const_cast<char*>(kv.c_str()));
  auto argv = Argv(program, args);
  execv(program.c_str(), argv.data());
  _exit(127);
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return -1;
}

}  // namespace

SimProcess::~SimProcess() {
  if (pid_ > 0) Stop();
  if (!stderr_path_.empty()) unlink(stderr_path_.c_str());
}

bool SimProcess::Start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  char path[] = "/tmp/quelmar-sim-stderr-XXXXXX";
  const int err_fd = mkstemp(path);
  if (err_fd < 0) {
    ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
    return false;
  }
  stderr_path_ = path;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(err_fd);
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return false;
  }
  EnsurePrivatePortDir();
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    TieToParent(parent);
    dup2(out[1], STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    Exec(QUELMAR_SIM_PATH, args, env);
  }
  close(out[1]);
  close(err_fd);
  // The first line is the device path; give the simulator a few seconds.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  const size_t end = line.find('\n');
  if (end == std::string::npos) {
    ADD_FAILURE() << "quelmar-sim printed no device path within 10 s; stderr: " << Stderr();
    Stop();
    return false;
  }
  device_ = line.substr(0, end);
  return true;
}

int SimProcess::Stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  const int code = Wait(std::chrono::seconds(10));
  if (pid_ > 0) {
    ADD_FAILURE() << "quelmar-sim did not end within 10 s of SIGTERM; killed";
    KillGroup(pid_);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  return code;
}

int SimProcess::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return DecodeStatus(status);
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string SimProcess::Stderr() const {
  return ReadWholeFile(stderr_path_);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, std::chrono::milliseconds limit,
                     const std::string& stdin_path) {
  RunResult result;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
  EnsurePrivatePortDir();
  const auto start = std::chrono::steady_clock::now();
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    TieToParent(parent);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    const int in = open(stdin_path.empty() ? "/dev/null" : stdin_path.c_str(), O_RDONLY);
    dup2(in, STDIN_FILENO);
    Exec(program, args, env);
  }
  close(out[1]);
  close(err[1]);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_fds = 2;
  bool killed = false;
  while (open_fds > 0) {
    const auto now = std::chrono::steady_clock::now();
    if (!killed && now - start > limit) {
      ADD_FAILURE() << program << " did not end within " << limit.count() << " ms; killed";
      KillGroup(pid);
      killed = true;
    }
    // A grandchild that escaped the group may hold the pipes open.
    if (killed && now - start > limit + std::chrono::seconds(5)) break;
    if (poll(fds, 2, 100) <= 0) continue;
    for (auto& p : fds) {
      if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP))) continue;
      char buffer[4096];
      const ssize_t n = read(p.fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(p.fd);
        p.fd = -1;
        --open_fds;
        continue;
      }
      (p.fd == out[0] ? result.out : result.err).append(buffer, static_cast<size_t>(n));
    }
  }
  for (auto& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  result.exit_code = killed ? -1 : DecodeStatus(status);
  return result;
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0) {
    KillGroup(pid_);
    waitpid(pid_, nullptr, 0);
  }
  for (const std::string& path : {out_path_, err_path_}) {
    if (!path.empty()) unlink(path.c_str());
  }
}

bool BackgroundProgram::Start(const std::string& program, const std::vector<std::string>& args,
                              const std::vector<std::string>& env) {
  int fds[2] = {-1, -1};
  std::string* paths[2] = {&out_path_, &err_path_};
  for (int i = 0; i < 2; ++i) {
    char path[] = "/tmp/quelmar-run-XXXXXX";
    fds[i] = mkstemp(path);
    if (fds[i] < 0) {
      ADD_FAILURE() << "mkstemp: " << std::strerror(errno);
      return false;
    }
    *paths[i] = path;
  }
  EnsurePrivatePortDir();
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    TieToParent(parent);
    dup2(fds[0], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    const int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    Exec(program, args, env);
  }
  close(fds[0]);
  close(fds[1]);
  return pid_ > 0;
}

bool BackgroundProgram::WaitForOutput(const std::string& text, int times,
                                      std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Occurrences(Out(), text) >= times) return true;
    // Ended? Asked without reaping it, so that Wait still gets the status.
    siginfo_t info{};
    if (pid_ <= 0 ||
        (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid != 0)) {
      if (Occurrences(Out(), text) >= times) return true;
      ADD_FAILURE() << "the program ended before printing \"" << text << "\" " << times
                    << " time(s)";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ADD_FAILURE() << "waited " << limit.count() << " ms for \"" << text << "\" " << times
                << " time(s) on stdout";
  return false;
}

int BackgroundProgram::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ADD_FAILURE() << "the program did not end within " << limit.count() << " ms; killed";
      KillGroup(pid_);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  return DecodeStatus(status);
}

void BackgroundProgram::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

std::string BackgroundProgram::Out() const {
  return ReadWholeFile(out_path_);
}

std::string BackgroundProgram::Err() const {
  return ReadWholeFile(err_path_);
}

int Occurrences(const std::string& s, const std::string& text) {
  int n = 0;
  for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + text.size())) ++n;
  return n;
}

TempDir::TempDir() {
  char name[] = "/tmp/quelmar-test-XXXXXX";
  if (mkdtemp(name) != nullptr) path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> FileBytes(const std::string& path) {
  const std::string s = ReadWholeFile(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> b(n);
  for (auto& v : b) v = static_cast<uint8_t>(gen());
  return b;
}

}  // namespace quelmar::testing
