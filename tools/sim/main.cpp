// quelmar-sim: a simulated board whose resident bootloader answers on a
// pseudo-terminal (or on an existing tty), for trying the host tools
// without hardware.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "com_link.h"
#include "link/posix_port.h"
#include "pty_driver.h"
#include "version/version.h"

namespace {

using namespace quelmar::sim;

// Exit statuses.
constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitHungUp = 3;

constexpr const char* kHelp =
    R"(Usage: quelmar-sim [OPTION]...
Simulates a board's resident serial bootloader on a pseudo-terminal. The
first line on standard output is the device path for the host to open.
Serves until SIGINT or SIGTERM (exit status 0), or until a hangup fault.

  --tty PATH                serve the existing tty PATH instead of a new
                            pseudo-terminal: the board end of a link whose
                            other end is the host's port (a USB gadget's
                            /dev/ttyGS0, or a pty a virtual machine made for
                            its serial device); set raw at 115200 8N1, and
                            the first line is PATH once it is served. The
                            tty's hang-up ends the simulator (exit status 3);
                            a hangup fault closes the tty

  --bootloader MAJOR.MINOR  version to report (default 2.8); from 2.8 on
                            code frames are expected scrambled
  --chip NAME|WORD0[,WORD1] chip to report: LPC4310, LPC4320, LPC4330,
                            LPC4350, LPC4353 or LPC4357 (default), or the
                            identification words (0x... hexadecimal or decimal)
  --erase-ms N              data flash erase time in ms (default 2000)
  --data-size N[K|M]        data flash size in bytes, K = KiB, M = MiB
                            (default 1M); blocks beyond it fail to write
  --pace                    send and take bytes at the real 115200-baud
                            wire time (10 bits per byte)
  --dump-code-a FILE        on exit, write bank A (512 KiB) to FILE
  --dump-code-b FILE        on exit, write bank B (512 KiB) to FILE
  --dump-data FILE          on exit, write the data flash from offset 0 up to
                            the end of the highest block written (empty if
                            none was written since the last erase)
  --com N                   also create the link COM<N> (1..127) in the port
                            folder ($QUELMAR_PORT_DIR, else
                            $XDG_RUNTIME_DIR/quelmar, else /tmp/quelmar-<uid>);
                            removed on exit
  --force                   replace a COM<N> link that points at a present device
  --after-reboot WHAT       once a reboot is confirmed: "bootloader" answers
                            again (default), "silent" answers nothing more
                            (the application runs), "hangup" hangs the line
                            up and exits (the board is unplugged)
  --fault KIND@WHERE        misbehave; repeatable, first matching fault wins
  --quiet                   no summary line on standard error at exit
  --help                    show this help and exit
  --version                 show the version and exit

Faults. KIND is one of:
  silent          no reply at all
  short           only the first 2 bytes of the reply
  badstart        the reply starts with 0x55 instead of 0xAA, same length
  status=S1,S2,S3 the 4-byte status reply AA S1 S2 S3 instead
  error=CC        the 4-byte reply AA FF FF CC; the command or block is refused
  hangup          no reply; the line hangs up and the simulator exits
WHERE is one of:
  cmd=0x0A        every request with that command code
  block=A:5       code block 5 of bank A (block=B:5 for bank B)
  data=3          data flash block 3 (offset 3 * 512)
and may end in #N to hit only its N-th occurrence (cmd=0x0A#2). Byte values
are hexadecimal, with or without 0x; indices and counts are decimal. Except
with error=, the board still carries out what it was asked.

Exit status: 0 stopped by a signal, 1 failed to start or to write a dump,
2 bad command line, 3 the line was hung up (a fault, --after-reboot hangup,
or the tty given with --tty hung up).
)";

volatile sig_atomic_t g_stop = 0;
void OnStopSignal(int) {
  g_stop = 1;
}

