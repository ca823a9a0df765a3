#include <algorithm>
#include <chrono>
#include <cstring>

#include "update/exchange.h"
#include "update/update.h"

namespace quelmar::update {

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint32_t kWaitScale = 1000;
constexpr uint32_t kCompletedRepliesNeeded = 6;
constexpr milliseconds kPollInterval{100};
// An erase that reports done this early is not trusted: the wait is then
// stretched to the full minimum.
constexpr seconds kTrustedEraseTime{25};
constexpr seconds kMinimumEraseTime{60};
// What the board holds in an erased cell; pads a last block that the image
// does not fill.
constexpr uint8_t kErasedByte = 0xFF;

// One step on the 1000-step waiting scale, which restarts when full.
void StepWait(Progress& progress, uint32_t& steps) {
  progress.StepProgress();
  if (++steps == kWaitScale) {
    progress.ResetProgress();
    progress.SetProgressMaximum(kWaitScale);
    steps = 0;
  }
}

enum class WaitResult { kDone, kFailed, kAborted };

WaitResult WaitForErase(UpdateContext& context) {
  link::Link& link = context.link;
  Log& log = context.log;
  Progress& progress = context.progress;
  Clock& clock = context.clock;

  progress.ResetProgress();
  progress.SetProgressMaximum(kWaitScale);
  progress.SetProgressCaption("Waiting...");
  uint32_t completed = 0;
  uint32_t steps = 0;
  // Elapsed time comes from the monotonic clock: a calendar count wraps at
  // a month's end and would then skip the minimum wait below.
  const Clock::TimePoint start = clock.Now();
  log.AppendLog(kSeverityNormal, "Waiting complete erase FLASH... ");

  {
    // Raised for exactly the polls, the span in which AbortFlag is heeded.
    struct Polling {
      std::atomic<uint32_t>& flag;
      explicit Polling(std::atomic<uint32_t>& f) : flag(f) { flag.store(1); }
      ~Polling() { flag.store(0); }
    } polling(context.flags.EraseWaitFlag);
    for (;;) {
      clock.Sleep(kPollInterval);
      const detail::ExchangeResult result =
          detail::ExchangeCommand(link, log, link::CMD_POLL_STATUS, detail::kSizeMessages);
      if (result == detail::ExchangeResult::kFailed) return WaitResult::kFailed;
      if (result == detail::ExchangeResult::kCompleted) {
        // Busy replies in between do not restart the count.
        if (++completed == kCompletedRepliesNeeded) break;
      } else {
        StepWait(progress, steps);
      }
      if (context.flags.AbortFlag.load() != 0) return WaitResult::kAborted;
    }
  }
  log.AppendLog(kSeverityNormal, "OK.\n");

  if (clock.Now() - start < kTrustedEraseTime) {
    log.AppendLog(kSeverityError, "Failed wait BUSY flag... additional waiting.... ");
    Clock::Duration elapsed{};
    do {
      clock.Sleep(kPollInterval);
      elapsed = clock.Now() - start;
      StepWait(progress, steps);
    } while (elapsed < kMinimumEraseTime);
    log.AppendLog(kSeverityError, "OK.\n");
  }
  return WaitResult::kDone;
}

// Blocks of 512 bytes from offset 0, each purged with mask 12 and sent as one
// 518-byte frame. A last block the image only partly fills is padded with
// erased bytes so that no image byte is left unsent.
bool WriteBlocks(UpdateContext& context) {
  link::Link& link = context.link;
  const image::Image& image = context.images.DataImage();
  const detail::DecodeTable decode = detail::MakeDataDecodeTable(context.images);
  const uint8_t* source = image.data();
  const uint32_t length = image.length();
  const uint32_t blocks =
      length / link::kDataBlockSize + (length % link::kDataBlockSize != 0 ? 1 : 0);

  context.progress.ResetProgress();
  // The last block's step carries the position past the maximum, back to 0.
  context.progress.SetProgressMaximum(blocks > 0 ? blocks - 1 : 0);

  link::DataFrame frame{};
  uint8_t reply[link::kStatusReplySize];
  for (uint32_t i = 0; i < blocks; ++i) {
    const uint32_t offset = i * link::kDataBlockSize;
    const uint32_t filled = std::min(link::kDataBlockSize, length - offset);
    const uint8_t* block = source + offset;
    for (uint32_t j = 0; j < filled; ++j) frame[5 + j] = decode[block[j]];
    if (filled < link::kDataBlockSize) {
      std::memset(&frame[5 + filled], kErasedByte, link::kDataBlockSize - filled);
    }
    link::SealDataFrame(frame, offset);

    link.Purge(link::kPurgeClear);
    uint32_t count = 0;
    if (!link.WriteFrame(frame.data(), link::kDataFrameSize, &count)) {
      context.log.AppendLog(kSeverityError, "\nFailed send request. i = %i\n", static_cast<int>(i));
      link.NoteFailure(link::FailureCause::kLine);
      return false;
    }
    if (context.sent != nullptr)
      context.sent->DataBlockSent(offset, &frame[5], link::kDataBlockSize);
    count = link.ReadReply(reply, link::kStatusReplySize);
    if (!detail::JudgeBlockReply(link, context.log, reply, count, i,
                                 "\nError write to FLASH. i = %i\n")) {
      return false;
    }
    context.progress.StepProgress();
  }
  return true;
}

UpdateOutcome WriteData(UpdateContext& context) {
  link::Link& link = context.link;
  Log& log = context.log;
  Progress& progress = context.progress;
  Clock& clock = context.clock;

  progress.ResetProgress();
  progress.SetProgressCaption();

  log.AppendLog(kSeverityNormal, "Start erase FLASH... ");
  if (!detail::RunCommand(link, log, link::CMD_ERASE_FLASH, detail::kSizeMessages)) {
    return UpdateOutcome::kFailure;
  }
  log.AppendLog(kSeverityNormal, "OK.\n");
  clock.Sleep(milliseconds(300));

  if (!detail::RunCommand(link, log, link::CMD_PREPARE, detail::kSizeMessages)) {
    return UpdateOutcome::kFailure;
  }
  clock.Sleep(milliseconds(300));

  switch (WaitForErase(context)) {
    case WaitResult::kDone:
      break;
    case WaitResult::kFailed:
      return UpdateOutcome::kFailure;
    case WaitResult::kAborted:
      return UpdateOutcome::kAborted;
  }

  clock.Sleep(milliseconds(100));
  log.AppendLog(kSeverityNormal, "Goto write FLASH mode... ");
  progress.ResetProgress();
  progress.SetProgressCaption();
  if (!detail::RunCommand(link, log, link::CMD_ENTER_FLASH_WRITE, detail::kWriteReadMessages)) {
    return UpdateOutcome::kFailure;
  }
  log.AppendLog(kSeverityNormal, "OK.\n");
  clock.Sleep(milliseconds(100));

  log.AppendLog(kSeverityNormal, "Write to FLASH... ");
  if (!WriteBlocks(context)) return UpdateOutcome::kFailure;
  log.AppendLog(kSeverityNormal, "OK.\n");
  progress.ResetProgress();
  return UpdateOutcome::kSuccess;
}

}  // namespace

UpdateOutcome RunDataFlashUpdate(UpdateContext& context) {
  context.flags.AbortFlag.store(0);
  if (context.link.PortHandle() == nullptr) {
    return detail::Finish(context, UpdateOutcome::kFailure);
  }
  return detail::Finish(context, WriteData(context));
}

}  // namespace quelmar::update
