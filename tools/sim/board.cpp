#include "board.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "link/protocol.h"

namespace quelmar::sim {

namespace {

using namespace quelmar::link;

// The names of the chip table with the words the board reports for them.
// LookupChip stays the one place that turns words into names; a test keeps
// these two in step.
struct ChipEntry {
  const char* name;
  uint32_t word0;
  uint32_t word1;
};
constexpr ChipEntry kChips[] = {
    {"LPC4310", 0xA00A8B3F, 0}, {"LPC4320", 0xA0008B3C, 0}, {"LPC4330", 0xA0000A30, 0},
    {"LPC4350", 0xA0000830, 0}, {"LPC4353", 0xA001C830, 1}, {"LPC4357", 0xA001C830, 0},
};

// Words 2..7 of the chip reply: the host stores them and reads nothing.
constexpr uint32_t kChipExtraWords[6] = {0x4D4C4551, 0x0053494D, 0, 0, 0, 0};

std::vector<uint8_t> Status(uint8_t s1, uint8_t s2, uint8_t s3) {
  return {REPLY_START, s1, s2, s3};
}
std::vector<uint8_t> Done() {
  return Status(0x01, 0x00, 0x00);
}
std::vector<uint8_t> Busy() {
  return Status(0x01, 0x05, 0x00);
}
std::vector<uint8_t> Refuse(uint8_t code) {
  return Status(0xFF, 0xFF, code);
}

bool ParseHexByte(std::string_view text, uint8_t* value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
  }
  if (text.empty() || text.size() > 2) return false;
  unsigned v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *value = static_cast<uint8_t>(v);
  return true;
}

bool ParseDecimal(std::string_view text, uint32_t* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value, 10);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseKind(std::string_view text, Fault* fault, std::string* error) {
  if (text == "silent") {
    fault->kind = FaultKind::kSilent;
  } else if (text == "short") {
    fault->kind = FaultKind::kShort;
  } else if (text == "badstart") {
    fault->kind = FaultKind::kBadStart;
  } else if (text == "hangup") {
    fault->kind = FaultKind::kHangup;
  } else if (text.starts_with("status=")) {
    fault->kind = FaultKind::kStatus;
    std::string_view rest = text.substr(7);
    for (int k = 0; k < 3; ++k) {
      size_t comma = rest.find(',');
      std::string_view item = k < 2 ? rest.substr(0, comma) : rest;
      if ((k < 2 && comma == std::string_view::npos) || !ParseHexByte(item, &fault->status[k])) {
        *error = "status= takes three hexadecimal bytes S1,S2,S3";
        return false;
      }
      if (k < 2) rest.remove_prefix(comma + 1);
    }
  } else if (text.starts_with("error=")) {
    fault->kind = FaultKind::kError;
    if (!ParseHexByte(text.substr(6), &fault->error)) {
      *error = "error= takes one hexadecimal byte";
      return false;
    }
  } else {
    *error = "unknown fault kind '" + std::string(text) + "'";
    return false;
  }
  return true;
}

bool ParseWhere(std::string_view text, Fault* fault, std::string* error) {
  size_t hash = text.find('#');
  if (hash != std::string_view::npos) {
    if (!ParseDecimal(text.substr(hash + 1), &fault->occurrence) || fault->occurrence == 0) {
      *error = "#N takes an occurrence counted from 1";
      return false;
    }
    text = text.substr(0, hash);
  }
  if (text.starts_with("cmd=")) {
    fault->site = FaultSite::kCommand;
    if (!ParseHexByte(text.substr(4), &fault->command)) {
      *error = "cmd= takes a hexadecimal command code";
      return false;
    }
  } else if (text.starts_with("block=")) {
    fault->site = FaultSite::kCodeBlock;
    std::string_view rest = text.substr(6);
    if (rest.size() < 3 || (rest[0] != 'A' && rest[0] != 'B') || rest[1] != ':' ||
        !ParseDecimal(rest.substr(2), &fault->index)) {
      *error = "block= takes A:N or B:N";
      return false;
    }
    fault->bank = rest[0] == 'A' ? 0 : 1;
  } else if (text.starts_with("data=")) {
    fault->site = FaultSite::kDataBlock;
    if (!ParseDecimal(text.substr(5), &fault->index)) {
      *error = "data= takes a block index";
      return false;
    }
  } else {
    *error = "unknown fault place '" + std::string(text) + "'";
    return false;
  }
  return true;
}

}  // namespace