bool ParseUnsigned(std::string_view text, uint64_t* value) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseVersion(std::string_view text, BoardConfig* config) {
  size_t dot = text.find('.');
  uint64_t major = 0;
  uint64_t minor = 0;
  if (dot == std::string_view::npos || !ParseUnsigned(text.substr(0, dot), &major) ||
      !ParseUnsigned(text.substr(dot + 1), &minor) || major > 255 || minor > 255) {
    return false;
  }
  config->major = static_cast<uint8_t>(major);
  config->minor = static_cast<uint8_t>(minor);
  return true;
}

bool ParseChip(std::string_view text, BoardConfig* config) {
  if (ChipWordsForName(text, &config->chip_word0, &config->chip_word1)) return true;
  size_t comma = text.find(',');
  uint64_t w0 = 0;
  uint64_t w1 = 0;
  if (!ParseUnsigned(text.substr(0, comma), &w0) || w0 > 0xFFFFFFFF) return false;
  if (comma != std::string_view::npos &&
      (!ParseUnsigned(text.substr(comma + 1), &w1) || w1 > 0xFFFFFFFF)) {
    return false;
  }
  config->chip_word0 = static_cast<uint32_t>(w0);
  config->chip_word1 = static_cast<uint32_t>(w1);
  return true;
}

