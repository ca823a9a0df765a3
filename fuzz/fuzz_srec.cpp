// Feeds arbitrary text to the S-record reader and on through the image store.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_checks.h"

using namespace quelmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string error = fuzz::CheckBuildOutput(data, size, image::FileFormat::kSrec);
  fuzz::Check(error.empty() || error == "no data" || error.rfind("line ", 0) == 0,
              "errors name the line");
  return 0;
}
