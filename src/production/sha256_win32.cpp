// CNG's BCrypt: part of every Windows since Vista, nothing to ship.
#include <windows.h>
// After <windows.h>, which it needs.
#include <bcrypt.h>

#include <cstdlib>

#include "production/sha256.h"

namespace quelmar::production {

struct Sha256::Impl {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Impl() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  void Start() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    hash = nullptr;
    // Only a broken system fails here, and nothing sensible can follow it.
    if (algorithm == nullptr &&
        BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0)
      std::abort();
    if (BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) < 0) std::abort();
  }
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->Start();
}
Sha256::~Sha256() = default;

void Sha256::Update(const void* bytes, size_t size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    const ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
    BCryptHashData(impl_->hash, const_cast<PUCHAR>(p), chunk, 0);
    p += chunk;
    size -= chunk;
  }
}

std::string Sha256::FinishHex() {
  unsigned char digest[32];
  BCryptFinishHash(impl_->hash, digest, sizeof digest, 0);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  impl_->Start();
  return text;
}

}  // namespace quelmar::production
