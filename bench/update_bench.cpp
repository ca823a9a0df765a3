// update_bench: what the host adds to the wire during a code update.
//
// Figure 1: a full two-bank update (2 x 2048 blocks, scrambled frames)
// through the real port code (MakePosixPortSystem, Link::OpenPort,
// update::RunCodeUpdate) over a pseudo-terminal whose other end answers at
// once, against a bare loop of the same exchanges with raw system calls on
// the same line. Their ratio is the host's own cost.
// Figure 2: one bank against quelmar-sim --pace, against the wire time of the
// bytes exchanged at 115200 baud.
//
// Times are printed, never judged: the exit status only says whether every
// update ran as it should.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "sim_child.h"
#include "common/flags.h"
#include "common/log.h"
#include "common/progress.h"
#include "common/ui_sink.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "link/link.h"
#include "link/posix_port.h"
#include "link/protocol.h"
#include "update/update.h"

extern char** environ;

namespace {

using namespace quelmar;
using SteadyClock = std::chrono::steady_clock;
using bench::Child;
using bench::ReadFirstLine;
using bench::StartSim;
using bench::StopSim;

constexpr uint32_t kBlocksPerBank = image::CODE_IMAGE_SIZE / link::kCodeBlockSize;  // 2048
constexpr uint8_t kBootMajor = 2;
constexpr uint8_t kBootMinor = 8;  // from 2.8 on, code frames are scrambled
// 10 bits per byte at 115200 baud.
constexpr double kWireSecondsPerByte = 10.0 / 115200.0;
// Per block on the wire: request 4 + reply 4 + frame 262 + reply 4.
constexpr uint32_t kBlockWireBytes = 2 * link::kStatusReplySize + 4 + link::kCodeFrameSize;
constexpr uint32_t kCommandWireBytes = 4 + link::kStatusReplySize;

constexpr const char* kUsage =
    R"(Usage: update_bench [OPTION]...
Measures the host's cost of a code update over a pseudo-terminal.

