#include "win32ui/file_chooser.h"

#include <cstring>
#include <string>

#include "common/utf8_path.h"

namespace quelmar::win32ui {

namespace {

// Filters: pairs of description and pattern, ended by an empty string.
// Code images come first and are chosen at the start; build output is
// packed when it loads.
constexpr char kCodeFilter[] =
    "CODE files (*.fcode)\0*.fcode\0"
    "Build output (*.elf *.axf *.hex *.srec)\0*.elf;*.axf;*.hex;*.srec\0";
constexpr char kDataFilter[] = "DATA file (*.fdata)\0*.fdata\0";
constexpr DWORD kFlags =
    OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST | OFN_NOLONGNAMES | OFN_EXPLORER | OFN_DONTADDTORECENT;
static_assert(kFlags == 0x20C1800);

// Copies text into a buffer of n characters; false when it does not fit.
bool CopyInto(char* buffer, size_t n, const std::string& text) {
  if (text.size() >= n) return false;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

OPENFILENAMEA& Win32FileChooser::Prepare(image::ImageKind kind, const std::string& directory) {
  const bool code = kind == image::ImageKind::kCode;
  Record& r = code ? code_ : data_;
  const char* pattern = code ? "*.fcode" : "*.fdata";
  // A directory too long for the buffers: the dialog starts where the
  // system chooses, with the bare pattern.
  if (!CopyInto(r.directory, sizeof r.directory, directory)) r.directory[0] = '\0';
  if (!CopyInto(r.file, sizeof r.file, directory + "\\" + pattern)) {
    CopyInto(r.file, sizeof r.file, pattern);
  }
  r.title[0] = '\0';
  r.ofn = OPENFILENAMEA{};
  r.ofn.lStructSize = sizeof(OPENFILENAMEA);
  r.ofn.hwndOwner = owner_;
  r.ofn.lpstrFilter = code ? kCodeFilter : kDataFilter;
  r.ofn.nFilterIndex = 1;
  r.ofn.lpstrFile = r.file;
  r.ofn.nMaxFile = sizeof r.file;
  r.ofn.lpstrFileTitle = r.title;
  r.ofn.nMaxFileTitle = sizeof r.title;
  r.ofn.lpstrInitialDir = r.directory[0] != '\0' ? r.directory : nullptr;
  r.ofn.lpstrTitle = "Open";
  r.ofn.Flags = kFlags;
  return r.ofn;
}

std::optional<std::string> Win32FileChooser::ChooseImageFile(image::ImageKind kind) {
  char current[MAX_PATH] = {};
  const DWORD n = GetCurrentDirectoryA(sizeof current, current);
  const std::string directory = n > 0 && n < sizeof current ? std::string(current, n) : "";
  OPENFILENAMEA& ofn = Prepare(kind, directory);
  if (!GetOpenFileNameA(&ofn)) return std::nullopt;
  // The dialog answers in the ANSI code page; file names are UTF-8 inside.
  const int size = MultiByteToWideChar(CP_ACP, 0, ofn.lpstrFile, -1, nullptr, 0);
  std::wstring wide(size > 0 ? static_cast<size_t>(size) : 0, L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, ofn.lpstrFile, -1, wide.data(), size);
  if (!wide.empty()) wide.pop_back();
  return Utf8FromWide(wide);
}

}  // namespace quelmar::win32ui
