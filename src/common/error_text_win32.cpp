// Windows: the C runtime's text for an errno value, the system's for a
// Win32 error code.
#include "common/error_text.h"

#include <windows.h>

#include <cstring>

#include "common/utf8_path.h"

namespace quelmar {

std::string ErrorText(int error_number) {
  char buffer[256] = {};
  if (strerror_s(buffer, sizeof buffer, error_number) == 0) return buffer;
  return "error " + std::to_string(error_number);
}

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

}  // namespace quelmar
