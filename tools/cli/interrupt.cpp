#include "interrupt.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace quelmar::cli {
namespace {

std::atomic<int> g_interrupts{0};

void WriteStderr(const char* text) {
#ifdef _WIN32
  // Console control handlers run on a thread of their own; a plain write
  // keeps the text whole.
  DWORD written = 0;
  (void)WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
                  &written, nullptr);
#else
  // Only async-signal-safe calls in here.
  size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = write(STDERR_FILENO, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
#endif
}

void OnInterrupt(int) {
  if (g_interrupts.fetch_add(1) == 0) {
    WriteStderr(
        "\nquelmar-cli: interrupted: stopping at the next safe point "
        "(a code write runs to its end). Press Ctrl-C again to quit at once.\n");
    return;
  }
  WriteStderr(
      "\nquelmar-cli: WARNING: quit during an update: the board may be half-written. "
      "Flash it again before use.\n");
  std::_Exit(130);
}

#ifdef _WIN32
// Ctrl-C and Ctrl-Break stand for SIGINT; a closing console or a log-off
// ends the process as usual.
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  OnInterrupt(0);
  return TRUE;
}
#endif

}  // namespace

InterruptGuard::InterruptGuard(std::vector<UpdateFlags*> flags, std::function<void()> on_interrupt)
    : flags_(std::move(flags)), on_interrupt_(std::move(on_interrupt)) {
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, &old_int_);
  sigaction(SIGTERM, &action, &old_term_);
#endif
  watcher_ = std::jthread([this](std::stop_token stop) {
    bool told = false;
    while (!stop.stop_requested()) {
      if (g_interrupts.load() > 0) {
        {
          std::lock_guard lock(mutex_);
          for (UpdateFlags* f : flags_) {
            if (f->BusyFlag.load() != 0) f->AbortFlag.store(1);
          }
        }
        if (!told && on_interrupt_) on_interrupt_();
        told = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
}

InterruptGuard::~InterruptGuard() {
  watcher_.request_stop();
  watcher_.join();
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
#else
  sigaction(SIGINT, &old_int_, nullptr);
  sigaction(SIGTERM, &old_term_, nullptr);
#endif
}

void InterruptGuard::Add(UpdateFlags* flags) {
  std::lock_guard lock(mutex_);
  flags_.push_back(flags);
}

bool InterruptGuard::Interrupted() const {
  return g_interrupts.load() > 0;
}

}  // namespace quelmar::cli
