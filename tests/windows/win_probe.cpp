// win_probe.exe: looks at quelmar.exe's dialog from outside, as the Wine
// GUI test needs it: where a control is on the screen (to click it through
// X), whether it is enabled, the drop-down's entries, the log's text.
// Every wait polls until its time is up.
//
//   win_probe center ID            screen x y of control ID's centre
//   win_probe center-in TITLE ID   the same in the dialog box TITLE (a message
//                                  box, the Open dialog)
//   win_probe wait-window TITLE S  a top-level window TITLE shows within S s
//   win_probe wait-gone TITLE S    no top-level window TITLE within S s
//   win_probe wait-box TITLE S     a dialog box TITLE shows within S s
//   win_probe wait-box-gone TITLE S
//   win_probe wait-enabled ID 0|1 S
//   win_probe wait-log TEXT S      the log holds TEXT within S s
//   win_probe wait-log-count TEXT N S  the log holds TEXT N times within S s
//   win_probe time-busy ID S      prints "watching", waits for control ID to
//                                  go disabled, then enabled again; prints the
//                                  seconds between
//   win_probe entries              the COM drop-down's entries, one a line
//   win_probe log                  the log's text
//   win_probe classes              class name of each of the dialog's children
//   win_probe children TITLE       id, class and text of each child of the
//                                  dialog box TITLE
//   win_probe selected-in TITLE ID the chosen entry of drop-down ID in the
//                                  dialog box TITLE
//   win_probe wait-selected-in TITLE ID TEXT S  that entry is TEXT within S s
//   win_probe wait-focus-in TITLE ID S  control ID of the dialog box TITLE
//                                  (or a child of it) has the keyboard focus
//   win_probe wait-text-in TITLE ID TEXT S  control ID's text is TEXT
//   win_probe wait-dropped ID S    the main dialog's drop-down ID is open
// Exit status 0 on success, 1 when a wait ran out or a window is missing.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr char kDialogTitle[] = "Tarnivel Quelmar";

HWND Dialog() {
  return FindWindowA(nullptr, kDialogTitle);
}

// A dialog box (message boxes and the Open dialog are of this class).
HWND Box(const char* title) {
  return FindWindowA("#32770", title);
}

int PrintCenter(HWND control) {
  RECT r;
  if (control == nullptr || !GetWindowRect(control, &r)) return 1;
  std::printf("%ld %ld\n", (r.left + r.right) / 2, (r.top + r.bottom) / 2);
  return 0;
}

std::string LogText() {
  HWND log = FindWindowExA(Dialog(), nullptr, "RICHEDIT", nullptr);
  if (log == nullptr) return {};
  const LRESULT n = SendMessageA(log, WM_GETTEXTLENGTH, 0, 0);
  std::string text(static_cast<size_t>(n) + 1, '\0');
  SendMessageA(log, WM_GETTEXT, static_cast<WPARAM>(text.size()),
               reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(n));
  return text;
}

// Text of a window of another process, whole (the wide form: the ANSI one
// is not carried across processes whole).
std::string TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  char narrow[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
  return narrow;
}

// The chosen entry of a drop-down, or "" with none.
std::string Selected(HWND box) {
  if (box == nullptr) return {};
  const auto index = SendMessageW(box, CB_GETCURSEL, 0, 0);
  if (index < 0 || SendMessageW(box, CB_GETLBTEXTLEN, index, 0) >= 512) return {};
  wchar_t text[512] = {};
  SendMessageW(box, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text));
  char narrow[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
  return narrow;
}

// The text of a control of another process (its edit's text for a
// drop-down with one), asked for with WM_GETTEXT.
std::string ControlText(HWND control) {
  if (control == nullptr) return {};
  wchar_t text[512] = {};
  SendMessageW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
  char narrow[1024] = {};
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
  return narrow;
}

// Whether the keyboard focus of the window's thread is on control or
// inside it.
bool HasFocus(HWND window, HWND control) {
  if (window == nullptr || control == nullptr) return false;
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return false;
  return info.hwndFocus != nullptr && (info.hwndFocus == control || IsChild(control, info.hwndFocus));
}

