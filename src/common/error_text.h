// The system's text for an errno value, safe to call from any thread
// (strerror may share one buffer between its callers), and on Windows for
// a Win32 error code.
#pragma once

#include <string>

namespace quelmar {

std::string ErrorText(int error_number);

#ifdef _WIN32
// The text for a GetLastError or WSAGetLastError code, in UTF-8, without
// the line end and full stop the system puts after it; "error N" when the
// system has no text for it.
std::string Win32ErrorText(unsigned long error);
#endif

}  // namespace quelmar