  --rounds N          rounds of the real and bare runs, alternating (default 5)
  --paced-blocks N    blocks of the paced run against quelmar-sim --pace,
                      1..2048 (default 2048, about 49 s)
  --quick             the paced run writes 256 blocks
  --paced-bare        also run the bare loop against a paced simulator, to
                      tell the host's share from the simulator's
  --sim-slack-ns N    timer slack of the simulator in ns (default 1000; 0
                      leaves it the system's, usually 50000)
  --no-paced          skip the paced run
  --help              show this help and exit
)";

double Seconds(SteadyClock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double ThreadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Wall time, and the CPU time of the calling thread (user and system): the
// host's own work, apart from the time it spends waiting for the other end.
struct Timing {
  double wall = 0;
  double cpu = 0;
};

class Stopwatch {
 public:
  Stopwatch() : wall_(SteadyClock::now()), cpu_(ThreadCpuSeconds()) {}
  Timing Elapsed() const {
    return Timing{Seconds(SteadyClock::now() - wall_), ThreadCpuSeconds() - cpu_};
  }

 private:
  SteadyClock::time_point wall_;
  double cpu_;
};

// ---------------------------------------------------------------------------
// Seams for the real run: nothing waits and nothing is shown.

// The 200 ms and 10 ms pauses of the update are the board's time, not the
// host's.
class NoSleepClock final : public Clock {
 public:
  TimePoint Now() override { return SteadyClock::now(); }
  void Sleep(std::chrono::milliseconds) override {}
};

// Counts what a front end would show and keeps only the error text, which
// says why a run failed.
class CountingSink final : public UiSink {
 public:
  void LogText(int severity, std::string_view text) override {
    ++log_calls;
    if (severity == kSeverityError) errors.append(text);
  }
  void ErrorBox(std::string_view text) override { errors.append(text); }
  void ProgressChanged(const ProgressState&) override { ++repaints; }
  void SetControlEnabled(int, bool) override {}

  uint64_t log_calls = 0;
  uint64_t repaints = 0;
  std::string errors;
};

// ---------------------------------------------------------------------------
// The images: both banks full of deterministic noise.

std::vector<uint8_t> MakeBank(uint32_t seed) {
  std::vector<uint8_t> bank(image::CODE_IMAGE_SIZE);
  uint32_t x = seed;
  for (uint8_t& b : bank) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return bank;
}

bool LoadImages(image::ImageStore& store, const std::vector<uint8_t>& bank_a,
                const std::vector<uint8_t>* bank_b) {
  const std::vector<uint8_t> file = image::BuildCodeFile(&bank_a, bank_b, 'E');
  return !file.empty() && store.LoadCodeImageFromMemory(file.data(), file.size()) &&
         store.CodeImage().present() && store.ExtendedCodeImage().present() == (bank_b != nullptr);
}

// ---------------------------------------------------------------------------
// A board that answers at once: a thread holding the pty master.

class Responder {
 public:
  explicit Responder(int master) : master_(master) {
    stop_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
  }
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;
  ~Responder() {
    const uint64_t one = 1;
    (void)!::write(stop_, &one, sizeof one);
    thread_.join();
    ::close(stop_);
  }

  // Counts since the last Reset; read once the host has finished a run.
  uint64_t requests() const { return requests_.load(std::memory_order_acquire); }
  uint64_t frames() const { return frames_.load(std::memory_order_acquire); }
  uint64_t faults() const { return faults_.load(std::memory_order_acquire); }
  void Reset() {
    requests_.store(0, std::memory_order_release);
    frames_.store(0, std::memory_order_release);
  }

 private:
  void Run();
  void Parse(const uint8_t* in, size_t n);
  void Answer(const uint8_t* reply, size_t n);

  const int master_;
  int stop_ = -1;
  std::thread thread_;
  // Incremental parse state, responder thread only.
  uint8_t request_[4] = {};
  uint32_t have_ = 0;
  uint32_t frame_left_ = 0;  // > 0 while a code frame is coming
  std::atomic<uint64_t> requests_{0};
  std::atomic<uint64_t> frames_{0};
  std::atomic<uint64_t> faults_{0};  // out-of-step input or a failed write
};

constexpr uint8_t kDone[link::kStatusReplySize] = {link::REPLY_START, 0x01, 0x00, 0x00};

void Responder::Run() {
  uint8_t in[4096];
  pollfd fds[2] = {{master_, POLLIN, 0}, {stop_, POLLIN, 0}};
  for (;;) {
    int r = ::poll(fds, 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      faults_.fetch_add(1);
      return;
    }
    if (fds[1].revents != 0) return;
    if ((fds[0].revents & POLLIN) != 0) {
      ssize_t n = ::read(master_, in, sizeof in);
      if (n > 0) {
        Parse(in, static_cast<size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        faults_.fetch_add(1);
        return;
      }
    } else if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      // The bench keeps a slave descriptor open, so this is a real fault.
      faults_.fetch_add(1);
      return;
    }
  }
}

void Responder::Parse(const uint8_t* in, size_t n) {
  size_t k = 0;
  while (k < n) {
    if (frame_left_ > 0) {
      const auto take = static_cast<uint32_t>(std::min<size_t>(frame_left_, n - k));
      frame_left_ -= take;
      k += take;
      if (frame_left_ == 0) {
        frames_.fetch_add(1, std::memory_order_release);
        Answer(kDone, sizeof kDone);
      }
      continue;
    }
    request_[have_++] = in[k++];
    if (have_ < sizeof request_) continue;
    have_ = 0;
    requests_.fetch_add(1, std::memory_order_release);
    if (request_[0] != link::REQUEST_START) {
      faults_.fetch_add(1);
      continue;
    }
    switch (request_[2]) {
      case link::CMD_GET_BOOTLOADER_INFO: {
        uint8_t reply[link::kBootloaderReplySize] = {
            link::REPLY_START, 0x03, link::CMD_GET_BOOTLOADER_INFO, kBootMajor, kBootMinor, 0};
        reply[5] = link::XorCheck(reply, 5);
        Answer(reply, sizeof reply);
        break;
      }
      case link::CMD_GET_CHIP_INFO: {
        uint8_t reply[link::kChipReplySize] = {link::REPLY_START, 32, link::CMD_GET_CHIP_INFO};
        link::WriteLe32(&reply[3], 0xA001C830);  // LPC4357
        reply[35] = link::XorCheck(reply, 35);
        Answer(reply, sizeof reply);
        break;
      }
      case link::CMD_BLOCK_START:
        frame_left_ = link::kCodeFrameSize;
        Answer(kDone, sizeof kDone);
        break;
      default:
        Answer(kDone, sizeof kDone);
        break;
    }
  }
}

void Responder::Answer(const uint8_t* reply, size_t n) {
  size_t sent = 0;
  while (sent < n) {
    ssize_t k = ::write(master_, reply + sent, n - sent);
    if (k > 0) {
      sent += static_cast<size_t>(k);
    } else if (k < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master_, POLLOUT, 0};
      (void)::poll(&p, 1, 100);
    } else {
      faults_.fetch_add(1);
      return;
    }
  }
}

// ---------------------------------------------------------------------------
// The pseudo-terminal: the master for the responder, and a slave descriptor
// held for the whole run (so the master never sees a hang-up between runs)
// that the bare loop uses.

// The line settings the port code makes, on a blocking descriptor: raw
// 8-bit, 115200 baud, reads that wait for at least one byte.
bool MakeRawLine(int fd) {
  termios t{};
  if (::tcgetattr(fd, &t) != 0) return false;
  ::cfmakeraw(&t);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;

  ~Pty() {
    if (slave >= 0) ::close(slave);
    if (master >= 0) ::close(master);
  }
  bool Open() {
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return false;
    const char* name = ::ptsname(master);
    if (name == nullptr) return false;
    path = name;
    slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0 || !MakeRawLine(slave)) return false;
    const int flags = ::fcntl(master, F_GETFL);
    return flags >= 0 && ::fcntl(master, F_SETFL, flags | O_NONBLOCK) == 0;
  }
};

