// File names are UTF-8 text throughout the program: the command line's
// (read as UTF-8 on Windows too), a profile's, a file chooser's. These are
// the one place where such a name becomes what the system's calls take, so
// that one name typed on the command line and written in a profile leads
// to one file. On Linux the bytes go through as they are.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace quelmar {

std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

// std::fopen for a UTF-8 name; errno is set on failure as fopen sets it.
std::FILE* OpenFile(const std::string& utf8, const char* mode);

#ifdef _WIN32
// Invalid UTF-8 becomes U+FFFD (and so names no file that was meant).
std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);
// The program's arguments as UTF-8, taken from the wide command line:
// main's argv holds them in the ANSI code page, which cannot hold every
// name. Empty when the system does not give them.
std::vector<std::string> Utf8Arguments();
#endif

}  // namespace quelmar
