// An LD_PRELOAD library that writes down, in order, what a program does to
// its files, to the devices it opens and to its standard output, so that
// crash_check.py can replay it against a model of what a power cut leaves.
//
// QUELMAR_FS_TRACE=FILE turns it on; one event per line:
//   SEQ PID TID OP key=value...
// Paths are absolute, strings percent-encoded, file data in hexadecimal.
// Only what can change a file's content, its name or its durability is
// written down, and the program's writes to devices and to standard output
// (what the world outside sees). Standard error and file descriptors the
// program did not open itself are left alone (a signal handler may write
// to them, and nothing here is async-signal-safe).
#undef _FORTIFY_SOURCE  // its inline wrappers would clash with the definitions below

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

namespace {

// What a descriptor the program opened is: only these are followed.
constexpr char kNone = 0, kRegular = 'f', kDirectory = 'd', kDevice = 'c', kOther = 'o';

constexpr int kMaxFd = 65536;
std::atomic<char> g_kinds[kMaxFd];
std::atomic<int> g_log{-1};
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
unsigned long long g_seq = 0;

// Initial contents larger than this are not written down.
constexpr off_t kMaxInitial = 1 << 20;
// How much of a write to standard output is kept.
constexpr size_t kMaxOut = 512;

template <typename F>
F Real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
#define REAL(name) static const auto real = Real<decltype(&name)>(#name)

bool On() {
  return g_log.load(std::memory_order_relaxed) >= 0;
}

void SetKind(int fd, char kind) {
  if (fd >= 0 && fd < kMaxFd) g_kinds[fd].store(kind, std::memory_order_relaxed);
}
char KindOf(int fd) {
  return fd >= 0 && fd < kMaxFd ? g_kinds[fd].load(std::memory_order_relaxed) : kNone;
}
char KindOfMode(mode_t mode) {
  if (S_ISREG(mode)) return kRegular;
  if (S_ISDIR(mode)) return kDirectory;
  if (S_ISCHR(mode)) return kDevice;
  return kOther;
}

std::string Encoded(const char* s, size_t n) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c > ' ' && c < 0x7F && c != '%' && c != '=') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out.empty() ? "%" : out;  // "%" alone: the empty string
}
std::string Encoded(const std::string& s) {
  return Encoded(s.data(), s.size());
}

std::string Hex(const void* data, size_t n) {
  static const char hex[] = "0123456789abcdef";
  const auto* p = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += hex[p[i] >> 4];
    out += hex[p[i] & 15];
  }
  return out.empty() ? "-" : out;
}

// The folder a relative path starts from: the working folder, or the one
// dirfd names.
std::string Absolute(int dirfd, const char* path) {
  if (path == nullptr) return "?";
  if (path[0] == '/') return path;
  char base[4096];
  if (dirfd == AT_FDCWD) {
    if (getcwd(base, sizeof base) == nullptr) return path;
  } else {
    const std::string link = "/proc/self/fd/" + std::to_string(dirfd);
    const ssize_t n = readlink(link.c_str(), base, sizeof base - 1);
    if (n <= 0) return path;
    base[n] = '\0';
  }
  return std::string(base) + "/" + path;
}

