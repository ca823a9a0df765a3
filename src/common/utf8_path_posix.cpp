// POSIX: a name's bytes are what the system takes, UTF-8 or not.
#include "common/utf8_path.h"

namespace quelmar {

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::string(utf8));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  return path.native();
}

std::FILE* OpenFile(const std::string& utf8, const char* mode) {
  return std::fopen(utf8.c_str(), mode);
}

}  // namespace quelmar