bool ParseFault(std::string_view text, Fault* fault, std::string* error) {
  size_t at = text.find('@');
  if (at == std::string_view::npos) {
    *error = "a fault is KIND@WHERE";
    return false;
  }
  Fault parsed;
  if (!ParseKind(text.substr(0, at), &parsed, error)) return false;
  if (!ParseWhere(text.substr(at + 1), &parsed, error)) return false;
  *fault = parsed;
  return true;
}

bool ChipWordsForName(std::string_view name, uint32_t* word0, uint32_t* word1) {
  for (const ChipEntry& chip : kChips) {
    if (name == chip.name) {
      *word0 = chip.word0;
      *word1 = chip.word1;
      return true;
    }
  }
  return false;
}

Board::Board(BoardConfig config) : config_(std::move(config)) {
  // Fresh from the factory the flash holds old contents, not 0xFF: a host
  // that writes without erasing first is refused, as real flash would be.
  banks_[0].assign(kBankSize, 0x00);
  banks_[1].assign(kBankSize, 0x00);
  data_.assign(config_.data_size, 0x00);
  fault_hits_.assign(config_.faults.size(), 0);
}

uint8_t Board::VersionCode() const {
  return static_cast<uint8_t>((config_.major & 0x0F) * 10 + (config_.minor & 0x0F));
}

std::span<const uint8_t> Board::WrittenData() const {
  size_t end = (data_high_ + kDataBlockSize - 1) / kDataBlockSize * kDataBlockSize;
  return std::span<const uint8_t>(data_).first(std::min(end, data_.size()));
}

void Board::Reset() {
  rx_.clear();
  expect_ = Expect::kAny;
  flash_write_ = false;
  next_data_offset_ = 0;
  block_zero_next_ = false;
  code_bank_ = -1;
  code_next_ = 0;
  // A reset does not stop the flash from finishing its erase.
}

bool Board::EraseBusy(TimePoint now) const {
  return erasing_ && now < erase_done_;
}

size_t Board::FrameLength() const {
  uint8_t second = rx_[1];
  if (second == 0x01) return kStatusReplySize;  // a request, in every mode
  if (expect_ == Expect::kCodeFrame) return kCodeFrameSize;
  if (flash_write_ && second == 0x00) return kDataFrameSize;
  // A code frame without BLOCK_START (address byte 0x00 plain, 0xFF
  // scrambled): take it whole so that its payload is not read as requests.
  if (second == 0x00 || second == 0xFF) return kCodeFrameSize;
  return kStatusReplySize;
}

Response Board::Receive(std::span<const uint8_t> bytes, TimePoint now) {
  Response out;
  if (bytes.empty() || application_running_) return out;
  if (!rx_.empty() && now - last_rx_ > kFrameGap) {
    rx_.clear();
    ++stats_.dropped_partial;
  }
  last_rx_ = now;
  for (uint8_t byte : bytes) {
    if (rx_.empty() && byte != REQUEST_START) {
      ++stats_.noise_bytes;
      continue;
    }
    rx_.push_back(byte);
    if (rx_.size() < 2 || rx_.size() < FrameLength()) continue;
    std::vector<uint8_t> frame;
    frame.swap(rx_);
    HandleFrame(frame, now, &out);
    if (out.hang_up) break;
  }
  return out;
}

const Fault* Board::MatchFault(FaultSite site, uint8_t command, int bank, uint32_t index) {
  const Fault* hit = nullptr;
  for (size_t k = 0; k < config_.faults.size(); ++k) {
    const Fault& f = config_.faults[k];
    if (f.site != site) continue;
    if (site == FaultSite::kCommand && f.command != command) continue;
    if (site == FaultSite::kCodeBlock && (f.bank != bank || f.index != index)) continue;
    if (site == FaultSite::kDataBlock && f.index != index) continue;
    uint32_t count = ++fault_hits_[k];
    if (hit == nullptr && (f.occurrence == 0 || f.occurrence == count)) hit = &f;
  }
  return hit;
}

