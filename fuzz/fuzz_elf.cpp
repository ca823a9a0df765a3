// Feeds arbitrary bytes to the ELF reader and on through the image store.
#include <cstddef>
#include <cstdint>

#include "fuzz_checks.h"

using namespace quelmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::CheckBuildOutput(data, size, image::FileFormat::kElf);
  return 0;
}
