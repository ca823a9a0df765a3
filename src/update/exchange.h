// What the two update procedures share: the judgement of a 4-byte command
// exchange, the judgement of a block reply, the decode table and the ending.
#pragma once

#include <array>
#include <cstdint>

#include "update/update.h"

namespace quelmar::update::detail {

// The two size messages a command exchange can log; which pair a command
// uses depends on the command and, for the code update, on the bank.
struct ExchangeMessages {
  const char* write_failure;  // %i: count the write reported
  const char* bad_reply;      // %i: count the last read delivered
};

inline constexpr ExchangeMessages kSizeMessages{
    "\nIncorrect received data size. lpSize = %i\n",
    "\nIncorrect received data size. lpSize = %i\n",
};
inline constexpr ExchangeMessages kWriteReadMessages{
    "\nIncorrect received data size. Write. lpSize = %i\n",
    "\nIncorrect received data size. Read. lpSize = %i\n",
};

enum class ExchangeResult {
  kCompleted,     // STATUS_DONE
  kNotCompleted,  // a well-formed status reply with any other status; nothing logged
  kFailed,        // write failure or bad reply; the message has been logged
};

// Purge 15, the request, a 4-byte read, judged in that order. Logs only a
// write failure or a bad reply (a failure of the line, noted on the link).
ExchangeResult ExchangeCommand(link::Link& link, Log& log, uint8_t command,
                               const ExchangeMessages& messages);

// A command that must complete: logs "Command not completed !!!" when the
// reply is well formed but not STATUS_DONE. True when it completed. A
// command not completed is the line's failure too: a request garbled on
// the way is refused so, and a busy bootloader answers so.
bool RunCommand(link::Link& link, Log& log, uint8_t command, const ExchangeMessages& messages);

// Judges the reply to block i. True when accepted; otherwise the one
// failure message has been logged. write_failed_format carries one %i.
// Every failure notes its cause on the link.
bool JudgeBlockReply(link::Link& link, Log& log, const uint8_t* reply, uint32_t count, uint32_t i,
                     const char* write_failed_format);

// Stored byte -> board byte for all 256 values, built once per run so the
// block loops do a plain lookup.
using DecodeTable = std::array<uint8_t, 256>;
DecodeTable MakeCodeDecodeTable(const image::ImageStore& images);
DecodeTable MakeDataDecodeTable(const image::ImageStore& images);

// The ending of every run: UnlockControls, then AbortFlag and BusyFlag
// cleared. Passes the outcome through.
UpdateOutcome Finish(UpdateContext& context, UpdateOutcome outcome);

}  // namespace quelmar::update::detail
