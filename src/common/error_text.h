// The system's text for an errno value, safe to call from any thread
// (strerror may share one buffer between its callers).
#pragma once

#include <string>

namespace quelmar {

std::string ErrorText(int error_number);

}  // namespace quelmar
