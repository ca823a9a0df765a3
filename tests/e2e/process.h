// Child processes for end-to-end tests: the simulated board and the CLI.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quelmar::testing {

// quelmar-sim running in the background on a fresh pseudo-terminal.
class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts the simulator with extra options and waits for the device path it
  // prints first. False (with a gtest failure) when it does not come up.
  bool Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
  // Asks it to stop (SIGTERM) and waits; returns the exit status, or -1.
  int Stop();
  // Waits for it to end by itself, at most the given time; -1 on time-out.
  int Wait(std::chrono::milliseconds limit);

  const std::string& device() const { return device_; }
  // What it wrote on stderr (complete after Stop or Wait).
  std::string Stderr() const;

 private:
  pid_t pid_ = -1;
  std::string device_;
  std::string stderr_path_;
};

struct RunResult {
  int exit_code = -1;  // -1 when killed or not started
  std::string out;     // stdout
  std::string err;     // stderr
  std::chrono::milliseconds elapsed{0};
};

// Runs a program to its end (killed after the limit) and collects its output.
// Its stdin is the file stdin_path, or the null device.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {},
                     std::chrono::milliseconds limit = std::chrono::seconds(120),
                     const std::string& stdin_path = "");

// A program running in the background with stdout and stderr in files, so
// a test can follow what it prints while it runs.
class BackgroundProgram {
 public:
  BackgroundProgram() = default;
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env = {});
  // Waits until stdout holds `text` `times` times; false after the limit
  // or when the program ended first.
  bool WaitForOutput(const std::string& text, int times, std::chrono::milliseconds limit);
  // Waits for the end, at most the limit (then kills it); the exit status,
  // or -1.
  int Wait(std::chrono::milliseconds limit);
  // Sends it a signal (SIGINT: the operator's Ctrl-C).
  void Signal(int signal_number);
  std::string Out() const;
  std::string Err() const;

 private:
  pid_t pid_ = -1;
  std::string out_path_;
  std::string err_path_;
};

// The number of times text occurs in s.
int Occurrences(const std::string& s, const std::string& text);

// A temporary folder removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);
std::vector<uint8_t> FileBytes(const std::string& path);
// n bytes of a fixed pseudo-random sequence for the seed.
std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed);
void WriteWholeFile(const std::string& path, const std::string& bytes);

}  // namespace quelmar::testing
