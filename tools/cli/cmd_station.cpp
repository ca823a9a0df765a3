// quelmar-cli station: --auto on every port of a profile at once, ports
// joining and leaving, a compact terminal view (one line per slot) and the
// dashboard page served by the station itself.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boards.h"
#include "cli.h"
#include "common/log.h"
#include "interrupt.h"
#include "production/durable_file.h"
#include "production/profile.h"
#include "scan_input.h"
#include "station/dashboard_server.h"
#include "station/line_report.h"
#include "station/station.h"
#include "station/station_state.h"
#include "version/version.h"

namespace quelmar::cli {
namespace {

using station::RunState;
using station::SlotPhase;

constexpr char kHelp[] =
    "Usage: quelmar-cli station PROFILE.toml [--listen ADDR:PORT]\n"
    "                           [--token TOKEN | --token-file FILE]\n"
    "\n"
    "Runs a production station: on every port of the profile at once, waits\n"
    "for a board, writes it, waits until it is gone and starts again, as\n"
    "flash --auto does. Ports may be globs (\"/dev/ttyUSB*\", \"COM*\"): an\n"
    "adapter plugged in later joins the station; one that leaves shows as gone.\n"
    "One port named twice (COM3 and 3, a device and a COM link to it) is refused.\n"
    "\n"
    "The profile (TOML; paths relative to its folder):\n"
    "  name = \"Line 3\"              shown on the dashboard (default: the file's name)\n"
    "  ports = [\"/dev/ttyUSB*\"]     names, device paths or globs\n"
    "  code = \"app.elf\"             code image or build output\n"
    "  data = \"calibration.fdata\"   data flash image\n"
    "  code_sha256 = \"...\"          the SHA-256 the code file must have (64 hex\n"
    "  data_sha256 = \"...\"          digits), the data file's: another is refused\n"
    "  reboot = true\n"
    "  log_dir = \"records\"          a text record per board\n"
    "  records = \"line3.jsonl\"      a JSON record per board\n"
    "  [[field]] ...                  serial numbers, MAC addresses, labels per board\n"
    "                                 (see docs/production-line.md)\n"
    "  listen = \"127.0.0.1:8080\"    the dashboard's address\n"
    "  token = \"...\"                the control token, 16 to 256 printable characters\n"
    "                                 without spaces (default: a new one per start)\n"
    "  hostnames = [\"line3.lan\"]    names the dashboard is reached by, besides\n"
    "                                 its address (on 0.0.0.0: the machine's own)\n"
    "  [line]                         the line's database (see docs/line.md)\n"
    "  database = \"postgresql://db/line3\"  the fields' pools, the records\n"
    "  station = \"St 1\"               its name on the line (default: the host name)\n"
    "  job = \"widget@3\"               a job released into the line (NAME or NAME@V):\n"
    "                                 its images, fields and reboot instead of the\n"
    "                                 profile's own\n"
    "\n"
    "The dashboard (http://127.0.0.1:8080/ unless --listen or listen say\n"
    "otherwise) shows a tile per port and the totals, live. Its Pause, Resume\n"
    "and Stop buttons need the token the station prints when it starts: the\n"
    "first of --token, the first line of --token-file's FILE, the environment's\n"
    "QUELMAR_TOKEN and the profile's token (the last three keep it out of the\n"
    "process list).\n"
    "Pause: the boards being written finish, no new one starts. Stop: the\n"
    "same, then the station ends. With [line], the station keeps its tile on\n"
    "the line's page (quelmar-cli line dashboard) and takes that page's Pause,\n"
    "Resume and Stop too; it goes on when the database does not answer.\n"
    "\n"
    "On a terminal, stdout holds one line per port, redrawn in place;\n"
    "otherwise each finished board prints one line.\n"
    "\n"
    "Ctrl-C once: the boards being written stop at the next safe point (a\n"
    "code write runs to its end), no new one starts. Ctrl-C twice: quit at once.\n"
    "\n"
    "Exit status: 0 when no board failed, 1 when one did or the station could\n"
    "not start, 2 usage error (a --token or QUELMAR_TOKEN that breaks the rules\n"
    "too), 130 quit at once.\n";

// The compact view: on a terminal one line per slot redrawn in place,
// otherwise one line per finished board.
class TerminalView final : public station::StationView {
 public:
  explicit TerminalView(std::FILE* out) : out_(out), live_(OnTerminal(out)) {}

