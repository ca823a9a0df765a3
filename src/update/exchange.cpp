#include "update/exchange.h"

#include "common/controls.h"

namespace quelmar::update::detail {

namespace {

constexpr const char* kInvalidFormat = "\nInvalid response format.\n";

}  // namespace

ExchangeResult ExchangeCommand(link::Link& link, Log& log, uint8_t command,
                               const ExchangeMessages& messages) {
  uint32_t count = 0;
  if (!link.SendRequest(command, &count)) {
    // A failed write that nonetheless sent all four bytes is reported as a
    // format fault rather than a size fault.
    if (count == link::kStatusReplySize) {
      log.AppendLog(kSeverityError, "%s", kInvalidFormat);
    } else {
      log.AppendLog(kSeverityError, messages.write_failure, static_cast<int>(count));
    }
    link.NoteFailure(link::FailureCause::kLine);
    return ExchangeResult::kFailed;
  }
  uint8_t reply[link::kStatusReplySize] = {};
  count = link.ReadReply(reply, link::kStatusReplySize);
  if (count != link::kStatusReplySize || reply[0] != link::REPLY_START) {
    log.AppendLog(kSeverityError, messages.bad_reply, static_cast<int>(count));
    link.NoteFailure(link::FailureCause::kLine);
    return ExchangeResult::kFailed;
  }
  return link::IsStatusDone(reply[1], reply[2]) ? ExchangeResult::kCompleted
                                                : ExchangeResult::kNotCompleted;
}

bool RunCommand(link::Link& link, Log& log, uint8_t command, const ExchangeMessages& messages) {
  switch (ExchangeCommand(link, log, command, messages)) {
    case ExchangeResult::kCompleted:
      return true;
    case ExchangeResult::kNotCompleted:
      log.AppendLog(kSeverityError, "\nCommand not completed !!!\n");
      link.NoteFailure(link::FailureCause::kLine);
      return false;
    case ExchangeResult::kFailed:
      break;
  }
  return false;
}

bool JudgeBlockReply(link::Link& link, Log& log, const uint8_t* reply, uint32_t count, uint32_t i,
                     const char* write_failed_format) {
  const int index = static_cast<int>(i);
  // A block lost, garbled or refused for its header or check byte was
  // spoiled on the way; one the flash did not take, or a refusal of a kind
  // unknown, is the board's.
  auto failed = [&](link::FailureCause cause) {
    link.NoteFailure(cause);
    return false;
  };
  if (count != link::kStatusReplySize) {
    log.AppendLog(kSeverityError, "\nIncorrect received data size. i = %i, lpSize = %i\n", index,
                  static_cast<int>(count));
    return failed(link::FailureCause::kLine);
  }
  if (reply[0] != link::REPLY_START) {
    log.AppendLog(kSeverityError, "%s", kInvalidFormat);
    return failed(link::FailureCause::kLine);
  }
  if (link::IsStatusDone(reply[1], reply[2])) return true;
  if (!link::IsStatusError(reply[1], reply[2])) {
    log.AppendLog(kSeverityError, "%s", kInvalidFormat);
    return failed(link::FailureCause::kLine);
  }
  switch (reply[3]) {
    case link::ERR_INCORRECT_HEADER:
      log.AppendLog(kSeverityError, "\nIncorrect header. i = %i\n", index);
      return failed(link::FailureCause::kLine);
    case link::ERR_INCORRECT_CRC:
      log.AppendLog(kSeverityError, "\nIncorrect CRC. i = %i\n", index);
      return failed(link::FailureCause::kLine);
    case link::ERR_WRITE_FAILED:
      log.AppendLog(kSeverityError, write_failed_format, index);
      return failed(link::FailureCause::kBoard);
    default:
      log.AppendLog(kSeverityError, "\nUnknown error. i = %i  Err: %02X\n", index,
                    static_cast<unsigned>(reply[3]));
      return failed(link::FailureCause::kBoard);
  }
}

DecodeTable MakeCodeDecodeTable(const image::ImageStore& images) {
  DecodeTable table{};
  for (unsigned s = 0; s < table.size(); ++s)
    table[s] = images.DecodeCodeByte(static_cast<uint8_t>(s));
  return table;
}

DecodeTable MakeDataDecodeTable(const image::ImageStore& images) {
  DecodeTable table{};
  for (unsigned s = 0; s < table.size(); ++s)
    table[s] = images.DecodeDataByte(static_cast<uint8_t>(s));
  return table;
}

UpdateOutcome Finish(UpdateContext& context, UpdateOutcome outcome) {
  // The flags go first: a front end that sees the controls unlocked may act
  // on a click at once, and must then find itself idle.
  context.flags.AbortFlag.store(0);
  context.flags.BusyFlag.store(0);
  UnlockControls(context.ui, context.images.HasCodeImage(), context.images.DataImage().present());
  return outcome;
}

}  // namespace quelmar::update::detail
