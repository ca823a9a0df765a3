#include "win32ui/log_view.h"

#include <richedit.h>

#include <string>

namespace quelmar::win32ui {

namespace {

constexpr COLORREF kRed = 0x000000FF;
constexpr COLORREF kBlack = 0x00000000;
// Rich edit 1.0 stops taking text at 32K characters; the line cap bounds
// the log instead.
constexpr LPARAM kTextLimit = 64 * 1024 * 1024;

HFONT LogFont() {
  static const HFONT font = [] {
    const LOGFONTA description = UiFont();
    return CreateFontIndirectA(&description);
  }();
  return font;
}

std::string WithCarriageReturns(std::string_view text) {
  std::string converted;
  converted.reserve(text.size() + text.size() / 16 + 1);
  for (const char c : text) {
    if (c == '\n') converted += '\r';
    converted += c;
  }
  return converted;
}

LRESULT Send(HWND view, UINT message, WPARAM w = 0, LPARAM l = 0) {
  return SendMessageA(view, message, w, l);
}

void DropOldestLines(HWND view, int max_lines) {
  const auto lines = static_cast<int>(Send(view, EM_GETLINECOUNT));
  if (max_lines <= 0 || lines <= max_lines) return;
  const LRESULT cut = Send(view, EM_LINEINDEX, static_cast<WPARAM>(lines - max_lines));
  if (cut <= 0) return;
  Send(view, EM_SETSEL, 0, cut);
  Send(view, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
  const LRESULT end = GetWindowTextLengthA(view);
  Send(view, EM_SETSEL, static_cast<WPARAM>(end), end);
  Send(view, EM_SCROLLCARET);
}

}  // namespace

LOGFONTA UiFont() {
  LOGFONTA font{};
  // -10 at 96 dpi; a DPI-aware program scales it as the dialog's font scales.
  HDC screen = GetDC(nullptr);
  const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  font.lfHeight = -MulDiv(10, dpi > 0 ? dpi : 96, 96);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = RUSSIAN_CHARSET;
  font.lfOutPrecision = OUT_STRING_PRECIS;
  font.lfClipPrecision = CLIP_STROKE_PRECIS;
  font.lfQuality = DRAFT_QUALITY;
  font.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  lstrcpynA(font.lfFaceName, "MS Sans Serif", LF_FACESIZE);
  return font;
}

HWND CreateLogView(const RECT& rect, HWND parent) {
  static const HMODULE library = LoadLibraryA("riched32");
  if (library == nullptr) {
    ShowErrorBox("Failed loading RICHED32.DLL");
    return nullptr;
  }
  HWND view = CreateWindowExA(
      WS_EX_CLIENTEDGE, "RICHEDIT", nullptr,
      WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_SAVESEL | ES_READONLY | ES_AUTOVSCROLL | ES_MULTILINE,
      rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top, parent, nullptr,
      GetModuleHandleA(nullptr), nullptr);
  if (view == nullptr) {
    ShowErrorBox("Failed create RichEdit Control");
    return nullptr;
  }
  Send(view, WM_SETFONT, reinterpret_cast<WPARAM>(LogFont()), TRUE);
  Send(view, EM_EXLIMITTEXT, 0, kTextLimit);
  Send(view, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
  return view;
}

void AppendLogText(HWND view, int severity, std::string_view text, int max_lines) {
  if (view == nullptr || !IsWindow(view) || text.empty()) return;
  const std::string converted = WithCarriageReturns(text);

  const LRESULT length = GetWindowTextLengthA(view);
  const LRESULT lines_before = Send(view, EM_GETLINECOUNT);
  Send(view, EM_SETSEL, static_cast<WPARAM>(length), length);

  CHARFORMAT2A format{};
  format.cbSize = sizeof format;
  Send(view, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
  format.crTextColor = severity == 1 ? kRed : kBlack;
  format.dwEffects &= ~static_cast<DWORD>(CFE_AUTOCOLOR);
  format.dwMask = CFM_COLOR;
  Send(view, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));

  Send(view, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(converted.c_str()));
  const LRESULT lines_after = Send(view, EM_GETLINECOUNT);
  Send(view, EM_LINESCROLL, 0, lines_after - lines_before);
  DropOldestLines(view, max_lines);
}

int ShowErrorBox(std::string_view text) {
  const std::string message(text);
  MessageBoxA(nullptr, message.c_str(), "Quelmar Error", MB_SYSTEMMODAL | MB_ICONERROR);
  return 0;
}

HWND GetControlRect(HWND parent, HWND control, RECT* rect) {
  GetWindowRect(control, rect);
  auto* corners = reinterpret_cast<POINT*>(rect);
  ScreenToClient(parent, &corners[0]);
  ScreenToClient(parent, &corners[1]);
  return control;
}

}  // namespace quelmar::win32ui
