// Sub-commands that talk to a board: ports, identify, reboot.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cli.h"
#include "common/log.h"
#include "link/link.h"
#include "link/port_list.h"

namespace quelmar::cli {
namespace {

// Parses "COMMAND PORT" with --help; returns the port text or an exit code.
struct PortArgs {
  std::optional<std::string> port;
  int exit_code = kExitOk;
};

PortArgs ParseSinglePort(int argc, char** argv, const char* help) {
  PortArgs parsed;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (IsHelp(arg)) {
      std::fputs(help, stdout);
      parsed.exit_code = kExitOk;
      parsed.port.reset();
      return parsed;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      parsed.exit_code = UsageError(argv[0], "unknown option '" + std::string(arg) + "'");
      return parsed;
    }
    if (parsed.port) {
      parsed.exit_code = UsageError(argv[0], "only one PORT may be given");
      parsed.port.reset();
      return parsed;
    }
    parsed.port = std::string(arg);
  }
  if (!parsed.port) parsed.exit_code = UsageError(argv[0], "missing PORT");
  return parsed;
}

// Opens and identifies the board on the port text; prints the log.
struct Session {
  TerminalSink sink;
  Log log{&sink};
  std::unique_ptr<link::PortSystem> ports = link::MakePlatformPortSystem();
  link::Link board{*ports, log, sink};
};

}  // namespace

int CmdPorts(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (IsHelp(argv[i])) {
      std::fputs(
          "Usage: quelmar-cli ports\n"
          "\n"
          "Lists the serial ports present, one a line: COM number, device path,\n"
          "and whether another program holds the port (busy) or not (free),\n"
          "where the system can tell without opening the port (not on Windows).\n"
          "Ports are found without opening them, so no board is reset.\n",
          stdout);
      return kExitOk;
    }
    return UsageError(argv[0], "unexpected argument '" + std::string(argv[i]) + "'");
  }
  auto ports = link::MakePlatformPortSystem();
  link::PortList list;
  list.EnumeratePorts(*ports);
  const auto& entries = list.Entries();
  if (entries.empty()) {
    std::printf("No serial ports found.\n");
    return kExitOk;
  }
  for (const auto& e : entries) {
    if (!e.busy_known) {
      std::printf("COM%-4d %s\n", e.number, e.device.c_str());
      continue;
    }
    std::printf("COM%-4d %-24s %s\n", e.number, e.device.c_str(), e.busy ? "busy" : "free");
  }
  return kExitOk;
}

namespace {

// Parses "COMMAND PORT", then opens and identifies the board. Returns an
// exit code when that is already the end of the command.
std::optional<int> OpenBoard(Session& s, int argc, char** argv, const char* help) {
  const PortArgs args = ParseSinglePort(argc, argv, help);
  if (!args.port) return args.exit_code;
  const auto id = s.ports->ResolvePort(*args.port);
  if (!id) return UsageError(argv[0], "'" + *args.port + "' names no serial port");
  s.board.SetSelectedPort(*id);
  if (!s.board.OpenPort()) return kExitFailure;
  return std::nullopt;
}

}  // namespace

int CmdIdentify(int argc, char** argv) {
  Session s;
  return OpenBoard(s, argc, argv,
                   "Usage: quelmar-cli identify PORT\n"
                   "\n"
                   "Opens PORT at 115200 baud and asks the bootloader for its\n"
                   "version and the chip for its identification.\n"
                   "PORT is a COM number (COM3 or 3) or a device path.\n")
      .value_or(kExitOk);
}

int CmdReboot(int argc, char** argv) {
  Session s;
  if (auto done = OpenBoard(s, argc, argv,
                            "Usage: quelmar-cli reboot PORT\n"
                            "\n"
                            "Opens and identifies the board on PORT, then restarts it.\n"
                            "PORT is a COM number (COM3 or 3) or a device path.\n")) {
    return *done;
  }
  return s.board.RebootDevice() ? kExitOk : kExitFailure;
}

}  // namespace quelmar::cli
