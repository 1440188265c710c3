#include "ostrand_dat/utils.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstring>
#include <limits>

#include "coding.h"
#include "lrs_decoder.h"
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

// The output grows with what the stream decodes, not with what its header
// declares: room is added geometrically, each time zero-filled, from a
// modest start. The whole possible output (the declared size, bounded by
// what the input can produce, as a 2-byte token yields at most 17 bytes) is
// reserved first, so growing never moves what was decoded; a reservation
// takes address space only, and memory as the output fills it. The fast
// path reads a little past the decoded output, which is why the room is
// initialised rather than left raw.
std::vector<std::byte> decompress_lrs(std::span<const std::byte> input) {
  if (input.size() < 4) return std::vector<std::byte>(input.begin(), input.end());
  constexpr std::size_t kFirstRoom = std::size_t{64} << 10;
  const auto stream = input.subspan(4);
  const std::size_t limit = static_cast<std::size_t>(std::min<std::uint64_t>(
      load_u32(input.data()), stream.size() / 2 * lrs::kMaxMatch + 1));
  std::vector<std::byte> out;
  out.reserve(limit);
  out.resize(std::min(limit, kFirstRoom));
  lrs::Ranges ranges{.in = stream.data(),
                     .in_end = stream.data() + stream.size(),
                     .history = out.data(),
                     .op = out.data(),
                     .op_end = out.data() + out.size(),
                     .room_is_final = out.size() == limit};
  lrs::TokenState state;
  // A round ends when the input is used up, when decoding ends, or when the
  // room runs short; only then is room added, doubled up to `limit`, where
  // it is final and no round asks for more. So the loop ends.
  while (lrs::decode(ranges, state) == lrs::Outcome::kNeedRoom) {
    const auto written = static_cast<std::size_t>(ranges.op - out.data());
    out.resize(std::min(limit, 2 * out.size()));
    ranges.history = out.data();
    ranges.op = out.data() + written;
    ranges.op_end = out.data() + out.size();
    ranges.room_is_final = out.size() == limit;
  }
  out.resize(static_cast<std::size_t>(ranges.op - out.data()));
  return out;
}

}  // namespace ostrand_dat