// ---------------------------------------------------------------------------
// The real run: the product's own code from open to close.

struct RealResult {
  bool opened = false;
  update::UpdateOutcome outcome = update::UpdateOutcome::kFailure;
  Timing time;
  uint64_t repaints = 0;
  std::string errors;
};

RealResult RunReal(link::PortSystem& ports, const std::string& device,
                   const image::ImageStore& images) {
  RealResult result;
  CountingSink sink;
  Log log(&sink);
  Progress progress(&sink);
  NoSleepClock clock;
  UpdateFlags flags;
  link::Link link(ports, log, sink);
  link.SetSelectedPort(link::PortId{0, device});
  result.opened = link.OpenPort();
  if (result.opened) {
    flags.BusyFlag.store(1);  // as a front end does before it starts an update
    update::UpdateContext context{link, images, progress, log, clock, flags, sink};
    const Stopwatch watch;
    result.outcome = update::RunCodeUpdate(context);
    result.time = watch.Elapsed();
    link.ClosePort();
  }
  result.repaints = sink.repaints;
  result.errors = sink.errors;
  return result;
}

// ---------------------------------------------------------------------------
// The bare run: the same exchanges with nothing but system calls, on frames
// built beforehand.

// Every frame of the update in order, built with the same protocol code the
// update uses, so the bare loop sends the very same bytes.
std::vector<uint8_t> PrebuildFrames(const image::ImageStore& images) {
  std::vector<uint8_t> frames;
  frames.reserve(size_t{2} * kBlocksPerBank * link::kCodeFrameSize);
  const bool scramble = kBootMajor * 10 + kBootMinor >= link::kScrambleVersionCode;
  const image::Image* banks[2] = {&images.CodeImage(), &images.ExtendedCodeImage()};
  const uint32_t bases[2] = {link::kBankAAddress, link::kBankBAddress};
  for (int b = 0; b < 2; ++b) {
    if (!banks[b]->present()) continue;
    for (uint32_t i = 0; i < kBlocksPerBank; ++i) {
      link::CodeFrame frame{};
      const uint8_t* block = banks[b]->data() + size_t{i} * link::kCodeBlockSize;
      for (uint32_t j = 0; j < link::kCodeBlockSize; ++j) {
        frame[5 + j] = images.DecodeCodeByte(block[j]);
      }
      link::SealCodeFrame(frame, bases[b] + i * link::kCodeBlockSize);
      if (scramble) link::ScrambleCodeFrame(frame);
      frames.insert(frames.end(), frame.begin(), frame.end());
    }
  }
  return frames;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    ssize_t k = ::write(fd, data, n);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    data += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// Reads one 4-byte status reply; true when it came whole and says
// STATUS_DONE, or, with refused, the board's "write failed" refusal.
bool ReadStatus(int fd, bool refused = false) {
  uint8_t reply[link::kStatusReplySize];
  size_t got = 0;
  while (got < sizeof reply) {
    ssize_t k = ::read(fd, reply + got, sizeof reply - got);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    got += static_cast<size_t>(k);
  }
  if (reply[0] != link::REPLY_START) return false;
  if (refused) {
    return link::IsStatusError(reply[1], reply[2]) && reply[3] == link::ERR_WRITE_FAILED;
  }
  return link::IsStatusDone(reply[1], reply[2]);
}

bool BareCommand(int fd, uint8_t command) {
  const link::RequestFrame request = link::MakeRequest(command);
  ::tcflush(fd, TCIOFLUSH);
  return WriteAll(fd, request.data(), request.size()) && ReadStatus(fd);
}

// The exchanges of an update on a raw blocking descriptor: the erase, then
// per bank a prepare and `blocks` block exchanges, on the frames of
// PrebuildFrames. With refuse_last the board must refuse the last block (how
// a paced run is cut short). Nothing when an exchange went wrong.
std::optional<Timing> RunBare(int fd, const std::vector<uint8_t>& frames, int banks,
                              uint32_t blocks, bool refuse_last) {
  const Stopwatch watch;
  if (!BareCommand(fd, link::CMD_ERASE_CODE)) return std::nullopt;
  for (int bank = 0; bank < banks; ++bank) {
    if (!BareCommand(fd, link::CMD_PREPARE)) return std::nullopt;
    const uint8_t* frame =
        frames.data() + size_t{static_cast<uint32_t>(bank) * kBlocksPerBank} * link::kCodeFrameSize;
    for (uint32_t i = 0; i < blocks; ++i, frame += link::kCodeFrameSize) {
      const bool refused = refuse_last && bank + 1 == banks && i + 1 == blocks;
      if (!BareCommand(fd, link::CMD_BLOCK_START) || !WriteAll(fd, frame, link::kCodeFrameSize) ||
          !ReadStatus(fd, refused)) {
        return std::nullopt;
      }
    }
  }
  return watch.Elapsed();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

double Best(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

// Figure 1. False when a run went wrong.
bool HostOverheadFigure(int rounds, const image::ImageStore& images) {
  Pty pty;
  if (!pty.Open()) {
    std::fprintf(stderr, "update_bench: cannot set up a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return false;
  }
  Responder responder(pty.master);
  std::unique_ptr<link::PortSystem> ports = link::MakePosixPortSystem();
  const std::vector<uint8_t> frames = PrebuildFrames(images);
  // Requests in one update: erase, two prepares, a block start per block.
  const uint64_t expected_requests = 3 + 2 * uint64_t{kBlocksPerBank};
  const uint64_t expected_frames = 2 * uint64_t{kBlocksPerBank};

  std::printf(
      "Figure 1: host cost of a full code update (2 banks x %u blocks, bootloader %u.%u,\n"
      "scrambled frames) over a pseudo-terminal answered at once; %d rounds, alternating.\n",
      kBlocksPerBank, kBootMajor, kBootMinor, rounds);
  std::vector<double> real_wall, bare_wall, real_cpu, bare_cpu;
  for (int round = 1; round <= rounds; ++round) {
    responder.Reset();
    RealResult r = RunReal(*ports, pty.path, images);
    // Identification adds two requests outside the timed update.
    if (!r.opened || r.outcome != update::UpdateOutcome::kSuccess ||
        responder.requests() != expected_requests + 2 || responder.frames() != expected_frames ||
        r.repaints == 0) {
      std::fprintf(stderr,
                   "update_bench: the real update failed (round %d: %llu requests, %llu frames):\n"
                   "%s\n",
                   round, static_cast<unsigned long long>(responder.requests()),
                   static_cast<unsigned long long>(responder.frames()), r.errors.c_str());
      return false;
    }
    responder.Reset();
    const std::optional<Timing> b = RunBare(pty.slave, frames, 2, kBlocksPerBank, false);
    if (!b || responder.requests() != expected_requests || responder.frames() != expected_frames) {
      std::fprintf(stderr, "update_bench: the bare loop failed in round %d\n", round);
      return false;
    }
    real_wall.push_back(r.time.wall);
    bare_wall.push_back(b->wall);
    real_cpu.push_back(r.time.cpu);
    bare_cpu.push_back(b->cpu);
    std::printf("  round %d: real %.3f s (cpu %.3f s), bare %.3f s (cpu %.3f s), ratio %.3f\n",
                round, r.time.wall, r.time.cpu, b->wall, b->cpu, r.time.wall / b->wall);
    std::fflush(stdout);
  }
  if (responder.faults() != 0) {
    std::fprintf(stderr, "update_bench: the responder saw %llu faults\n",
                 static_cast<unsigned long long>(responder.faults()));
    return false;
  }
  const double us_per_block = 1e6 / (2.0 * kBlocksPerBank);
  const double real_median = Median(real_wall);
  const double bare_median = Median(bare_wall);
  const double real_best = Best(real_wall);
  const double bare_best = Best(bare_wall);
  std::printf("  real (RunCodeUpdate through the port code): median %.3f s, best %.3f s\n",
              real_median, real_best);
  std::printf("  bare (same exchanges, raw system calls):    median %.3f s, best %.3f s\n",
              bare_median, bare_best);
  std::printf("  ratio real / bare: %.3f (medians), %.3f (bests); goal: at most 1.2\n",
              real_median / bare_median, real_best / bare_best);
  std::printf("  host overhead per block: %.2f us (medians), %.2f us (bests)\n",
              (real_median - bare_median) * us_per_block, (real_best - bare_best) * us_per_block);
  // The wall times are mostly the pseudo-terminal's round trips; the host
  // thread's CPU time is its own work and much less noisy.
  const double real_cpu_median = Median(real_cpu);
  const double bare_cpu_median = Median(bare_cpu);
  std::printf(
      "  host thread CPU per block (medians): real %.2f us, bare %.2f us, ratio %.3f, "
      "difference %.2f us\n",
      real_cpu_median * us_per_block, bare_cpu_median * us_per_block,
      real_cpu_median / bare_cpu_median, (real_cpu_median - bare_cpu_median) * us_per_block);
  return true;
}

// ---------------------------------------------------------------------------
// Figure 2: against the simulator at the real baud rate.

struct PacedSettings {
  uint32_t blocks = kBlocksPerBank;
  uint32_t slack_ns = 1000;
  bool bare_too = false;
};

// Starts a paced simulator, hands its device to `run` (which fills *time and
// says whether its update went as planned), stops the simulator and checks
// what it stored in bank A.
template <typename Run>
bool WithPacedSim(const PacedSettings& settings, const std::vector<uint8_t>& plain_a, Run run,
                  Timing* time) {
  char dir_template[] = "/tmp/update_bench-XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) {
    std::fprintf(stderr, "update_bench: cannot make a temporary folder\n");
    return false;
  }
  const std::string dir = dir_template;
  const std::string dump = dir + "/bank_a.bin";
  // Fewer blocks than the bank: the board refuses block `blocks`, which ends
  // the update right after that block's exchange.
  std::vector<std::string> args = {"--pace", "--quiet", "--dump-code-a", dump};
  if (settings.blocks < kBlocksPerBank) {
    args.push_back("--fault");
    args.push_back("error=BB@block=A:" + std::to_string(settings.blocks));
  }
  Child sim;
  std::string device;
  if (!StartSim(args, settings.slack_ns, &sim) || !ReadFirstLine(sim.out, &device)) {
    std::fprintf(stderr, "update_bench: cannot start %s\n", QUELMAR_SIM_PATH);
    StopSim(sim);
    ::rmdir(dir.c_str());
    return false;
  }
  bool ok = run(device, time);
  const int status = StopSim(sim);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "update_bench: the simulator ended with status %d\n", status);
    ok = false;
  }
  // What the board stored must be the bank, block for block.
  std::ifstream in(dump, std::ios::binary);
  std::vector<uint8_t> stored((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  const size_t written = size_t{settings.blocks} * link::kCodeBlockSize;
  if (stored.size() < written ||
      !std::equal(plain_a.begin(), plain_a.begin() + static_cast<long>(written), stored.begin())) {
    std::fprintf(stderr, "update_bench: bank A as the simulator stored it differs\n");
    ok = false;
  }
  ::unlink(dump.c_str());
  ::rmdir(dir.c_str());
  return ok;
}

// Figure 2. False when a run went wrong.
bool PacedFigure(const PacedSettings& settings, const std::vector<uint8_t>& plain_a) {
  const uint32_t blocks = settings.blocks;
  const bool cut_short = blocks < kBlocksPerBank;
  // Bank A alone: one bank.
  Log load_log;
  image::ImageStore images(load_log);
  if (!LoadImages(images, plain_a, nullptr)) {
    std::fprintf(stderr, "update_bench: cannot build the one-bank image\n");
    return false;
  }
  const uint32_t exchanged = cut_short ? blocks + 1 : blocks;
  // Erase and prepare exchanges, then every block exchanged.
  const double wire_bytes =
      2.0 * kCommandWireBytes + static_cast<double>(exchanged) * kBlockWireBytes;
  const double wire = wire_bytes * kWireSecondsPerByte;
  std::printf("Figure 2: one bank against quelmar-sim --pace (115200 baud, 10 bits per byte),\n");
  // The simulator wakes for every byte it paces; its timer slack (50 us by
  // default) would count as time above the wire though it is none of the host's.
  if (settings.slack_ns > 0) {
    std::printf("simulator timer slack %u ns.\n", settings.slack_ns);
  } else {
    std::printf("simulator timer slack as inherited (%d ns).\n",
                ::prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0));
  }
  std::printf("  blocks exchanged: %u (plus erase and prepare), %.0f bytes, wire time %.3f s\n",
              exchanged, wire_bytes, wire);
  std::fflush(stdout);

  Timing real{};
  auto run_real = [&](const std::string& device, Timing* time) {
    std::unique_ptr<link::PortSystem> ports = link::MakePosixPortSystem();
    const RealResult r = RunReal(*ports, device, images);
    *time = r.time;
    const std::string refusal = "Failed write CODE. i = " + std::to_string(blocks);
    const bool ok = r.opened && (cut_short ? r.outcome == update::UpdateOutcome::kFailure &&
                                                 r.errors.find(refusal) != std::string::npos
                                           : r.outcome == update::UpdateOutcome::kSuccess);
    if (!ok) {
      std::fprintf(stderr, "update_bench: the paced update did not run as planned:\n%s\n",
                   r.errors.c_str());
    }
    return ok;
  };
  if (!WithPacedSim(settings, plain_a, run_real, &real)) return false;
  std::printf(
      "  real: measured %.3f s, ratio measured / wire %.4f (goal: at most 1.02), "
      "%.1f us per block above the wire\n",
      real.wall, real.wall / wire, (real.wall - wire) / exchanged * 1e6);
  std::printf("  bank A as the simulator stored it: matches (%u blocks)\n", blocks);
  if (!settings.bare_too) return true;

  const std::vector<uint8_t> frames = PrebuildFrames(images);
  Timing bare{};
  auto run_bare = [&](const std::string& device, Timing* time) {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const std::optional<Timing> b =
        fd >= 0 && MakeRawLine(fd) ? RunBare(fd, frames, 1, exchanged, cut_short) : std::nullopt;
    if (fd >= 0) ::close(fd);
    if (!b) {
      std::fprintf(stderr, "update_bench: the paced bare loop failed\n");
      return false;
    }
    *time = *b;
    return true;
  };
  if (!WithPacedSim(settings, plain_a, run_bare, &bare)) return false;
  std::printf(
      "  bare: measured %.3f s, ratio measured / wire %.4f, %.1f us per block above the "
      "wire\n",
      bare.wall, bare.wall / wire, (bare.wall - wire) / exchanged * 1e6);
  std::printf("  real / bare: %.4f\n", real.wall / bare.wall);
  return true;
}

bool ParseCount(const char* text, uint32_t low, uint32_t high, uint32_t* value) {
  std::string_view s(text);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *value);
  return ec == std::errc() && end == s.data() + s.size() && *value >= low && *value <= high;
}

}  // namespace

