// Sub-commands that talk to a board: ports, identify, reboot.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "args.h"
#include "cli.h"
#include "common/log.h"
#include "link/link.h"
#include "link/port_list.h"

namespace quelmar::cli {
namespace {

// Opens and identifies the board on the port text; prints the log.
struct Session {
  TerminalSink sink;
  Log log{&sink};
  std::unique_ptr<link::PortSystem> ports = link::MakePlatformPortSystem();
  link::Link board{*ports, log, sink};
};

}  // namespace

int CmdPorts(int argc, char** argv) {
  if (auto done =
          ParseNoArguments(argc, argv,
                           "Usage: quelmar-cli ports\n"
                           "\n"
                           "Lists the serial ports present, one a line: COM number, device path,\n"
                           "and whether another program holds the port (busy) or not (free),\n"
                           "where the system can tell without opening the port (not on Windows).\n"
                           "Ports are found without opening them, so no board is reset.\n"))
    return *done;
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
  std::string port;
  if (auto done = ParseOneArgument(argc, argv, help, "PORT", &port)) return done;
  const auto id = s.ports->ResolvePort(port);
  if (!id) return UsageError(argv[0], "'" + port + "' names no serial port");
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
                   "PORT is a COM number (COM3 or 3), a device path, or\n"
                   "rfc2217://HOST:PORT or socket://HOST:PORT (a port server such as ser2net).\n")
      .value_or(kExitOk);
}

int CmdReboot(int argc, char** argv) {
  Session s;
  if (auto done = OpenBoard(
          s, argc, argv,
          "Usage: quelmar-cli reboot PORT\n"
          "\n"
          "Opens and identifies the board on PORT, then restarts it.\n"
          "PORT is a COM number (COM3 or 3), a device path, or\n"
          "rfc2217://HOST:PORT or socket://HOST:PORT (a port server such as ser2net).\n")) {
    return *done;
  }
  return s.board.RebootDevice() ? kExitOk : kExitFailure;
}

}  // namespace quelmar::cli
