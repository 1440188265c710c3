#include "ostrand_dat/utils.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <limits>

namespace ostrand_dat {

std::expected<void, IoError> read_exact_at_compat(const File& file,
                                                  std::span<std::byte> buffer,
                                                  std::uint64_t offset) {
  return read_exact_at_compat(file, buffer, {}, offset);
}

// Invariant: the bytes before `head` (and before `tail` once head is empty)
// are filled, and `offset` is the file position of head's first byte.
std::expected<void, IoError> read_exact_at_compat(const File& file,
                                                  std::span<std::byte> head,
                                                  std::span<std::byte> tail,
                                                  std::uint64_t offset) {
  while (!head.empty() || !tail.empty()) {
    if (head.empty()) std::swap(head, tail);
    auto n = file.read_at_some(offset, head, tail);
    if (!n) {
      if (n.error().kind() == IoErrorKind::Interrupted) continue;
      return std::unexpected(std::move(n.error()));
    }
    if (*n == 0) return std::unexpected(IoError::unexpected_eof());
    offset += *n;
    std::size_t from_head = std::min(*n, head.size());
    head = head.subspan(from_head);
    tail = tail.subspan(*n - from_head);
  }
  return {};
}

namespace {

// A back-reference token: b1, then b2 whose high nibble extends the
// distance and whose low nibble is the length minus 2.
constexpr std::size_t kMinMatch = 2;
constexpr std::size_t kMaxMatch = 17;
constexpr std::size_t kMaxDistance = 4095;

std::uint32_t load_u32(const std::byte* p) {
  return std::to_integer<std::uint32_t>(p[0]) |
         std::to_integer<std::uint32_t>(p[1]) << 8 |
         std::to_integer<std::uint32_t>(p[2]) << 16 |
         std::to_integer<std::uint32_t>(p[3]) << 24;
}

// Decodes the token stream `in` into `out`, which has room for `limit`
// bytes, and returns the number of bytes written. One forward pass;
// invariant: written <= limit. Each early exit keeps what was decoded.
std::size_t decode_tokens(std::span<const std::byte> stream, std::byte* out,
                          std::size_t limit) {
  const std::byte* in = stream.data();
  const std::byte* const end = in + stream.size();
  std::size_t written = 0;
  while (written < limit && in < end) {
    const auto control = std::to_integer<unsigned>(*in++);
    // A group of eight literals that fits both sides is copied at once.
    if (control == 0 && end - in >= 8 && limit - written >= 8) {
      std::memcpy(out + written, in, 8);
      in += 8;
      written += 8;
      continue;
    }
    for (unsigned bit = 0x80; bit != 0 && written < limit && in < end;
         bit >>= 1) {
      if ((control & bit) == 0) {
        out[written++] = *in++;
        continue;
      }
      if (end - in < 2) return written;  // the stream ends inside the token
      const auto b1 = std::to_integer<std::size_t>(in[0]);
      const auto b2 = std::to_integer<std::size_t>(in[1]);
      in += 2;
      const std::size_t distance = b1 | (b2 & 0xF0) << 4;
      const std::size_t length =
          std::min((b2 & 0x0F) + kMinMatch, limit - written);
      // Distance 0 ends the stream; with nothing decoded yet there is no
      // byte to copy, so such a reference ends it too.
      if (distance == 0 || written == 0) return written;
      if (written >= distance && distance >= length) {
        std::memcpy(out + written, out + written - distance, length);
        written += length;
      } else {
        // Overlapping (a run) or reaching before the start: byte by byte,
        // the source position clamped to 0 while the output is shorter
        // than the distance.
        for (std::size_t i = 0; i < length; ++i, ++written) {
          out[written] = out[written >= distance ? written - distance : 0];
        }
      }
    }
  }
  return written;
}

}  // namespace

// The output is sized once: the declared size bounded by what the input can
// produce (a 2-byte token yields at most 17 bytes), so a lying size header
// costs no memory.
std::vector<std::byte> decompress_lrs(std::span<const std::byte> input) {
  if (input.size() < 4) return std::vector<std::byte>(input.begin(), input.end());
  const std::uint64_t output_size = load_u32(input.data());
  const auto stream = input.subspan(4);
  const std::uint64_t most = stream.size() / 2 * kMaxMatch + 1;
  std::vector<std::byte> out(static_cast<std::size_t>(std::min(output_size, most)));
  out.resize(decode_tokens(stream, out.data(), out.size()));
  return out;
}

// Greedy: at each position take the longest match (up to 17 bytes, up to
// 4095 back) found through a chain of earlier positions with the same
// 3-byte hash, else a literal.
std::vector<std::byte> compress_lrs(std::span<const std::byte> input) {
  assert(input.size() <= std::numeric_limits<std::uint32_t>::max());
  constexpr std::size_t kHashBits = 15;
  constexpr std::size_t kChainDepth = 48;
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  const std::size_t n = input.size();
  std::vector<std::byte> out;
  out.reserve(4 + n + n / 8 + 1);
  const auto size = static_cast<std::uint32_t>(n);
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::byte>(size >> shift));
  }

  std::vector<std::uint32_t> head(std::size_t{1} << kHashBits, kNone);
  std::vector<std::uint32_t> previous(n, kNone);
  auto hash_at = [&](std::size_t pos) {
    std::uint32_t v = std::to_integer<std::uint32_t>(input[pos]) |
                      std::to_integer<std::uint32_t>(input[pos + 1]) << 8 |
                      std::to_integer<std::uint32_t>(input[pos + 2]) << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
  };
  auto insert = [&](std::size_t pos) {
    if (pos + 3 > n) return;
    auto h = hash_at(pos);
    previous[pos] = head[h];
    head[h] = static_cast<std::uint32_t>(pos);
  };

  std::size_t pos = 0;
  std::size_t control_at = 0;
  unsigned bit = 0;
  while (pos < n) {
    if (bit == 0) {
      control_at = out.size();
      out.push_back(std::byte{0});
      bit = 0x80;
    }
    std::size_t best_length = 0;
    std::size_t best_distance = 0;
    const std::size_t longest = std::min(kMaxMatch, n - pos);
    if (longest >= 3) {
      std::uint32_t candidate = head[hash_at(pos)];
      for (std::size_t depth = 0; candidate != kNone && depth < kChainDepth;
           ++depth, candidate = previous[candidate]) {
        const std::size_t distance = pos - candidate;
        if (distance > kMaxDistance) break;
        std::size_t length = 0;
        while (length < longest && input[candidate + length] == input[pos + length]) {
          ++length;
        }
        if (length > best_length) {
          best_length = length;
          best_distance = distance;
          if (length == longest) break;
        }
      }
    }
    if (best_length >= 3) {
      out[control_at] |= static_cast<std::byte>(bit);
      out.push_back(static_cast<std::byte>(best_distance & 0xFF));
      out.push_back(static_cast<std::byte>((best_distance >> 8) << 4 |
                                           (best_length - kMinMatch)));
      for (std::size_t i = 0; i < best_length; ++i) insert(pos + i);
      pos += best_length;
    } else {
      out.push_back(input[pos]);
      insert(pos);
      ++pos;
    }
    bit >>= 1;
  }
  return out;
}

}  // namespace ostrand_dat
