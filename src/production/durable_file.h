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
  // Lets the lock go and its file with it, never another holder's: a lock
  // file removed only after its release could be one that another process
  // has just opened and locked, which would then lock nothing.
  void ReleaseAndRemove();

 private:
  intptr_t handle_ = -1;
  std::string path_;
};

// A file that records are appended to, one line each, by this process and
// any other that writes records to the same path. Each Append, under a lock
// all those writers take for theirs: starts a new line when the file does
// not end in one (a writer died mid-append), writes the text in one write,
// flushes it to disk, and cuts the file back to where it was when any of
// that failed, so no partial line of its own is left for the next record
// to be glued to. A file rotated, moved or deleted since is noticed before
// the append and the path opened anew: records never go to a file no one
// can see.
class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  ~AppendFile() { Close(); }

  // Creates the file (not its folder) when missing, and then flushes its
  // folder, so that the new name survives a power cut. False with *error.
  bool Open(const std::string& path, std::string* error);
  bool Append(const std::string& text, std::string* error);
  void Close();
  // How long an Append waits for another writer's append (10 s unless set).
  void SetLockWait(std::chrono::milliseconds wait) { lock_wait_ = wait; }

 private:
  bool OpenPath(std::string* error);
  bool StillAtPath() const;
  void CloseFile();

  intptr_t handle_ = -1;
  std::string path_;
  std::chrono::milliseconds lock_wait_{10000};
};

// Makes the names in a folder durable (a file or folder just made in it).
// False with *error. Windows keeps names durable itself: always true there.
bool FlushFolder(const std::string& folder, std::string* error);

// Why a lock could not be had: "'PATH' is locked for more than 3 s by
// process 123 on host, which is still running: ...". holder is what the
// lock file holds (may be empty).
std::string LockHeldText(const std::string& path, std::string holder,
                         std::chrono::milliseconds wait);
// Whether an Acquire's *error says the lock is held (and not that the lock
// file could not be opened or locked at all).
bool IsLockHeldText(const std::string& error);

// This machine's name, or "" when the system does not tell.
std::string HostName();
// "process 123 on host": who this process is, for lock files.
std::string ProcessName();
// A name for one holder of lock files in this process, told from every
// other in this process and from another process's: ProcessName and a
// count, in letters, digits, '-' and '_' only.
std::string NewHolderTag();

}  // namespace quelmar::production
