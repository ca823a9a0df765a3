// Whether a control was disabled at any moment since the watch began: an
// update may lock and unlock the controls between two looks of a polling
// wait, so the lock is caught as it happens rather than looked for.
#pragma once

#include <QEvent>
#include <QObject>
#include <QWidget>

namespace quelmar::testing {

class LockWatch final : public QObject {
 public:
  explicit LockWatch(QWidget* control) : control_(control) { control_->installEventFilter(this); }
  ~LockWatch() override { control_->removeEventFilter(this); }
  LockWatch(const LockWatch&) = delete;
  LockWatch& operator=(const LockWatch&) = delete;

  bool WasLocked() const { return locked_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == control_ && event->type() == QEvent::EnabledChange && !control_->isEnabled())
      locked_ = true;
    return false;
  }

 private:
  QWidget* control_;
  bool locked_ = false;
};

}  // namespace quelmar::testing
