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

// Writes at the end of the file whatever its size by then, as an append-only
// handle would, even beside a writer that does not take the lock.
bool AppendAll(HANDLE file, const char* p, size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
    OVERLAPPED at_end{};
    at_end.Offset = 0xFFFFFFFF;
    at_end.OffsetHigh = 0xFFFFFFFF;
    DWORD n = 0;
    if (!WriteFile(file, p, chunk, &n, &at_end) || n == 0) return false;
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

void FileLock::ReleaseAndRemove() {
  if (handle_ == -1) return;
  const std::string path = path_;
  Release();
  // Windows removes no file another has open (the lock opens it without
  // FILE_SHARE_DELETE): one that someone opened since stays theirs.
  DeleteFileW(Wide(path).c_str());
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

bool FlushFolder(const std::string&, std::string*) {
  // NTFS journals its names: a new file's name survives a power cut once
  // the file's own data is flushed.
  return true;
}

bool AppendFile::Open(const std::string& path, std::string* error) {
  Close();
  path_ = path;
  return OpenPath(error);
}

bool AppendFile::OpenPath(std::string* error) {
  // Shared for delete too, so that the file can be rotated (renamed) or
  // removed during a run as on Linux; Append notices and follows the path.
  HANDLE file = CreateFileW(Wide(path_).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = Why("cannot open '" + path_ + "' for writing");
    return false;
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    *error = "'" + path_ + "' is not a regular file";
    ::CloseHandle(file);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(file);
  return true;
}

bool AppendFile::StillAtPath() const {
  // A file deleted while open keeps its name until its last handle closes
  // and may still open by that name: it counts as gone.
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(reinterpret_cast<HANDLE>(handle_), FileStandardInfo, &standard,
                                    sizeof standard) ||
      standard.DeletePending)
    return false;
  BY_HANDLE_FILE_INFORMATION open{}, named{};
  if (!GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle_), &open)) return false;
  HANDLE probe =
      CreateFileW(Wide(path_).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return false;
  const bool got = GetFileInformationByHandle(probe, &named) != 0;
  ::CloseHandle(probe);
  return got && open.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
         open.nFileIndexHigh == named.nFileIndexHigh && open.nFileIndexLow == named.nFileIndexLow;
}

bool AppendFile::Append(const std::string& text, std::string* error) {
  if (path_.empty()) {
    *error = "no records file is open";
    return false;
  }
  // Renamed, moved or deleted since the last append: the records go where
  // the path leads now (closing a deleted file lets its name go).
  if (handle_ != -1 && !StillAtPath()) CloseFile();
  if (handle_ == -1) {
    std::string why;
    if (!OpenPath(&why)) {
      *error = "'" + path_ + "' was moved or deleted and cannot be made again: " + why;
      return false;
    }
  }
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  // Every writer appends under this lock (one byte far past any record, as
  // Windows locks keep others from the bytes they cover).
  const auto until = std::chrono::steady_clock::now() + lock_wait_;
  OVERLAPPED lock_at{};
  lock_at.OffsetHigh = 0x40000000;
  while (
      !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &lock_at)) {
    if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) {
      *error = Why("cannot lock '" + path_ + "'");
      return false;
    }
    if (std::chrono::steady_clock::now() >= until) {
      *error = LockHeldText(path_, "another process", lock_wait_);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  LARGE_INTEGER size{};
  char last = '\n';
  bool ok = GetFileSizeEx(file, &size) != 0;
  if (ok && size.QuadPart > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>((size.QuadPart - 1) & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    DWORD n = 0;
    ok = ReadFile(file, &last, 1, &n, &at) && n == 1;
  }
  if (!ok) *error = Why("cannot read '" + path_ + "'");
  if (ok) {
    const std::string line = last == '\n' ? text : "\n" + text;
    if (!AppendAll(file, line.data(), line.size())) {
      ok = false;
      *error = Why("cannot write '" + path_ + "'");
    } else if (!FlushFileBuffers(file)) {
      ok = false;
      *error = Why("cannot flush '" + path_ + "'");
    }
    if (!ok && (!SetFilePointerEx(file, size, nullptr, FILE_BEGIN) || !SetEndOfFile(file)))
      *error += "; " + Why("and cannot cut it back");
  }
  UnlockFileEx(file, 0, 1, 0, &lock_at);
  return ok;
}

void AppendFile::CloseFile() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

void AppendFile::Close() {
  CloseFile();
  path_.clear();
}

}  // namespace quelmar::production