bool ParseSize(std::string_view text, size_t* size) {
  uint64_t unit = 1;
  if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) unit = 1024;
  if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) unit = 1024 * 1024;
  if (unit != 1) text.remove_suffix(1);
  uint64_t value = 0;
  // Up to 4 GiB: data frames address the flash with 32 bits.
  if (!ParseUnsigned(text, &value) || value == 0 || value > (uint64_t{1} << 32) / unit) {
    return false;
  }
  *size = static_cast<size_t>(value * unit);
  return true;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) {
    std::fprintf(stderr, "quelmar-sim: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

struct Options {
  BoardConfig board;
  bool pace = false;
  bool quiet = false;
  bool force = false;
  int com = 0;
  std::string dump_a;
  std::string dump_b;
  std::string dump_data;
  std::string tty;
};

int Usage(const std::string& message) {
  std::fprintf(stderr, "quelmar-sim: %s\nTry 'quelmar-sim --help'.\n", message.c_str());
  return kExitUsage;
}

// Returns -1 to go on, else the exit status.
int ParseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (arg.starts_with("--") && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    auto take = [&]() -> bool {
      if (has_value) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    auto flag = [&]() { return !has_value; };

    if (arg == "--help" && flag()) {
      std::fputs(kHelp, stdout);
      return kExitStopped;
    } else if (arg == "--version" && flag()) {
      std::printf("quelmar-sim %s\n", quelmar::VersionString());
      return kExitStopped;
    } else if (arg == "--pace" && flag()) {
      options->pace = true;
    } else if (arg == "--quiet" && flag()) {
      options->quiet = true;
    } else if (arg == "--force" && flag()) {
      options->force = true;
    } else if (arg == "--bootloader") {
      if (!take() || !ParseVersion(value, &options->board)) {
        return Usage("--bootloader takes MAJOR.MINOR, each 0..255");
      }
    } else if (arg == "--chip") {
      if (!take() || !ParseChip(value, &options->board)) {
        return Usage("--chip takes a chip name (LPC4310..LPC4357) or WORD0[,WORD1]");
      }
    } else if (arg == "--erase-ms") {
      uint64_t ms = 0;
      if (!take() || !ParseUnsigned(value, &ms) || ms > 24ULL * 3600 * 1000) {
        return Usage("--erase-ms takes a number of milliseconds");
      }
      options->board.erase_duration = std::chrono::milliseconds(ms);
    } else if (arg == "--data-size") {
      if (!take() || !ParseSize(value, &options->board.data_size)) {
        return Usage("--data-size takes a size of 1 byte to 4 GiB, e.g. 1048576 or 1M");
      }
    } else if (arg == "--dump-code-a" || arg == "--dump-code-b" || arg == "--dump-data") {
      if (!take() || value.empty()) return Usage(arg + " takes a file name");
      std::string& target = arg == "--dump-code-a"   ? options->dump_a
                            : arg == "--dump-code-b" ? options->dump_b
                                                     : options->dump_data;
      target = value;
    } else if (arg == "--tty") {
      if (!take() || value.empty()) return Usage("--tty takes the path of a tty");
      options->tty = value;
    } else if (arg == "--com") {
      uint64_t n = 0;
      if (!take() || !ParseUnsigned(value, &n) || n < 1 || n > 127) {
        return Usage("--com takes a port number from 1 to 127");
      }
      options->com = static_cast<int>(n);
    } else if (arg == "--after-reboot") {
      if (!take()) return Usage("--after-reboot takes bootloader, silent or hangup");
      if (value == "bootloader") {
        options->board.after_reboot = AfterReboot::kBootloader;
      } else if (value == "silent") {
        options->board.after_reboot = AfterReboot::kSilent;
      } else if (value == "hangup") {
        options->board.after_reboot = AfterReboot::kHangup;
      } else {
        return Usage("--after-reboot takes bootloader, silent or hangup, not " + value);
      }
    } else if (arg == "--fault") {
      Fault fault;
      std::string error;
      if (!take()) return Usage("--fault takes KIND@WHERE");
      if (!ParseFault(value, &fault, &error)) return Usage("--fault " + value + ": " + error);
      options->board.faults.push_back(fault);
    } else {
      return Usage("unknown option " + std::string(argv[i]));
    }
  }
  if (options->com != 0 && !options->tty.empty()) {
    // The host opens the other end of a tty served, not the tty itself.
    return Usage("--com and --tty do not go together");
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = ParseArguments(argc, argv, &options);
  if (status >= 0) return status;

  // The stop signals stay blocked except while the server waits, so that a
  // signal is never missed between a check and the wait.
  sigset_t stop_signals;
  sigset_t wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  Board board(options.board);
  PtyLine line;
  std::string error;
  if (!(options.tty.empty() ? line.Open(&error) : line.OpenTty(options.tty, &error))) {
    std::fprintf(stderr, "quelmar-sim: %s\n", error.c_str());
    return kExitFailed;
  }
  const std::string slave = line.slave_path();
  std::string link_path;
  if (options.com != 0 && !CreateComLink(quelmar::link::PortLinkDirectory(), options.com, slave,
                                         options.force, &link_path, &error)) {
    std::fprintf(stderr, "quelmar-sim: %s\n", error.c_str());
    return kExitFailed;
  }
  std::printf("%s\n", slave.c_str());
  std::fflush(stdout);

  ServeOptions serve;
  serve.pace = options.pace;
  serve.stop = &g_stop;
  serve.wait_mask = &wait_mask;
  ServeEnd end = Serve(line, board, serve, &error);
  line.Close();
  RemoveComLink(link_path, slave);

  switch (end) {
    case ServeEnd::kStopped:
      status = kExitStopped;
      break;
    case ServeEnd::kHungUp:
    case ServeEnd::kLineGone:
      status = kExitHungUp;
      break;
    case ServeEnd::kFailed:
      std::fprintf(stderr, "quelmar-sim: %s\n", error.c_str());
      status = kExitFailed;
      break;
  }
  bool dumped = true;
  if (!options.dump_a.empty()) {
    dumped &= WriteFile(options.dump_a, board.bank(0).data(), board.bank(0).size());
  }
  if (!options.dump_b.empty()) {
    dumped &= WriteFile(options.dump_b, board.bank(1).data(), board.bank(1).size());
  }
  if (!options.dump_data.empty()) {
    auto data = board.WrittenData();
    dumped &= WriteFile(options.dump_data, data.data(), data.size());
  }
  if (!options.quiet) {
    const char* ending = end == ServeEnd::kHungUp     ? "; hung up the line"
                         : end == ServeEnd::kLineGone ? "; the line hung up"
                                                      : "";
    std::fprintf(stderr, "quelmar-sim: %s%s\n", board.Summary().c_str(), ending);
  }
  return dumped ? status : kExitFailed;
}
