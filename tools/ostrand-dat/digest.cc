#include "digest.h"

#include <openssl/evp.h>

#include <new>

namespace ostrand_dat::tool {

struct Sha256::Context {
  EVP_MD_CTX* md = nullptr;
  ~Context() { EVP_MD_CTX_free(md); }
};

// libcrypto fails only when it cannot allocate: as anywhere else in the
// tool, that is bad_alloc.
Sha256::Sha256() : context_(std::make_unique<Context>()) {
  context_->md = EVP_MD_CTX_new();
  if (context_->md == nullptr ||
      EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::byte> bytes) {
  if (!bytes.empty()) {
    EVP_DigestUpdate(context_->md, bytes.data(), bytes.size());
  }
}

std::string Sha256::hex_digest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_->md, digest, &length);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 0xF];
  }
  return out;
}

}  // namespace ostrand_dat::tool
