#include "win32ui/main_window.h"

#include <commctrl.h>

#include <string>

#include "common/ids.h"
#include "common/log.h"
#include "link/serial_port.h"
#include "win32ui/log_view.h"
#include "win32ui/progress_control.h"
#include "win32ui/resource.h"

namespace quelmar::win32ui {

namespace {

constexpr UINT kDrainMessage = WM_APP + 1;  // the UI queue has calls waiting
constexpr UINT kSoonMessage = WM_APP + 2;   // RunAfter calls without delay
constexpr UINT_PTR kMonitorTimer = 1;
constexpr UINT_PTR kDrainTimer = 2;
constexpr UINT_PTR kDelayTimer = 3;
// At most one drain of the UI queue per interval: a block-by-block update
// then costs the UI thread a hundred repaints a second, not thousands.
constexpr std::chrono::milliseconds kDrainInterval{10};
constexpr char kSingleInstanceMutex[] = "Local\\Zandrel.Quelmar";

bool IsMainWindowCommand(int id) {
  return id == ID_START_FLASH_CODE || id == ID_SELECT_PORT || id == ID_OPEN_FILE_CODE ||
         id == ID_START_FLASH_DATA || id == ID_OPEN_FILE_DATA || id == ID_RESET;
}

UINT TimerMilliseconds(std::chrono::steady_clock::duration left) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms < 1 ? 1u : static_cast<UINT>(ms);
}

}  // namespace

MainWindow::MainWindow() : ports_(link::MakePlatformPortSystem()) {
  queue_ = std::make_unique<app::UiQueue>(
      *this,
      [this] {
        if (HWND target = wake_target_.load()) PostMessageA(target, kDrainMessage, 0, 0);
      },
      // The log takes the focus for lines the UI thread itself writes.
      [this] {
        if (log_view_ != nullptr) SetFocus(log_view_);
      });
  window_logic_ = std::make_unique<app::MainWindow>(
      app::MainWindow::Parts{*ports_, *queue_, *this, port_combo_, chooser_});
}

MainWindow::~MainWindow() {
  wake_target_.store(nullptr);
  // The worker ends first: nothing may call into the windows after it.
  window_logic_.reset();
  if (window_ != nullptr) DestroyWindow(window_);
}

bool MainWindow::Start(HINSTANCE instance) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kMainWindowClass;
  if (RegisterClassA(&wc) == 0) {
    ShowErrorBox("Failed register class");
    return false;
  }

  window_ = CreateWindowExA(0, kMainWindowClass, kMainWindowTitle,
                            WS_POPUPWINDOW | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0,
                            0, 0, nullptr, nullptr, instance, this);
  if (window_ == nullptr) {
    ShowErrorBox("Failed create window");
    return false;
  }
  wake_target_.store(window_);

  if (CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN_DIALOG), window_, DialogProc,
                         reinterpret_cast<LPARAM>(this)) == nullptr) {
    ShowErrorBox(Format("Failed creating MainDialog: %i", static_cast<int>(GetLastError())));
    return false;
  }
  chooser_.SetOwner(dialog_);
  if (!window_logic_->StartPortWorker()) return false;
  ShowWindow(dialog_, SW_SHOW);
  SetTimer(window_, kMonitorTimer, static_cast<UINT>(app::MainWindow::kMonitorInterval.count()),
           nullptr);
  return true;
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(l);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->window_ != hwnd) {
    // Before CreateWindowExA has returned: nothing of ours to do yet.
    if (message == WM_CREATE) return 0;
    return DefWindowProcA(hwnd, message, w, l);
  }
  return self->OnWindowMessage(message, w, l);
}

