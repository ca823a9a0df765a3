// multi_board_bench: quelmar-cli flashing several boards at once against
// one board alone, all simulated at wire speed (quelmar-sim --pace).
//
// In each round the same image goes to one board alone and to N boards at
// once (the alone board among them), in turns, so both see the same machine.
// A bank is always written whole (2048 blocks, some 48 s at wire speed), so
// the boards refuse block --blocks: that ends every run after the same
// number of exchanges, and each quelmar-cli run ends with status 1.
// Printed: the ratio of the median times (N at once / one alone; goal: at
// most 1.10) and the host's CPU time per block and board of each (goal: the
// same). Times are printed, never judged: the exit status only says whether
// every flash succeeded and left the image in every board.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "image/image_store.h"
#include "image/image_writer.h"
#include "sim_child.h"

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;
using quelmar::bench::Child;

struct Settings {
  int boards = 8;
  uint32_t blocks = 256;
  int rounds = 3;
};

struct Run {
  double seconds = 0;
  double cpu_seconds = 0;  // user + system of the quelmar-cli process
  bool ok = false;
};

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// Runs quelmar-cli with its output thrown away; its time and CPU time.
Run RunCli(const std::vector<std::string>& args) {
  Run run;  // ok: exit status 1 with every board refusing the same block
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = QUELMAR_CLI_PATH;
  std::vector<std::string> copies = args;
  std::vector<char*> argv = {program.data()};
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const auto start = SteadyClock::now();
  const int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return run;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return run;
  run.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  run.cpu_seconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 1;
  return run;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int Usage() {
  std::fprintf(stderr,
               "Usage: multi_board_bench [--boards N] [--blocks N] [--rounds N] [--quick]\n"
               "  --boards N   boards written at once (default 8)\n"
               "  --blocks N   256-byte blocks written before a board refuses one (default 256)\n"
               "  --rounds N   rounds of one-alone and N-at-once (default 3)\n"
               "  --quick      64 blocks, 2 rounds\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](long low, long high) -> long {
      if (i + 1 >= argc) return -1;
      const long v = std::strtol(argv[++i], nullptr, 10);
      return v >= low && v <= high ? v : -1;
    };
    long v = 0;
    if (arg == "--quick") {
      settings.blocks = 64;
      settings.rounds = 2;
    } else if (arg == "--boards" && (v = number(1, 64)) > 0) {
      settings.boards = static_cast<int>(v);
    } else if (arg == "--blocks" && (v = number(1, 2047)) > 0) {
      settings.blocks = static_cast<uint32_t>(v);
    } else if (arg == "--rounds" && (v = number(1, 100)) > 0) {
      settings.rounds = static_cast<int>(v);
    } else {
      return Usage();
    }
  }

  char dir_template[] = "/tmp/multi_board_bench-XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) return 1;
  const std::string dir = dir_template;
  const std::string port_dir = dir + "/ports";
  ::mkdir(port_dir.c_str(), 0700);
  // The simulators and quelmar-cli meet through COM<n> links in a folder of
  // our own.
  ::setenv("QUELMAR_PORT_DIR", port_dir.c_str(), 1);

  std::vector<uint8_t> plain(quelmar::image::CODE_IMAGE_SIZE);
  std::mt19937 gen(7);
  for (auto& b : plain) b = static_cast<uint8_t>(gen());
  const std::string code = dir + "/app.fcode";
  std::string error;
  if (!quelmar::image::WriteFileAtomically(code, quelmar::image::BuildCodeFile(&plain, nullptr, 'E'),
                                           &error)) {
    std::fprintf(stderr, "multi_board_bench: %s\n", error.c_str());
    return 1;
  }

  std::vector<Child> sims(static_cast<size_t>(settings.boards));
  std::vector<std::string> ports;
  bool ok = true;
  for (int i = 0; i < settings.boards; ++i) {
    const int number = 101 + i;
    ports.push_back("COM" + std::to_string(number));
    std::string device;
    // 1 us timer slack, as update_bench: the default 50 us would delay
    // almost every byte the simulator paces.
    if (!quelmar::bench::StartSim({"--pace", "--quiet", "--com", std::to_string(number), "--force",
                                   "--dump-code-a", dir + "/bank-" + std::to_string(number),
                                   "--fault", "error=BB@block=A:" + std::to_string(settings.blocks)},
                                  1000, &sims[static_cast<size_t>(i)]) ||
        !quelmar::bench::ReadFirstLine(sims[static_cast<size_t>(i)].out, &device)) {
      std::fprintf(stderr, "multi_board_bench: cannot start %s\n", QUELMAR_SIM_PATH);
      ok = false;
      break;
    }
  }

  std::vector<double> alone_s, many_s, alone_cpu, many_cpu;
  std::vector<std::string> alone_args = {"flash", ports[0], "--code", code};
  std::vector<std::string> many_args = {"flash"};
  many_args.insert(many_args.end(), ports.begin(), ports.end());
  many_args.insert(many_args.end(), {"--code", code});
  for (int round = 0; ok && round < settings.rounds; ++round) {
    // In turns, so that neither always runs on a warmer machine.
    for (int k = 0; k < 2 && ok; ++k) {
      const bool alone = (round + k) % 2 == 0;
      const Run r = RunCli(alone ? alone_args : many_args);
      if (!r.ok) {
        std::fprintf(stderr, "multi_board_bench: a flash of %s failed\n",
                     alone ? "one board" : "all boards");
        ok = false;
        break;
      }
      (alone ? alone_s : many_s).push_back(r.seconds);
      (alone ? alone_cpu : many_cpu).push_back(r.cpu_seconds);
    }
  }
  for (Child& sim : sims) quelmar::bench::StopSim(sim);

  // Every board holds the image up to the block it refused.
  std::vector<uint8_t> expected(quelmar::image::CODE_IMAGE_SIZE, 0xFF);
  std::copy(plain.begin(), plain.begin() + settings.blocks * 256, expected.begin());
  for (int i = 0; ok && i < settings.boards; ++i) {
    std::ifstream in(dir + "/bank-" + std::to_string(101 + i), std::ios::binary);
    const std::vector<uint8_t> bank((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (bank != expected) {
      std::fprintf(stderr, "multi_board_bench: COM%d does not hold the image\n", 101 + i);
      ok = false;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (!ok) return 1;

  const double alone = Median(alone_s);
  const double many = Median(many_s);
  const double blocks = settings.blocks + 1;  // the refused one was sent too
  const double cpu_alone = Median(alone_cpu) / blocks * 1e6;
  const double cpu_many = Median(many_cpu) / (blocks * settings.boards) * 1e6;
  std::printf("Several boards at once (%d boards, %u blocks each, paced at 115200 baud, %d rounds)\n",
              settings.boards, settings.blocks, settings.rounds);
  std::printf("  one board alone:   %.2f s (median)\n", alone);
  std::printf("  %d boards at once:  %.2f s (median)\n", settings.boards, many);
  std::printf("  ratio %d at once / one alone: %.3f (goal: at most 1.10)\n", settings.boards,
              many / alone);
  std::printf("  host CPU per block and board: one alone %.1f us, %d at once %.1f us, ratio %.2f\n",
              cpu_alone, settings.boards, cpu_many, cpu_many / cpu_alone);
  return 0;
}
