// The desktop program: the main window's logic with the Qt dialog as its
// view, the UI queue that brings the worker's calls to the UI thread, and
// the port monitor's timer.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>

#include "app/main_window.h"
#include "app/ui_queue.h"
#include "ui/file_chooser.h"
#include "ui/main_dialog.h"

namespace quelmar::ui {

class GuiApp final : public QObject, public app::MainWindowView {
  Q_OBJECT

 public:
  struct Options {
    link::PortSystem* ports = nullptr;      // null: the system's serial ports
    image::FileChooser* chooser = nullptr;  // null: the open-file dialog
    Clock* clock = nullptr;                 // null: the system clock
    // Answers the stop question instead of asking (tests).
    std::function<bool()> answer_stop;
  };

  GuiApp();
  explicit GuiApp(Options options);
  ~GuiApp() override;

  // Fills the port list, starts the worker, shows the dialog and starts the
  // port monitor. False after an error box: the program then ends (0).
  bool Start();
  // Brings the dialog to the front (a second start asked for it).
  void Activate();

  MainDialog& Dialog() { return *dialog_; }
  app::MainWindow& Window() { return *window_; }
  app::UiQueue& Queue() { return *queue_; }
  bool Closed() const { return closed_; }

  // MainWindowView. CloseProgram closes the dialog and emits closed().
  void RunAfter(std::chrono::milliseconds delay, std::function<void()> fn) override;
  bool AskStopEraseWait() override;
  void CloseProgram() override;

 signals:
  // The program is to end (exit code 0).
  void closed();

 private:
  static constexpr qint64 kDrainIntervalMs = 10;
  void ScheduleDrain();
  void Drain();

  Options options_;
  std::unique_ptr<link::PortSystem> own_ports_;
  QtFileChooser own_chooser_;
  std::unique_ptr<MainDialog> dialog_;
  std::unique_ptr<app::UiQueue> queue_;
  std::unique_ptr<app::MainWindow> window_;
  QTimer monitor_;
  QElapsedTimer last_drain_;
  bool closed_ = false;
};

// The program's entry: one instance per user session (a second start
// brings the first to the front and ends with 1), then the dialog until
// Exit (0).
int RunQuelmar(int argc, char** argv);

}  // namespace quelmar::ui
