#include "link/link.h"

#include "common/controls.h"

namespace quelmar::link {

std::string PortId::Label() const {
  if (number > 0) return "COM" + std::to_string(number);
  return device;
}

Link::Link(PortSystem& ports, Log& log, UiSink& ui) : ports_(ports), log_(log), ui_(ui) {}

bool Link::OpenPort() {
  if (port_ != nullptr) return true;
  if (!OpenLine()) return false;
  if (QueryBootloaderInfo() == 0 || !QueryChipInfo()) {
    ClosePort();
    return false;
  }
  return true;
}

bool Link::OpenLine() {
  if (port_ != nullptr) return true;

  const std::string label = selected_port_.Label();
  OpenResult opened = ports_.OpenPort(selected_port_);
  if (opened.port == nullptr) {
    log_.AppendLog(kSeverityError, "Failed opening %s\n", label.c_str());
    if (!opened.advice.empty()) log_.AppendLog(kSeverityError, "%s\n", opened.advice.c_str());
    return false;
  }
  {
    std::lock_guard lock(port_mutex_);
    port_ = std::move(opened.port);
  }
  open_.store(true, std::memory_order_release);

  if (!port_->GetCommState()) {
    DropPort();
    log_.AppendLog(kSeverityError, "Failed GetCommState() - %s\n", label.c_str());
    return false;
  }
  if (!port_->SetCommState()) {
    DropPort();
    log_.AppendLog(kSeverityError, "Failed SetCommState()\n");
    return false;
  }
  port_->Purge(kPurgeAll);
  if (!SetPortTimeouts()) {
    DropPort();
    log_.AppendLog(kSeverityError, "Failed SetCommTimeouts()\n");
    return false;
  }
  log_.AppendLog(kSeverityNormal, "Opened %s\n", label.c_str());
  return true;
}

bool Link::BootloaderAnswers() {
  uint32_t count = 0;
  if (port_ == nullptr || !SendRequest(CMD_GET_BOOTLOADER_INFO, &count)) return false;
  uint8_t reply[kBootloaderReplySize] = {};
  count = port_->Read(reply, kBootloaderReplySize);
  return count == kBootloaderReplySize && reply[0] == REPLY_START && reply[1] == 0x03 &&
         reply[2] == CMD_GET_BOOTLOADER_INFO;
}

void Link::DropPort() {
  std::unique_ptr<SerialPort> closing;
  {
    std::lock_guard lock(port_mutex_);
    open_.store(false, std::memory_order_release);
    closing = std::move(port_);
  }
  // Destroyed outside the lock: closing a device can take a moment.
}

void Link::ClosePort() {
  if (port_ == nullptr) return;
  port_->Purge(kPurgeAll);
  DropPort();
  log_.AppendLog(kSeverityNormal, "COM port closed.\n");
}

bool Link::SetPortTimeouts() {
  return port_ != nullptr && port_->SetCommTimeouts(ReadTimeouts{50, 800});
}

bool Link::ProbePort() {
  std::lock_guard lock(port_mutex_);
  return port_ != nullptr && port_->Purge(kPurgeAll);
}

void Link::Purge(uint32_t mask) {
  if (port_ != nullptr) port_->Purge(mask);
}

bool Link::SendRequest(uint8_t command, uint32_t* written) {
  *written = 0;
  if (port_ == nullptr) return false;
  port_->Purge(kPurgeAll);
  const RequestFrame frame = MakeRequest(command);
  return port_->Write(frame.data(), static_cast<uint32_t>(frame.size()), written);
}

bool Link::WriteFrame(const uint8_t* frame, uint32_t n, uint32_t* written) {
  *written = 0;
  if (port_ == nullptr) return false;
  return port_->Write(frame, n, written);
}

uint32_t Link::ReadReply(uint8_t* buffer, uint32_t n) {
  if (port_ == nullptr) return 0;
  uint32_t count = port_->Read(buffer, n);
  // Only an empty read is tried again; a short one is the answer.
  if (count == 0) count = port_->Read(buffer, n);
  return count;
}

uint16_t Link::QueryBootloaderInfo() {
  if (port_ == nullptr) return 0;
  log_.AppendLog(kSeverityNormal, "Get bootloader info... ");
  uint32_t count = 0;
  if (!SendRequest(CMD_GET_BOOTLOADER_INFO, &count)) {
    log_.AppendLog(kSeverityError, "\nFailed send request.\n");
    failure_ = FailureCause::kLine;
    return 0;
  }
  uint8_t reply[kBootloaderReplySize] = {};
  count = ReadReply(reply, kBootloaderReplySize);
  if (count == 0) {
    log_.AppendLog(kSeverityError, "FAIL.\nNot reply from device !\n");
    failure_ = FailureCause::kLine;
    return 0;
  }
  if (count != kBootloaderReplySize || reply[0] != REPLY_START) {
    // A full-length reply with a wrong first byte is reported as a size error.
    log_.AppendLog(kSeverityError, "\nIncorrect received data size. lpSize = %i\n",
                   static_cast<int>(count));
    failure_ = FailureCause::kLine;
    return 0;
  }
  if (reply[1] != 0x03 || reply[2] != CMD_GET_BOOTLOADER_INFO) {
    log_.AppendLog(kSeverityError, "\nInvalid response format.\n");
    failure_ = FailureCause::kLine;
    return 0;
  }
  const uint8_t major = reply[3];
  const uint8_t minor = reply[4];
  log_.AppendLog(kSeverityNormal, "OK.\nFound bootloader v%d.%d.\n", major, minor);
  if (major < 2) {
    log_.AppendLog(kSeverityError, "Unsupported bootloader !\n");
    failure_ = FailureCause::kBoard;
    return 0;
  }
  bootloader_version_code_ = static_cast<uint8_t>((major & 0x0F) * 10 + (minor & 0x0F));
  bootloader_version_ = static_cast<uint16_t>((major << 8) | minor);
  return static_cast<uint16_t>((major << 8) | minor);
}

bool Link::QueryChipInfo() {
  if (port_ == nullptr) return false;
  log_.AppendLog(kSeverityNormal, "Get chip info... ");
  uint32_t count = 0;
  if (!SendRequest(CMD_GET_CHIP_INFO, &count)) {
    log_.AppendLog(kSeverityError, "\nFailed send request.\n");
    failure_ = FailureCause::kLine;
    return false;
  }
  uint8_t reply[kChipReplySize] = {};
  count = ReadReply(reply, kChipReplySize);
  if (count == kChipReplySize) {
    if (reply[0] != REPLY_START) {
      log_.AppendLog(kSeverityError, "\nIncorrect received data size. lpSize = %i\n",
                     static_cast<int>(kChipReplySize));
      failure_ = FailureCause::kLine;
      return false;
    }
    if (reply[2] != CMD_GET_CHIP_INFO) {
      log_.AppendLog(kSeverityError, "\nInvalid response format.\n");
      failure_ = FailureCause::kLine;
      return false;
    }
    for (size_t w = 0; w < chip_info_.size(); ++w) chip_info_[w] = ReadLe32(&reply[3 + 4 * w]);
    log_.AppendLog(kSeverityNormal, "OK.\n");
    const ChipName chip = LookupChip(chip_info_[0], chip_info_[1]);
    log_.AppendLog(chip.known ? kSeverityNormal : kSeverityError, "%s", chip.line.c_str());
    return true;
  }
  if (count == kStatusReplySize) {
    // The bootloader refused the request with a status reply: it will
    // again, unless the reply itself came garbled.
    failure_ = reply[0] != REPLY_START ? FailureCause::kLine : FailureCause::kBoard;
    if (reply[0] != REPLY_START) {
      log_.AppendLog(kSeverityError, "\nInvalid response format.\n");
    } else if (reply[1] == 0x01 && reply[2] == 0x01 && reply[3] == 0xAA) {
      log_.AppendLog(kSeverityError, "\nError data request.\n");
    } else if (reply[1] == 0xFF && reply[2] == 0xFF && reply[3] == ERR_INCORRECT_COMMAND) {
      log_.AppendLog(kSeverityError, "\nIncorrect command.\n");
    }
    return false;
  }
  log_.AppendLog(kSeverityError, "\nIncorrect received data size. lpSize = %i\n",
                 static_cast<int>(count));
  failure_ = FailureCause::kLine;
  return false;
}

bool Link::RebootDevice() {
  // A reboot's failure notes no cause: the board may run its firmware by
  // now, and written again it would need its bootloader back first.
  if (port_ == nullptr) return false;
  bool confirmed = false;
  log_.AppendLog(kSeverityNormal, "Reboot... ");
  uint32_t count = 0;
  if (!SendRequest(CMD_REBOOT, &count)) {
    log_.AppendLog(kSeverityError, "\nFailed send request.\n");
  } else {
    uint8_t reply[kStatusReplySize] = {};
    count = ReadReply(reply, kStatusReplySize);
    if (count != kStatusReplySize || reply[0] != REPLY_START) {
      log_.AppendLog(kSeverityError, "\nIncorrect received data size. lpSize = %i\n",
                     static_cast<int>(count));
    } else if (!IsStatusDone(reply[1], reply[2])) {
      log_.AppendLog(kSeverityError, "\nInvalid response format.\n");
    } else {
      log_.AppendLog(kSeverityNormal, "OK.\n");
      confirmed = true;
    }
  }
  if (close_handler_) {
    close_handler_();
  } else {
    ClosePort();
  }
  DisablePortActions(ui_);
  return confirmed;
}

}  // namespace quelmar::link
