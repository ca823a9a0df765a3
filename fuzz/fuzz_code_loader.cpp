// Feeds arbitrary bytes to the code image loader (the same parsing code the
// file loader runs) and checks what a load may leave behind.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.h"
#include "image/image_store.h"

using namespace quelmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::KeepingSink sink;
  Log log(&sink);
  image::ImageStore store(log);
  const bool ok = store.LoadCodeImageFromMemory(data, size);

  fuzz::Check(sink.lines.size() == 1, "exactly one log line per load");
  const auto& line = sink.lines.front();
  if (ok) {
    fuzz::Check(store.HasCodeImage()
                    ? line.text == "Loading CODE completed !\n" && line.severity == 0
                    : line.text == "Loading CODE failed... !!!\n" && line.severity == 1,
                "the closing line matches the images");
  } else {
    fuzz::Check(!store.HasCodeImage(), "a failed load leaves no code image");
    fuzz::Check(line.severity == 1, "failures are errors");
  }
  for (const image::Image* img : {&store.CodeImage(), &store.ExtendedCodeImage()}) {
    if (img->present()) {
      fuzz::Check(img->length() == image::CODE_IMAGE_SIZE, "a code image is 512 KiB long");
    } else {
      fuzz::Check(img->length() == 0, "an absent image has length 0");
    }
  }
  if (store.CodeImage().present()) {
    fuzz::Check(store.LastSectionA().verified(), "section A verified");
    // Past the stored bytes the buffer must be zero (erased once decoded).
    const uint32_t n = store.LastSectionA().length_field;
    for (uint32_t i = n + 1; i < image::CODE_IMAGE_SIZE; i += 4093)
      fuzz::Check(store.CodeImage().data()[i] == 0, "zero tail");
  }
  if (store.ExtendedCodeImage().present())
    fuzz::Check(store.LastSectionB().verified(), "section B verified");
  return 0;
}
