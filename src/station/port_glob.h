// Port globs of a station's profile ("/dev/ttyUSB*", "COM*", "COM1?").
#pragma once

#include <string>
#include <string_view>

namespace quelmar::station {

// Whether text is a glob (holds '*' or '?').
bool IsGlob(std::string_view text);
// Whether name matches the glob ('*' any run of characters, '?' one).
bool GlobMatch(std::string_view glob, std::string_view name);

}  // namespace quelmar::station
