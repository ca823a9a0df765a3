// gui_bench: what the desktop program costs on top of the work itself.
//
// Figure 1: a full two-bank code update (2 x 2048 blocks) driven through the
// dialog's own code path (from the click on Update Code until the controls
// come back) against the same update through quelmar-cli flash (less the
// time of quelmar-cli identify), both against quelmar-sim answering at once. Rounds alternate; the
// ratio of the medians is printed (goal: at most 1.15).
// Figure 2: the program idle with the port monitor running, as CPU time per
// wall time (goal: under 1 % of one core).
// Figure 3: 100,000 log lines written from another thread while the UI
// runs: the longest stretch the event loop was kept from its timers (goal:
// under 50 ms), and how long until the last line was shown.
//
// Times are printed, never judged: the exit status only says whether every
// run worked.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTextBlock>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/ids.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "ui/gui_app.h"
#include "ui/log_view.h"

extern char** environ;

namespace {

using namespace quelmar;
using Steady = std::chrono::steady_clock;

double Seconds(Steady::duration d) {
  return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::seconds limit) {
  const auto deadline = Steady::now() + limit;
  while (!pred()) {
    if (Steady::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

pid_t Spawn(const std::vector<std::string>& args, const char* out_path) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path, O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class PathChooser final : public image::FileChooser {
 public:
  std::optional<std::string> ChooseImageFile(image::ImageKind) override { return path; }
  std::string path;
};

QPushButton* Button(ui::GuiApp& gui, int id) {
  return static_cast<QPushButton*>(gui.Dialog().Control(id));
}

// One code update through the dialog: from the click on Update Code until
// the controls come back. Negative when it failed.
double GuiRound(const std::string& image) {
  PathChooser chooser;
  chooser.path = image;
  ui::GuiApp::Options options;
  options.chooser = &chooser;
  ui::GuiApp gui(options);
  if (!gui.Start()) return -1;
  QComboBox* box = gui.Dialog().PortBox();
  const int index = box->findText("COM 98");
  if (index <= 0) return -1;
  box->setCurrentIndex(index);
  emit box->activated(index);
  if (!WaitFor([&] { return Button(gui, IDC_REBOOT)->isEnabled(); }, std::chrono::seconds(20)))
    return -1;
  Button(gui, IDC_OPEN_CODE)->click();
  if (!WaitFor([&] { return Button(gui, IDC_UPDATE_CODE)->isEnabled(); }, std::chrono::seconds(20)))
    return -1;
  const auto start = Steady::now();
  Button(gui, IDC_UPDATE_CODE)->click();
  if (!WaitFor([&] { return !Button(gui, IDC_OPEN_CODE)->isEnabled(); }, std::chrono::seconds(20)))
    return -1;
  if (!WaitFor([&] { return Button(gui, IDC_OPEN_CODE)->isEnabled(); }, std::chrono::seconds(300)))
    return -1;
  const double elapsed = Seconds(Steady::now() - start);
  const std::string log = gui.Dialog().Log()->toPlainText().toStdString();
  if (log.find("Write extended CODE... OK.") == std::string::npos) {
    std::fprintf(stderr, "gui_bench: the update failed:\n%s\n", log.c_str());
    return -1;
  }
  gui.CloseProgram();
  return elapsed;
}

// The same update through quelmar-cli flash, less what quelmar-cli identify
// (process start, open and identification) and quelmar-cli info (loading
// the image) take, so that both sides time the update alone.
double CliRun(const std::vector<std::string>& args) {
  const auto start = Steady::now();
  const pid_t pid = Spawn(args, "/dev/null");
  if (pid < 0 || WaitExit(pid) != 0) return -1;
  return Seconds(Steady::now() - start);
}

double CliRound(const std::string& image) {
  const double flash = CliRun({QUELMAR_CLI_PATH, "flash", "COM98", "--code", image});
  const double identify = CliRun({QUELMAR_CLI_PATH, "identify", "COM98"});
  const double load = CliRun({QUELMAR_CLI_PATH, "info", image});
  if (flash < 0 || identify < 0 || load < 0) return -1;
  return flash - identify - load;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  int idle_seconds = 60;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--idle-seconds" && i + 1 < argc) {
      idle_seconds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--quick") {
      rounds = 1;
      idle_seconds = 10;
    } else {
      std::fprintf(stderr,
                   "Usage: gui_bench [--rounds N] [--idle-seconds S] [--quick]\n"
                   "Prints the desktop program's overhead figures.\n");
      return arg == "--help" ? 0 : 2;
    }
  }
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  char dir_template[] = "/tmp/quelmar-gui-bench-XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  const std::string ports = dir + "/ports";
  mkdir(ports.c_str(), 0700);
  setenv("QUELMAR_PORT_DIR", ports.c_str(), 1);
  QApplication app(argc, argv);

  // Two full banks of random bytes.
  std::mt19937 gen(7);
  std::vector<uint8_t> bank_a(image::CODE_IMAGE_SIZE), bank_b(image::CODE_IMAGE_SIZE);
  for (auto& b : bank_a) b = static_cast<uint8_t>(gen());
  for (auto& b : bank_b) b = static_cast<uint8_t>(gen());
  const std::string image = dir + "/full.fcode";
  if (!image::WriteFileAtomically(image, image::BuildCodeFile(&bank_a, &bank_b, 'E'), nullptr)) {
    std::fprintf(stderr, "gui_bench: cannot write %s\n", image.c_str());
    return 1;
  }

  const std::string sim_out = dir + "/sim.out";
  const pid_t sim = Spawn({QUELMAR_SIM_PATH, "--com", "98", "--quiet"}, sim_out.c_str());
  if (sim < 0) return 1;
  QThread::msleep(300);

  bool ok = true;
  std::vector<double> gui_times, cli_times;
  for (int r = 0; r < rounds && ok; ++r) {
    const double c = CliRound(image);
    const double g = GuiRound(image);
    ok = c > 0 && g > 0;
    cli_times.push_back(c);
    gui_times.push_back(g);
    std::printf("round %d: cli %.3f s, gui %.3f s\n", r + 1, c, g);
  }
  kill(sim, SIGTERM);
  WaitExit(sim);
  if (ok) {
    std::printf(
        "1. full two-bank code update, gui / cli: %.3f (gui %.3f s, cli %.3f s, medians "
        "of %d; goal <= 1.15)\n",
        Median(gui_times) / Median(cli_times), Median(gui_times), Median(cli_times), rounds);
  }

  // 2. Idle: the dialog up, no port open, the monitor refreshing the list.
  {
    ui::GuiApp gui;
    ok = gui.Start() && ok;
    const double cpu0 = CpuSeconds();
    const auto start = Steady::now();
    QTimer::singleShot(idle_seconds * 1000, &app, [] { QCoreApplication::exit(0); });
    QApplication::exec();
    const double wall = Seconds(Steady::now() - start);
    std::printf("2. idle with the port monitor: %.3f %% of one core over %.0f s (goal < 1 %%)\n",
                100.0 * (CpuSeconds() - cpu0) / wall, wall);
    gui.CloseProgram();
  }

  // 3. 100,000 log lines from another thread while the UI runs.
  {
    ui::GuiApp gui;
    ok = gui.Start() && ok;
    constexpr int kLines = 100000;
    QElapsedTimer beat;
    qint64 longest = 0;
    QTimer heartbeat;
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout,
                     [&] { longest = std::max(longest, beat.restart()); });
    beat.start();
    heartbeat.start();
    const auto start = Steady::now();
    std::thread writer([&] {
      Log& log = gui.Window().GetLog();
      for (int i = 0; i < kLines; ++i)
        log.AppendLog(i % 10 == 0 ? 1 : 0, "Line %d of the log.\n", i);
    });
    const std::string last = "Line " + std::to_string(kLines - 1) + " of the log.";
    WaitFor(
        [&] {
          return gui.Queue().Pending() == 0 &&
                 gui.Dialog().Log()->document()->lastBlock().previous().text().toStdString() ==
                     last;
        },
        std::chrono::seconds(300));
    const double shown = Seconds(Steady::now() - start);
    writer.join();
    heartbeat.stop();
    std::printf(
        "3. 100000 log lines: longest UI event %lld ms (goal < 50 ms), all shown after "
        "%.2f s, %d lines kept\n",
        static_cast<long long>(longest), shown, gui.Dialog().Log()->blockCount());
    gui.CloseProgram();
  }

  std::string rm = "rm -rf '" + dir + "'";
  if (std::system(rm.c_str()) != 0)
    std::fprintf(stderr, "gui_bench: could not remove %s\n", dir.c_str());
  return ok ? 0 : 1;
}
