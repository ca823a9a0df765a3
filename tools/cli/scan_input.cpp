#include "scan_input.h"

#include <cstdio>
#include <mutex>
#include <thread>

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

void ScanInput::Start(const std::optional<std::string>& scanner, unsigned baud) {
  std::thread([shared = shared_] {
    ReadScans(
        stdin, [&](const std::string& scan) { shared->Offer(scan); },
        [&] {
          shared->Say("scan refused: longer than " + std::to_string(station::kMaxScanBytes) +
                      " bytes");
        });
  }).detach();
  if (!scanner) return;
  scanner_ = std::make_unique<station::ScannerReader>(
      link::MakePlatformPortSystem(), *scanner, baud, SystemClock(),
      [shared = shared_](const std::string& scan) { shared->Offer(scan); },
      [shared = shared_](const std::string& line) { shared->Say(line); });
  scanner_->Start();
}

}  // namespace quelmar::cli
