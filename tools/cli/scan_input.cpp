#include "scan_input.h"

#include <cstdio>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quelmar::cli {

// What the stdin thread reaches: it may outlive the run, so it holds this
// and checks that the run still listens.
struct ScanInput::Shared {
  std::mutex mutex;
  bool listening = true;
  std::function<station::ScanAnswer(const std::string&)> offer;
  std::function<void(const std::string&)> say;

  void Offer(const std::string& scan) {
    std::lock_guard lock(mutex);
    if (listening) say(offer(scan).line);
  }
  void Say(const std::string& line) {
    std::lock_guard lock(mutex);
    if (listening) say(line);
  }
};

void ReadScans(std::FILE* in, const std::function<void(const std::string&)>& scan,
               const std::function<void()>& too_long) {
  // Byte by byte (stdio buffers them): a line's length is what was read,
  // so a NUL byte reaches the desk, which refuses its scan, instead of
  // cutting the line there and joining what follows it to the next scan.
  station::ScanLines lines;
  std::string chunk;
  for (int c = std::getc(in); c != EOF; c = std::getc(in)) {
    chunk += static_cast<char>(c);
    if (c == '\n' || c == '\r' || c == '\t' || chunk.size() == 256) {
      lines.Feed(chunk, scan, too_long);
      chunk.clear();
    }
  }
  lines.Feed(chunk, scan, too_long);
}

ScanInput::ScanInput(std::function<station::ScanAnswer(const std::string&)> offer,
                     std::function<void(const std::string&)> say)
    : shared_(std::make_shared<Shared>()) {
  shared_->offer = std::move(offer);
  shared_->say = std::move(say);
}

ScanInput::~ScanInput() {
  if (scanner_) scanner_->Stop();
  std::lock_guard lock(shared_->mutex);
  shared_->listening = false;
}

void ScanInput::Start(const std::optional<std::string>& scanner, unsigned baud,
                      std::function<void()> stdin_ended) {
  std::thread([shared = shared_, stdin_ended = std::move(stdin_ended)] {
    ReadScans(
        stdin, [&](const std::string& scan) { shared->Offer(scan); },
        [&] {
          shared->Say("scan refused: longer than " + std::to_string(station::kMaxScanBytes) +
                      " bytes");
        });
    if (!stdin_ended) return;
    std::lock_guard lock(shared->mutex);
    if (shared->listening) stdin_ended();
  }).detach();
  if (!scanner) return;
  scanner_ = std::make_unique<station::ScannerReader>(
      link::MakePlatformPortSystem(), *scanner, baud, SystemClock(),
      [shared = shared_](const std::string& scan) { shared->Offer(scan); },
      [shared = shared_](const std::string& line) { shared->Say(line); });
  scanner_->Start();
}

bool StdinCanScan() {
#ifdef _WIN32
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return false;
  const DWORD type = GetFileType(in);
  DWORD mode = 0;
  // NUL is a character device too; a console answers GetConsoleMode.
  if (type == FILE_TYPE_CHAR) return GetConsoleMode(in, &mode) != 0;
  return type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK;
#else
  struct stat st {};
  if (fstat(STDIN_FILENO, &st) != 0) return false;
  if (S_ISCHR(st.st_mode)) return isatty(STDIN_FILENO) != 0;
  return S_ISFIFO(st.st_mode) || S_ISREG(st.st_mode) || S_ISSOCK(st.st_mode);
#endif
}

}  // namespace quelmar::cli
