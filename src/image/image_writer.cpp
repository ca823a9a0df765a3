#include "image/image_writer.h"

#ifdef _WIN32
#include <windows.h>

#include "image/win32_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "image/image_store.h"

namespace quelmar::image {

namespace {

void PutWord(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutText(std::vector<uint8_t>& out, const char* text) {
  for (const char* p = text; *p != '\0'; ++p) out.push_back(static_cast<uint8_t>(*p));
}

void PutCodeSection(std::vector<uint8_t>& out, const char* tag, const std::vector<uint8_t>* bank,
                    uint8_t mode) {
  PutText(out, tag);
  if (bank == nullptr || bank->empty()) {
    PutWord(out, 0);
    return;
  }
  PutWord(out, static_cast<uint32_t>(bank->size()));
  // The loader reads one byte more than the length field says: an erased one.
  uint32_t sum = 0xFF;
  for (uint8_t b : *bank) sum += b;
  PutWord(out, sum);
  for (uint8_t b : *bank) out.push_back(EncodeCodeByte(b, mode));
  out.push_back(EncodeCodeByte(0xFF, mode));
}

#ifdef _WIN32
// The system's text for the last error, without the line end it carries.
std::string ErrnoText(const char* what) {
  const DWORD error = GetLastError();
  char text[256] = {};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
  if (n == 0) return std::string(what) + ": error " + std::to_string(error);
  return std::string(what) + ": " + std::string(text, n);
}
#else
std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}
#endif

}  // namespace

std::vector<uint8_t> BuildCodeFile(const std::vector<uint8_t>* bank_a,
                                   const std::vector<uint8_t>* bank_b, char encoding) {
  if (encoding != 'F' && encoding != 'E') return {};
  for (const auto* bank : {bank_a, bank_b})
    if (bank != nullptr && bank->size() > CODE_IMAGE_SIZE) return {};
  const uint8_t mode = encoding == 'E' ? 1 : 0;
  std::vector<uint8_t> out;
  out.reserve(3 + 2 * 12 + (bank_a ? bank_a->size() : 0) + (bank_b ? bank_b->size() : 0));
  out.push_back('C');
  out.push_back('F');
  out.push_back(static_cast<uint8_t>(encoding));
  PutCodeSection(out, "_AB", bank_a, mode);
  PutCodeSection(out, "_BA", bank_b, mode);
  return out;
}

std::vector<uint8_t> BuildDataFile(const std::vector<uint8_t>& plain, char encoding) {
  if (encoding != 'F' && encoding != 'D') return {};
  if (plain.empty() || plain.size() % 256 != 0 || plain.size() > 0xFFFFFF00u) return {};
  const uint8_t mode = encoding == 'D' ? 1 : 0;
  std::vector<uint8_t> out;
  out.reserve(14 + plain.size());
  out.push_back('D');
  out.push_back('F');
  out.push_back(static_cast<uint8_t>(encoding));
  PutText(out, "_DD");
  PutWord(out, static_cast<uint32_t>(plain.size()));
  uint32_t sum = 0;
  for (uint8_t b : plain) sum += b;
  PutWord(out, sum);
  for (uint8_t b : plain) out.push_back(EncodeDataByte(b, mode));
  return out;
}

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
#ifdef _WIN32
  const size_t slash = path.find_last_of("/\\");
#else
  const size_t slash = path.rfind('/');
#endif
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return fail("no file name in '" + path + "'");

#ifdef _WIN32
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
  // Write-through: the move is on disk when it returns.
  if (!MoveFileExW(Win32FilePath(temp).c_str(), Win32FilePath(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const std::string message = ErrnoText(("cannot rename into '" + path + "'").c_str());
    DeleteFileW(Win32FilePath(temp).c_str());
    return fail(message);
  }
  return true;
#else
  // The temporary file sits beside the target so that rename() is atomic.
  std::string temp = (slash == std::string::npos ? std::string() : folder) + "." + name + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return fail(ErrnoText(("cannot create a file in '" + folder + "'").c_str()));
  auto abandon = [&](const std::string& message) {
    close(fd);
    unlink(temp.c_str());
    return fail(message);
  };
  // mkstemp makes the file private: keep the permissions of the file being
  // replaced, or give a new one the usual rw-r--r--.
  struct stat existing {};
  const mode_t mode = stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  if (fchmod(fd, mode) != 0) return abandon(ErrnoText("cannot set file permissions"));
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return abandon(ErrnoText(("cannot write '" + temp + "'").c_str()));
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) return abandon(ErrnoText(("cannot flush '" + temp + "'").c_str()));
  if (close(fd) != 0) {
    unlink(temp.c_str());
    return fail(ErrnoText(("cannot close '" + temp + "'").c_str()));
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    const std::string message = ErrnoText(("cannot rename into '" + path + "'").c_str());
    unlink(temp.c_str());
    return fail(message);
  }
  // Make the rename itself durable.
  const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
#endif
}

}  // namespace quelmar::image
