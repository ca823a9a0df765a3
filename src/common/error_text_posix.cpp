// POSIX: the C library's text for an errno value.
#include "common/error_text.h"

#include <cstring>

namespace quelmar {

std::string ErrorText(int error_number) {
  char buffer[256] = {};
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  // The GNU variant returns the text, in buffer or in a constant string.
  return ::strerror_r(error_number, buffer, sizeof buffer);
#else
  if (::strerror_r(error_number, buffer, sizeof buffer) == 0) return buffer;
  return "error " + std::to_string(error_number);
#endif
}

}  // namespace quelmar
