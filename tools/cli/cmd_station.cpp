// quelmar-cli station: --auto on every port of a profile at once, ports
// joining and leaving, a compact terminal view (one line per slot) and the
// dashboard page served by the station itself.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "board_runner.h"
#include "boards.h"
#include "cli.h"
#include "common/log.h"
#include "image/image_store.h"
#include "interrupt.h"
#include "production/profile.h"
#include "production/run.h"
#include "production/sha256.h"
#include "station/dashboard_server.h"
#include "station/port_glob.h"
#include "station/station_state.h"
#include "version/version.h"

namespace quelmar::cli {
namespace {

using station::RunState;
using station::SlotPhase;
using station::StationState;

constexpr char kHelp[] =
    "Usage: quelmar-cli station PROFILE.toml [--listen ADDR:PORT] [--token TOKEN]\n"
    "\n"
    "Runs a production station: on every port of the profile at once, waits\n"
    "for a board, writes it, waits until it is gone and starts again, as\n"
    "flash --auto does. Ports may be globs (\"/dev/ttyUSB*\", \"COM*\"): an\n"
    "adapter plugged in later joins the station; one that leaves shows as gone.\n"
    "\n"
    "The profile (TOML; paths relative to its folder):\n"
    "  name = \"Line 3\"              shown on the dashboard (default: the file's name)\n"
    "  ports = [\"/dev/ttyUSB*\"]     names, device paths or globs\n"
    "  code = \"app.elf\"             code image or build output\n"
    "  data = \"calibration.fdata\"   data flash image\n"
    "  reboot = true\n"
    "  log_dir = \"records\"          a text record per board\n"
    "  records = \"line3.jsonl\"      a JSON record per board\n"
    "  [[field]] ...                  serial numbers, MAC addresses, labels per board\n"
    "                                 (see docs/production-line.md)\n"
    "  listen = \"127.0.0.1:8080\"    the dashboard's address\n"
    "  token = \"...\"                the control token (default: a new one per start)\n"
    "  hostnames = [\"line3.lan\"]    names the dashboard is reached by, besides\n"
    "                                 its address (on 0.0.0.0: the machine's own)\n"
    "\n"
    "The dashboard (http://127.0.0.1:8080/ unless --listen or listen say\n"
    "otherwise) shows a tile per port and the totals, live. Its Pause, Resume\n"
    "and Stop buttons need the token the station prints when it starts.\n"
    "Pause: the boards being written finish, no new one starts. Stop: the\n"
    "same, then the station ends.\n"
    "\n"
    "On a terminal, stdout holds one line per port, redrawn in place;\n"
    "otherwise each finished board prints one line.\n"
    "\n"
    "Ctrl-C once: the boards being written stop at the next safe point (a\n"
    "code write runs to its end), no new one starts. Ctrl-C twice: quit at once.\n"
    "\n"
    "Exit status: 0 when no board failed, 1 when one did or the station could\n"
    "not start, 2 usage error, 130 quit at once.\n";

constexpr auto kScanPeriod = std::chrono::seconds(1);

// Pause and stop, as the dashboard and Ctrl-C ask.
struct Controls {
  std::atomic<bool> paused{false};
  std::atomic<bool> stop{false};
};

// One port's view for the station: its board's log, failure line and
// progress go into the slot.
class SlotObserver final : public BoardObserver {
 public:
  SlotObserver(StationState& state, size_t slot, const Controls& controls)
      : state_(state), slot_(slot), controls_(controls) {}

