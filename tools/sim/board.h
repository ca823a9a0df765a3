// The simulated board's resident bootloader: a state machine without I/O.
// The pty driver feeds it the bytes it receives with the time they arrived
// and sends back whatever it returns, so every behaviour can be exercised
// in unit tests with made-up times.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar::sim {

using TimePoint = std::chrono::steady_clock::time_point;

// What a fault does to the reply it hits.
enum class FaultKind {
  kSilent,    // no reply at all
  kShort,     // only the first 2 bytes of the reply
  kBadStart,  // reply's first byte 0x55 instead of 0xAA, same length
  kStatus,    // a given 4-byte status reply AA s1 s2 s3
  kError,     // STATUS_ERROR with a given code: AA FF FF code
  kHangup,    // no reply; the line is hung up
};

// Where a fault strikes.
enum class FaultSite {
  kCommand,    // every request with a command code (or its n-th one)
  kCodeBlock,  // the code frame of bank A or B with a block index
  kDataBlock,  // the data frame with a block index (offset / 512)
};

struct Fault {
  FaultKind kind = FaultKind::kSilent;
  std::array<uint8_t, 3> status{};  // kStatus
  uint8_t error = 0;                // kError
  FaultSite site = FaultSite::kCommand;
  uint8_t command = 0;      // kCommand
  int bank = 0;             // kCodeBlock: 0 = A, 1 = B
  uint32_t index = 0;       // kCodeBlock, kDataBlock
  uint32_t occurrence = 0;  // 0 = every match, n = only the n-th match
};

// Parses "KIND@WHERE" (see quelmar-sim --help). On failure returns false
// and says why in *error.
bool ParseFault(std::string_view text, Fault* fault, std::string* error);

// What the board does once it has confirmed a reboot.
enum class AfterReboot {
  kBootloader,  // the bootloader answers again (the default)
  kSilent,      // the application runs: nothing answers on the line any more
  kHangup,      // the board goes away: the line hangs up once the reply is out
};

struct BoardConfig {
  uint8_t major = 2;
  uint8_t minor = 8;
  uint32_t chip_word0 = 0xA001C830;  // LPC4357
  uint32_t chip_word1 = 0;
  std::chrono::milliseconds erase_duration{2000};
  size_t data_size = 1024 * 1024;
  std::vector<Fault> faults;
  AfterReboot after_reboot = AfterReboot::kBootloader;
};

// Names the chips of the table; fills the two identification words.
bool ChipWordsForName(std::string_view name, uint32_t* word0, uint32_t* word1);

// What the board does in answer to received bytes.
struct Response {
  std::vector<uint8_t> bytes;  // to send, in order
  bool hang_up = false;        // close the line once the bytes are out
};

struct BoardStats {
  uint32_t requests = 0;             // well-formed 4-byte requests
  uint32_t code_blocks[2] = {0, 0};  // accepted per bank
  uint32_t data_blocks = 0;          // accepted
  uint32_t refused = 0;              // STATUS_ERROR replies of the board's own
  uint32_t faults = 0;               // replies changed by a fault
  uint32_t dropped_partial = 0;      // partial frames dropped after a gap
  uint32_t noise_bytes = 0;          // bytes skipped while looking for a start
};

class Board {
 public:
  static constexpr size_t kBankSize = 512 * 1024;
  // A partial frame followed by a longer silence is dropped: the host has
  // given up on it and will purge before it sends anything else.
  static constexpr std::chrono::milliseconds kFrameGap{200};

  explicit Board(BoardConfig config);

  // Takes bytes that arrived at `now` (all of them at once) and returns the
  // board's answer to every frame they complete. After a hang-up the rest
  // of the bytes are ignored.
  Response Receive(std::span<const uint8_t> bytes, TimePoint now);

  // Version code as the host computes it; 28 and up get scrambled frames.
  uint8_t VersionCode() const;

  const std::vector<uint8_t>& bank(int index) const { return banks_[index]; }
  const std::vector<uint8_t>& data_flash() const { return data_; }
  // The data flash up to the end of the highest block written so far
  // (a multiple of 512, or the whole size if that is smaller).
  std::span<const uint8_t> WrittenData() const;
  const BoardStats& stats() const { return stats_; }
  // One line (no line end) saying what happened, for the exit summary.
  std::string Summary() const;

 private:
  enum class Expect { kAny, kCodeFrame };

  // How many bytes the frame at the front of rx_ needs, once byte 1 is in.
  size_t FrameLength() const;
  void HandleFrame(std::span<const uint8_t> frame, TimePoint now, Response* out);
  std::vector<uint8_t> HandleRequest(uint8_t command, TimePoint now);
  // The first fault that matches this site (counting its occurrence).
  const Fault* MatchFault(FaultSite site, uint8_t command, int bank, uint32_t index);
  bool EraseBusy(TimePoint now) const;
  void Reset();

  BoardConfig config_;
  std::vector<uint8_t> banks_[2];
  std::vector<uint8_t> data_;
  size_t data_high_ = 0;
  std::vector<uint32_t> fault_hits_;

  // Receive state.
  std::vector<uint8_t> rx_;
  TimePoint last_rx_{};

  // Protocol state, cleared by a reboot.
  Expect expect_ = Expect::kAny;
  bool flash_write_ = false;
  uint32_t next_data_offset_ = 0;
  bool block_zero_next_ = false;  // a PREPARE was the last code phase step
  int code_bank_ = -1;            // bank being written, -1 before any block
  uint32_t code_next_ = 0;        // next expected block index in code_bank_
  bool erasing_ = false;
  TimePoint erase_done_{};
  bool application_running_ = false;  // rebooted into the application: deaf

  BoardStats stats_;
};

}  // namespace quelmar::sim
