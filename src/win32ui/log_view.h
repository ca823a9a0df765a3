// The log view (a rich-edit 1.0 control: black lines, red errors), the font
// it shares with the progress control, and the error box.
#pragma once

#include <windows.h>

#include <string_view>

namespace quelmar::win32ui {

// Past this many lines the oldest go, so an endless log stays cheap (as in
// the Linux program).
inline constexpr int kMaxLogLines = 20000;

// The font of the log and the progress control: MS Sans Serif with
// Cyrillic, 10 units high at 96 dpi and in proportion above.
LOGFONTA UiFont();

// Loads "riched32" and creates the log view at rect (parent's client
// coordinates). Null after its error box.
HWND CreateLogView(const RECT& rect, HWND parent);

// Appends exactly the given text at the end, red for severity 1 and black
// otherwise; each "\n" becomes "\r\n". Scrolls so that the new lines show,
// then drops the oldest lines past max_lines. Nothing happens without a
// view.
void AppendLogText(HWND view, int severity, std::string_view text, int max_lines = kMaxLogLines);

// The system-modal error box "Quelmar Error"; always 0.
int ShowErrorBox(std::string_view text);

// The control's outer rectangle in the parent's client coordinates.
HWND GetControlRect(HWND parent, HWND control, RECT* rect);

}  // namespace quelmar::win32ui
