// production_bench: what the production line costs.
//
// 1. A board written at wire speed (quelmar-sim --pace), code in both
//    banks, through quelmar-cli with two fields (one per bank) and a records
//    file, against the same board and image without them, in turns.
//    Printed: the ratio of the median times (goal: at most 1.01).
// 2. Reserving one value of each of two fields and appending a board's
//    record, fsyncs included, in this process, board after board. Printed:
//    median and slowest per board (goal: under 5 ms), and the patching of
//    a board's two banks beside it.
// Times are printed, never judged: the exit status only says whether every
// run did what it should.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "image/image_store.h"
#include "image/image_writer.h"
#include "production/plan.h"
#include "production/record.h"
#include "sim_child.h"

extern char** environ;

namespace {

using SteadyClock = std::chrono::steady_clock;
namespace production = quelmar::production;

// Runs quelmar-cli with its output thrown away: seconds, or -1 when it did
// not end with `want`.
double RunCli(const std::vector<std::string>& args, int want) {
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
  if (error != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == want ? seconds : -1;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

int Usage() {
  std::fprintf(stderr,
               "Usage: production_bench [--rounds N] [--blocks N] [--boards N] [--fields 1|2] "
               "[--dir DIR] [--quick]\n"
               "  --rounds N  paced runs with and without fields, each (default 2)\n"
               "  --blocks N  the board refuses bank B's block N, ending each run the same\n"
               "              way (default: none, both banks written whole, ~100 s a run)\n"
               "  --boards N  boards reserved and recorded in part 2 (default 200)\n"
               "  --fields N  values reserved per board in part 2: 1, a serial number, or\n"
               "              2, a serial number and a MAC address (default)\n"
               "  --dir DIR   where part 2's state and records files go (default /var/tmp,\n"
               "              a disk rather than memory, so fsync costs what it costs)\n"
               "  --quick     1 round, bank B refused at block 64\n");
  return 2;
}

struct Settings {
  int rounds = 2;
  int blocks = -1;
  int boards = 200;
  int fields = 2;  // reserved per board in part 2: 1 (a serial number) or 2 (and a MAC)
  std::string dir = "/var/tmp";
};

bool Paced(const Settings& s, const std::string& dir) {
  std::mt19937 gen(11);
  std::vector<uint8_t> a(quelmar::image::CODE_IMAGE_SIZE), b(quelmar::image::CODE_IMAGE_SIZE);
  for (auto& x : a) x = static_cast<uint8_t>(gen());
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  // Erased where the fields go.
  std::fill(a.end() - 16, a.end(), 0xFF);
  std::fill(b.begin() + 0x100, b.begin() + 0x110, 0xFF);
  std::string error;
  const std::string code = dir + "/app.fcode";
  if (!quelmar::image::WriteFileAtomically(code, quelmar::image::BuildCodeFile(&a, &b, 'E'),
                                           &error)) {
    std::fprintf(stderr, "production_bench: %s\n", error.c_str());
    return false;
  }
  std::ofstream(dir + "/line.toml") << "code = \"app.fcode\"\nrecords = \"records.jsonl\"\n"
                                       "[[field]]\nname = \"serial\"\nat = 0x1A07FFF0\n"
                                       "start = 100000\nstate = \"serial.state\"\n"
                                       "[[field]]\nname = \"mac\"\nat = 0x1B000100\n"
                                       "format = \"mac\"\nstart = \"02:51:4D:00:00:00\"\n"
                                       "state = \"mac.state\"\n";
  std::vector<std::string> sim_args = {"--pace", "--quiet"};
  if (s.blocks >= 0)
    sim_args.insert(sim_args.end(), {"--fault", "error=BB@block=B:" + std::to_string(s.blocks)});
  quelmar::bench::Child sim;
  std::string device;
  if (!quelmar::bench::StartSim(sim_args, 1000, &sim) ||
      !quelmar::bench::ReadFirstLine(sim.out, &device)) {
    std::fprintf(stderr, "production_bench: cannot start %s\n", QUELMAR_SIM_PATH);
    return false;
  }
  const int want = s.blocks >= 0 ? 1 : 0;
  std::vector<double> with, without;
  bool ok = true;
  for (int round = 0; ok && round < s.rounds; ++round) {
    for (int k = 0; k < 2 && ok; ++k) {
      const bool fields = (round + k) % 2 == 0;
      const double t = fields ? RunCli({"flash", device, "--profile", dir + "/line.toml"}, want)
                              : RunCli({"flash", device, "--code", code}, want);
      if (t < 0) {
        std::fprintf(stderr, "production_bench: a paced run %s fields went wrong\n",
                     fields ? "with" : "without");
        ok = false;
      }
      (fields ? with : without).push_back(t);
    }
  }
  quelmar::bench::StopSim(sim);
  if (!ok) return false;
  std::printf(
      "paced two-bank board%s: without fields %.2f s, with two fields and records %.2f s "
      "(medians of %d)\n",
      s.blocks >= 0 ? " (bank B refused at a fixed block)" : "", Median(without), Median(with),
      s.rounds);
  std::printf("  ratio with/without: %.4f (goal: at most 1.01)\n", Median(with) / Median(without));
  return true;
}

bool ReserveAndRecord(const Settings& s) {
  std::string dir = s.dir + "/production_bench-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) {
    std::fprintf(stderr, "production_bench: cannot make a folder in %s\n", s.dir.c_str());
    return false;
  }
  struct statfs fs {};
  statfs(dir.c_str(), &fs);
  quelmar::Log log;
  quelmar::image::ImageStore images(log);
  std::vector<uint8_t> a(quelmar::image::CODE_IMAGE_SIZE, 0xFF), b(a);
  const auto file = quelmar::image::BuildCodeFile(&a, &b, 'E');
  images.LoadCodeImageFromMemory(file.data(), file.size());
  std::vector<production::FieldDef> fields(2);
  fields[0].name = "serial";
  fields[0].where = {production::Place::kBankA, 0x7FF00};
  fields[0].size = 4;
  fields[0].start = 100000;
  fields[0].state_path = dir + "/serial.state";
  fields[1].name = "mac";
  fields[1].where = {production::Place::kBankB, 0x100};
  fields[1].format = production::Format::kMac;
  fields[1].size = 6;
  fields[1].start = 0x02514D000000;
  fields[1].state_path = dir + "/mac.state";
  fields.resize(static_cast<size_t>(s.fields));
  production::FieldPlan plan;
  production::RecordsFile records;
  std::string why;
  if (!plan.Prepare(fields, images, &why) || !records.Open(dir + "/records.jsonl", &why)) {
    std::fprintf(stderr, "production_bench: %s\n", why.c_str());
    return false;
  }
  std::vector<double> cost_ms, patch_ms, cpu_ms;
  auto cpu_now = [] {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
  };
  production::BoardRecord record;
  record.log = std::string(3000, 'x');  // a board's log is a few kB
  for (int i = 0; i < s.boards; ++i) {
    std::vector<production::FieldValue> values;
    const double c0 = cpu_now();
    const auto t0 = SteadyClock::now();
    if (plan.Reserve(&values, &why) != production::ValueSource::Reserved::kOk) break;
    const auto t1 = SteadyClock::now();
    const double c1 = cpu_now();
    production::BoardImages mine;
    if (!plan.Patch(images, values, &mine, &why)) break;
    const double c2 = cpu_now();
    const auto t2 = SteadyClock::now();
    record.board = static_cast<unsigned>(i + 1);
    if (!records.Append(record, &why)) break;
    const auto t3 = SteadyClock::now();
    cpu_ms.push_back((c1 - c0) + (cpu_now() - c2));
    cost_ms.push_back(std::chrono::duration<double, std::milli>((t1 - t0) + (t3 - t2)).count());
    patch_ms.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  // For scale: what one small append and its fsync cost on the same disk
  // at the same time (a reservation makes three flushes, the record one).
  std::vector<double> fsync_ms;
  const int probe = ::open((dir + "/probe").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  for (int i = 0; probe >= 0 && i < 50; ++i) {
    const auto t0 = SteadyClock::now();
    if (::write(probe, "0123456789\n", 11) != 11 || ::fsync(probe) != 0) break;
    fsync_ms.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count());
  }
  if (probe >= 0) ::close(probe);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (cost_ms.size() != static_cast<size_t>(s.boards)) {
    std::fprintf(stderr, "production_bench: %s\n", why.c_str());
    return false;
  }
  std::printf(
      "reserve (%d field%s) + record, fsyncs included, in %s (filesystem 0x%lx): "
      "median %.2f ms, slowest %.2f ms per board over %d boards (goal: under 5 ms)\n",
      s.fields, s.fields == 1 ? "" : "s", s.dir.c_str(), static_cast<unsigned long>(fs.f_type),
      Median(cost_ms), *std::max_element(cost_ms.begin(), cost_ms.end()), s.boards);
  std::printf(
      "  of which this thread's own CPU time: median %.2f ms (the rest is waiting for the "
      "disk and for a CPU)\n",
      Median(cpu_ms));
  std::printf("  patching the board's two banks: median %.2f ms\n", Median(patch_ms));
  std::printf("  one small append + fsync on that disk meanwhile: median %.2f ms\n",
              Median(fsync_ms));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto number = [&](long low, long high) -> long {
      if (i + 1 >= argc) return -1;
      const long v = std::strtol(argv[++i], nullptr, 10);
      return v >= low && v <= high ? v : -1;
    };
    long v = 0;
    if (arg == "--quick") {
      s.rounds = 1;
      s.blocks = 64;
    } else if (arg == "--rounds" && (v = number(1, 100)) > 0) {
      s.rounds = static_cast<int>(v);
    } else if (arg == "--blocks" && (v = number(1, 2047)) > 0) {
      s.blocks = static_cast<int>(v);
    } else if (arg == "--boards" && (v = number(1, 100000)) > 0) {
      s.boards = static_cast<int>(v);
    } else if (arg == "--fields" && (v = number(1, 2)) > 0) {
      s.fields = static_cast<int>(v);
    } else if (arg == "--dir" && i + 1 < argc) {
      s.dir = argv[++i];
    } else {
      return Usage();
    }
  }
  char dir_template[] = "/tmp/production_bench-XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) return 1;
  const bool ok = ReserveAndRecord(s) && Paced(s, dir_template);
  std::error_code ignored;
  std::filesystem::remove_all(dir_template, ignored);
  return ok ? 0 : 1;
}