void Emit(const std::string& event) {
  const int log = g_log.load(std::memory_order_relaxed);
  if (log < 0) return;
  pthread_mutex_lock(&g_mutex);
  const std::string line = std::to_string(++g_seq) + " " + std::to_string(getpid()) + " " +
                           std::to_string(gettid()) + " " + event + "\n";
  size_t done = 0;
  while (done < line.size()) {
    const long n = syscall(SYS_write, log, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  pthread_mutex_unlock(&g_mutex);
}

// An open that succeeded: what it is, and a writable regular file's content
// as it was found, which the model takes as already on the disk.
void NoteOpen(const char* op, int fd, const std::string& path, int flags, bool created) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return;
  const char kind = KindOfMode(st.st_mode);
  SetKind(fd, kind);
  std::string event = std::string(op) + " fd=" + std::to_string(fd) + " path=" + Encoded(path) +
                      " flags=" + std::to_string(flags) + " created=" + (created ? "1" : "0") +
                      " kind=" + kind + " ino=" + std::to_string(st.st_ino) +
                      " size=" + std::to_string(st.st_size);
  const bool writable = (flags & O_ACCMODE) != O_RDONLY;
  if (kind == kRegular && writable && !created && !(flags & O_TRUNC)) {
    if (st.st_size <= kMaxInitial) {
      std::string content(static_cast<size_t>(st.st_size), '\0');
      ssize_t n = 0;
      size_t got = 0;
      while (got < content.size() && (n = pread(fd, content.data() + got, content.size() - got,
                                                static_cast<off_t>(got))) > 0)
        got += static_cast<size_t>(n);
      content.resize(got);
      event += " data=" + Hex(content.data(), content.size());
    } else {
      event += " data=?";
    }
  }
  Emit(event);
}

bool Exists(int dirfd, const char* path) {
  struct stat st {};
  return fstatat(dirfd, path, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

int OpenAt(const char* op, int dirfd, const char* path, int flags, mode_t mode,
           int (*real)(int, const char*, int, ...)) {
  if (!On()) return real(dirfd, path, flags, mode);
  const bool existed = (flags & O_CREAT) ? Exists(dirfd, path) : true;
  const int fd = real(dirfd, path, flags, mode);
  if (fd >= 0) {
    const int saved = errno;
    NoteOpen(op, fd, Absolute(dirfd, path), flags, !existed);
    errno = saved;
  }
  return fd;
}

mode_t ModeArg(int flags, va_list ap) {
  if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
    return static_cast<mode_t>(va_arg(ap, unsigned int));
  return 0;
}

// A write that went through: where it landed, and its bytes for a regular
// file. The offset is read back after the write, which also holds for
// O_APPEND.
void NoteWrite(const char* op, int fd, const void* data, ssize_t n, off_t at) {
  if (n < 0) return;
  const int saved = errno;
  if (fd == STDOUT_FILENO && KindOf(fd) == kNone) {
    const size_t kept = std::min(static_cast<size_t>(n), kMaxOut);
    Emit("out len=" + std::to_string(n) + " text=" + Encoded(static_cast<const char*>(data), kept));
  } else {
    const char kind = KindOf(fd);
    if (kind == kRegular) {
      if (at < 0) at = lseek(fd, 0, SEEK_CUR) - n;
      Emit(std::string(op) + " fd=" + std::to_string(fd) + " off=" + std::to_string(at) +
           " len=" + std::to_string(n) + " data=" + Hex(data, static_cast<size_t>(n)));
    } else if (kind == kDevice) {
      Emit(std::string(op) + " fd=" + std::to_string(fd) + " len=" + std::to_string(n));
    }
  }
  errno = saved;
}

std::string Gathered(const struct iovec* iov, int count, ssize_t n) {
  std::string all;
  for (int i = 0; i < count && static_cast<ssize_t>(all.size()) < n; ++i)
    all.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
  all.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
  return all;
}

void NoteStdout(FILE* stream, const char* text, size_t n) {
  if (!On() || stream == nullptr || fileno(stream) != STDOUT_FILENO) return;
  const int saved = errno;
  Emit("out len=" + std::to_string(n) + " text=" + Encoded(text, std::min(n, kMaxOut)));
  errno = saved;
}

void NoteFd(const char* op, int fd, int result) {
  if (!On() || result != 0) return;
  const int saved = errno;
  Emit(std::string(op) + " fd=" + std::to_string(fd));
  errno = saved;
}

__attribute__((constructor)) void Start() {
  const char* path = getenv("QUELMAR_FS_TRACE");
  if (path == nullptr || *path == '\0') return;
  const long fd =
      syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  g_log.store(static_cast<int>(fd));
  char exe[4096] = {};
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  Emit("start exe=" + Encoded(exe, n > 0 ? size_t(n) : 0));
}

__attribute__((destructor)) void Finish() {
  Emit("end");
}

}  // namespace

// The library's own helpers stay hidden; only these replace the C library's.
#pragma GCC visibility push(default)
extern "C" {

// --- opening ----------------------------------------------------------------

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  static const auto real = Real<int (*)(int, const char*, int, ...)>("openat");
  return OpenAt("open", AT_FDCWD, path, flags, mode, real);
}
int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  static const auto real = Real<int (*)(int, const char*, int, ...)>("openat64");
  return OpenAt("open", AT_FDCWD, path, flags, mode, real);
}
int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  static const auto real = Real<int (*)(int, const char*, int, ...)>("openat");
  return OpenAt("open", dirfd, path, flags, mode, real);
}
int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArg(flags, ap);
  va_end(ap);
  static const auto real = Real<int (*)(int, const char*, int, ...)>("openat64");
  return OpenAt("open", dirfd, path, flags, mode, real);
}
// What the fortified open() calls.
int __open_2(const char* path, int flags) {
  return open(path, flags);
}
int __open64_2(const char* path, int flags) {
  return open64(path, flags);
}
int __openat_2(int dirfd, const char* path, int flags) {
  return openat(dirfd, path, flags);
}
int __openat64_2(int dirfd, const char* path, int flags) {
  return openat64(dirfd, path, flags);
}
int creat(const char* path, mode_t mode) {
  return open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}