  bool MayStart(size_t) override { return !controls_.paused.load() && !controls_.stop.load(); }
  void Started(size_t, unsigned) override {
    {
      std::lock_guard lock(mutex_);
      log_.clear();
      errors_.clear();
      recording_ = true;
    }
    state_.SetPhase(slot_, SlotPhase::kIdentifying);
  }
  void LogText(size_t, int severity, std::string_view text) override {
    std::lock_guard lock(mutex_);
    if (!recording_) return;
    // Bounded: the state keeps the end of a log, so does this.
    if (log_.size() > 2 * StationState::kMaxLogBytes)
      log_.erase(0, log_.size() - StationState::kMaxLogBytes);
    log_.append(text);
    if (severity == kSeverityError) {
      if (errors_.size() > 4096) errors_.erase(0, errors_.size() - 1024);
      errors_.append(text);
    }
  }
  void Fields(size_t, std::vector<std::pair<std::string, std::string>> values) override {
    state_.SetFields(slot_, std::move(values));
  }
  void Progress(size_t, const ProgressState& s) override {
    {
      std::lock_guard lock(mutex_);
      if (!recording_) return;
    }
    const uint32_t maximum = s.maximum == 0 ? 1 : s.maximum;
    state_.SetProgress(slot_, static_cast<int>(uint64_t{s.position} * 100 / maximum));
  }
  void Finished(size_t, unsigned, bool ok) override {
    std::string log, failure;
    {
      std::lock_guard lock(mutex_);
      recording_ = false;
      log.swap(log_);
      failure = LastLine(errors_.empty() ? log : errors_);
    }
    state_.FinishBoard(slot_, ok, ok ? std::string() : failure, std::move(log));
  }

 private:
  static std::string LastLine(const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return "FAILED";
    const size_t start = text.rfind('\n', end);
    return text.substr(start == std::string::npos ? 0 : start + 1,
                       end + 1 - (start == std::string::npos ? 0 : start + 1));
  }

  StationState& state_;
  const size_t slot_;
  const Controls& controls_;
  std::mutex mutex_;
  bool recording_ = false;
  std::string log_;
  std::string errors_;
};

#ifdef _WIN32
constexpr char kNullDevice[] = "NUL";
#else
constexpr char kNullDevice[] = "/dev/null";
#endif

// A slot: one port and the runner that does --auto on it.
struct Slot {
  size_t index = 0;
  std::string label;
  link::PortId id;
  std::unique_ptr<SlotObserver> observer;
  std::unique_ptr<BoardConsole> console;
  std::unique_ptr<BoardRunner> runner;
  std::thread thread;
};

// The ports the profile's entries name now: plain names as given (present
// or not), globs against the ports listed and, on POSIX, the files of the
// glob's folder (pseudo-terminals are not listed as serial ports).
std::vector<std::string> ExpandPorts(link::PortSystem& system,
                                     const std::vector<std::string>& entries) {
  std::vector<std::string> found;
  std::set<std::string> seen;
  auto add = [&](const std::string& name) {
    if (seen.insert(name).second) found.push_back(name);
  };
  std::vector<link::PortEntry> listed;
  bool listed_read = false;
  for (const std::string& entry : entries) {
    if (!station::IsGlob(entry)) {
      add(entry);
      continue;
    }
    if (!listed_read) {
      listed = system.EnumeratePorts();
      listed_read = true;
    }
    for (const link::PortEntry& p : listed) {
      const std::string com = "COM" + std::to_string(p.number);
      if (p.number > 0 && station::GlobMatch(entry, com)) add(com);
      if (station::GlobMatch(entry, p.device)) add(p.device);
    }
#ifndef _WIN32
    const std::filesystem::path glob(entry);
    std::error_code error;
    const std::filesystem::path folder = glob.parent_path();
    if (!station::IsGlob(folder.string())) {
      for (const auto& file : std::filesystem::directory_iterator(folder, error)) {
        const std::string path = file.path().string();
        if (station::GlobMatch(entry, path)) add(path);
      }
    }
#endif
  }
  return found;
}

// Whether the port's device is there now, by the ports listed.
bool Present(const std::vector<link::PortEntry>& listed, const link::PortId& id) {
  for (const link::PortEntry& p : listed)
    if (p.device == id.device || (id.number > 0 && p.number == id.number)) return true;
#ifndef _WIN32
  std::error_code error;
  return std::filesystem::exists(id.device, error);
#else
  return false;
#endif
}

// The compact view: on a terminal one line per slot redrawn in place,
// otherwise one line per finished board.
class TerminalView {
 public:
  explicit TerminalView(std::FILE* out) : out_(out), live_(OnTerminal(out)) {}