  void Note(const std::string& line) override {
    std::fprintf(stderr, "quelmar-cli: %s\n", line.c_str());
  }

  void Show(const station::StationSnapshot& s) override {
    if (!live_) {
      for (size_t i = 0; i < s.slots.size(); ++i) {
        const auto& slot = s.slots[i];
        if (i >= boards_.size()) boards_.push_back(0);
        if (i >= notes_.size()) notes_.emplace_back();
        // Said once as the database goes away and once as it comes back;
        // a new reason meanwhile shows on the page only.
        if (slot.note.empty() != notes_[i].empty()) {
          std::fprintf(stderr, "quelmar-cli: %s: %s\n", slot.port.c_str(),
                       slot.note.empty()
                           ? "the line's database answers again"
                           : (slot.note + "; no new board starts until it answers").c_str());
          notes_[i] = slot.note;
        }
        if (slot.boards != boards_[i]) {
          boards_[i] = slot.boards;
          // The board's own result: the slot may show gone by now.
          std::string line = slot.port + ": board " + std::to_string(slot.boards) + ": " +
                             (slot.last_ok ? "OK" : "FAILED");
          for (const auto& [name, value] : slot.fields) line += " " + name + "=" + value;
          if (!slot.last_ok) line += " (" + slot.failure + ")";
          std::fprintf(out_, "%s\n", line.c_str());
        }
        if (i >= labels_.size()) labels_.push_back(0);
        if (slot.labels_failed != labels_[i]) {
          labels_[i] = slot.labels_failed;
          std::fprintf(out_, "%s: board %u: LABEL NOT PRINTED (%s)\n", slot.port.c_str(),
                       slot.label_board, slot.label_failure.c_str());
        }
      }
      std::fflush(out_);
      return;
    }
    const size_t width = ColumnsOf(out_);
    std::string block;
    if (drawn_ > 0) block += "\x1b[" + std::to_string(drawn_) + "F";
    auto line = [&](std::string text) {
      if (text.size() >= width) text.resize(width - 1);
      block += "\x1b[2K" + text + "\n";
    };
    char totals[160];
    std::snprintf(totals, sizeof totals, "%s  OK %u  FAILED %u  last hour %u  [%s]",
                  s.profile.c_str(), s.ok, s.failed, s.last_hour, station::RunStateWord(s.run));
    line(totals);
    if (s.scan != "off")
      line(s.scan_next.empty() ? std::string("Scan: no slot waits for a scan")
                               : "Scan: the next scan binds " + s.scan_next);
    for (const auto& slot : s.slots) {
      std::string state = station::PhaseWord(slot.phase);
      for (char& c : state) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (slot.phase == SlotPhase::kWriting) state += " " + std::to_string(slot.percent) + "%";
      if (slot.phase == SlotPhase::kRetrying)
        state += " " + std::to_string(slot.retry) + "/" + std::to_string(slot.retries);
      if (slot.scan.needs && slot.phase == SlotPhase::kWaiting) state = "SCAN";
      char head[96];
      std::snprintf(head, sizeof head, "%-16s %-14s boards %-5u", slot.port.c_str(), state.c_str(),
                    slot.boards);
      std::string text = head;
      if (!slot.scan.unit.empty()) text += " unit=" + slot.scan.unit;
      for (const auto& [name, value] : slot.fields) text += " " + name + "=" + value;
      if (!slot.note.empty()) {
        text += "  " + slot.note;
      } else if (slot.phase == SlotPhase::kFailed) {
        text += "  " + slot.failure;
      }
      if (!slot.label_failure.empty())
        text += "  LABEL NOT PRINTED (board " + std::to_string(slot.label_board) +
                "): " + slot.label_failure;
      line(text);
    }
    drawn_ = s.slots.size() + 1;
    std::fputs(block.c_str(), out_);
    std::fflush(out_);
  }

