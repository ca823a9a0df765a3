// The two file operations the production state and records need beyond
// plain reads: an exclusive lock between processes (and threads), and an
// append that lands whole and on disk. One implementation per platform.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quelmar::production {

// An exclusive lock on a lock file, held from Acquire until Release or the
// end of the object. Each Acquire opens the file anew, so two FileLocks in
// one process exclude each other as two processes do. A lock goes when its
// process ends, however it ends; a lock file left behind blocks no one.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { Release(); }

  // Waits at most `wait`. False with *error naming the file and, when the
  // holder wrote its name into it, the holder ("process 123 on host"). The
  // lock is had only on the file that is at the path once it is locked: a
  // file removed or replaced meanwhile is let go and the new one locked.
  bool Acquire(const std::string& path, std::chrono::milliseconds wait, std::string* error);
  // Whether the file at the path is still the one locked: false, with
  // *error, when someone removed or replaced it while it was held (and so
  // another process may have locked the new one). Checked before a change
  // that the lock guards is made.
  bool StillHeld(std::string* error) const;
  void Release();

 private:
  intptr_t handle_ = -1;
  std::string path_;
};

// A file that lines are appended to: each Append is one write of the whole
// text followed by a flush to disk, so a crash leaves at most the last line
// torn. Opening repairs such a torn ending by starting a new line, so the
// next record is not glued to it.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { Close(); }

  // Creates the file (not its folder) when missing. False with *error.
  bool Open(const std::string& path, std::string* error);
  bool Append(const std::string& text, std::string* error);
  void Close();

 private:
  intptr_t handle_ = -1;
  std::string path_;
};

// Why a lock could not be had: "'PATH' is locked for more than 3 s by
// process 123 on host, which is still running: ...". holder is what the
// lock file holds (may be empty).
std::string LockHeldText(const std::string& path, std::string holder,
                         std::chrono::milliseconds wait);

// This machine's name, or "" when the system does not tell.
std::string HostName();
// "process 123 on host": who this process is, for lock files.
std::string ProcessName();

}  // namespace quelmar::production
