#include "ostrand_dat/utils.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <limits>

#include "coding.h"
#include "platform/file.h"

namespace ostrand_dat {

std::expected<void, IoError> read_exact_at_compat(const File& file,
                                                  std::span<std::byte> buffer,
                                                  std::uint64_t offset) {
  return read_exact_at_compat(file, buffer, {}, offset);
}

std::expected<void, IoError> read_exact_at_compat(const File& file,
                                                  std::span<std::byte> head,
                                                  std::span<std::byte> tail,
                                                  std::uint64_t offset) {
  return platform::read_exact(file, offset, head, tail);
}

namespace {

// A back-reference token: b1, then b2 whose high nibble extends the
// distance and whose low nibble is the length minus 2.
constexpr std::size_t kMinMatch = 2;
constexpr std::size_t kMaxMatch = 17;
constexpr std::size_t kMaxDistance = 4095;

// Copies 8 bytes through a register, so source and destination may overlap.
inline void copy8(std::byte* to, const std::byte* from) {
  std::uint64_t word;
  std::memcpy(&word, from, 8);
  std::memcpy(to, &word, 8);
}

// Margins of the fast path. A group is at most 17 input bytes (a control
// byte and 8 two-byte references) and writes at most 8 * 17 = 136 output
// bytes. The wide copies below read up to 8 input bytes from the start of a
// literal run (at most 16 bytes into the group) and write up to 24 bytes
// from the start of a token (at most 119 bytes into the group); the bytes
// written past a token's end lie beyond the decoded output and are
// overwritten by later tokens or cut off at the end.
constexpr std::ptrdiff_t kFastInput = 32;
constexpr std::ptrdiff_t kFastOutput = 160;
// A back-reference copied in one piece: the longest token, 17 bytes,
// rounded up to whole 8-byte words.
constexpr std::size_t kWideCopy = 24;

// Decodes one whole group at `in` (control byte first) into `op`, where at
// least kFastInput input and kFastOutput output bytes remain. Returns false
// when a token ends decoding (distance 0, or a reference while nothing is
// decoded yet); `in` and `op` then stand where decoding stopped.
inline bool decode_group_fast(const std::byte*& in, std::byte*& op,
                              const std::byte* const out) {
  // The control bits on top of a marker bit: the group is done when only
  // the marker is left, and a run of literal bits can never count past it.
  constexpr std::uint32_t kDone = 0x80000000u;
  const auto control = std::to_integer<std::uint32_t>(*in++);
  if (control == 0) {  // eight literals, as in data that does not compress
    copy8(op, in);
    op += 8;
    in += 8;
    return true;
  }
  std::uint32_t bits = control << 24 | 1u << 23;
  while (bits != kDone) {
    if ((bits & 0x80000000u) == 0) {
      // A run of literals, as long as the zero bits from the top: one wide
      // copy, since a run within a group is at most 8 bytes.
      const int run = std::countl_zero(bits);
      copy8(op, in);
      op += run;
      in += run;
      bits <<= run;
      continue;
    }
    bits <<= 1;
    const auto b1 = std::to_integer<std::size_t>(in[0]);
    const auto b2 = std::to_integer<std::size_t>(in[1]);
    in += 2;
    const std::size_t distance = b1 | (b2 & 0xF0) << 4;
    const std::size_t length = (b2 & 0x0F) + kMinMatch;
    const auto written = static_cast<std::size_t>(op - out);
    // One test on the common path: distance 0 wraps to the largest value.
    if (distance - 1 >= written) {
      if (distance == 0 || written == 0) return false;
      // Reaches before the start: the source position is clamped to 0
      // while the output is shorter than the distance. Rare; byte by byte.
      for (std::size_t i = 0; i < length; ++i) {
        const std::size_t at = written + i;
        op[i] = out[at >= distance ? at - distance : 0];
      }
    } else if (distance >= kWideCopy) {
      // Far enough back that source and destination of a whole token do not
      // overlap: one fixed-size copy, whatever the length, with no loop to
      // mispredict and no store that a following load must wait for.
      std::memcpy(op, op - distance, kWideCopy);
    } else if (distance >= 8) {
      // Each 8-byte step reads only bytes already final: with a distance of
      // 8 or more, step i reads below op + i.
      for (std::size_t i = 0; i < length; i += 8) copy8(op + i, op + i - distance);
    } else {
      // A run with a period below 8. Copying 8 bytes from `from` leaves the
      // first (op - from) of them right, so the gap to `from` doubles, and
      // stays a multiple of the period, until it reaches 8; from then on
      // 8-byte steps at a fixed gap repeat the pattern.
      const std::byte* from = op - distance;
      std::byte* to = op;
      std::byte* const stop = op + length;
      while (to - from < 8) {
        copy8(to, from);
        to += to - from;
      }
      for (; to < stop; to += 8, from += 8) copy8(to, from);
    }
    op += length;
  }
  return true;
}

// Decodes the token stream into `out`, which has room for `limit` bytes,
// and returns the number of bytes written. One forward pass. Whole groups
// go through the fast path while both margins hold; the groups near either
// end go through the careful loop, which checks every byte. Invariant:
// written <= limit. Each early exit keeps what was decoded.
std::size_t decode_tokens(std::span<const std::byte> stream, std::byte* out,
                          std::size_t limit) {
  const std::byte* in = stream.data();
  const std::byte* const end = in + stream.size();
  std::byte* op = out;
  std::byte* const op_end = out + limit;
  while (op < op_end && in < end) {
    if (end - in >= kFastInput && op_end - op >= kFastOutput) {
      if (!decode_group_fast(in, op, out)) break;
      continue;
    }
    const auto control = std::to_integer<unsigned>(*in++);
    for (unsigned bit = 0x80; bit != 0 && op < op_end && in < end; bit >>= 1) {
      if ((control & bit) == 0) {
        *op++ = *in++;
        continue;
      }
      // The stream ends inside the token.
      if (end - in < 2) return static_cast<std::size_t>(op - out);
      const auto b1 = std::to_integer<std::size_t>(in[0]);
      const auto b2 = std::to_integer<std::size_t>(in[1]);
      in += 2;
      const std::size_t distance = b1 | (b2 & 0xF0) << 4;
      const std::size_t written = static_cast<std::size_t>(op - out);
      const std::size_t length =
          std::min((b2 & 0x0F) + kMinMatch, limit - written);
      // Distance 0 ends the stream; with nothing decoded yet there is no
      // byte to copy, so such a reference ends it too.
      if (distance == 0 || written == 0) return written;
      // Byte by byte, the source position clamped to 0 while the output
      // is shorter than the distance.
      for (std::size_t i = 0; i < length; ++i) {
        const std::size_t at = written + i;
        op[i] = out[at >= distance ? at - distance : 0];
      }
      op += length;
    }
  }
  return static_cast<std::size_t>(op - out);
}

}  // namespace

// The output is sized once: the declared size bounded by what the input can
// produce (a 2-byte token yields at most 17 bytes), so a lying size header
// costs no memory. It is value-initialised: the wide copies read bytes just
// past the decoded output, which must hold some value, and zeroing costs
// little next to decoding (the pages are touched either way).
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
