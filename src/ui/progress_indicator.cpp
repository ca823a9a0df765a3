#include "ui/progress_indicator.h"

#include <QPainter>
#include <QPalette>

#include <algorithm>
#include <cmath>
#include <limits>

#include "ui/log_view.h"

namespace quelmar::ui {

ProgressIndicator::ProgressIndicator(QWidget* parent) : QFrame(parent) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(1);
  // paintEvent covers every pixel, so Qt need not clear first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setFont(LogView::TextFont());
}

void ProgressIndicator::SetState(const ProgressState& state) {
  if (state == state_) return;
  state_ = state;
  update();
}

int ProgressIndicator::BarWidth(int client_width, const ProgressState& s) {
  if (s.maximum == 0) return 0;
  // Division first, as the bar has always been computed.
  const double w = (static_cast<double>(client_width) / static_cast<double>(s.maximum)) *
                   static_cast<double>(s.position);
  // A position far past the maximum must not overflow the int.
  constexpr double kMax = std::numeric_limits<int>::max();
  return static_cast<int>(std::trunc(std::clamp(w, -kMax, kMax)));
}

QString ProgressIndicator::Text(const ProgressState& s) {
  if (!s.caption.empty()) return QString::fromStdString(s.caption);
  // No maximum means no meaningful share; the text is not drawn then anyway.
  const double percent =
      s.maximum == 0 ? 0.0
                     : (100.0 / static_cast<double>(s.maximum)) * static_cast<double>(s.position);
  return QString::asprintf("%.1f%%", percent);
}

void ProgressIndicator::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const QPalette& pal = palette();
  painter.fillRect(rect(), pal.color(QPalette::Button));

  const QRect client = contentsRect();
  const int w = BarWidth(client.width(), state_);
  if (w != 0) {
    const int clipped = std::clamp(w, 0, client.width());
    painter.fillRect(QRect(client.left(), client.top(), clipped, client.height()),
                     pal.color(QPalette::Highlight));
    painter.setPen(pal.color(QPalette::WindowText));
    painter.setFont(font());
    painter.drawText(client, Qt::AlignCenter | Qt::TextSingleLine, Text(state_));
  }
  drawFrame(&painter);
}

}  // namespace quelmar::ui
