// The progress control (class main32progbar): a button-face strip with a
// highlight bar from the left and, once the bar is a pixel wide, the
// caption or the percentage centred over it. Drawn off screen, whole.
#pragma once

#include <windows.h>

#include <string>

#include "common/ui_sink.h"

namespace quelmar::win32ui {

inline constexpr char kProgressClass[] = "main32progbar";

// trunc((width / maximum) * position) in double precision; 0 for a maximum
// of 0. Not clipped to the width (a position past the maximum paints wider,
// which the drawing clips), but kept within an int.
int ProgressBarWidth(int client_width, const ProgressState& state);
// The caption, or else "%.1f%%" of (100 / maximum) * position.
std::string ProgressText(const ProgressState& state);

// Registers the class (once) and creates the control at rect (parent's
// client coordinates) showing the state at creation. Null after its error
// box.
HWND CreateProgressControl(const RECT& rect, HWND parent);
// Shows the state and repaints before returning.
void ShowProgress(HWND control, const ProgressState& state);
// The state the control shows.
ProgressState ShownProgress(HWND control);

}  // namespace quelmar::win32ui
