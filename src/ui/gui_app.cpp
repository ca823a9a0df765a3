#include "ui/gui_app.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QScreen>
#include <cstdio>
#include <cstring>
#include <optional>

#include "link/serial_port.h"
#include "ui/log_view.h"
#include "ui/single_instance.h"
#include "version/version.h"

namespace quelmar::ui {

GuiApp::GuiApp() : GuiApp(Options{}) {}

GuiApp::GuiApp(Options options) : options_(std::move(options)) {
  if (options_.ports == nullptr) own_ports_ = link::MakePlatformPortSystem();
  link::PortSystem& ports = options_.ports != nullptr ? *options_.ports : *own_ports_;
  image::FileChooser& chooser = options_.chooser != nullptr ? *options_.chooser : own_chooser_;
  Clock& clock = options_.clock != nullptr ? *options_.clock : SystemClock();

  DialogRequests requests;
  requests.click = [this](int id) { window_->OnClick(id); };
  requests.port_chosen = [this](int index) { window_->OnPortChosen(index); };
  requests.file_dropped = [this](bool code, const std::string& path) {
    window_->PostCommand(code ? app::kDropCodeFile : app::kDropDataFile, path);
  };
  requests.close = [this] { window_->PostCommand(app::kCloseRequest); };
  dialog_ = std::make_unique<MainDialog>(std::move(requests));
  own_chooser_.SetOwner(dialog_.get());

  queue_ = std::make_unique<app::UiQueue>(
      *dialog_,
      [this] {
        // Any thread: one queued call drains on the UI thread.
        QMetaObject::invokeMethod(
            this, [this] { ScheduleDrain(); }, Qt::QueuedConnection);
      },
      [this] { dialog_->Log()->FocusLog(); });
  window_ = std::make_unique<app::MainWindow>(
      app::MainWindow::Parts{ports, *queue_, *this, *dialog_, chooser, clock});

  monitor_.setInterval(static_cast<int>(app::MainWindow::kMonitorInterval.count()));
  connect(&monitor_, &QTimer::timeout, this, [this] { window_->PortMonitor(); });
}

GuiApp::~GuiApp() {
  monitor_.stop();
  // The worker ends first: nothing may call into the dialog after it.
  window_.reset();
}

bool GuiApp::Start() {
  window_->InitPortList();
  if (!window_->StartPortWorker()) return false;
  // Centred on the screen it opens on.
  if (const QScreen* screen = dialog_->screen()) {
    dialog_->move(screen->availableGeometry().center() - dialog_->rect().center());
  }
  dialog_->show();
  monitor_.start();
  return true;
}

void GuiApp::ScheduleDrain() {
  // At most one drain per interval: a block-by-block update then costs the
  // UI thread a hundred repaints a second, not thousands, and the queue
  // hands over its calls in runs.
  const qint64 since = last_drain_.isValid() ? last_drain_.elapsed() : kDrainIntervalMs;
  if (since >= kDrainIntervalMs) {
    Drain();
    return;
  }
  QTimer::singleShot(static_cast<int>(kDrainIntervalMs - since), this, [this] { Drain(); });
}

void GuiApp::Drain() {
  last_drain_.start();
  queue_->Drain();
}

void GuiApp::Activate() {
  if (closed_) return;
  dialog_->show();
  dialog_->setWindowState(dialog_->windowState() & ~Qt::WindowMinimized);
  dialog_->raise();
  dialog_->activateWindow();
}

void GuiApp::RunAfter(std::chrono::milliseconds delay, std::function<void()> fn) {
  QTimer::singleShot(delay, this, std::move(fn));
}

bool GuiApp::AskStopEraseWait() {
  if (options_.answer_stop) return options_.answer_stop();
  return QMessageBox::question(dialog_.get(), "Quelmar", app::kStopEraseWaitQuestion,
                               QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

void GuiApp::CloseProgram() {
  closed_ = true;
  monitor_.stop();
  dialog_->AllowClose();
  dialog_->close();
  emit closed();
}

namespace {

constexpr const char* kHelp =
    "Usage: quelmar [--help | --version]\n"
    "Writes firmware into boards built around an NXP LPC43xx microcontroller\n"
    "through the board's resident serial bootloader. Pick the board's COM port,\n"
    "open a code image (.fcode) or a data flash image (.fdata) and update the\n"
    "board; every step is reported in the window's log.\n"
    "\n"
    "Everything else is chosen in the window. One copy runs per user session:\n"
    "a second start brings the running window to the front and exits with\n"
    "status 1.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "quelmar-cli does the same from the command line; quelmar-sim is a\n"
    "simulated board to try an update on.\n";

// --help or --version among the arguments: the answer on out and the exit
// status. Answered before Qt starts: they need no display (help2man asks).
std::optional<int> AnswerInfoOption(int argc, char** argv, std::FILE* out) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kHelp, out);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::fprintf(out, "quelmar %s\n", VersionString());
      return 0;
    }
  }
  return std::nullopt;
}

}  // namespace

int RunQuelmar(int argc, char** argv) {
  if (const std::optional<int> answered = AnswerInfoOption(argc, argv, stdout)) {
    return *answered;
  }
  QApplication application(argc, argv);
  QApplication::setApplicationName("quelmar");
  QApplication::setDesktopFileName("quelmar");
  QApplication::setWindowIcon(QIcon::fromTheme("quelmar", QIcon(":/quelmar/quelmar.png")));

  SingleInstance instance;
  if (!instance.Claim()) return 1;

  GuiApp gui;
  QObject::connect(&instance, &SingleInstance::activateRequested, &gui, &GuiApp::Activate);
  // Exit ends the event loop with 0; nothing else does.
  QApplication::setQuitOnLastWindowClosed(false);
  QObject::connect(&gui, &GuiApp::closed, &application, [] { QCoreApplication::exit(0); });
  if (!gui.Start()) return 0;
  return QApplication::exec();
}

}  // namespace quelmar::ui