void Board::HandleFrame(std::span<const uint8_t> frame, TimePoint now, Response* out) {
  const Fault* fault = nullptr;
  std::vector<uint8_t> reply;
  // With an error= fault the board refuses: the frame is not carried out.
  auto refused = [&] { return fault != nullptr && fault->kind == FaultKind::kError; };

  if (frame.size() == kStatusReplySize) {
    expect_ = Expect::kAny;  // a request ends a pending BLOCK_START
    if (frame[1] != 0x01 || XorCheck(frame.data(), 3) != frame[3]) {
      ++stats_.refused;
      reply = Refuse(ERR_INCORRECT_COMMAND);
    } else {
      ++stats_.requests;
      fault = MatchFault(FaultSite::kCommand, frame[2], 0, 0);
      if (!refused()) reply = HandleRequest(frame[2], now);
      if (!refused() && frame[2] == CMD_REBOOT) {
        application_running_ = config_.after_reboot != AfterReboot::kBootloader;
        out->hang_up = config_.after_reboot == AfterReboot::kHangup;
      }
    }
  } else if (frame.size() == kCodeFrameSize) {
    bool announced = expect_ == Expect::kCodeFrame;
    expect_ = Expect::kAny;
    CodeFrame code;
    std::copy(frame.begin(), frame.end(), code.begin());
    if (VersionCode() >= kScrambleVersionCode) UnscrambleCodeFrame(code);
    uint32_t address = ReadLe32(&code[1]);
    int bank = -1;
    if (address >= kBankAAddress && address - kBankAAddress < kBankSize) bank = 0;
    if (address >= kBankBAddress && address - kBankBAddress < kBankSize) bank = 1;
    uint32_t offset = address - (bank == 1 ? kBankBAddress : kBankAAddress);
    uint32_t index = offset / kCodeBlockSize;
    if (bank >= 0) fault = MatchFault(FaultSite::kCodeBlock, 0, bank, index);
    if (!refused()) {
      bool in_order = block_zero_next_ ? index == 0 : (bank == code_bank_ && index == code_next_);
      if (XorCheck(code.data(), kCodeFrameSize - 1) != code[kCodeFrameSize - 1]) {
        reply = Refuse(ERR_INCORRECT_CRC);
      } else if (!announced || bank < 0 || offset % kCodeBlockSize != 0 || !in_order) {
        reply = Refuse(ERR_INCORRECT_HEADER);
      } else {
        uint8_t* target = banks_[bank].data() + offset;
        if (!std::all_of(target, target + kCodeBlockSize, [](uint8_t b) { return b == 0xFF; })) {
          reply = Refuse(ERR_WRITE_FAILED);  // not erased
        } else {
          std::copy(code.begin() + 5, code.begin() + 5 + kCodeBlockSize, target);
          block_zero_next_ = false;
          code_bank_ = bank;
          code_next_ = index + 1;
          ++stats_.code_blocks[bank];
          reply = Done();
        }
      }
      if (reply[1] == 0xFF) ++stats_.refused;
    }
  } else {  // data frame
    uint32_t offset = ReadLe32(&frame[1]);
    uint32_t index = offset / kDataBlockSize;
    fault = MatchFault(FaultSite::kDataBlock, 0, 0, index);
    if (!refused()) {
      if (XorCheck(frame.data(), kDataFrameSize - 1) != frame[kDataFrameSize - 1]) {
        reply = Refuse(ERR_INCORRECT_CRC);
      } else if (offset != next_data_offset_) {
        reply = Refuse(ERR_INCORRECT_HEADER);
      } else if (offset > data_.size() || data_.size() - offset < kDataBlockSize ||
                 EraseBusy(now) ||
                 !std::all_of(data_.begin() + offset, data_.begin() + offset + kDataBlockSize,
                              [](uint8_t b) { return b == 0xFF; })) {
        reply = Refuse(ERR_WRITE_FAILED);
      } else {
        std::copy(frame.begin() + 5, frame.begin() + 5 + kDataBlockSize, data_.begin() + offset);
        next_data_offset_ = offset + kDataBlockSize;
        data_high_ = std::max<size_t>(data_high_, next_data_offset_);
        ++stats_.data_blocks;
        reply = Done();
      }
      if (reply[1] == 0xFF) ++stats_.refused;
    }
  }

  if (fault != nullptr) {
    ++stats_.faults;
    switch (fault->kind) {
      case FaultKind::kSilent:
        reply.clear();
        break;
      case FaultKind::kShort:
        reply.resize(std::min<size_t>(reply.size(), 2));
        break;
      case FaultKind::kBadStart:
        if (!reply.empty()) reply[0] = REQUEST_START;
        break;
      case FaultKind::kStatus:
        reply = Status(fault->status[0], fault->status[1], fault->status[2]);
        break;
      case FaultKind::kError:
        reply = Refuse(fault->error);
        break;
      case FaultKind::kHangup:
        reply.clear();
        out->hang_up = true;
        break;
    }
  }
  out->bytes.insert(out->bytes.end(), reply.begin(), reply.end());
}

