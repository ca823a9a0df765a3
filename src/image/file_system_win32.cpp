// Image files on Windows: opening disk files only and replacing a file in
// one step. The wide calls take names past MAX_PATH.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "common/error_text.h"
#include "common/utf8_path.h"
#include "image/file_system.h"

namespace quelmar::image::detail {

namespace {

// The absolute form of a name as the system resolves it; empty on failure.
std::wstring FullPathName(const std::wstring& name) {
  const DWORD size = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {};
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) return {};
  full.resize(length);
  return full;
}

// File names for the wide Win32 file calls. The ANSI calls stop at MAX_PATH
// (260) characters; longer names work only in the wide calls, written as an
// absolute path with the \\?\ prefix.
std::wstring Win32FilePath(const std::string& path) {
  std::wstring wide = WideFromUtf8(path);
  // Short names stay as given: the prefix would turn "NUL" or "COM1" into
  // plain file names.
  if (wide.size() < MAX_PATH) return wide;
  const std::wstring full = FullPathName(wide);
  if (full.empty()) return wide;
  if (full.rfind(L"\\\\?\\", 0) == 0) return full;
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// Whether the system resolves a file name into the device namespace \\.\:
// a device name, with or without a folder or an extension ("C:\\x\\COM3.txt"
// on older systems).
bool IsDevicePath(const std::wstring& name) {
  return !name.empty() && FullPathName(name).rfind(L"\\\\.\\", 0) == 0;
}

// The system's text for the last error.
std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + Win32ErrorText(GetLastError());
}

}  // namespace

bool IsDeviceName(const std::string& path) {
  return IsDevicePath(Win32FilePath(path));
}

std::FILE* OpenRegularFile(const std::string& path, int64_t* size) {
  std::FILE* file = nullptr;
  const std::wstring name = Win32FilePath(path);
  if (IsDevicePath(name)) return nullptr;
  // Opening a pipe or a device does not wait; only disk files are taken.
  // Others may go on reading, writing or renaming the file meanwhile, as
  // on POSIX.
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info{};
  LARGE_INTEGER length{};
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(handle, &length)) {
    CloseHandle(handle);
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  file = _fdopen(fd, "rb");
  if (file == nullptr) {
    _close(fd);
    return nullptr;
  }
  *size = static_cast<int64_t>(length.QuadPart);
  return file;
}

bool ReplaceWithBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                      std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  const size_t slash = path.find_last_of("/\\");
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return fail("no file name in '" + path + "'");

  // The temporary file sits beside the target so that the move is atomic.
  const std::string prefix = (slash == std::string::npos ? std::string() : folder) + "." + name +
                             "." + std::to_string(GetCurrentProcessId()) + ".";
  std::string temp;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
    temp = prefix + std::to_string(GetTickCount64() % 1000000 + attempt);
    file = CreateFileW(Win32FilePath(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (file == INVALID_HANDLE_VALUE) {
    return fail(ErrnoText(("cannot create a file in '" + folder + "'").c_str()));
  }
  auto abandon = [&](const std::string& message) {
    CloseHandle(file);
    DeleteFileW(Win32FilePath(temp).c_str());
    return fail(message);
  };
  size_t done = 0;
  while (done < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
    DWORD n = 0;
    if (!WriteFile(file, bytes.data() + done, chunk, &n, nullptr) || n == 0) {
      return abandon(ErrnoText(("cannot write '" + temp + "'").c_str()));
    }
    done += n;
  }
  if (!FlushFileBuffers(file)) return abandon(ErrnoText(("cannot flush '" + temp + "'").c_str()));
  if (!CloseHandle(file)) {
    const std::string message = ErrnoText(("cannot close '" + temp + "'").c_str());
    DeleteFileW(Win32FilePath(temp).c_str());
    return fail(message);
  }
  // Write-through: the move is on disk when it returns. Another program
  // that has the file open for a moment (a virus scanner, an indexer, a
  // backup) makes the move fail with a sharing violation or access denied;
  // it is tried again for about a second before that counts.
  bool moved = false;
  for (int attempt = 1;; ++attempt) {
    moved = MoveFileExW(Win32FilePath(temp).c_str(), Win32FilePath(path).c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    const DWORD why = GetLastError();
    const bool held =
        why == ERROR_SHARING_VIOLATION || why == ERROR_ACCESS_DENIED || why == ERROR_LOCK_VIOLATION;
    if (moved || !held || attempt == 20) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!moved) {
    const std::string message = ErrnoText(("cannot rename into '" + path + "'").c_str());
    DeleteFileW(Win32FilePath(temp).c_str());
    return fail(message);
  }
  return true;
}

}  // namespace quelmar::image::detail
