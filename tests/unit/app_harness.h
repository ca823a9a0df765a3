// The main window's logic with everything around it faked: a scripted
// board on a fake line, a view whose timers run when the test pumps them,
// a drop-down, a file chooser and a sink that records one timeline.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/port_drop_down.h"
#include "app/ui_queue.h"
#include "common/ids.h"
#include "image/image_writer.h"
#include "link/protocol.h"
#include "support/fake_clock.h"
#include "support/fake_port.h"

namespace quelmar::testing {

// Everything the view was told, in one order: "log0 text", "log1 text",
// "ctl 1002 0", "box text", "progress".
class TimelineSink final : public UiSink {
 public:
  void LogText(int severity, std::string_view text) override {
    events.push_back("log" + std::to_string(severity) + " " + std::string(text));
  }
  void ErrorBox(std::string_view text) override { events.push_back("box " + std::string(text)); }
  void ProgressChanged(const ProgressState&) override { events.push_back("progress"); }
  void SetControlEnabled(int id, bool enabled) override {
    events.push_back("ctl " + std::to_string(id) + (enabled ? " 1" : " 0"));
    controls[id] = enabled;
  }
  std::string Log() const {
    std::string all;
    for (const auto& e : events)
      if (e.rfind("log", 0) == 0) all += e.substr(5);
    return all;
  }
  // Events from index `from` on that start with prefix.
  std::vector<std::string> Only(const std::string& prefix, size_t from = 0) const {
    std::vector<std::string> out;
    for (size_t i = from; i < events.size(); ++i)
      if (events[i].rfind(prefix, 0) == 0) out.push_back(events[i]);
    return out;
  }

  std::vector<std::string> events;
  std::map<int, bool> controls;  // last state of each control
};

class FakeView final : public app::MainWindowView {
 public:
  void RunAfter(std::chrono::milliseconds delay, std::function<void()> fn) override {
    timers.emplace(std::make_pair(now + delay, seq++), std::move(fn));
  }
  bool AskStopEraseWait() override {
    ++asked;
    return answer;
  }
  void CloseProgram() override { ++closed; }

  // Runs the earliest timer; false when none.
  bool RunOne() {
    if (timers.empty()) return false;
    auto it = timers.begin();
    now = it->first.first;
    auto fn = std::move(it->second);
    timers.erase(it);
    fn();
    return true;
  }

  std::chrono::milliseconds now{0};
  int seq = 0;
  std::multimap<std::pair<std::chrono::milliseconds, int>, std::function<void()>> timers;
  bool answer = false;
  int asked = 0;
  int closed = 0;
};

class FakeDropDown final : public app::PortDropDown {
 public:
  int Count() const override { return static_cast<int>(entries.size()); }
  int CurrentIndex() const override { return current; }
  void SetCurrentIndex(int index) override { current = index; }
  void SetEntry(int index, const std::string& text, const std::string& tip) override {
    if (index == Count()) entries.emplace_back();
    entries.at(static_cast<size_t>(index)) = {text, tip};
  }
  void TruncateTo(int count) override { entries.resize(static_cast<size_t>(count)); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.first);
    return out;
  }

  std::vector<std::pair<std::string, std::string>> entries;
  int current = -1;
};

class FakeChooser final : public image::FileChooser {
 public:
  std::optional<std::string> ChooseImageFile(image::ImageKind kind) override {
    return kind == image::ImageKind::kCode ? code : data;
  }
  std::optional<std::string> code, data;
};

class AppHarness {
 public:
  AppHarness() {
    ports.present = {{3, "/dev/ttyS2", false}, {7, "/dev/ttyS6", false}};
    line->responder = [this](FakeLine& l, const Bytes& bytes) { Respond(l, bytes); };
    window = std::make_unique<app::MainWindow>(
        app::MainWindow::Parts{ports, ui, view, drop_down, chooser, clock});
    window->InitPortList();
    EXPECT_TRUE(window->StartPortWorker());
    EXPECT_TRUE(PumpUntil([this] { return window->Worker().HasWindow(); }));
  }
  ~AppHarness() {
    Release();
    window.reset();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // Runs the UI thread's events (queued calls, then timers) until pred
  // holds; false after 10 s of real time without it.
  bool PumpUntil(const std::function<bool()>& pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      ui.Drain();
      if (ui.Pending() == 0 && !view.RunOne()) usleep(200);
    }
    return true;
  }
  // Until the window has nothing queued or under way.
  bool Settle() {
    return PumpUntil([this] { return window->Idle() && ui.Pending() == 0 && view.timers.empty(); });
  }
  bool LogHas(const std::string& text) {
    return PumpUntil([&] { return sink.Log().find(text) != std::string::npos; });
  }

