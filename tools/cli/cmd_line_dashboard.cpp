// quelmar-cli line dashboard: the line's page, every station of the line
// live from the line's database, on the page server the station's own
// page uses (its rules and limits).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "line/stations.h"
#include "station/line_site.h"
#include "station/page_server.h"

namespace quelmar::cli {
namespace {

constexpr char kHelp[] =
    "Usage: quelmar-cli line dashboard --db CONNINFO [--listen ADDR:PORT]\n"
    "                                  [--token TOKEN | --token-file FILE]\n"
    "                                  [--hostname NAME]...\n"
    "\n"
    "Serves the line's page: a tile per station of the line (its state, its\n"
    "ports, its boards of today), the day's totals and the latest failures,\n"
    "live from the line's database. The stations report there themselves (a\n"
    "station whose profile has a [line] table): the page asks no station and\n"
    "waits on none. A station not seen for 10 s shows OFFLINE.\n"
    "\n"
    "  --listen ADDR:PORT  the page's address (default 127.0.0.1:8090;\n"
    "                      0.0.0.0:8090 for every address of this machine)\n"
    "  --token TOKEN       the control token: 16 to 256 printable characters\n"
    "                      without spaces (default: the environment's\n"
    "                      QUELMAR_TOKEN, else a new one per start)\n"
    "  --token-file FILE   the control token on the file's first line; it and\n"
    "                      QUELMAR_TOKEN keep the token out of the process list\n"
    "  --hostname NAME     a name the line's browsers reach the page by besides\n"
    "                      its address (a DNS alias); may be given again\n"
    "\n"
    "Pause, Resume and Stop, for one station or for the whole line, need the\n"
    "token printed at the start. They reach the stations through the database,\n"
    "and each station does what its own page's button does.\n"
    "\n"
    "CONNINFO as for the other line commands. The role needs to read the\n"
    "stations and boards tables and to write the stations' control columns\n"
    "(docs/line.md). While the database is away the page says so, and the\n"
    "dashboard connects again by itself.\n"
    "\n"
    "Runs until Ctrl-C. Exit status: 1 the page could not be served or the\n"
    "token file read, 2 usage error (a token that breaks the rules too).\n";

constexpr char kCommand[] = "line dashboard";

}  // namespace

int CmdLineDashboard(int argc, char** argv) {
  std::optional<std::string> db, listen, token, token_file;
  std::vector<std::string> hostnames;
  for (int i = 2; i < argc; ++i) {
    if (IsHelp(argv[i])) {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
  }
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    const size_t equals = arg.find('=');
    const bool inline_value = arg.rfind("--", 0) == 0 && equals != std::string::npos;
    if (inline_value) {
      value = arg.substr(equals + 1);
      arg.resize(equals);
    }
    if (arg != "--db" && arg != "--listen" && arg != "--token" && arg != "--token-file" &&
        arg != "--hostname") {
      return UsageError(kCommand, arg.rfind("-", 0) == 0 ? "unknown option '" + arg + "'"
                                                         : "unexpected argument '" + arg + "'");
    }
    if (!inline_value) {
      if (i + 1 >= argc) return UsageError(kCommand, arg + " needs a value");
      value = argv[++i];
    }
    if (arg == "--hostname") {
      hostnames.push_back(value);
      continue;
    }
    std::optional<std::string>& slot = arg == "--db"       ? db
                                       : arg == "--listen" ? listen
                                       : arg == "--token"  ? token
                                                           : token_file;
    if (slot) return UsageError(kCommand, arg + " may be given once");
    slot = value;
  }
  if (!db) return UsageError(kCommand, "missing --db CONNINFO");
  station::ServerOptions options;
  options.port = 8090;
  if (listen && !station::ParseListen(*listen, &options.address, &options.port))
    return UsageError(kCommand, "'" + *listen + "' is not ADDR:PORT");
  station::TokenSources sources{token, token_file, {}};
  if (const char* env = std::getenv("QUELMAR_TOKEN"); env != nullptr && *env != '\0')
    sources.environment = env;
  std::string why;
  switch (station::ChooseToken(sources, &options.token, &why)) {
    case station::TokenChoice::kChosen:
      break;
    case station::TokenChoice::kNone:
      options.token = station::MakeToken();
      break;
    case station::TokenChoice::kRefused:
      return UsageError(kCommand, why);
    case station::TokenChoice::kUnreadable:
      std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
      return kExitFailure;
  }
  options.hostnames = hostnames;
  options.hostnames_from = "the dashboard's --hostname";

  line::LineWatcher watcher(*db, {}, [](const std::string& line) {
    std::fprintf(stderr, "quelmar-cli: %s\n", line.c_str());
  });
  std::string error;
  if (!watcher.Start(&error)) {
    std::fprintf(stderr, "quelmar-cli: %s\n", error.c_str());
    return kExitFailure;
  }
  station::LineSite site(watcher);
  station::PageServer server(site, options);
  if (!server.Start(&error)) {
    std::fprintf(stderr, "quelmar-cli: line dashboard: %s\n", error.c_str());
    return kExitFailure;
  }
  for (const std::string& url : server.Urls()) std::printf("Line dashboard: %s\n", url.c_str());
  std::printf("Token: %s\n", options.token.c_str());
  std::fflush(stdout);
  // The page server and the database's thread do the work; Ctrl-C ends
  // the process.
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace quelmar::cli
