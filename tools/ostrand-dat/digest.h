// SHA-256 of entries' contents, through OpenSSL's libcrypto: sum prints it,
// verify --manifest compares it. The tool's dependency, never the library's.
#ifndef OSTRAND_DAT_TOOL_DIGEST_H_
#define OSTRAND_DAT_TOOL_DIGEST_H_

#include <cstddef>
#include <memory>
#include <span>
#include <string>

namespace ostrand_dat::tool {

// One running SHA-256. Move-only; one thread at a time.
class Sha256 {
 public:
  Sha256();
  Sha256(Sha256&&) noexcept = default;
  Sha256& operator=(Sha256&&) noexcept = default;
  ~Sha256();

  void update(std::span<const std::byte> bytes);
  // The 64 lower-case hex digits of the digest of everything updated.
  std::string hex_digest();

 private:
  struct Context;
  std::unique_ptr<Context> context_;
};

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_DIGEST_H_
