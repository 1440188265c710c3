// Archives whose chains do not lie one block after the other, for the
// benchmarks and the tests: the blocks of a written archive moved about,
// every pointer following them.
#ifndef OSTRAND_DAT_BENCH_SCATTERED_BLOCKS_H_
#define OSTRAND_DAT_BENCH_SCATTERED_BLOCKS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "coding.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::bench {

// `archive` with the blocks that a pointer leads to (every block of a chain
// but its first) shuffled among their places, as `seed` picks, and each
// pointer rewritten to where its block went. A chain starts where it did,
// so the header and every offset in the directory still hold, but its later
// blocks lie scattered. Every block from byte 400 on, of `block_size`
// bytes, must start with a pointer to such a block or 0, as an archive
// writer leaves them.
inline std::vector<std::byte> scatter_chained_blocks(
    std::span<const std::byte> archive, std::uint32_t block_size,
    std::uint32_t seed) {
  constexpr std::size_t kFirst = DatHeader::kFileOffset + DatHeader::kSize;
  const std::size_t count = (archive.size() - kFirst) / block_size;
  auto index_of = [&](std::uint32_t offset) {
    return (offset - kFirst) / block_size;
  };
  std::vector<std::size_t> targets;
  std::vector<bool> is_target(count, false);
  for (std::size_t k = 0; k < count; ++k) {
    const std::uint32_t next = load_u32(&archive[kFirst + k * block_size]);
    if (next != 0 && !is_target[index_of(next)]) {
      is_target[index_of(next)] = true;
      targets.push_back(index_of(next));
    }
  }
  // place[k]: where block k goes. Fisher-Yates over the targets' places.
  std::vector<std::size_t> place(count);
  for (std::size_t k = 0; k < count; ++k) place[k] = k;
  std::vector<std::size_t> shuffled = targets;
  std::uint32_t x = seed * 2654435761u + 1;
  for (std::size_t i = shuffled.size(); i > 1; --i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    std::swap(shuffled[i - 1], shuffled[x % i]);
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    place[targets[i]] = shuffled[i];
  }
  std::vector<std::byte> out(archive.begin(), archive.end());
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t from = kFirst + k * block_size;
    const std::size_t to = kFirst + place[k] * block_size;
    std::copy(archive.begin() + from, archive.begin() + from + block_size,
              out.begin() + to);
    const std::uint32_t next = load_u32(&archive[from]);
    if (next != 0) {
      store_u32(&out[to], static_cast<std::uint32_t>(
                              kFirst + place[index_of(next)] * block_size));
    }
  }
  return out;
}

}  // namespace ostrand_dat::bench

#endif  // OSTRAND_DAT_BENCH_SCATTERED_BLOCKS_H_