template <typename Condition>
int WaitFor(const char* seconds, Condition condition) {
  const auto until = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<long>(std::atof(seconds) * 1000));
  while (!condition()) {
    if (std::chrono::steady_clock::now() > until) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "center" && argc == 3) return PrintCenter(GetDlgItem(Dialog(), std::atoi(argv[2])));
  if (command == "center-in" && argc == 4) {
    return PrintCenter(GetDlgItem(Box(argv[2]), std::atoi(argv[3])));
  }
  if (command == "wait-box" && argc == 4) {
    return WaitFor(argv[3], [&] {
      HWND w = Box(argv[2]);
      return w != nullptr && IsWindowVisible(w);
    });
  }
  if (command == "wait-box-gone" && argc == 4) {
    return WaitFor(argv[3], [&] { return Box(argv[2]) == nullptr; });
  }
  if (command == "wait-window" && argc == 4) {
    return WaitFor(argv[3], [&] {
      HWND w = FindWindowA(nullptr, argv[2]);
      return w != nullptr && IsWindowVisible(w);
    });
  }
  if (command == "wait-gone" && argc == 4) {
    return WaitFor(argv[3], [&] { return FindWindowA(nullptr, argv[2]) == nullptr; });
  }
  if (command == "wait-enabled" && argc == 5) {
    const bool enabled = std::atoi(argv[3]) != 0;
    return WaitFor(argv[4], [&] {
      HWND control = GetDlgItem(Dialog(), std::atoi(argv[2]));
      return control != nullptr && (IsWindowEnabled(control) != 0) == enabled;
    });
  }
  if (command == "wait-log" && argc == 4) {
    return WaitFor(argv[3], [&] { return LogText().find(argv[2]) != std::string::npos; });
  }
  if (command == "wait-log-count" && argc == 5) {
    const size_t want = static_cast<size_t>(std::atoi(argv[3]));
    const std::string text = argv[2];
    return WaitFor(argv[4], [&] {
      const std::string log = LogText();
      size_t count = 0;
      for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
        ++count;
      }
      return count >= want;
    });
  }
  if (command == "time-busy" && argc == 4) {
    // Polls often: the span measured is about a second.
    HWND control = GetDlgItem(Dialog(), std::atoi(argv[2]));
    if (control == nullptr) return 1;
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::milliseconds(static_cast<long>(std::atof(argv[3]) * 1000));
    const auto poll = [&](bool enabled) {
      while ((IsWindowEnabled(control) != 0) != enabled) {
        if (std::chrono::steady_clock::now() > until) return false;
        Sleep(1);
      }
      return true;
    };
    std::printf("watching\n");
    std::fflush(stdout);
    if (!poll(false)) return 1;
    const auto start = std::chrono::steady_clock::now();
    if (!poll(true)) return 1;
    std::printf("%.4f\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return 0;
  }
  if (command == "entries" && argc == 2) {
    HWND box = GetDlgItem(Dialog(), 1000);
    if (box == nullptr) return 1;
    const auto n = static_cast<int>(SendMessageA(box, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
      // The wide form: the ANSI one is not carried across processes whole.
      wchar_t text[256] = {};
      if (SendMessageW(box, CB_GETLBTEXTLEN, i, 0) < 256) {
        SendMessageW(box, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
      }
      char narrow[512] = {};
      WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
      std::printf("%s\n", narrow);
    }
    return 0;
  }
  if (command == "children" && argc == 3) {
    HWND box = Box(argv[2]);
    if (box == nullptr) return 1;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM) -> BOOL {
          char name[128] = {};
          GetClassNameA(child, name, sizeof name);
          std::printf("%d %s '%s'\n", GetDlgCtrlID(child), name, TextOf(child).c_str());
          return TRUE;
        },
        0);
    return 0;
  }
  if (command == "selected-in" && argc == 4) {
    HWND box = GetDlgItem(Box(argv[2]), std::atoi(argv[3]));
    if (box == nullptr) return 1;
    std::printf("%s\n", Selected(box).c_str());
    return 0;
  }
  if (command == "wait-selected-in" && argc == 6) {
    return WaitFor(argv[5], [&] {
      return Selected(GetDlgItem(Box(argv[2]), std::atoi(argv[3]))) == argv[4];
    });
  }
  if (command == "wait-focus-in" && argc == 5) {
    return WaitFor(argv[4], [&] {
      HWND box = Box(argv[2]);
      return HasFocus(box, GetDlgItem(box, std::atoi(argv[3])));
    });
  }
  if (command == "wait-text-in" && argc == 6) {
    return WaitFor(argv[5], [&] {
      return ControlText(GetDlgItem(Box(argv[2]), std::atoi(argv[3]))) == argv[4];
    });
  }
  if (command == "wait-dropped" && argc == 4) {
    return WaitFor(argv[3], [&] {
      HWND box = GetDlgItem(Dialog(), std::atoi(argv[2]));
      return box != nullptr && SendMessageW(box, CB_GETDROPPEDSTATE, 0, 0) != 0;
    });
  }
  if (command == "log" && argc == 2) {
    if (Dialog() == nullptr) return 1;
    std::fputs(LogText().c_str(), stdout);
    return 0;
  }
  if (command == "classes" && argc == 2) {
    HWND dialog = Dialog();
    if (dialog == nullptr) return 1;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      char name[128] = {};
      GetClassNameA(child, name, sizeof name);
      std::printf("%d %s\n", GetDlgCtrlID(child), name);
    }
    return 0;
  }
  std::fprintf(stderr, "usage: win_probe center|center-in|wait-window|wait-box|wait-box-gone|wait-gone|wait-enabled|wait-log|wait-log-count|time-busy|entries|log|classes|children|selected-in|wait-selected-in|wait-focus-in|wait-text-in|wait-dropped ...\n");
  return 2;
}
