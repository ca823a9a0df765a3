// The open-file dialog behind the image store's file chooser.
#pragma once

#include <windows.h>

#include <commdlg.h>

#include <optional>
#include <string>

#include "image/image_store.h"

namespace quelmar::win32ui {

// GetOpenFileNameA titled "Open", starting in the current directory with
// the kind's pattern in the name field. Code files: the filters "CODE files
// (*.fcode)" (chosen at the start) and "Build output (*.elf *.axf *.hex
// *.srec)"; data files: "DATA file (*.fdata)". The dialog
// may change the current directory; the next one of either kind starts
// there.
class Win32FileChooser final : public image::FileChooser {
 public:
  explicit Win32FileChooser(HWND owner = nullptr) : owner_(owner) {}
  void SetOwner(HWND owner) { owner_ = owner; }
  std::optional<std::string> ChooseImageFile(image::ImageKind kind) override;

  // Readies the kind's record for a dialog starting in directory.
  OPENFILENAMEA& Prepare(image::ImageKind kind, const std::string& directory);

 private:
  struct Record {
    OPENFILENAMEA ofn{};
    char file[MAX_PATH] = {};
    char title[8192] = {};
    char directory[MAX_PATH] = {};
  };
  HWND owner_;
  Record code_;
  Record data_;
};

}  // namespace quelmar::win32ui
