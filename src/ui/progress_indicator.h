// The progress strip under the log: a highlight bar growing from the left
// with the percentage, or a caption, centred over it.
#pragma once

#include <QFrame>
#include <QString>

#include "common/ui_sink.h"

namespace quelmar::ui {

class ProgressIndicator : public QFrame {
  Q_OBJECT

 public:
  explicit ProgressIndicator(QWidget* parent = nullptr);

  // Repaints later (repaints coalesce); the state already shown is a no-op.
  void SetState(const ProgressState& state);
  const ProgressState& State() const { return state_; }

  // Bar width in a client area client_width wide, not clipped to it;
  // 0 when the maximum is 0.
  static int BarWidth(int client_width, const ProgressState& s);
  // The caption, or else the percentage such as "33.3%".
  static QString Text(const ProgressState& s);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  ProgressState state_;
};

}  // namespace quelmar::ui
