// SHA-256 through the platform's own crypto library (OpenSSL's libcrypto on
// Linux, CNG on Windows): a record's hashes must be right, not home-made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image/file_digest.h"

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

// The SHA-256 of an image file as an ImageStore loads it, for the records.
class Sha256FileDigest final : public image::FileDigest {
 public:
  void Update(const uint8_t* bytes, size_t size) override { hash_.Update(bytes, size); }
  std::string Finish() override { return hash_.FinishHex(); }

 private:
  Sha256 hash_;
};

std::string Sha256Hex(const void* bytes, size_t size);
// The file's hash; false with *error set when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string* hex, std::string* error);

}  // namespace quelmar::production
