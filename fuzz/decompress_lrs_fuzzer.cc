// Any bytes as a compressed payload: the decoder must stay inside its input
// and output, never exceed the declared size, and agree with the plain
// decoder byte for byte; the stream decoder, fed the same bytes in pieces,
// must hand out the same bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "coding.h"
#include "lrs_stream.h"
#include "fuzz_support.h"
#include "ostrand_dat/utils.h"
#include "plain_reference.h"

namespace {

// Feeds the input to a stream decoder in pieces of 1 to 64 bytes, their
// sizes read from the input itself, as are the chunk size (small, so that
// the window slides) and the call on which the sink asks to stop, if any.
// Returns what the sink received; checks that a stopped sink is not called
// again.
std::vector<std::byte> stream_decode(std::span<const std::byte> input,
                                     bool stop_early) {
  const auto at = [&input](std::size_t i) {
    return std::to_integer<std::size_t>(input[i % input.size()]);
  };
  const std::size_t chunk = input.empty() ? 0 : 256 + at(input.size() - 1) * 8;
  const std::size_t stop_at = stop_early && !input.empty() ? 1 + at(1) % 4 : 0;
  std::vector<std::byte> out;
  std::size_t calls = 0;
  auto sink = [&](std::span<const std::byte> bytes) {
    ostrand_fuzz::check(!bytes.empty(), "the sink gets no empty span");
    ostrand_fuzz::check(stop_at == 0 || calls < stop_at,
                        "a sink that asked to stop is not called again");
    out.insert(out.end(), bytes.begin(), bytes.end());
    return ++calls != stop_at;
  };
  ostrand_dat::LrsStreamDecoder decoder(input.size(), chunk);
  for (std::size_t fed = 0, k = 0; fed < input.size() && !decoder.ended();
       ++k) {
    const std::size_t piece = std::min(1 + at(k * 7) % 64, input.size() - fed);
    decoder.feed(input.subspan(fed, piece), sink);
    fed += piece;
  }
  ostrand_fuzz::check(decoder.ended(),
                      "all stored bytes fed: decoding has ended");
  decoder.finish(sink);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = ostrand_fuzz::as_bytes(data, size);
  const auto output = ostrand_dat::decompress_lrs(input);
  ostrand_fuzz::check(stream_decode(input, false) == output,
                      "the stream decoder agrees with decompress_lrs");
  const auto stopped = stream_decode(input, true);
  ostrand_fuzz::check(
      stopped.size() <= output.size() &&
          std::equal(stopped.begin(), stopped.end(), output.begin()),
      "a stopped stream hands out a prefix of the output");
  if (input.size() < 4) {
    ostrand_fuzz::check(output.size() == input.size() &&
                            std::equal(output.begin(), output.end(), input.begin()),
                        "input under 4 bytes comes back as it is");
    return 0;
  }
  const std::uint64_t declared = ostrand_dat::load_u32(input.data());
  ostrand_fuzz::check(output.size() <= declared, "output within the declared size");
  ostrand_fuzz::check(output == ostrand_dat::plain::decompress(input),
                      "agrees with the plain decoder");
  return 0;
}
