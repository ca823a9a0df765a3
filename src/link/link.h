// One link to one board: the open port, identification of bootloader and
// chip, the reboot, and the exchange primitives the update procedures use.
// A front end holds one Link per board; all port work on it runs on one
// thread (the port worker), except IsPortReady and ProbePort.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "common/log.h"
#include "common/ui_sink.h"
#include "link/protocol.h"
#include "link/serial_port.h"

namespace quelmar::link {

// Why the last failure on a link came about, for a front end that decides
// whether a board is worth trying again.
enum class FailureCause {
  kNone,
  // The line spoiled it: no answer, a time-out, a garbled reply, or a
  // request or block the bootloader refused as it arrived (a bad header or
  // check byte). The same board may well take it the next time.
  kLine,
  // The board itself: its bootloader is unsupported or refused what it was
  // asked, its flash did not take a block. Trying again changes nothing.
  kBoard,
};

class Link {
 public:
  Link(PortSystem& ports, Log& log, UiSink& ui);
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // The port OpenPort opens.
  void SetSelectedPort(PortId id) { selected_port_ = std::move(id); }
  const PortId& SelectedPort() const { return selected_port_; }

  // Opens and configures SelectedPort, logs "Opened COM%i", then identifies
  // bootloader and chip. True when the port is open and both answered; an
  // already open port returns true at once without asking again.
  bool OpenPort();
  // The first half of OpenPort: opens and configures SelectedPort and logs
  // "Opened COM%i", without asking the board anything.
  bool OpenLine();
  // Asks the bootloader for its version without a word in the log: true
  // when a well-formed reply came. For watching a port for a board to come
  // or go without reopening it (an open resets many boards).
  bool BootloaderAnswers();
  // Closes the port without purge or log line (the line is known gone).
  void DropLine() { DropPort(); }
  // Purges, closes and logs "COM port closed."; nothing when already closed.
  void ClosePort();
  // A port is open (PortHandle not null). Any thread.
  bool IsPortReady() const { return open_.load(std::memory_order_acquire); }
  // Sets the read time-outs of the open port: 50 ms a byte plus 800 ms a
  // read. False when the port refuses them.
  bool SetPortTimeouts();
  // Liveness probe from another thread: purge with mask 15. False when no
  // port is open or the purge fails (the line is gone).
  bool ProbePort();

  // Identification. QueryBootloaderInfo returns (major << 8) | minor, or 0.
  uint16_t QueryBootloaderInfo();
  bool QueryChipInfo();
  // Sends the reboot request, then always closes the port (through the
  // close handler) and disables the port actions. True when the board
  // confirmed the reboot.
  bool RebootDevice();
  // How RebootDevice closes the port; by default ClosePort. A port worker
  // routes it through its own close command.
  void SetCloseHandler(std::function<void()> handler) { close_handler_ = std::move(handler); }

  uint8_t BootloaderVersionCode() const { return bootloader_version_code_; }
  // (major << 8) | minor of the last bootloader accepted, 0 before one.
  uint16_t BootloaderVersion() const { return bootloader_version_; }
  const std::array<uint32_t, 8>& ChipInfo() const { return chip_info_; }

  // --- exchange primitives, for the identification above and the updates ---
  // The open port, or null.
  SerialPort* PortHandle() { return port_.get(); }
  // Purges with the mask (result ignored).
  void Purge(uint32_t mask);
  // Purges with mask 15 and writes the 4-byte request for the command.
  // False when the write failed; *written receives the count sent.
  bool SendRequest(uint8_t command, uint32_t* written);
  // Writes a whole frame with no purge of its own.
  bool WriteFrame(const uint8_t* frame, uint32_t n, uint32_t* written);
  // The read rule: one read of n bytes; only when it brought nothing, one
  // more. Returns the count of the last read.
  uint32_t ReadReply(uint8_t* buffer, uint32_t n);

  UiSink& Ui() { return ui_; }
  Log& GetLog() { return log_; }

  // Set where a failure is logged (here and by the update procedures);
  // cleared by whoever starts afresh.
  void NoteFailure(FailureCause cause) { failure_ = cause; }
  FailureCause LastFailure() const { return failure_; }
  void ClearFailure() { failure_ = FailureCause::kNone; }

 private:
  void DropPort();  // closes the handle without purge or log line

  PortSystem& ports_;
  Log& log_;
  UiSink& ui_;
  PortId selected_port_;
  std::mutex port_mutex_;  // guards port_ against the probe from another thread
  std::unique_ptr<SerialPort> port_;
  std::atomic<bool> open_{false};
  std::function<void()> close_handler_;
  uint8_t bootloader_version_code_ = 0;
  uint16_t bootloader_version_ = 0;
  std::array<uint32_t, 8> chip_info_{};
  FailureCause failure_ = FailureCause::kNone;
};

}  // namespace quelmar::link
