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
    station::ScanLines lines;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, stdin) != nullptr) {
      lines.Feed(
          buffer, [&](const std::string& scan) { shared->Offer(scan); },
          [&] {
            shared->Say("scan refused: longer than " + std::to_string(station::kMaxScanBytes) +
                        " bytes");
          });
    }
  }).detach();
  if (!scanner) return;
  scanner_ = std::make_unique<station::ScannerReader>(
      link::MakePlatformPortSystem(), *scanner, baud, SystemClock(),
      [shared = shared_](const std::string& scan) { shared->Offer(scan); },
      [shared = shared_](const std::string& line) { shared->Say(line); });
  scanner_->Start();
}

}  // namespace quelmar::cli