  // Picks drop-down entry index and waits for the open to finish.
  void Choose(int index) {
    window->OnPortChosen(index);
    ASSERT_TRUE(Settle());
  }
  void OpenPort() {
    Choose(1);
    ASSERT_TRUE(window->IsPortReady()) << sink.Log();
  }

  void ChooseCode() {
    chooser.code = WriteTemp("a.fcode", image::BuildCodeFile(&bank_a, nullptr, 'F'));
  }
  void ChooseData() {
    chooser.data = WriteTemp("d.fdata", image::BuildDataFile(Bytes(1024, 0x5A), 'F'));
  }
  void LoadCode() {
    ChooseCode();
    window->OnClick(IDC_OPEN_CODE);
    ASSERT_TRUE(Settle());
    ASSERT_TRUE(window->Images().HasCodeImage());
  }
  void LoadData() {
    ChooseData();
    window->OnClick(IDC_OPEN_FLASH);
    ASSERT_TRUE(Settle());
    ASSERT_TRUE(window->Images().DataImage().present());
  }

  // The board holds its reply to the next request of this command until
  // Release() (the worker then sits inside the exchange).
  void HoldNext(uint8_t command) {
    std::lock_guard lock(gate_mutex_);
    hold_command_ = command;
    holding_ = false;
    released_ = false;
  }
  bool WaitHeld() {
    std::unique_lock lock(gate_mutex_);
    return gate_.wait_for(lock, std::chrono::seconds(10), [this] { return holding_; });
  }
  void Release() {
    {
      std::lock_guard lock(gate_mutex_);
      released_ = true;
      hold_command_ = -1;
    }
    gate_.notify_all();
  }
  // Requests of one command the board has seen (read only while the worker
  // is idle).
  int Requests(uint8_t command) const {
    int n = 0;
    for (const auto& w : line->writes)
      if (w.size() == 4 && w[0] == 0x55 && w[2] == command) ++n;
    return n;
  }

  FakePortSystem ports;
  std::shared_ptr<FakeLine> line = ports.line;
  TimelineSink sink;
  app::UiQueue ui{sink, [] {}};
  FakeView view;
  FakeDropDown drop_down;
  FakeChooser chooser;
  FakeClock clock;
  Bytes bank_a = Bytes(512, 0x11);
  std::unique_ptr<app::MainWindow> window;

 private:
  void Respond(FakeLine& l, const Bytes& bytes) {
    const int command = bytes.size() == 4 && bytes[0] == 0x55 ? bytes[2] : -2;
    {
      std::unique_lock lock(gate_mutex_);
      if (command == hold_command_) {
        holding_ = true;
        gate_.notify_all();
        gate_.wait(lock, [this] { return released_; });
      }
    }
    if (command == link::CMD_GET_BOOTLOADER_INFO) {
      l.Reply({0xAA, 0x03, 0x01, 0x02, 0x08, 0x00});
    } else if (command == link::CMD_GET_CHIP_INFO) {
      Bytes chip(36, 0);
      chip[0] = 0xAA;
      chip[2] = 0x0A;
      link::WriteLe32(&chip[3], 0xA001C830);
      l.Reply(chip);
    } else {
      l.Reply({0xAA, 0x01, 0x00, 0x00});
    }
  }
  std::string WriteTemp(const std::string& name, const Bytes& bytes) {
    if (dir_.empty()) {
      static int next = 0;
      dir_ = std::filesystem::temp_directory_path() /
             ("quelmar_app_" + std::to_string(::getpid()) + "_" + std::to_string(next++));
      std::filesystem::create_directories(dir_);
    }
    const std::string path = (dir_ / name).string();
    EXPECT_TRUE(image::WriteFileAtomically(path, bytes, nullptr));
    return path;
  }

  std::mutex gate_mutex_;
  std::condition_variable gate_;
  int hold_command_ = -1;
  bool holding_ = false;
  bool released_ = false;
  std::filesystem::path dir_;
};

}  // namespace quelmar::testing