LRESULT MainWindow::OnWindowMessage(UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_CREATE:
    case WM_SIZE:
      return 0;
    case WM_CLOSE:
      // Refused while busy (app::MainWindow decides).
      window_logic_->PostCommand(app::kCloseRequest);
      return 0;
    case WM_DESTROY:
      wake_target_.store(nullptr);
      window_ = nullptr;
      dialog_ = log_view_ = progress_ = nullptr;
      PostQuitMessage(0);
      return 0;
    case WM_COMMAND: {
      // Commands carry their id in the high 16 bits.
      const int id = HIWORD(w);
      if (LOWORD(w) != 0 || !IsMainWindowCommand(id)) return 0;
      window_logic_->PostCommand(id);
      return 1;
    }
    case WM_TIMER:
      if (w == kMonitorTimer || w == kDrainTimer || w == kDelayTimer) {
        OnTimer(w);
        return 0;
      }
      break;
    case kDrainMessage:
      ScheduleDrain();
      return 0;
    case kSoonMessage: {
      soon_posted_ = false;
      std::deque<std::function<void()>> calls;
      calls.swap(soon_);
      for (auto& call : calls) call();
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcA(window_, message, w, l);
}

void MainWindow::OnTimer(UINT_PTR id) {
  switch (id) {
    case kMonitorTimer:
      window_logic_->PortMonitor();
      break;
    case kDrainTimer:
      KillTimer(window_, kDrainTimer);
      drain_timer_ = false;
      Drain();
      break;
    case kDelayTimer:
      KillTimer(window_, kDelayTimer);
      RunDue();
      break;
    default:
      break;
  }
}

INT_PTR CALLBACK MainWindow::DialogProc(HWND hwnd, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrA(hwnd, DWLP_USER, l);
    reinterpret_cast<MainWindow*>(l)->OnInitDialog(hwnd);
    return TRUE;
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  if (self == nullptr) return FALSE;
  if (message == WM_COMMAND) {
    self->OnDialogCommand(LOWORD(w), HIWORD(w));
    return TRUE;
  }
  return FALSE;
}

void MainWindow::OnInitDialog(HWND dialog) {
  dialog_ = dialog;
  const auto fail = [dialog] { PostMessageA(dialog, WM_COMMAND, IDC_EXIT, 0); };

  HWND placeholder = GetDlgItem(dialog, IDC_LOG_VIEW);
  if (placeholder == nullptr) {
    MessageBoxA(nullptr, "Failed GetControlRect -> LOG_VIEW", "Error", MB_OK);
    return fail();
  }
  RECT rect;
  GetControlRect(dialog, placeholder, &rect);
  log_view_ = CreateLogView(rect, dialog);
  if (log_view_ == nullptr) return fail();
  DestroyWindow(placeholder);

  if (PortBox() == nullptr) {
    MessageBoxA(nullptr, "Failed GetDlgItem -> IDC_COMPORT", "Error", MB_OK);
    return fail();
  }
  window_logic_->InitPortList();

  placeholder = GetDlgItem(dialog, IDC_PROGRESS);
  if (placeholder == nullptr) {
    MessageBoxA(nullptr, "Failed GetControlRect -> PROGRESS", "Error", MB_OK);
    return fail();
  }
  GetControlRect(dialog, placeholder, &rect);
  progress_ = CreateProgressControl(rect, dialog);
  if (progress_ == nullptr) return fail();
  DestroyWindow(placeholder);

  // The program's icon on the task bar and in the task switcher.
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  for (const auto& [kind, size] : {std::pair{ICON_BIG, SM_CXICON}, {ICON_SMALL, SM_CXSMICON}}) {
    const int pixels = GetSystemMetrics(size);
    if (HANDLE icon = LoadImageA(instance, MAKEINTRESOURCEA(IDI_QUELMAR), IMAGE_ICON, pixels,
                                 pixels, LR_DEFAULTCOLOR)) {
      SendMessageA(dialog, WM_SETICON, kind, reinterpret_cast<LPARAM>(icon));
    }
  }
}

void MainWindow::OnDialogCommand(int control_id, int notification) {
  if (control_id == IDC_COMPORT) {
    HWND box = PortBox();
    switch (notification) {
      case CBN_SELCHANGE:
        // While the list is open, the highlight moving over entries is no
        // choice yet: opening a port is taken once the list closes on one.
        if (SendMessageA(box, CB_GETDROPPEDSTATE, 0, 0) != 0) {
          choice_pending_ = true;
        } else {
          window_logic_->OnPortChosen(port_combo_.CurrentIndex());
        }
        break;
      case CBN_SELENDCANCEL:
        choice_pending_ = false;
        break;
      case CBN_CLOSEUP:
        if (choice_pending_) {
          choice_pending_ = false;
          window_logic_->OnPortChosen(port_combo_.CurrentIndex());
        }
        break;
      default:
        break;
    }
    return;
  }
  if (notification == BN_CLICKED) window_logic_->OnClick(control_id);
}

void MainWindow::RunAfter(std::chrono::milliseconds delay, std::function<void()> fn) {
  if (window_ == nullptr) return;
  if (delay.count() <= 0) {
    soon_.push_back(std::move(fn));
    if (!soon_posted_) soon_posted_ = PostMessageA(window_, kSoonMessage, 0, 0) != 0;
    return;
  }
  timed_.emplace(std::chrono::steady_clock::now() + delay, std::move(fn));
  ArmDelayTimer();
}

void MainWindow::ArmDelayTimer() {
  if (window_ == nullptr || timed_.empty()) return;
  SetTimer(window_, kDelayTimer,
           TimerMilliseconds(timed_.begin()->first - std::chrono::steady_clock::now()), nullptr);
}

void MainWindow::RunDue() {
  while (!timed_.empty() && timed_.begin()->first <= std::chrono::steady_clock::now()) {
    auto call = std::move(timed_.begin()->second);
    timed_.erase(timed_.begin());
    call();
  }
  ArmDelayTimer();
}

void MainWindow::ScheduleDrain() {
  const auto since = std::chrono::steady_clock::now() - last_drain_;
  if (since >= kDrainInterval) return Drain();
  if (drain_timer_ || window_ == nullptr) return;
  drain_timer_ = SetTimer(window_, kDrainTimer, TimerMilliseconds(kDrainInterval - since), nullptr) != 0;
}

void MainWindow::Drain() {
  last_drain_ = std::chrono::steady_clock::now();
  queue_->Drain();
}

bool MainWindow::AskStopEraseWait() {
  return MessageBoxA(dialog_, app::kStopEraseWaitQuestion, "Quelmar",
                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void MainWindow::CloseProgram() {
  if (window_ == nullptr) return;
  KillTimer(window_, kMonitorTimer);
  // Destroys the dialog it owns; WM_DESTROY ends the message loop.
  DestroyWindow(window_);
}

void MainWindow::LogText(int severity, std::string_view text) {
  AppendLogText(log_view_, severity, text);
}

void MainWindow::ErrorBox(std::string_view text) {
  ShowErrorBox(text);
}

void MainWindow::ProgressChanged(const ProgressState& state) {
  ShowProgress(progress_, state);
}

void MainWindow::SetControlEnabled(int control_id, bool enabled) {
  // Exit is never touched by the control sets.
  if (control_id == IDC_EXIT || dialog_ == nullptr) return;
  if (HWND control = GetDlgItem(dialog_, control_id)) EnableWindow(control, enabled ? TRUE : FALSE);
}

HWND MainWindow::PortBox() const {
  return dialog_ != nullptr ? GetDlgItem(dialog_, IDC_COMPORT) : nullptr;
}

int RunQuelmar(HINSTANCE instance) {
  InitCommonControls();

  // One copy per session. The named mutex closes the gap between two
  // starts at the same moment, which the window search alone leaves open.
  // The handle stays open for the life of the process.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kSingleInstanceMutex);
  const bool other = mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  if (HWND running = FindWindowA(kMainWindowClass, kMainWindowTitle); running != nullptr || other) {
    if (running != nullptr) {
      SetActiveWindow(running);
      SetForegroundWindow(running);
      // What the operator sees is the dialog the window owns.
      HWND shown = GetLastActivePopup(running);
      if (shown != nullptr && shown != running) SetForegroundWindow(shown);
    }
    return 1;
  }

  MainWindow program;
  if (!program.Start(instance)) return 0;
  MSG message;
  BOOL got;
  while ((got = GetMessageA(&message, nullptr, 0, 0)) != 0 && got != -1) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return got == 0 ? static_cast<int>(message.wParam) : 0;
}

}  // namespace quelmar::win32ui
