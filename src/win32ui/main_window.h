// quelmar.exe's view over the shared main-window logic: the invisible main
// window `Zandrel` that takes the commands and the monitor's ticks, and the
// modeless main dialog (template 103) with its log view, progress control
// and COM drop-down. Every rule of routing, control states, the monitor
// and the abort is app::MainWindow's; this only draws and forwards.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>

// The core's headers come before <windows.h>, whose macros reuse some of
// their names.
#include "app/main_window.h"
#include "app/port_drop_down.h"
#include "app/ui_queue.h"
#include "common/ui_sink.h"

#include <windows.h>

#include "win32ui/file_chooser.h"
#include "win32ui/port_combo.h"

namespace quelmar::win32ui {

inline constexpr char kMainWindowClass[] = "Zandrel";
inline constexpr char kMainWindowTitle[] = "Quelmar";

class MainWindow final : public app::MainWindowView, public UiSink {
 public:
  MainWindow();
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Registers the class and creates the main window, then the dialog (which
  // creates its log view and progress control and fills the drop-down),
  // starts the worker, shows the dialog and starts the port monitor. False
  // after an error box: the program then ends with 0.
  bool Start(HINSTANCE instance);

  HWND Window() const { return window_; }
  HWND Dialog() const { return dialog_; }

  // app::MainWindowView, UI thread.
  void RunAfter(std::chrono::milliseconds delay, std::function<void()> fn) override;
  bool AskStopEraseWait() override;
  void CloseProgram() override;

  // UiSink, UI thread only (the UI queue brings other threads' calls here).
  void LogText(int severity, std::string_view text) override;
  void ErrorBox(std::string_view text) override;
  void ProgressChanged(const ProgressState& state) override;
  void SetControlEnabled(int control_id, bool enabled) override;

 private:
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM w, LPARAM l);
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM w, LPARAM l);
  LRESULT OnWindowMessage(UINT message, WPARAM w, LPARAM l);
  void OnInitDialog(HWND dialog);
  void OnDialogCommand(int control_id, int notification);
  void OnTimer(UINT_PTR id);
  void ScheduleDrain();
  void Drain();
  void RunDue();
  void ArmDelayTimer();
  HWND PortBox() const;

  std::unique_ptr<link::PortSystem> ports_;
  Win32FileChooser chooser_;
  PortCombo port_combo_{[this] { return PortBox(); }};
  std::unique_ptr<app::UiQueue> queue_;
  std::unique_ptr<app::MainWindow> window_logic_;

  HWND window_ = nullptr;
  // The main window for the queue's wake-ups from the worker thread; null
  // once it is gone.
  std::atomic<HWND> wake_target_{nullptr};
  HWND dialog_ = nullptr;
  HWND log_view_ = nullptr;
  HWND progress_ = nullptr;

  // RunAfter: calls for the next turn of the loop, and timed ones by due
  // time (equal times in the order asked).
  std::deque<std::function<void()>> soon_;
  bool soon_posted_ = false;
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timed_;
  std::chrono::steady_clock::time_point last_drain_{};
  bool drain_timer_ = false;
  // The drop-down's choice is taken once its list has closed on it.
  bool choice_pending_ = false;
};

// The program's entry: one instance per session (a second start brings the
// first to the front and ends with 1), then the dialog until Exit (0).
int RunQuelmar(HINSTANCE instance);

}  // namespace quelmar::win32ui
