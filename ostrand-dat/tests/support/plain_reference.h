// The decoder and the block gatherer written the plain way, step by step as
// the format describes them, with no attention to speed: the decoder token
// by token and byte by byte, the gatherer with two positional reads per
// block. The library's tuned versions must agree with them on every input;
// the benchmarks measure the tuned versions against them.
#ifndef OSTRAND_DAT_TESTS_PLAIN_REFERENCE_H_
#define OSTRAND_DAT_TESTS_PLAIN_REFERENCE_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "coding.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/file.h"
#include "ostrand_dat/utils.h"

namespace ostrand_dat::plain {

// A u32 output size, then groups of a control byte and up to eight tokens.
// Stops at the first malformed token, a zero distance, or a back-reference
// while the output is still empty, keeping what was decoded; never exceeds
// the declared size. The output is reserved once, as a careful first
// version would do, so that the benchmarks compare decoding and not growth.
inline std::vector<std::byte> decompress(std::span<const std::byte> input) {
  if (input.size() < 4) return {input.begin(), input.end()};
  const std::uint64_t output_size = load_u32(input.data());
  const auto data = input.subspan(4);
  std::vector<std::byte> output;
  output.reserve(std::min<std::uint64_t>(output_size, data.size() / 2 * 17 + 1));
  unsigned control_byte = 0;
  unsigned control_bit = 0;
  std::size_t idx = 0;
  while (output.size() < output_size && idx < data.size()) {
    if (control_bit == 0) {
      control_byte = std::to_integer<unsigned>(data[idx++]);
      control_bit = 0x80;
    }
    if (control_byte & control_bit) {
      if (idx + 1 >= data.size()) break;
      const unsigned b1 = std::to_integer<unsigned>(data[idx]);
      const unsigned b2 = std::to_integer<unsigned>(data[idx + 1]);
      idx += 2;
      const std::size_t offset = b1 + 256 * (b2 >> 4);
      const std::size_t length = (b2 & 0x0F) + 2;
      if (offset == 0 || output.empty()) break;
      for (std::size_t i = 0; i < length && output.size() < output_size; ++i) {
        const std::size_t copy =
            output.size() >= offset ? output.size() - offset : 0;
        output.push_back(output[copy]);
      }
    } else {
      if (idx >= data.size()) break;
      output.push_back(data[idx++]);
    }
    control_bit >>= 1;
  }
  return output;
}

// Gathers `size` bytes through the chain at `offset`: per block, the 4-byte
// pointer, then the payload piece; a block whose pointer is 0 yields all
// that is still missing in one read. Meant for block sizes above 4.
inline std::expected<std::vector<std::byte>, IoError> gather(
    const File& file, std::uint32_t block_size, std::uint32_t offset,
    std::uint32_t size) {
  std::vector<std::byte> buffer(size);
  std::size_t filled = 0;
  std::uint32_t current = offset;
  while (filled < size) {
    std::array<std::byte, 4> pointer;
    auto read = read_exact_at_compat(file, pointer, current);
    if (!read) return std::unexpected(read.error());
    const std::uint32_t next = load_u32(pointer.data());
    const std::size_t piece =
        next == 0 ? size - filled
                  : std::min<std::size_t>(size - filled, block_size - 4);
    read = read_exact_at_compat(file, std::span(buffer).subspan(filled, piece),
                                std::uint64_t{current} + 4);
    if (!read) return std::unexpected(read.error());
    filled += piece;
    current = next;
  }
  return buffer;
}

// What gather() reads of the item before it fails in a file of `length`
// bytes: the item's bytes that lie in the file, in chain order, up to the
// first one (or the first pointer) that does not.
inline std::vector<std::byte> gather_prefix(const File& file,
                                            std::uint64_t length,
                                            std::uint32_t block_size,
                                            std::uint32_t offset,
                                            std::uint32_t size) {
  std::vector<std::byte> buffer;
  std::uint64_t current = offset;
  while (buffer.size() < size && current + 4 <= length) {
    std::array<std::byte, 4> pointer;
    if (!read_exact_at_compat(file, pointer, current)) break;
    const std::uint32_t next = load_u32(pointer.data());
    if (next != 0 && block_size <= 4) break;  // no room for payload
    const std::size_t want =
        next == 0 ? size - buffer.size()
                  : std::min<std::size_t>(size - buffer.size(), block_size - 4);
    const auto have = static_cast<std::size_t>(
        std::min<std::uint64_t>(want, length - (current + 4)));
    const std::size_t at = buffer.size();
    buffer.resize(at + have);
    if (!read_exact_at_compat(file, std::span(buffer).subspan(at), current + 4))
      break;
    if (have < want) break;
    current = next;
  }
  return buffer;
}

}  // namespace ostrand_dat::plain

#endif  // OSTRAND_DAT_TESTS_PLAIN_REFERENCE_H_