int creat64(const char* path, mode_t mode) {
  return open64(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

// mkstemp and its kin open inside the C library, out of reach of open().
#define TEMP_FILE(name, params, args, flags_expr)                       \
  int name params {                                                     \
    REAL(name);                                                         \
    const int fd = real args;                                           \
    if (fd >= 0 && On()) {                                              \
      const int saved = errno;                                          \
      NoteOpen("open", fd, Absolute(AT_FDCWD, tmpl), flags_expr, true); \
      errno = saved;                                                    \
    }                                                                   \
    return fd;                                                          \
  }
TEMP_FILE(mkstemp, (char* tmpl), (tmpl), O_RDWR | O_CREAT | O_EXCL)
TEMP_FILE(mkstemp64, (char* tmpl), (tmpl), O_RDWR | O_CREAT | O_EXCL)
TEMP_FILE(mkostemp, (char* tmpl, int flags), (tmpl, flags), O_RDWR | O_CREAT | O_EXCL | flags)
TEMP_FILE(mkostemp64, (char* tmpl, int flags), (tmpl, flags), O_RDWR | O_CREAT | O_EXCL | flags)
TEMP_FILE(mkstemps, (char* tmpl, int suffix), (tmpl, suffix), O_RDWR | O_CREAT | O_EXCL)
TEMP_FILE(mkostemps, (char* tmpl, int suffix, int flags), (tmpl, suffix, flags),
          O_RDWR | O_CREAT | O_EXCL | flags)
#undef TEMP_FILE

// A stream's writes go through the C library's own write, which is not
// followed: a file opened for writing this way is marked so that the
// checker can refuse to judge it.
static FILE* NoteStream(FILE* f, const char* path, const char* mode, bool existed) {
  if (f == nullptr || !On()) return f;
  const int saved = errno;
  const bool write = strpbrk(mode, "wa+") != nullptr;
  int flags = write ? (strchr(mode, '+') ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (mode[0] == 'w') flags |= O_CREAT | O_TRUNC;
  if (mode[0] == 'a') flags |= O_CREAT | O_APPEND;
  NoteOpen(write ? "stream" : "open", fileno(f), Absolute(AT_FDCWD, path), flags, !existed);
  errno = saved;
  return f;
}
FILE* fopen(const char* path, const char* mode) {
  REAL(fopen);
  const bool existed = On() ? Exists(AT_FDCWD, path) : true;
  return NoteStream(real(path, mode), path, mode, existed);
}
FILE* fopen64(const char* path, const char* mode) {
  REAL(fopen64);
  const bool existed = On() ? Exists(AT_FDCWD, path) : true;
  return NoteStream(real(path, mode), path, mode, existed);
}
int fclose(FILE* f) {
  REAL(fclose);
  const int fd = f != nullptr ? fileno(f) : -1;
  const bool followed = KindOf(fd) != kNone;
  const int result = real(f);
  if (followed) {
    SetKind(fd, kNone);
    NoteFd("close", fd, 0);
  }
  return result;
}

int dup(int fd) {
  REAL(dup);
  const int copy = real(fd);
  if (copy >= 0 && KindOf(fd) != kNone && On()) {
    SetKind(copy, KindOf(fd));
    Emit("dup fd=" + std::to_string(fd) + " to=" + std::to_string(copy));
  }
  return copy;
}
int dup2(int fd, int to) {
  REAL(dup2);
  const int copy = real(fd, to);
  if (copy >= 0 && On() && copy != fd) {
    SetKind(copy, KindOf(fd));
    Emit("dup fd=" + std::to_string(fd) + " to=" + std::to_string(copy));
  }
  return copy;
}
int dup3(int fd, int to, int flags) {
  REAL(dup3);
  const int copy = real(fd, to, flags);
  if (copy >= 0 && On()) {
    SetKind(copy, KindOf(fd));
    Emit("dup fd=" + std::to_string(fd) + " to=" + std::to_string(copy));
  }
  return copy;
}

int close(int fd) {
  REAL(close);
  const bool followed = KindOf(fd) != kNone;
  const int result = real(fd);
  if (followed) {
    SetKind(fd, kNone);
    NoteFd("close", fd, 0);
  }
  return result;
}

// --- writing ------------------------------------------------------------------

ssize_t write(int fd, const void* data, size_t n) {
  REAL(write);
  const ssize_t done = real(fd, data, n);
  if (On()) NoteWrite("write", fd, data, done, -1);
  return done;
}
ssize_t pwrite(int fd, const void* data, size_t n, off_t at) {
  REAL(pwrite);
  const ssize_t done = real(fd, data, n, at);
  if (On()) NoteWrite("write", fd, data, done, at);
  return done;
}
ssize_t pwrite64(int fd, const void* data, size_t n, off_t at) {
  REAL(pwrite64);
  const ssize_t done = real(fd, data, n, at);
  if (On()) NoteWrite("write", fd, data, done, at);
  return done;
}
ssize_t writev(int fd, const struct iovec* iov, int count) {
  REAL(writev);
  const ssize_t done = real(fd, iov, count);
  if (On() && done >= 0 && (KindOf(fd) != kNone || fd == STDOUT_FILENO)) {
    const std::string all = Gathered(iov, count, done);
    NoteWrite("write", fd, all.data(), done, -1);
  }
  return done;
}
ssize_t pwritev(int fd, const struct iovec* iov, int count, off_t at) {
  REAL(pwritev);
  const ssize_t done = real(fd, iov, count, at);
  if (On() && done >= 0 && KindOf(fd) != kNone) {
    const std::string all = Gathered(iov, count, done);
    NoteWrite("write", fd, all.data(), done, at);
  }
  return done;
}

int ftruncate(int fd, off_t length) {
  REAL(ftruncate);
  const int result = real(fd, length);
  if (On() && result == 0 && KindOf(fd) == kRegular)
    Emit("ftruncate fd=" + std::to_string(fd) + " len=" + std::to_string(length));
  return result;
}
int ftruncate64(int fd, off_t length) {
  return ftruncate(fd, length);
}
int truncate(const char* path, off_t length) {
  REAL(truncate);
  const int result = real(path, length);
  if (On() && result == 0)
    Emit("truncate path=" + Encoded(Absolute(AT_FDCWD, path)) + " len=" + std::to_string(length));
  return result;
}

// --- flushing -----------------------------------------------------------------

int fsync(int fd) {
  REAL(fsync);
  const int result = real(fd);
  NoteFd("fsync", fd, result);
  return result;
}
int fdatasync(int fd) {
  REAL(fdatasync);
  const int result = real(fd);
  NoteFd("fdatasync", fd, result);
  return result;
}
int syncfs(int fd) {
  REAL(syncfs);
  const int result = real(fd);
  if (On() && result == 0) Emit("sync");
  return result;
}
void sync() {
  REAL(sync);
  real();
  if (On()) Emit("sync");
}

// --- names --------------------------------------------------------------------

// Whether the target was there before tells the checker what a power cut
// leaves under its name until the folder is flushed.
static int NoteRename(int from_dir, const char* from, int to_dir, const char* to, unsigned flags,
                      bool existed, int result) {
  if (!On() || result != 0) return result;
  const int saved = errno;
  Emit("rename from=" + Encoded(Absolute(from_dir, from)) + " to=" + Encoded(Absolute(to_dir, to)) +
       " flags=" + std::to_string(flags) + " existed=" + (existed ? "1" : "0"));
  errno = saved;
  return result;
}
int rename(const char* from, const char* to) {
  REAL(rename);
  const bool existed = On() && Exists(AT_FDCWD, to);
  return NoteRename(AT_FDCWD, from, AT_FDCWD, to, 0, existed, real(from, to));
}
int renameat(int from_dir, const char* from, int to_dir, const char* to) {
  REAL(renameat);
  const bool existed = On() && Exists(to_dir, to);
  return NoteRename(from_dir, from, to_dir, to, 0, existed, real(from_dir, from, to_dir, to));
}
int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
  REAL(renameat2);
  const bool existed = On() && Exists(to_dir, to);
  return NoteRename(from_dir, from, to_dir, to, flags, existed,
                    real(from_dir, from, to_dir, to, flags));
}

static int NoteName(const char* op, int dirfd, const char* path, int result) {
  if (On() && result == 0) {
    const int saved = errno;
    Emit(std::string(op) + " path=" + Encoded(Absolute(dirfd, path)));
    errno = saved;
  }
  return result;
}
int unlink(const char* path) {
  REAL(unlink);
  return NoteName("unlink", AT_FDCWD, path, real(path));
}
int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat);
  return NoteName(flags & AT_REMOVEDIR ? "rmdir" : "unlink", dirfd, path, real(dirfd, path, flags));
}
int rmdir(const char* path) {
  REAL(rmdir);
  return NoteName("rmdir", AT_FDCWD, path, real(path));
}
int remove(const char* path) {
  REAL(remove);
  struct stat st {};
  const bool folder = lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
  return NoteName(folder ? "rmdir" : "unlink", AT_FDCWD, path, real(path));
}
int mkdir(const char* path, mode_t mode) {
  REAL(mkdir);
  return NoteName("mkdir", AT_FDCWD, path, real(path, mode));
}
int mkdirat(int dirfd, const char* path, mode_t mode) {
  REAL(mkdirat);
  return NoteName("mkdir", dirfd, path, real(dirfd, path, mode));
}
int link(const char* from, const char* to) {
  REAL(link);
  const int result = real(from, to);
  if (On() && result == 0)
    Emit("link from=" + Encoded(Absolute(AT_FDCWD, from)) +
         " to=" + Encoded(Absolute(AT_FDCWD, to)));
  return result;
}
int symlink(const char* target, const char* path) {
  REAL(symlink);
  return NoteName("symlink", AT_FDCWD, path, real(target, path));
}

