#include "common/error_text.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>

#include "common/utf8_path.h"
#endif

namespace quelmar {

std::string ErrorText(int error_number) {
  char buffer[256] = {};
#if defined(_WIN32)
  if (strerror_s(buffer, sizeof buffer, error_number) == 0) return buffer;
#elif defined(__GLIBC__) && defined(_GNU_SOURCE)
  // The GNU variant returns the text, in buffer or in a constant string.
  return ::strerror_r(error_number, buffer, sizeof buffer);
#else
  if (::strerror_r(error_number, buffer, sizeof buffer) == 0) return buffer;
#endif
  return "error " + std::to_string(error_number);
}

#ifdef _WIN32
std::string Win32ErrorText(unsigned long error) {
  // The wide call: the text may be in the system's language, which the
  // ANSI code page cannot always hold.
  wchar_t text[512] = {};
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text / sizeof text[0], nullptr);
  while (n > 0 && (text[n - 1] == L'\n' || text[n - 1] == L'\r' || text[n - 1] == L'.' ||
                   text[n - 1] == L' '))
    --n;
  if (n == 0) return "error " + std::to_string(error);
  return Utf8FromWide(std::wstring_view(text, n));
}
#endif

}  // namespace quelmar