int main(int argc, char** argv) {
  uint32_t rounds = 5;
  PacedSettings settings;
  bool paced = true;
  for (int k = 1; k < argc; ++k) {
    const std::string_view arg = argv[k];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--quick") {
      settings.blocks = 256;
    } else if (arg == "--no-paced") {
      paced = false;
    } else if (arg == "--rounds" && k + 1 < argc && ParseCount(argv[k + 1], 1, 1000, &rounds)) {
      ++k;
    } else if (arg == "--paced-blocks" && k + 1 < argc &&
               ParseCount(argv[k + 1], 1, kBlocksPerBank, &settings.blocks)) {
      ++k;
    } else if (arg == "--paced-bare") {
      settings.bare_too = true;
    } else if (arg == "--sim-slack-ns" && k + 1 < argc &&
               ParseCount(argv[k + 1], 0, 1000000, &settings.slack_ns)) {
      ++k;
    } else {
      std::fprintf(stderr, "update_bench: bad argument '%s'\n%s", argv[k], kUsage);
      return 2;
    }
  }
  // A board or simulator that goes away must fail a write, not end us.
  ::signal(SIGPIPE, SIG_IGN);

  const std::vector<uint8_t> plain_a = MakeBank(1);
  const std::vector<uint8_t> plain_b = MakeBank(2);
  Log load_log;
  image::ImageStore images(load_log);
  if (!LoadImages(images, plain_a, &plain_b)) {
    std::fprintf(stderr, "update_bench: cannot build the two-bank image\n");
    return 1;
  }
  std::printf("update_bench (times from one run on this machine; other load skews them)\n");
  bool ok = HostOverheadFigure(static_cast<int>(rounds), images);
  if (ok && paced) ok = PacedFigure(settings, plain_a);
  return ok ? 0 : 1;
}