// --- standard output through the C library ---------------------------------------
// Noted before the call: the bytes may leave at once or at the next flush,
// and the earlier moment is the stricter one to check at.

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  REAL(fwrite);
  NoteStdout(stream, static_cast<const char*>(data), size * count);
  return real(data, size, count, stream);
}
size_t fwrite_unlocked(const void* data, size_t size, size_t count, FILE* stream) {
  REAL(fwrite_unlocked);
  NoteStdout(stream, static_cast<const char*>(data), size * count);
  return real(data, size, count, stream);
}
int fputs(const char* text, FILE* stream) {
  REAL(fputs);
  NoteStdout(stream, text, strlen(text));
  return real(text, stream);
}
int fputs_unlocked(const char* text, FILE* stream) {
  REAL(fputs_unlocked);
  NoteStdout(stream, text, strlen(text));
  return real(text, stream);
}
int puts(const char* text) {
  REAL(puts);
  const std::string line = std::string(text) + "\n";
  NoteStdout(stdout, line.data(), line.size());
  return real(text);
}
#define PUT_CHAR(name)                    \
  int name(int c, FILE* stream) {         \
    REAL(name);                           \
    const char ch = static_cast<char>(c); \
    NoteStdout(stream, &ch, 1);           \
    return real(c, stream);               \
  }
