// quelmar-cli flash: load and check the images, identify the boards, write
// code and data flash, reboot. Stops at a board's first failure. Several
// ports run at once, one thread each; --auto flashes board after board.
#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "boards.h"
#include "cli.h"
#include "common/clock.h"
#include "common/flags.h"
#include "common/log.h"
#include "common/progress.h"
#include "image/image_store.h"
#include "interrupt.h"
#include "line/line_seams.h"
#include "link/link.h"
#include "production/profile.h"
#include "production/sha256.h"
#include "records.h"
#include "scan_input.h"
#include "station/board_runner.h"
#include "station/ports.h"
#include "station/scans.h"
#include "station/station.h"
#include "version/version.h"

#ifdef _WIN32
// After our headers: <windows.h> defines the purge flags as macros.
#include <windows.h>
#endif

namespace quelmar::cli {
namespace {

constexpr char kHelp[] =
    "Usage: quelmar-cli flash PORT [PORT...] [--code FILE] [--data FILE.fdata] [--reboot]\n"
    "                         [--auto [--count N]] [--log-dir DIR]\n"
    "                         [--records FILE.jsonl] [--json] [--profile FILE.toml]\n"
    "                         [--serial-at WHERE --serial-state FILE [--serial-format FMT]\n"
    "                          [--serial-start N]]\n"
    "\n"
    "Loads and checks the image files first (nothing touches the board when a\n"
    "file is bad), opens PORT and identifies the board, then writes the code\n"
    "image (erase, bank A, bank B), then the data flash image (erase, wait for\n"
    "the erase, write), then reboots the board if asked. Stops at the first\n"
    "failure. At least one of --code, --data and --reboot is needed.\n"
    "PORT is a COM number (COM3 or 3), a device path, or rfc2217://HOST:PORT\n"
    "or socket://HOST:PORT (a port server such as ser2net).\n"
    "\n"
    "--code takes a code image (.fcode) or build output: an ELF executable\n"
    "(.elf, .axf), Intel HEX (.hex) or S-record (.srec, .s19, .mot), told apart\n"
    "by content and packed in memory (as pack-code would); the log then starts\n"
    "with one line saying what was packed. Nothing is written to disk.\n"
    "\n"
    "On a terminal a progress bar runs on stderr; stdout carries the log.\n"
    "\n"
    "Several ports: all boards are written at once, each on its own. Every log\n"
    "line starts with the board's port (\"COM3: \"); at the end one line per\n"
    "board, \"COM3: OK\" or \"COM3: FAILED\", in the order given.\n"
    "\n"
    "--auto: on each port, wait for a board that answers, write it, print\n"
    "\"COM3: board 1: OK\" (or FAILED), wait until the board is gone (unplugged,\n"
    "or its bootloader stops answering, as after --reboot), and start again.\n"
    "Ports are polled about once a second; one that stays present is not\n"
    "reopened. Ends on Ctrl-C, or after N boards in all with --count N, with\n"
    "\"Boards: X OK, Y failed\".\n"
    "\n"
    "--log-dir DIR: write each board's record (start time, port, bootloader,\n"
    "chip, result and its whole log) to a file of its own in DIR.\n"
    "\n"
    "Production line (see docs/production-line.md):\n"
    "--records FILE.jsonl: append one JSON object per board (result, fields,\n"
    "  SHA-256 of the files and of exactly the bytes sent, the whole log).\n"
    "--json: stdout becomes one JSON object per line (board start, each step,\n"
    "  progress, the board's record, a final summary).\n"
    "--profile FILE.toml: ports, images, reboot, auto, count, records and\n"
    "  [[field]]s; options given on the command line win. With a [line] table\n"
    "  the fields' values come from the line's database, and every record is\n"
    "  filed there (docs/line.md). Its code_sha256 and data_sha256 pin its\n"
    "  files: one whose SHA-256 differs is refused before any board; a --code\n"
    "  or --data given replaces the profile's file and its pin.\n"
    "  With --auto and its scan = \"optional\" or \"required\", units scanned on\n"
    "  stdin (a line each) or the profile's scanner are bound to the ports as\n"
    "  on a station (docs/station.md, \"Scanning boards\").\n"
    "--serial-at WHERE [--serial-format FMT] --serial-state FILE\n"
    "  [--serial-start N]: give each board its own serial number at WHERE\n"
    "  (0x1A07FF00, or data:OFFSET), u32le unless FMT says otherwise.\n"
    "With any of these, log lines start with the board's port even for one.\n"
    "\n"
    "Ctrl-C once: stop at the next safe point. A running code write goes on\n"
    "to its end; the data flash erase wait stops at once (the data flash is\n"
    "then left erased). No further step starts. Ctrl-C twice: quit at once,\n"
    "leaving the board possibly half-written.\n"
    "\n"
    "Exit status: 0 when every step succeeded on every board, 1 when a file\n"
    "or a board failed or the run was stopped, 2 usage error, 130 quit at once.\n";

// --- one port, as always ---

int FlashOne(const station::BoardJob& job, const std::optional<std::string>& log_dir,
             const image::ImageStore& images, TerminalSink& sink, Log& log,
             const link::PortId& id) {
  UpdateFlags flags;
  InterruptGuard interrupts({&flags});
  auto ports = link::MakePlatformPortSystem();
  link::Link board(*ports, log, sink);
  board.SetSelectedPort(id);
  Progress progress(&sink);
  auto note = [](const std::string& line) {
    std::fprintf(stderr, "quelmar-cli: %s\n", line.c_str());
  };

  // The record takes the board's log beside the terminal.
  struct Tee final : UiSink {
    explicit Tee(UiSink& to) : inner(to) {}
    void LogText(int severity, std::string_view text) override {
      {
        std::lock_guard lock(mutex);
        kept.append(text);
      }
      inner.LogText(severity, text);
    }
    void ErrorBox(std::string_view text) override { inner.ErrorBox(text); }
    void ProgressChanged(const ProgressState& s) override { inner.ProgressChanged(s); }
    void SetControlEnabled(int, bool) override {}
    UiSink& inner;
    std::mutex mutex;
    std::string kept;
  } tee(sink);
  Record record;
  record.label = id.Label();
  record.device = id.device;
  if (log_dir) log.SetSink(&tee);

  bool ok = board.OpenPort();
  if (ok) NoteIdentity(board, &record);
  if (ok) {
    station::StepContext context{
        board,
        log,
        progress,
        sink,
        flags,
        SystemClock(),
        [&](bool on) { on ? sink.EnableProgressBar() : sink.EndProgressBar(); },
        note};
    ok = station::RunSteps(job, images, context, [&] { return interrupts.Interrupted(); });
  }
  if (interrupts.Interrupted()) note("stopped by the user.");
  if (log_dir) {
    log.SetSink(&sink);
    record.ok = ok;
    record.log = tee.kept;
    if (!WriteRecord(*log_dir, record, note)) ok = false;
  }
  return ok ? kExitOk : kExitFailure;
}

// --- several ports, and --auto ---

// --auto with a profile that scans units: where the scans come from.
struct FlashScans {
  station::ScanSettings settings;
  std::optional<std::string> scanner;
  unsigned baud = 9600;
};

int FlashMany(const station::BoardJob& job, const image::ImageStore& images,
              const std::vector<link::PortId>& ids, bool json,
              const std::optional<FlashScans>& scans) {
  std::vector<std::string> labels;
  for (const auto& id : ids) labels.push_back(id.Label());
  BoardConsole console(json ? nullptr : stdout, stderr, labels);
  // Port i is the desk's slot i, as on a station.
  std::optional<station::ScanDesk> desk;
  std::optional<station::ScanObserver> observer;
  station::RunnerSeams seams;
  if (scans) {
    desk.emplace(scans->settings);
    for (const std::string& label : labels) desk->AddSlot(label);
    observer.emplace(*desk);
    seams.observer = &*observer;
  }
  station::BoardRunner runner(job, images, ids, console, seams);
  InterruptGuard interrupts(runner.Flags(), [&] { runner.Stop(); });
  std::atomic<bool> stdin_ended{false};
  std::optional<ScanInput> input;
  std::jthread watch;
  if (desk) {
    input.emplace(
        [&](const std::string& scan) { return desk->Offer(scan); },
        [](const std::string& line) { std::fprintf(stderr, "quelmar-cli: %s\n", line.c_str()); });
    input->Start(scans->scanner, scans->baud, [&] { stdin_ended = true; });
    // Says which port the next scan binds as that changes; and once stdin
    // has ended with no scanner to scan instead, the run ends when no
    // scanned board is left to write: no port could ever start again.
    const bool ends_with_stdin =
        !scans->scanner && scans->settings.mode == station::ScanMode::kRequired;
    watch = std::jthread([&, ends_with_stdin](std::stop_token stop) {
      uint64_t seen = 0;
      std::optional<std::string> shown;
      bool ended = false;
      while (!stop.stop_requested()) {
        if (const uint64_t version = desk->Version(); version != seen) {
          seen = version;
          const std::string next = desk->NextSlot();
          if (!shown || next != *shown) {
            shown = next;
            std::fprintf(json ? stderr : stdout, "%s\n",
                         next.empty() ? "Scan: no slot waits for a scan"
                                      : ("Scan: the next scan binds " + next).c_str());
            std::fflush(json ? stderr : stdout);
          }
        }
        if (ends_with_stdin && !ended && stdin_ended.load()) {
          if (!desk->Busy()) {
            ended = true;
            std::fprintf(stderr,
                         "quelmar-cli: stdin ended and no scanner is named: no more scans come, "
                         "so no new board starts\n");
            runner.Stop();
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    });
  }
  const int status = runner.Run([&] { return interrupts.Interrupted(); }) ? kExitOk : kExitFailure;
  if (watch.joinable()) {
    watch.request_stop();
    watch.join();
  }
  if (job.production) job.production->EmitSummary();
  return status;
}

production::RunSettings ProductionSettings(const FlashArgs& args) {
  production::RunSettings settings;
  settings.fields = args.fields;
  settings.records_path = args.records;
  settings.code_path = args.code;
  settings.data_path = args.data;
  settings.profile = args.profile;
  settings.version = VersionString();
  settings.json = args.json ? stdout : nullptr;
  settings.label_template = args.label_template;
  settings.label_printer = args.label_printer;
  if (args.label_timeout_ms)
    settings.label_timeout = std::chrono::milliseconds(*args.label_timeout_ms);
  return settings;
}

}  // namespace

int CmdFlash(int argc, char** argv) {
  FlashArgs args;
  if (auto done = ParseFlash(argc, argv, kHelp, &args)) return *done;

  // Every port is named before any file is read, and none twice.
  std::vector<link::PortId> ids;
  {
    auto ports = link::MakePlatformPortSystem();
    for (const std::string& text : args.ports) {
      const auto id = ports->ResolvePort(text);
      if (!id) return UsageError(argv[0], "'" + text + "' names no serial port");
      ids.push_back(*id);
    }
  }
  if (const auto same = station::FindSamePort(ids)) {
    return UsageError(argv[0], "'" + args.ports[same->first] + "' and '" +
                                   args.ports[same->second] + "' are the same port");
  }

  // Every file is loaded and checked once, before any board is touched,
  // and then only read by the boards' threads.
  // With --json, stdout carries JSON alone: the loads' log goes to stderr.
  TerminalSink sink(args.json ? stderr : stdout);
  Log log(&sink);
  image::ImageStore images(log);
  // The records' hashes are of the bytes loaded, taken as they are read.
  production::Sha256FileDigest digest;
  images.SetFileDigest(&digest);
  if (args.code) {
    if (!images.LoadCodeImageFromPath(*args.code)) return kExitFailure;
    // A file with two empty sections loads, but there is nothing to write.
    if (!images.HasCodeImage()) {
      std::fprintf(stderr, "quelmar-cli: %s: both code banks are empty: nothing to write.\n",
                   args.code->c_str());
      return kExitFailure;
    }
  }
  if (args.data && !images.LoadDataImageFromPath(*args.data)) return kExitFailure;
  {
    std::string why;
    if (!production::CheckImagePin(images.CodeFile(), "code_sha256", args.code_sha256, &why) ||
        !production::CheckImagePin(images.DataFile(), "data_sha256", args.data_sha256, &why)) {
      std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
      return kExitFailure;
    }
  }

  station::BoardJob job;
  job.code = args.code.has_value();
  job.data = args.data.has_value();
  job.reboot = args.reboot;
  job.retries = args.retries;
  // A released job: fetched and checked before any board, its release
  // then stands in for the files.
  const bool released = args.line && !args.line->job.empty();
  line::Line line;
  std::shared_ptr<const production::Release> release;
  if (released) {
    std::string why;
    if (!line.Open(*args.line, line::SpoolFolderFor(args.profile->file), {}, &why)) {
      std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
      return kExitFailure;
    }
    release = line.ReleaseFor("");
    std::fprintf(args.json ? stderr : stdout, "%s\n", station::ReleaseLine(*release).c_str());
    line.OnChangeOver([](const production::Release&, const std::string& note) {
      std::fprintf(stderr, "quelmar-cli: %s\n", note.c_str());
    });
    station::UseRelease(*release, &job);
  }
  job.auto_mode = args.auto_mode;
  job.count = args.count;
  // Scans: the product's keys (a released job's own), the station's scanner.
  station::ScanSettings scan_settings;
  scan_settings.mode = station::ScanModeOf((released ? release->scan : args.scan).value_or("off"));
  scan_settings.unit_pattern = (released ? release->scan_pattern : args.scan_pattern).value_or("");
  scan_settings.slot_pattern = args.slot_pattern.value_or("");
  const std::vector<production::FieldDef>& fields = released ? release->plan.defs() : args.fields;
  for (const production::FieldDef& f : fields) {
    if (f.from_scan && !args.auto_mode) {
      std::fprintf(stderr,
                   "quelmar-cli: field '%s' takes the board's scanned unit: flash takes scans "
                   "only with --auto; no board is written\n",
                   f.name.c_str());
      return kExitFailure;
    }
  }
  std::optional<FlashScans> scans;
  if (args.auto_mode && scan_settings.mode != station::ScanMode::kOff) {
    // Stdin piped or from a file is a script's scans; a null device (a
    // service, a job runner) never gives one.
    if (scan_settings.mode == station::ScanMode::kRequired && !args.scanner && !StdinCanScan()) {
      std::fprintf(stderr,
                   "quelmar-cli: scan = \"required\", but no scan can come: stdin is no "
                   "terminal, pipe or file, and the profile names no scanner; no board is "
                   "written\n");
      return kExitFailure;
    }
    scans = FlashScans{scan_settings, args.scanner, args.scanner_baud.value_or(9600)};
  }
  if (args.log_dir) job.text_record = TextRecordsIn(*args.log_dir);
  // The production line's checks come before any board is touched too.
  production::ProductionRun production;
  if (args.records || args.json || !args.fields.empty() || args.line || args.label_template) {
    std::string why;
    production::RunSettings settings = ProductionSettings(args);
    if (released) settings.fields = release->plan.defs();
    if (args.line) {
      if (!released &&
          !line.Open(*args.line, line::SpoolFolderFor(args.profile->file), args.fields, &why)) {
        std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
        return kExitFailure;
      }
      for (const std::string& note : line.Notes())
        std::fprintf(stderr, "quelmar-cli: %s\n", note.c_str());
      settings.line_values = &line;
      settings.line_records = &line;
      settings.station = args.line->station;
    }
    if (!production.Prepare(std::move(settings), released ? release->images : images, &why)) {
      std::fprintf(stderr, "quelmar-cli: %s\n", why.c_str());
      return kExitFailure;
    }
    for (const std::string& note : production.Notes())
      std::fprintf(stderr, "quelmar-cli: %s\n", note.c_str());
    job.production = &production;
  }
  // Retries are the runner's.
  if (ids.size() == 1 && !args.auto_mode && !job.production && job.retries == 0)
    return FlashOne(job, args.log_dir, images, sink, log, ids[0]);
  return FlashMany(job, images, ids, args.json, scans);
}

}  // namespace quelmar::cli