 private:
  std::FILE* out_;
  const bool live_;
  size_t drawn_ = 0;
  std::vector<unsigned> boards_;
  std::vector<std::string> notes_;
  std::vector<unsigned> labels_;  // each slot's labels_failed as last said
};

}  // namespace

int CmdStation(int argc, char** argv) {
  std::optional<std::string> profile_path, listen;
  station::TokenSources tokens;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (IsHelp(arg)) {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
    if (arg == "--listen" || arg == "--token" || arg == "--token-file") {
      std::optional<std::string>& slot = arg == "--listen"  ? listen
                                         : arg == "--token" ? tokens.option
                                                            : tokens.file;
      if (i + 1 >= argc) return UsageError(argv[0], arg + " needs a value");
      if (slot) return UsageError(argv[0], arg + " may be given once");
      slot = argv[++i];
    } else if (arg.rfind("--", 0) == 0 || profile_path) {
      return UsageError(argv[0], "unexpected '" + arg + "'");
    } else {
      profile_path = arg;
    }
  }
  if (!profile_path) return UsageError(argv[0], "a profile is needed");
  if (const char* env = std::getenv("QUELMAR_TOKEN"); env != nullptr && *env != '\0')
    tokens.environment = env;
  station::ServerOptions options;
  std::string error;
  switch (station::ChooseToken(tokens, &options.token, &error)) {
    case station::TokenChoice::kChosen:
    case station::TokenChoice::kNone:
      break;
    case station::TokenChoice::kRefused:
      return UsageError(argv[0], error);
    case station::TokenChoice::kUnreadable:
      std::fprintf(stderr, "quelmar-cli: %s\n", error.c_str());
      return kExitFailure;
  }

  production::Profile profile;
  if (!production::LoadProfile(*profile_path, &profile, &error)) {
    std::fprintf(stderr, "quelmar-cli: %s\n", error.c_str());
    return kExitFailure;
  }
  if (!station::StationSetup::Check(profile, &error)) {
    std::fprintf(stderr, "quelmar-cli: %s\n", error.c_str());
    return kExitFailure;
  }
  if (!listen) listen = profile.listen;
  if (listen && !station::ParseListen(*listen, &options.address, &options.port))
    return UsageError(argv[0], "'" + *listen + "' is not ADDR:PORT");
  if (options.token.empty() && profile.token) {
    // A profile's fault, refused as its others are.
    if (const auto fault = station::TokenFault(*profile.token)) {
      std::fprintf(stderr, "quelmar-cli: %s: 'token' %s\n", profile.path.c_str(), fault->c_str());
      return kExitFailure;
    }
    options.token = *profile.token;
  }
  if (options.token.empty()) options.token = station::MakeToken();
  options.hostnames = profile.hostnames;

  // Every file, field, state file and the records file is checked before
  // any board is touched.
  TerminalSink sink;
  Log log(&sink);
  station::StationSetup setup(log);
  if (!setup.Prepare(profile, VersionString(), &error)) {
    if (!error.empty()) std::fprintf(stderr, "quelmar-cli: %s\n", error.c_str());
    return kExitFailure;
  }
  for (const std::string& note : setup.production.Notes())
    std::fprintf(stderr, "quelmar-cli: %s\n", note.c_str());
  if (setup.line) {
    for (const std::string& note : setup.line->Notes())
      std::fprintf(stderr, "quelmar-cli: %s\n", note.c_str());
    if (const auto release = setup.line->ReleaseFor(""))
      std::printf("%s\n", station::ReleaseLine(*release).c_str());
  }
  if (profile.log_dir) setup.job.text_record = TextRecordsIn(*profile.log_dir);

  station::StationState state;
  state.SetHeader(setup.name, VersionString(), setup.infos);
  if (setup.line) {
    const auto shown = [](const production::Release& release, const char* job_state) {
      return station::JobShown{release.job.name, release.job.version, release.job.sha256,
                               job_state};
    };
    if (const auto release = setup.line->ReleaseFor("")) state.SetJob(shown(*release, "running"));
    // Between boards, on a board's thread: the terminal and the page say so.
    setup.line->OnChangeOver([&](const production::Release& release, const std::string& note) {
      std::fprintf(stderr, "quelmar-cli: %s\n", note.c_str());
      state.SetHeader(setup.name, VersionString(), station::ReleaseImages(release));
      state.SetJob(shown(release, "running"));
    });
    setup.line->OnJobStops([&](const production::Release& release, const char* job_state) {
      state.SetJob(shown(release, job_state));
    });
  }
  station::Station station(state, setup.job, setup.images, profile.ports);
  station.UseScans(setup.scans);
  const auto offer = [&](const std::string& scan) { return station.OfferScan(scan); };
  // The station's own page and the line's page control it alike.
  const auto control = [&](station::Control c) {
    switch (c) {
      case station::Control::kPause:
        station.Pause();
        break;
      case station::Control::kResume:
        station.Resume();
        break;
      case station::Control::kStop:
        station.Stop();
        break;
    }
  };
  station::DashboardServer server(state, options, control);
  if (station.Scans()) server.TakeScans(offer);
  if (!server.Start(&error)) {
    std::fprintf(stderr, "quelmar-cli: dashboard: %s\n", error.c_str());
    return kExitFailure;
  }
  const std::vector<std::string> urls = server.Urls();
  std::unique_ptr<station::LineReport> line_report;
  if (profile.line) {
    station::StationIdentity identity{production::HostName(), VersionString(), profile.sha256,
                                      urls.empty() ? std::string() : urls.front()};
    line_report = std::make_unique<station::LineReport>(
        state, profile.line->database, profile.line->station, std::move(identity), control,
        [](const std::string& line) { std::fprintf(stderr, "quelmar-cli: %s\n", line.c_str()); });
    if (!line_report->Start(&error)) {
      std::fprintf(stderr, "quelmar-cli: %s\n", error.c_str());
      server.Stop();
      return kExitFailure;
    }
  }
  for (const std::string& url : urls) std::printf("Dashboard: %s\n", url.c_str());
  std::printf("Token: %s\n", options.token.c_str());
  std::fflush(stdout);

  // Scans typed on the terminal and read from the scanner, once the
  // station's addresses are out.
  ScanInput scans(offer, [](const std::string& line) {
    std::fprintf(stderr, "quelmar-cli: %s\n", line.c_str());
  });
  if (station.Scans()) {
    scans.Start(profile.scanner, profile.scanner_baud.value_or(9600));
  } else if (profile.scanner) {
    std::fprintf(stderr, "quelmar-cli: the scanner '%s' is not opened: scan is off\n",
                 profile.scanner->c_str());
  }
  InterruptGuard interrupts({}, [&] { station.Stop(); });
  TerminalView view(stdout);
  station::StationHooks hooks;
  hooks.interrupted = [&] { return interrupts.Interrupted(); };
  hooks.slot_added = [&](UpdateFlags* flags) { interrupts.Add(flags); };
  const station::StationSnapshot last = station.Run(view, hooks);
  std::printf("Boards: %u OK, %u failed\n", last.ok, last.failed);
  std::fflush(stdout);
  if (line_report && !line_report->Stop())
    std::fprintf(stderr,
                 "quelmar-cli: the line's database did not take the station's last state: the "
                 "line's page shows it OFFLINE\n");
  // The page shows the station stopped before it goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  server.Stop();
  return last.failed == 0 && !interrupts.Interrupted() ? kExitOk : kExitFailure;
}

}  // namespace quelmar::cli
