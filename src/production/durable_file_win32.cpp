#include <windows.h>

#include <cstdio>
#include <thread>

#include "common/error_text.h"
#include "common/utf8_path.h"
#include "production/durable_file.h"

namespace quelmar::production {

namespace {

std::wstring Wide(const std::string& path) {
  return WideFromUtf8(path);
}

// What the system says about the last error.
std::string Why(const std::string& what) {
  return what + ": " + Win32ErrorText(GetLastError());
}

// The lock covers one byte far past the holder's name, so that the name
// stays readable while the lock is held (Windows locks are mandatory).
constexpr DWORD kLockOffsetHigh = 1;

bool WriteAll(HANDLE file, const char* p, size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
    DWORD n = 0;
    if (!WriteFile(file, p, chunk, &n, nullptr) || n == 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

}  // namespace

std::string HostName() {
  char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof host;
  if (!GetComputerNameA(host, &size)) return "";
  return host;
}

std::string ProcessName() {
  const std::string host = HostName();
  return "process " + std::to_string(GetCurrentProcessId()) + (host.empty() ? "" : " on " + host);
}

bool FileLock::Acquire(const std::string& path, std::chrono::milliseconds wait,
                       std::string* error) {
  Release();
  // No FILE_SHARE_DELETE: while anyone has the lock file open, holder or
  // waiter, it cannot be removed, renamed or replaced, so the file locked is
  // always the one at the path, and a second process never locks a new one
  // beside a holder that hangs.
  HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = Why("cannot open the lock file '" + path + "'");
    return false;
  }
  const auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) break;
    if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) {
      *error = Why("cannot lock '" + path + "'");
      CloseHandle(file);
      return false;
    }
    if (std::chrono::steady_clock::now() >= until) {
      char holder[200] = {};
      DWORD n = 0;
      SetFilePointer(file, 0, nullptr, FILE_BEGIN);
      std::string who;
      if (ReadFile(file, holder, sizeof holder - 1, &n, nullptr)) who.assign(holder, n);
      *error = LockHeldText(path, who, wait);
      CloseHandle(file);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const std::string me = ProcessName() + "\n";
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  (void)WriteAll(file, me.data(), me.size());
  handle_ = reinterpret_cast<intptr_t>(file);
  path_ = path;
  return true;
}

bool FileLock::StillHeld(std::string* error) const {
  // The open handle keeps the file at its path (see Acquire).
  if (handle_ != -1) return true;
  *error = "the lock file '" + path_ + "' is not held";
  return false;
}

void FileLock::Release() {
  if (handle_ == -1) return;
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(file, 0, 1, 0, &at);
  CloseHandle(file);
  handle_ = -1;
}

bool AppendFile::Open(const std::string& path, std::string* error) {
  Close();
  // FILE_APPEND_DATA alone: every write goes to the end, whoever else appends.
  HANDLE file = CreateFileW(Wide(path).c_str(), FILE_APPEND_DATA | GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = Why("cannot open '" + path + "' for writing");
    return false;
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
    LARGE_INTEGER at{};
    at.QuadPart = size.QuadPart - 1;
    char last = '\n';
    DWORD n = 0;
    SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    if (!ReadFile(file, &last, 1, &n, nullptr) || n != 1 ||
        (last != '\n' && (!WriteAll(file, "\n", 1) || !FlushFileBuffers(file)))) {
      *error = Why("cannot write '" + path + "'");
      CloseHandle(file);
      return false;
    }
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  path_ = path;
  return true;
}

bool AppendFile::Append(const std::string& text, std::string* error) {
  if (handle_ == -1) {
    *error = "no records file is open";
    return false;
  }
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  if (!WriteAll(file, text.data(), text.size())) {
    *error = Why("cannot write '" + path_ + "'");
    return false;
  }
  if (!FlushFileBuffers(file)) {
    *error = Why("cannot flush '" + path_ + "'");
    return false;
  }
  return true;
}

void AppendFile::Close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

}  // namespace quelmar::production
