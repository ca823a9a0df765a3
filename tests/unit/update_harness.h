// A scripted bootloader on the fake line, with everything an update run
// needs around it, for the code and data flash update tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/clock.h"
#include "common/flags.h"
#include "common/ids.h"
#include "common/log.h"
#include "common/progress.h"
#include "image/image_store.h"
#include "image/image_writer.h"
#include "link/link.h"
#include "link/protocol.h"
#include "support/fake_clock.h"
#include "support/fake_port.h"
#include "support/recording_sink.h"
#include "update/update.h"

namespace quelmar::testing {

inline Bytes Done() {
  return {0xAA, 0x01, 0x00, 0x00};
}
inline Bytes Busy() {
  return {0xAA, 0x01, 0x05, 0x00};
}
inline Bytes Error(uint8_t code) {
  return {0xAA, 0xFF, 0xFF, code};
}

// Plain (board-side) bytes with no short period, so a shifted or swapped
// block shows.
inline Bytes Pattern(size_t n, uint32_t seed = 1) {
  Bytes out(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

// Names parameterised cases after their `name` field.
struct CaseName {
  template <class P>
  std::string operator()(const ::testing::TestParamInfo<P>& p) const {
    return p.param.name;
  }
};

// What the board saw, one entry per successful write.
struct Sent {
  Bytes bytes;
  std::chrono::milliseconds at;  // fake clock at the write
  ProgressState progress;        // indicator at the write
  bool IsCommand(uint8_t command) const {
    return bytes.size() == 4 && bytes[0] == 0x55 && bytes[2] == command;
  }
};

class UpdateHarness {
 public:
  UpdateHarness() {
    line->clock = &clock;
    line->responder = [this](FakeLine& l, const Bytes& bytes) { Respond(l, bytes); };
    // A front end may act on a click as soon as a button is enabled.
    sink.on_control = [this](int, bool enabled) {
      if (enabled) busy_at_enable.push_back(flags.BusyFlag + flags.AbortFlag);
    };
  }
  UpdateHarness(const UpdateHarness&) = delete;
  UpdateHarness& operator=(const UpdateHarness&) = delete;
  ~UpdateHarness() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  // --- the scripted board ---
  uint8_t version_minor = 8;  // bootloader 2.<minor>
  // Replies to the nth (0-based) request of a command; an empty reply is
  // silence. Unlisted requests get STATUS_DONE.
  std::map<std::pair<uint8_t, int>, Bytes> command_replies;
  // Replies to the nth poll; by default STATUS_DONE.
  std::function<Bytes(int poll)> poll_reply;
  // Replies to the nth block frame of the run, counted over both banks.
  std::map<int, Bytes> block_replies;
  // Called on every request / frame, before the reply is queued.
  std::function<void(uint8_t command, int nth)> on_command;
  std::function<void(int frame)> on_frame;

  std::vector<Sent> sent;                // only what the update run wrote
  std::vector<uint32_t> busy_at_enable;  // BusyFlag + AbortFlag at each enabling

  // --- the pieces of an update context ---
  FakePortSystem ports;
  std::shared_ptr<FakeLine> line = ports.line;
  FakeClock clock;
  RecordingSink sink;
  Log log{&sink};
  Progress progress{&sink};
  image::ImageStore images{log};
  link::Link link{ports, log, sink};
  UpdateFlags flags;
  update::UpdateContext context{link, images, progress, log, clock, flags, sink};

  // Opens and identifies the board, then forgets that traffic so that
  // assertions see only the update.
  void Open() {
    link.SetSelectedPort(link::PortId{3, "/dev/fake3"});
    ASSERT_TRUE(link.OpenPort()) << sink.Text();
    line->events.clear();
    line->writes.clear();
    sent.clear();
    counts_.clear();
    frames_ = 0;
    polls_ = 0;
    write_base_ = line->write_count;
    sink.Clear();
    busy_at_enable.clear();
  }

  // The nth write of the update run (0-based, failed ones included) fails,
  // reporting count bytes written.
  void FailWrite(size_t nth, uint32_t count) {
    line->failing_writes.emplace_back(write_base_ + nth, count);
  }

  void LoadCode(const Bytes* bank_a, const Bytes* bank_b, char encoding = 'F') {
    ASSERT_TRUE(images.LoadCodeImageFromPath(
        WriteTemp("image.fcode", image::BuildCodeFile(bank_a, bank_b, encoding))))
        << sink.Text();
    sink.Clear();
  }
  void LoadData(const Bytes& plain, char encoding = 'F') {
    ASSERT_TRUE(images.LoadDataImageFromPath(
        WriteTemp("image.fdata", image::BuildDataFile(plain, encoding))))
        << sink.Text();
    sink.Clear();
  }

  update::UpdateOutcome RunCode() {
    flags.BusyFlag = 1;
    return update::RunCodeUpdate(context);
  }
  update::UpdateOutcome RunData() {
    flags.BusyFlag = 1;
    return update::RunDataFlashUpdate(context);
  }

  // The frames of the given size that reached the line, in order.
  std::vector<Bytes> Frames(size_t size) const {
    std::vector<Bytes> out;
    for (const auto& s : sent)
      if (s.bytes.size() == size) out.push_back(s.bytes);
    return out;
  }
  // Requests of one command that reached the line.
  std::vector<Sent> Requests(uint8_t command) const {
    std::vector<Sent> out;
    for (const auto& s : sent)
      if (s.IsCommand(command)) out.push_back(s);
    return out;
  }

  // The controls UnlockControls leaves for the loaded images.
  std::vector<std::pair<int, bool>> UnlockedControls() const {
    std::vector<std::pair<int, bool>> c{
        {IDC_COMPORT, true}, {IDC_OPEN_CODE, true}, {IDC_OPEN_FLASH, true}};
    if (images.HasCodeImage()) c.emplace_back(IDC_UPDATE_CODE, true);
    if (images.DataImage().present()) c.emplace_back(IDC_UPDATE_FLASH, true);
    c.emplace_back(IDC_REBOOT, true);
    return c;
  }

  // Every run ends the same way, whatever happened.
  void ExpectEnding() const {
    EXPECT_EQ(sink.Controls(), UnlockedControls());
    // The flags are down before the first control comes back.
    EXPECT_EQ(busy_at_enable, std::vector<uint32_t>(UnlockedControls().size(), 0));
    EXPECT_EQ(flags.BusyFlag.load(), 0u);
    EXPECT_EQ(flags.AbortFlag.load(), 0u);
  }

 private:
  std::string WriteTemp(const std::string& name, const Bytes& bytes) {
    if (dir_.empty()) {
      static int next = 0;
      dir_ = std::filesystem::temp_directory_path() /
             ("quelmar_update_" + std::to_string(::getpid()) + "_" + std::to_string(next++));
      std::filesystem::create_directories(dir_);
    }
    const std::string path = (dir_ / name).string();
    std::string error;
    EXPECT_FALSE(bytes.empty());
    EXPECT_TRUE(image::WriteFileAtomically(path, bytes, &error)) << error;
    return path;
  }

  void Respond(FakeLine& l, const Bytes& bytes) {
    if (bytes.size() == 4 && bytes[0] == 0x55) {
      const uint8_t command = bytes[2];
      if (command == link::CMD_GET_BOOTLOADER_INFO) {
        l.Reply({0xAA, 0x03, 0x01, 0x02, version_minor, 0x00});
        return;
      }
      if (command == link::CMD_GET_CHIP_INFO) {
        Bytes chip(36, 0);
        chip[0] = 0xAA;
        chip[2] = 0x0A;
        link::WriteLe32(&chip[3], 0xA001C830);
        l.Reply(chip);
        return;
      }
      sent.push_back({bytes, clock.Elapsed(), progress.State()});
      const int nth = counts_[command]++;
      if (on_command) on_command(command, nth);
      Bytes reply = Done();
      if (command == link::CMD_POLL_STATUS && poll_reply) reply = poll_reply(polls_);
      if (command == link::CMD_POLL_STATUS) ++polls_;
      if (auto it = command_replies.find({command, nth}); it != command_replies.end())
        reply = it->second;
      Answer(l, std::move(reply));
      return;
    }
    sent.push_back({bytes, clock.Elapsed(), progress.State()});
    const int frame = frames_++;
    if (on_frame) on_frame(frame);
    auto it = block_replies.find(frame);
    Answer(l, it != block_replies.end() ? it->second : Done());
  }

  // Silence is an empty read queue: the reads then deliver nothing.
  static void Answer(FakeLine& l, Bytes reply) {
    if (!reply.empty()) l.Reply(std::move(reply));
  }

  std::filesystem::path dir_;
  std::map<uint8_t, int> counts_;
  int frames_ = 0;
  int polls_ = 0;
  size_t write_base_ = 0;
};

}  // namespace quelmar::testing
