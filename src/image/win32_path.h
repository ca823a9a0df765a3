// File names for the wide Win32 file calls. The ANSI calls stop at MAX_PATH
// (260) characters; longer names work only in the wide calls, written as an
// absolute path with the \\?\ prefix.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <string>

namespace quelmar::image {

inline std::wstring Win32FilePath(const std::string& path) {
  const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), n);
  wide.resize(static_cast<size_t>(n - 1));
  // Short names stay as given: the prefix would turn "NUL" or "COM1" into
  // plain file names.
  if (wide.size() < MAX_PATH) return wide;
  const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return wide;
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return wide;
  full.resize(length);
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace quelmar::image
#endif
