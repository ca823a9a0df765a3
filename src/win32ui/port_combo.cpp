#include "win32ui/port_combo.h"

namespace quelmar::win32ui {

int PortCombo::Count() const {
  HWND box = box_();
  return box != nullptr ? static_cast<int>(SendMessageA(box, CB_GETCOUNT, 0, 0)) : 0;
}

int PortCombo::CurrentIndex() const {
  HWND box = box_();
  return box != nullptr ? static_cast<int>(SendMessageA(box, CB_GETCURSEL, 0, 0)) : -1;
}

void PortCombo::SetCurrentIndex(int index) {
  if (HWND box = box_()) SendMessageA(box, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::string PortCombo::Text(int index) const {
  HWND box = box_();
  if (box == nullptr || index < 0) return {};
  const auto at = static_cast<WPARAM>(index);
  const LRESULT length = SendMessageA(box, CB_GETLBTEXTLEN, at, 0);
  if (length < 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  SendMessageA(box, CB_GETLBTEXT, at, reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<size_t>(length));
  return text;
}

void PortCombo::SetEntry(int index, const std::string& text, const std::string& /*tool_tip*/) {
  HWND box = box_();
  if (box == nullptr || index < 0) return;
  const auto text_param = reinterpret_cast<LPARAM>(text.c_str());
  if (index >= Count()) {
    SendMessageA(box, CB_ADDSTRING, 0, text_param);
    return;
  }
  // Twice a second for every entry: only real changes touch the list.
  if (Text(index) == text) return;
  const int selected = CurrentIndex();
  const auto at = static_cast<WPARAM>(index);
  SendMessageA(box, CB_DELETESTRING, at, 0);
  SendMessageA(box, CB_INSERTSTRING, at, text_param);
  // Replacing the selected entry must not lose the selection.
  if (selected == index) SetCurrentIndex(index);
}

void PortCombo::TruncateTo(int count) {
  HWND box = box_();
  if (box == nullptr) return;
  for (int n = Count(); n > count && n > 0; --n) {
    SendMessageA(box, CB_DELETESTRING, static_cast<WPARAM>(n - 1), 0);
  }
}

}  // namespace quelmar::win32ui
