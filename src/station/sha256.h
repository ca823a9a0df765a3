// SHA-256, to name the images a station writes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace quelmar::station {

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t n);
  std::array<uint8_t, 32> Finish();

 private:
  void Block(const uint8_t* p);
  std::array<uint32_t, 8> h_;
  std::array<uint8_t, 64> buffer_{};
  size_t used_ = 0;
  uint64_t length_ = 0;
};

// Lowercase hex of the whole file's SHA-256; false when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string* hex);
std::string HexOf(const std::array<uint8_t, 32>& digest);

}  // namespace quelmar::station
