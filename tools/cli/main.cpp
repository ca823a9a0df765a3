// quelmar-cli: writes firmware into LPC43xx boards from the command line.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <string>
#include <vector>

#include "common/utf8_path.h"
#endif

#include <cstdio>
#include <cstring>
#include <string_view>

#include "cli.h"
#include "version/version.h"

namespace {

using quelmar::cli::kExitOk;
using quelmar::cli::kExitUsage;

struct Command {
  const char* name;
  int (*run)(int argc, char** argv);
  const char* summary;
};

constexpr Command kCommands[] = {
    {"ports", quelmar::cli::CmdPorts, "list serial ports: COM number, device, busy or free"},
    {"identify", quelmar::cli::CmdIdentify, "open a port and identify bootloader and chip"},
    {"reboot", quelmar::cli::CmdReboot, "identify the board, then reboot it"},
    {"flash", quelmar::cli::CmdFlash, "write images or build output into boards, several at once"},
    {"station", quelmar::cli::CmdStation, "run a production station with a live dashboard page"},
    {"info", quelmar::cli::CmdInfo, "load an image file or build output and describe it"},
    {"pack-code", quelmar::cli::CmdPackCode, "write an .fcode file from binaries or build output"},
    {"pack-data", quelmar::cli::CmdPackData, "write an .fdata file from a binary"},
    {"records", quelmar::cli::CmdRecords, "list, search or export a production records file"},
    {"line", quelmar::cli::CmdLine, "the line's database: its tables, pools, orphans"},
    {"job", quelmar::cli::CmdJob, "release, list, retire or export the line's released jobs"},
    {"label", quelmar::cli::CmdLabel, "send a board's recorded label again (label reprint)"},
};

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: quelmar-cli COMMAND [ARGS...]\n"
               "       quelmar-cli COMMAND --help\n"
               "\n"
               "Writes firmware into boards built around an NXP LPC43xx through the\n"
               "board's resident serial bootloader (115200 baud).\n"
               "\n"
               "Commands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %-10s %s\n", c.name, c.summary);
  std::fprintf(out,
               "\n"
               "PORT is a COM number (COM3 or 3), a device path (/dev/ttyUSB0), or a\n"
               "port on another machine: rfc2217://HOST:PORT or socket://HOST:PORT.\n"
               "Exit status: 0 success, 1 the device or a file failed, 2 usage error.\n");
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // The same bytes as on Linux: no CR before each LF, so logs and reports
  // compare equal across systems (consoles and editors take plain LF).
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  // The arguments as UTF-8, as every file name is inside the program: argv
  // holds them in the ANSI code page, where a folder like "Prüfplatz 3"
  // would name another file than the same text in a profile does.
  const std::vector<std::string> utf8 = quelmar::Utf8Arguments();
  std::vector<char*> utf8_argv;
  for (const std::string& argument : utf8) utf8_argv.push_back(const_cast<char*>(argument.c_str()));
  utf8_argv.push_back(nullptr);
  if (!utf8.empty()) {
    argc = static_cast<int>(utf8.size());
    argv = utf8_argv.data();
  }
#endif
  if (argc < 2) {
    PrintUsage(stderr);
    return kExitUsage;
  }
  const std::string_view first = argv[1];
  if (quelmar::cli::IsHelp(first)) {
    PrintUsage(stdout);
    return kExitOk;
  }
  if (first == "--version" || first == "-V") {
    std::printf("quelmar-cli %s\n", quelmar::VersionString());
    return kExitOk;
  }
  for (const Command& c : kCommands) {
    if (first == c.name) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "quelmar-cli: unknown command '%s'\n", argv[1]);
  std::fprintf(stderr, "Try 'quelmar-cli --help'.\n");
  return kExitUsage;
}
