// The COM drop-down as app::PortDropDown: a combo box kept up to date in
// place, so its selection survives the twice-a-second refresh.
#pragma once

#include <functional>
#include <string>

#include "app/port_drop_down.h"

#include <windows.h>

namespace quelmar::win32ui {

class PortCombo final : public app::PortDropDown {
 public:
  // box: the combo box, or null while there is none.
  explicit PortCombo(std::function<HWND()> box) : box_(std::move(box)) {}

  int Count() const override;
  int CurrentIndex() const override;
  void SetCurrentIndex(int index) override;
  // A combo box has no tool tip per entry: only the text is kept.
  void SetEntry(int index, const std::string& text, const std::string& tool_tip) override;
  void TruncateTo(int count) override;

  // The entry's text; empty when there is no such entry.
  std::string Text(int index) const;

 private:
  std::function<HWND()> box_;
};

}  // namespace quelmar::win32ui
