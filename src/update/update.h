// The two update procedures. Each runs on the port worker to its end and
// always finishes with UnlockControls and both flags cleared.
#pragma once

#include "common/clock.h"
#include "common/flags.h"
#include "common/log.h"
#include "common/progress.h"
#include "image/image_store.h"
#include "link/link.h"

namespace quelmar::update {

enum class UpdateOutcome {
  kSuccess,
  kFailure,  // a failure was logged, or no port was open
  kAborted,  // AbortFlag ended the data flash erase wait
};

// Sees each block's payload, the bytes the board is to store (before any
// scrambling of the frame), once its frame has gone out. Production records
// hash what was really sent through it.
class SentBlocks {
 public:
  virtual ~SentBlocks() = default;
  virtual void CodeBlockSent(uint32_t address, const uint8_t* bytes, uint32_t size) = 0;
  virtual void DataBlockSent(uint32_t offset, const uint8_t* bytes, uint32_t size) = 0;
};

struct UpdateContext {
  link::Link& link;
  const image::ImageStore& images;
  Progress& progress;
  Log& log;
  Clock& clock;
  UpdateFlags& flags;
  UiSink& ui;
  SentBlocks* sent = nullptr;  // optional
};

// Erases the code flash and writes CodeImage to bank A and
// ExtendedCodeImage to bank B. AbortFlag does not stop it. Without an open
// port it only does its ending and returns kFailure.
UpdateOutcome RunCodeUpdate(UpdateContext& context);
// Erases the data flash, waits for the erase (at least 60 s from the start
// of the wait when the board reports done within 25 s, measured on
// context.clock) and writes DataImage in 512-byte blocks; a last block the
// image fills only partly is padded with erased bytes (0xFF). AbortFlag ends
// the erase wait silently with kAborted.
UpdateOutcome RunDataFlashUpdate(UpdateContext& context);

}  // namespace quelmar::update
