#include <cstdio>
#include <vector>

#include "common/utf8_path.h"
#include "production/sha256.h"

namespace quelmar::production {

std::string Sha256Hex(const void* bytes, size_t size) {
  Sha256 hash;
  hash.Update(bytes, size);
  return hash.FinishHex();
}

bool Sha256OfFile(const std::string& path, std::string* hex, std::string* error) {
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  Sha256 hash;
  std::vector<unsigned char> buffer(1 << 16);
  size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) hash.Update(buffer.data(), n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    *error = "cannot read '" + path + "'";
    return false;
  }
  *hex = hash.FinishHex();
  return true;
}

}  // namespace quelmar::production
