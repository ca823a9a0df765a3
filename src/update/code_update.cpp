#include <algorithm>
#include <array>
#include <chrono>

#include "update/exchange.h"
#include "update/update.h"

namespace quelmar::update {

namespace {

using detail::DecodeTable;
using detail::ExchangeMessages;

struct Bank {
  const image::Image& image;
  uint32_t base_address;
  // Bank A's prepare and block-start failures name the direction; bank B's
  // do not.
  const ExchangeMessages& messages;
};

// n blocks of 256 bytes, each announced by CMD_BLOCK_START and sent as one
// 262-byte frame. Strict stop-and-wait; StepProgress per accepted block.
bool WriteBank(UpdateContext& context, const Bank& bank, const DecodeTable& decode, bool scramble,
               link::CodeFrame& frame) {
  link::Link& link = context.link;
  const uint8_t* source = bank.image.data();
  const uint32_t blocks = bank.image.length() / link::kCodeBlockSize;
  uint8_t reply[link::kStatusReplySize];
  for (uint32_t i = 0; i < blocks; ++i) {
    if (!detail::RunCommand(link, context.log, link::CMD_BLOCK_START, bank.messages)) return false;

    const uint8_t* block = source + static_cast<size_t>(i) * link::kCodeBlockSize;
    for (uint32_t j = 0; j < link::kCodeBlockSize; ++j) frame[5 + j] = decode[block[j]];
    const uint32_t address = bank.base_address + i * link::kCodeBlockSize;
    link::SealCodeFrame(frame, address);
    // Scrambling changes the payload in place: an observer gets it as it was.
    std::array<uint8_t, link::kCodeBlockSize> payload;
    if (context.sent != nullptr) std::copy_n(&frame[5], payload.size(), payload.begin());
    if (scramble) link::ScrambleCodeFrame(frame);

    uint32_t count = 0;
    if (!link.WriteFrame(frame.data(), link::kCodeFrameSize, &count)) {
      context.log.AppendLog(kSeverityError, "\nFailed send request. i = %i\n", static_cast<int>(i));
      link.NoteFailure(link::FailureCause::kLine);
      return false;
    }
    if (context.sent != nullptr)
      context.sent->CodeBlockSent(address, payload.data(), link::kCodeBlockSize);
    count = link.ReadReply(reply, link::kStatusReplySize);
    if (!detail::JudgeBlockReply(link, context.log, reply, count, i,
                                 "\nFailed write CODE. i = %i\n")) {
      return false;
    }
    context.progress.StepProgress();
  }
  return true;
}

void StartBankProgress(Progress& progress, const image::Image& image) {
  const uint32_t blocks = image.length() / link::kCodeBlockSize;
  progress.ResetProgress();
  // The last block's step carries the position past the maximum, back to 0.
  progress.SetProgressMaximum(blocks > 0 ? blocks - 1 : 0);
}

bool WriteCode(UpdateContext& context) {
  using std::chrono::milliseconds;
  link::Link& link = context.link;
  Log& log = context.log;
  Progress& progress = context.progress;
  const image::ImageStore& images = context.images;

  progress.ResetProgress();
  progress.SetProgressCaption();

  log.AppendLog(kSeverityNormal, "Erase CODE... ");
  if (!detail::RunCommand(link, log, link::CMD_ERASE_CODE, detail::kSizeMessages)) return false;
  log.AppendLog(kSeverityNormal, "OK.\n");
  context.clock.Sleep(milliseconds(200));

  // Built once per run: the block loops neither allocate nor decode twice.
  const DecodeTable decode = detail::MakeCodeDecodeTable(images);
  const bool scramble = link.BootloaderVersionCode() >= link::kScrambleVersionCode;
  link::CodeFrame frame{};

  const image::Image& bank_a = images.CodeImage();
  if (bank_a.present()) {
    if (!detail::RunCommand(link, log, link::CMD_PREPARE, detail::kWriteReadMessages)) {
      return false;
    }
    log.AppendLog(kSeverityNormal, "Write CODE... ");
    StartBankProgress(progress, bank_a);
    const Bank bank{bank_a, link::kBankAAddress, detail::kWriteReadMessages};
    if (!WriteBank(context, bank, decode, scramble, frame)) return false;
    log.AppendLog(kSeverityNormal, "OK.\n");
  }

  const image::Image& bank_b = images.ExtendedCodeImage();
  if (!bank_b.present()) {
    progress.ResetProgress();
    return true;
  }
  context.clock.Sleep(milliseconds(10));
  if (!detail::RunCommand(link, log, link::CMD_PREPARE, detail::kSizeMessages)) return false;
  log.AppendLog(kSeverityNormal, "Write extended CODE... ");
  StartBankProgress(progress, bank_b);
  const Bank bank{bank_b, link::kBankBAddress, detail::kSizeMessages};
  if (!WriteBank(context, bank, decode, scramble, frame)) return false;
  log.AppendLog(kSeverityNormal, "OK.\n");
  progress.ResetProgress();
  return true;
}

}  // namespace

UpdateOutcome RunCodeUpdate(UpdateContext& context) {
  // AbortFlag means nothing to a code update; it is only cleared here and
  // at the end.
  context.flags.AbortFlag.store(0);
  if (context.link.PortHandle() == nullptr) {
    return detail::Finish(context, UpdateOutcome::kFailure);
  }
  const bool ok = WriteCode(context);
  return detail::Finish(context, ok ? UpdateOutcome::kSuccess : UpdateOutcome::kFailure);
}

}  // namespace quelmar::update
