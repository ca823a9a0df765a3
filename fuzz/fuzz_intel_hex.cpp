// Feeds arbitrary text to the Intel HEX reader of the packer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "image/intel_hex.h"

using namespace quelmar;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  image::CodeBanks banks;
  std::string error;
  const bool ok = image::ParseIntelHex(std::string_view(reinterpret_cast<const char*>(data), size),
                                       &banks, &error);
  if (ok) {
    fuzz::Check(banks.bank_a.size() <= image::kBankSize && banks.bank_b.size() <= image::kBankSize,
                "banks fit the flash");
  } else {
    fuzz::Check(error.rfind("line ", 0) == 0, "errors name the line");
  }
  return 0;
}