std::vector<uint8_t> Board::HandleRequest(uint8_t command, TimePoint now) {
  switch (command) {
    case CMD_GET_BOOTLOADER_INFO: {
      std::vector<uint8_t> reply = {REPLY_START,   0x03,          CMD_GET_BOOTLOADER_INFO,
                                    config_.major, config_.minor, 0};
      reply[5] = XorCheck(reply.data(), 5);
      return reply;
    }
    case CMD_GET_CHIP_INFO: {
      std::vector<uint8_t> reply(kChipReplySize, 0);
      reply[0] = REPLY_START;
      reply[1] = 32;  // bytes of identification words that follow the code
      reply[2] = CMD_GET_CHIP_INFO;
      WriteLe32(&reply[3], config_.chip_word0);
      WriteLe32(&reply[7], config_.chip_word1);
      for (int k = 0; k < 6; ++k) WriteLe32(&reply[11 + 4 * k], kChipExtraWords[k]);
      reply[35] = XorCheck(reply.data(), 35);
      return reply;
    }
    case CMD_ERASE_CODE:
      std::fill(banks_[0].begin(), banks_[0].end(), 0xFF);
      std::fill(banks_[1].begin(), banks_[1].end(), 0xFF);
      block_zero_next_ = false;
      code_bank_ = -1;
      code_next_ = 0;
      return Done();
    case CMD_PREPARE:
      block_zero_next_ = true;
      return Done();
    case CMD_BLOCK_START:
      expect_ = Expect::kCodeFrame;
      return Done();
    case CMD_ERASE_FLASH:
      std::fill(data_.begin(), data_.end(), 0xFF);
      data_high_ = 0;
      erasing_ = true;
      erase_done_ = now + config_.erase_duration;
      flash_write_ = false;
      return Done();
    case CMD_POLL_STATUS:
      return EraseBusy(now) ? Busy() : Done();
    case CMD_ENTER_FLASH_WRITE:
      // Writing into a flash that is still erasing would fail block by
      // block; say "not done" at once instead.
      if (EraseBusy(now)) return Busy();
      flash_write_ = true;
      next_data_offset_ = 0;
      return Done();
    case CMD_REBOOT:
      Reset();
      return Done();
    default:
      ++stats_.refused;
      return Refuse(ERR_INCORRECT_COMMAND);
  }
}

std::string Board::Summary() const {
  char line[256];
  std::snprintf(line, sizeof line,
                "bank A %u blocks, bank B %u blocks, data %u blocks; %u requests, %u refused, "
                "%u faults, %u partial frames dropped",
                stats_.code_blocks[0], stats_.code_blocks[1], stats_.data_blocks, stats_.requests,
                stats_.refused, stats_.faults, stats_.dropped_partial);
  return line;
}

}  // namespace quelmar::sim
