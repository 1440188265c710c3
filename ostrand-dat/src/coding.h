// Little-endian numbers in byte buffers: every number in the archive format
// is stored this way. Built from bytes, so they read the same on any host.
#ifndef OSTRAND_DAT_SRC_CODING_H_
#define OSTRAND_DAT_SRC_CODING_H_

#include <cstddef>
#include <cstdint>

namespace ostrand_dat {

inline std::uint32_t load_u32(const std::byte* p) {
  return std::to_integer<std::uint32_t>(p[0]) |
         std::to_integer<std::uint32_t>(p[1]) << 8 |
         std::to_integer<std::uint32_t>(p[2]) << 16 |
         std::to_integer<std::uint32_t>(p[3]) << 24;
}

inline void store_u32(std::byte* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::byte>(value >> (8 * i));
}

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_CODING_H_
