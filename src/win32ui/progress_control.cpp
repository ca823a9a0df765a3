#include "win32ui/progress_control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "win32ui/log_view.h"

namespace quelmar::win32ui {

namespace {

ProgressState* StateOf(HWND control) {
  return reinterpret_cast<ProgressState*>(GetWindowLongPtrA(control, 0));
}

HFONT ProgressFont() {
  static const HFONT font = [] {
    const LOGFONTA description = UiFont();
    return CreateFontIndirectA(&description);
  }();
  return font;
}

void Paint(HWND control) {
  PAINTSTRUCT paint;
  if (BeginPaint(control, &paint) == nullptr) return;
  RECT client;
  GetClientRect(control, &client);
  const int width = client.right - client.left;
  const int height = client.bottom - client.top;

  HDC window_dc = GetDC(control);
  HDC memory = CreateCompatibleDC(window_dc);
  HBITMAP bitmap = CreateCompatibleBitmap(window_dc, width, height);
  HGDIOBJ old_bitmap = SelectObject(memory, bitmap);

  FillRect(memory, &client, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
  const ProgressState* state = StateOf(control);
  const int bar = state != nullptr ? ProgressBarWidth(width, *state) : 0;
  if (bar != 0) {
    RECT filled = client;
    filled.right = client.left + std::min(bar, width);
    FillRect(memory, &filled, reinterpret_cast<HBRUSH>(COLOR_HIGHLIGHT + 1));
    HGDIOBJ old_font = SelectObject(memory, ProgressFont());
    SetBkMode(memory, TRANSPARENT);
    SetTextColor(memory, GetSysColor(COLOR_WINDOWTEXT));
    const std::string text = ProgressText(*state);
    DrawTextA(memory, text.c_str(), -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(memory, old_font);
  }
  BitBlt(window_dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);

  SelectObject(memory, old_bitmap);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(control, window_dc);
  EndPaint(control, &paint);
}

LRESULT CALLBACK ProgressProc(HWND control, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_NCCREATE:
      SetWindowLongPtrA(control, 0, reinterpret_cast<LONG_PTR>(new ProgressState{}));
      break;
    case WM_NCDESTROY:
      delete StateOf(control);
      SetWindowLongPtrA(control, 0, 0);
      break;
    case WM_CREATE:
    case WM_SIZE:
    case WM_DESTROY:
      return 0;
    case WM_CLOSE:
      DestroyWindow(control);
      return 0;
    case WM_PAINT:
      Paint(control);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(control, message, w, l);
}

bool RegisterProgressClass() {
  static const bool registered = [] {
    WNDCLASSA wc{};
    wc.lpfnWndProc = ProgressProc;
    wc.cbWndExtra = sizeof(ProgressState*);
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kProgressClass;
    return RegisterClassA(&wc) != 0;
  }();
  return registered;
}

}  // namespace

int ProgressBarWidth(int client_width, const ProgressState& state) {
  if (state.maximum == 0) return 0;
  const double w = (static_cast<double>(client_width) / static_cast<double>(state.maximum)) *
                   static_cast<double>(state.position);
  constexpr double kLimit = std::numeric_limits<int>::max();
  return static_cast<int>(std::trunc(std::clamp(w, -kLimit, kLimit)));
}

std::string ProgressText(const ProgressState& state) {
  if (!state.caption.empty()) return state.caption;
  const double percent =
      state.maximum == 0
          ? 0.0
          : (100.0 / static_cast<double>(state.maximum)) * static_cast<double>(state.position);
  char text[64];
  std::snprintf(text, sizeof text, "%.1f%%", percent);
  return text;
}

HWND CreateProgressControl(const RECT& rect, HWND parent) {
  if (!RegisterProgressClass()) {
    ShowErrorBox("Failed register progress class");
    return nullptr;
  }
  HWND control = CreateWindowExA(WS_EX_STATICEDGE, kProgressClass, nullptr,
                                 WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                 rect.left, rect.top, rect.right - rect.left,
                                 rect.bottom - rect.top, parent, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
  if (control == nullptr) {
    ShowErrorBox("Failed create progress Control");
    return nullptr;
  }
  ProgressFont();
  return control;
}

void ShowProgress(HWND control, const ProgressState& state) {
  if (control == nullptr || !IsWindow(control)) return;
  ProgressState* shown = StateOf(control);
  if (shown == nullptr || *shown == state) return;
  *shown = state;
  InvalidateRect(control, nullptr, FALSE);
  UpdateWindow(control);
}

ProgressState ShownProgress(HWND control) {
  const ProgressState* shown = control != nullptr ? StateOf(control) : nullptr;
  return shown != nullptr ? *shown : ProgressState{};
}

}  // namespace quelmar::win32ui
