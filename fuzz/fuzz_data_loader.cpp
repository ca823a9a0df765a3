// Feeds arbitrary bytes to the data image loader (the same parsing code the
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
  const bool ok = store.LoadDataImageFromMemory(data, size);

  fuzz::Check(sink.lines.size() == 1, "exactly one log line per load");
  const auto& line = sink.lines.front();
  const image::Image& img = store.DataImage();
  fuzz::Check(ok == img.present(), "success exactly when the image is present");
  if (ok) {
    fuzz::Check(line.severity == 0 && line.text == "Loading FLASH completed !\n", "closing line");
    fuzz::Check(img.length() != 0 && img.length() % 256 == 0, "length a multiple of 256");
    fuzz::Check(img.length() == store.LastDataSection().length_field, "length from the field");
    fuzz::Check(size >= 14 + size_t{img.length()}, "no more bytes than the input holds");
    uint32_t sum = 0;
    for (uint32_t i = 0; i < img.length(); ++i) sum += store.DecodeDataByte(img.data()[i]);
    fuzz::Check(sum == store.LastDataSection().checksum, "checksum holds");
  } else {
    fuzz::Check(line.severity == 1, "failures are errors");
    fuzz::Check(img.length() == 0, "an absent image has length 0");
  }
  return 0;
}
