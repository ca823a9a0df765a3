#include <openssl/evp.h>

#include <cstdlib>

#include "production/sha256.h"

namespace quelmar::production {

struct Sha256::Impl {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~Impl() { EVP_MD_CTX_free(context); }
  void Start() {
    // Only out of memory fails here, and nothing sensible can follow it.
    if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) std::abort();
  }
};

Sha256::Sha256() : impl_(std::make_unique<Impl>()) {
  impl_->Start();
}
Sha256::~Sha256() = default;

void Sha256::Update(const void* bytes, size_t size) {
  if (size > 0) EVP_DigestUpdate(impl_->context, bytes, size);
}

std::string Sha256::FinishHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(impl_->context, digest, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  impl_->Start();
  return text;
}

}  // namespace quelmar::production