PUT_CHAR(fputc)
PUT_CHAR(putc)
PUT_CHAR(fputc_unlocked)
PUT_CHAR(putc_unlocked)
#undef PUT_CHAR
int putchar(int c) {
  return putc(c, stdout);
}
int putchar_unlocked(int c) {
  return putc_unlocked(c, stdout);
}

static void NoteFormatted(FILE* stream, const char* format, va_list ap) {
  if (!On() || stream == nullptr || fileno(stream) != STDOUT_FILENO) return;
  char text[kMaxOut + 1];
  const int n = vsnprintf(text, sizeof text, format, ap);
  if (n >= 0) NoteStdout(stream, text, std::min(static_cast<size_t>(n), kMaxOut));
}
int vfprintf(FILE* stream, const char* format, va_list ap) {
  REAL(vfprintf);
  va_list copy;
  va_copy(copy, ap);
  NoteFormatted(stream, format, copy);
  va_end(copy);
  return real(stream, format, ap);
}
int __vfprintf_chk(FILE* stream, int, const char* format, va_list ap) {
  return vfprintf(stream, format, ap);
}
int vprintf(const char* format, va_list ap) {
  return vfprintf(stdout, format, ap);
}
int __vprintf_chk(int, const char* format, va_list ap) {
  return vfprintf(stdout, format, ap);
}
int fprintf(FILE* stream, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = vfprintf(stream, format, ap);
  va_end(ap);
  return n;
}
int __fprintf_chk(FILE* stream, int, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = vfprintf(stream, format, ap);
  va_end(ap);
  return n;
}
int printf(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = vfprintf(stdout, format, ap);
  va_end(ap);
  return n;
}
int __printf_chk(int, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  const int n = vfprintf(stdout, format, ap);
  va_end(ap);
  return n;
}

}  // extern "C"
#pragma GCC visibility pop
