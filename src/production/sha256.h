// SHA-256 through the platform's own crypto library (OpenSSL's libcrypto on
// Linux, CNG on Windows): a record's hashes must be right, not home-made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quelmar::production {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* bytes, size_t size);
  // The digest as 64 lowercase hex digits; the hash then starts afresh.
  std::string FinishHex();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

std::string Sha256Hex(const void* bytes, size_t size);
// The file's hash; false with *error set when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string* hex, std::string* error);

}  // namespace quelmar::production
