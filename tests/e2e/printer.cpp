#include "printer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace quelmar::testing {

Printer::Printer(Mode mode) : mode_(mode) {
  fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n), 0);
  port_ = ntohs(a.sin_port);
  if (mode_ == Mode::kRefuse) {
    ::close(fd_);  // nothing listens there now
    fd_ = -1;
    return;
  }
  ::listen(fd_, 8);
  thread_ = std::thread([this] { Serve(); });
}

Printer::~Printer() {
  stop_ = true;
  if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  for (int c : held_) ::close(c);
  if (fd_ >= 0) ::close(fd_);
}

std::string Printer::Target() const {
  return "tcp://127.0.0.1:" + std::to_string(port_);
}

std::vector<std::string> Printer::Labels() {
  std::lock_guard lock(mutex_);
  return labels_;
}

bool Printer::WaitForLabels(size_t n, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (Labels().size() < n) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool Printer::WaitForConnection(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (accepted_.load() == 0) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void Printer::Serve() {
  while (!stop_) {
    const int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return;
    accepted_.fetch_add(1);
    if (mode_ == Mode::kStall) {
      held_.push_back(c);
      continue;
    }
    std::string got;
    char buffer[4096];
    if (mode_ == Mode::kDrop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the whole label is here
      if (::read(c, buffer, 5) > 0) got.assign(buffer, 5);
      ::close(c);
      continue;
    }
    ssize_t n = 0;
    while ((n = ::read(c, buffer, sizeof buffer)) > 0) got.append(buffer, static_cast<size_t>(n));
    ::close(c);
    std::lock_guard lock(mutex_);
    labels_.push_back(std::move(got));
  }
}

}  // namespace quelmar::testing