  void Show(const station::StationSnapshot& s) {
    if (!live_) {
      for (size_t i = 0; i < s.slots.size(); ++i) {
        const auto& slot = s.slots[i];
        if (i >= boards_.size()) boards_.push_back(0);
        if (slot.boards != boards_[i]) {
          boards_[i] = slot.boards;
          // The board's own result: the slot may show gone by now.
          std::string line = slot.port + ": board " + std::to_string(slot.boards) + ": " +
                             (slot.last_ok ? "OK" : "FAILED");
          for (const auto& [name, value] : slot.fields) line += " " + name + "=" + value;
          if (!slot.last_ok) line += " (" + slot.failure + ")";
          std::fprintf(out_, "%s\n", line.c_str());
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
    for (const auto& slot : s.slots) {
      std::string state = station::PhaseWord(slot.phase);
      for (char& c : state) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (slot.phase == SlotPhase::kWriting) state += " " + std::to_string(slot.percent) + "%";
      char head[96];
      std::snprintf(head, sizeof head, "%-16s %-14s boards %-5u", slot.port.c_str(), state.c_str(),
                    slot.boards);
      std::string text = head;
      for (const auto& [name, value] : slot.fields) text += " " + name + "=" + value;
      if (slot.phase == SlotPhase::kFailed) text += "  " + slot.failure;
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
};

}  // namespace

int CmdStation(int argc, char** argv) {
  std::optional<std::string> profile_path, listen, token;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (IsHelp(arg)) {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
    if ((arg == "--listen" || arg == "--token") && i + 1 < argc) {
      (arg == "--listen" ? listen : token) = argv[++i];
    } else if (arg.rfind("--", 0) == 0 || profile_path) {
      return UsageError(argv[0], "unexpected '" + arg + "'");
    } else {
      profile_path = arg;
    }
  }
  if (!profile_path) return UsageError(argv[0], "a profile is needed");

  production::Profile profile;
  std::string error;
  if (!production::LoadProfile(*profile_path, &profile, &error)) {
    std::fprintf(stderr, "quelmar-cli: %s\n", error.c_str());
    return kExitFailure;
  }
  const char* missing = profile.ports.empty() ? "no 'ports'"
                        : !profile.code && !profile.data && !profile.reboot.value_or(false)
                            ? "nothing to do: give 'code', 'data' or 'reboot'"
                            : nullptr;
  if (missing) {
    std::fprintf(stderr, "quelmar-cli: %s: %s\n", profile_path->c_str(), missing);
    return kExitFailure;
  }
  if (!listen) listen = profile.listen;
  if (!token) token = profile.token;
  station::ServerOptions options;
  if (listen && !station::ParseListen(*listen, &options.address, &options.port))
    return UsageError(argv[0], "'" + *listen + "' is not ADDR:PORT");
  options.token = token ? *token : station::MakeToken();
  options.hostnames = profile.hostnames;
  const std::string station_name =
      profile.name ? *profile.name : std::filesystem::path(*profile_path).stem().string();

  // Every file is loaded and checked before any board is touched.
  TerminalSink sink;
  Log log(&sink);
  image::ImageStore images(log);
  // The hashes shown and recorded are of the bytes loaded, taken as they are read.
  production::Sha256FileDigest digest;
  images.SetFileDigest(&digest);
  if (profile.code && !images.LoadCodeImageFromPath(*profile.code)) return kExitFailure;
  if (profile.code && !images.HasCodeImage()) {
    std::fprintf(stderr, "quelmar-cli: %s: both code banks are empty: nothing to write.\n",
                 profile.code->c_str());
    return kExitFailure;
  }
  if (profile.data && !images.LoadDataImageFromPath(*profile.data)) return kExitFailure;
  std::vector<station::ImageInfo> infos;
  for (const auto* file : {&images.CodeFile(), &images.DataFile()}) {
    if (*file)
      infos.push_back({std::filesystem::path((*file)->path).filename().string(), (*file)->digest});
  }
  // Fields, their state files and the records file are checked before any
  // board too; every slot's boards are sessions of this one run.
  production::ProductionRun production;
  production::RunSettings settings;
  settings.fields = profile.fields;
  settings.records_path = profile.records;
  settings.code_path = profile.code;
  settings.data_path = profile.data;
  settings.profile = production::FileHash{profile.path, profile.sha256};
  settings.version = VersionString();
  if (!production.Prepare(settings, images, &error)) {
    std::fprintf(stderr, "quelmar-cli: %s\n", error.c_str());
    return kExitFailure;
  }

  StationState state;
  state.SetHeader(station_name, VersionString(), infos);
  Controls controls;
  station::DashboardServer server(state, options, [&](station::Control c) {
    switch (c) {
      case station::Control::kPause:
        controls.paused = true;
        break;
      case station::Control::kResume:
        controls.paused = false;
        break;
      case station::Control::kStop:
        controls.stop = true;
        break;
    }
    state.SetRunState(controls.stop     ? RunState::kStopping
                      : controls.paused ? RunState::kPaused
                                        : RunState::kRunning);
  });
  if (!server.Start(&error)) {
    std::fprintf(stderr, "quelmar-cli: dashboard: %s\n", error.c_str());
    return kExitFailure;
  }
  for (const std::string& url : server.Urls()) std::printf("Dashboard: %s\n", url.c_str());
  std::printf("Token: %s\n", options.token.c_str());
  std::fflush(stdout);

  BoardJob job;
  job.code = profile.code.has_value();
  job.data = profile.data.has_value();
  job.reboot = profile.reboot.value_or(false);
  job.auto_mode = true;
  job.log_dir = profile.log_dir;
  job.production = &production;

  std::FILE* quiet = std::fopen(kNullDevice, "w");
  InterruptGuard interrupts({}, [&] { controls.stop = true; });
  auto interrupted = [&] { return interrupts.Interrupted(); };
  auto ports = link::MakePlatformPortSystem();
  std::vector<std::unique_ptr<Slot>> slots;
  TerminalView view(stdout);
  uint64_t shown = 0;
  auto next_scan = std::chrono::steady_clock::now();

  while (!controls.stop.load()) {
    if (std::chrono::steady_clock::now() >= next_scan) {
      next_scan = std::chrono::steady_clock::now() + kScanPeriod;
      for (const std::string& name : ExpandPorts(*ports, profile.ports)) {
        bool known = false;
        for (const auto& s : slots) known = known || s->label == name;
        if (known) continue;
        auto id = ports->ResolvePort(name);
        auto slot = std::make_unique<Slot>();
        slot->label = name;
        slot->id = id ? *id : link::PortId{0, name};
        slot->index = state.AddSlot(name);
        slot->observer = std::make_unique<SlotObserver>(state, slot->index, controls);
        slot->console = std::make_unique<BoardConsole>(
            quiet ? quiet : stderr, quiet ? quiet : stderr, std::vector<std::string>{name});
        RunnerSeams seams;
        seams.observer = slot->observer.get();
        slot->runner = std::make_unique<BoardRunner>(job, images, std::vector{slot->id},
                                                     *slot->console, seams);
        for (UpdateFlags* f : slot->runner->Flags()) interrupts.Add(f);
        Slot& s = *slot;
        s.thread = std::thread([&s, interrupted] { s.runner->Run(interrupted); });
        slots.push_back(std::move(slot));
      }
      const std::vector<link::PortEntry> listed = ports->EnumeratePorts();
      for (const auto& s : slots) {
        const bool present = Present(listed, s->id);
        const auto snapshot_phase = state.Snapshot().slots[s->index].phase;
        if (!present && (snapshot_phase == SlotPhase::kWaiting ||
                         snapshot_phase == SlotPhase::kOk || snapshot_phase == SlotPhase::kFailed))
          state.SetPhase(s->index, SlotPhase::kGone);
        if (present && snapshot_phase == SlotPhase::kGone)
          state.SetPhase(s->index, SlotPhase::kWaiting);
      }
    }
    if (state.Version() != shown) {
      const auto snapshot = state.Snapshot();
      shown = snapshot.version;
      view.Show(snapshot);
      // Ten redraws a second at most, however fast the boards move.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    state.WaitForChange(shown, std::chrono::milliseconds(250));
  }

  state.SetRunState(RunState::kStopping);
  for (const auto& s : slots) s->runner->Stop();
  for (const auto& s : slots) s->thread.join();
  state.SetRunState(RunState::kStopped);
  const auto last = state.Snapshot();
  view.Show(last);
  std::printf("Boards: %u OK, %u failed\n", last.ok, last.failed);
  std::fflush(stdout);
  // The page shows the station stopped before it goes.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  server.Stop();
  slots.clear();
  if (quiet) std::fclose(quiet);
  return last.failed == 0 && !interrupts.Interrupted() ? kExitOk : kExitFailure;
}

}  // namespace quelmar::cli
