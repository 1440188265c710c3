// Any bytes through the encoder and back: both decoders, and the stream
// decoder fed the encoder's output in pieces, must give the input back
// exactly, and the encoder may add no more than one control byte per eight
// literals plus the size prefix. The same bytes through the benchmarks'
// greedy encoder, whose streams hold other matches (2-byte ones among
// them), must come back alike from both decoders, and so must the
// parallel encoder's, whose segments are parsed apart.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "lrs_stream.h"
#include "fuzz_support.h"
#include "greedy_encoder.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "plain_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = ostrand_fuzz::as_bytes(data, size);
  const auto packed = ostrand_dat::compress_lrs(input);
  ostrand_fuzz::check(packed.size() <= 4 + size + (size + 7) / 8,
                      "encoder expands by at most one byte in eight");
  const auto unpacked = ostrand_dat::decompress_lrs(packed);
  ostrand_fuzz::check(
      unpacked.size() == size && std::equal(unpacked.begin(), unpacked.end(),
                                            input.begin()),
      "decompress_lrs(compress_lrs(x)) == x");
  ostrand_fuzz::check(ostrand_dat::plain::decompress(packed) == unpacked,
                      "the plain decoder reads the encoder's output alike");
  // Options from the first byte: matches from 2 or 3 bytes, chains 1 to
  // 64 deep.
  const ostrand_dat::bench::GreedyOptions options{
      .min_match = size != 0 && data[0] & 1 ? 3u : 2u,
      .chain_depth = 1 + (size == 0 ? 0u : std::size_t{data[0]} >> 2)};
  const auto greedy = ostrand_dat::bench::greedy_compress(input, options);
  const auto from_greedy = ostrand_dat::decompress_lrs(greedy);
  ostrand_fuzz::check(
      from_greedy.size() == size &&
          std::equal(from_greedy.begin(), from_greedy.end(), input.begin()),
      "decompress_lrs(greedy_compress(x)) == x");
  ostrand_fuzz::check(ostrand_dat::plain::decompress(greedy) == from_greedy,
                      "the plain decoder reads the greedy encoder's output alike");
  // The parallel encoder with segments of 512 to 4,607 bytes, so that its
  // seams fall often: its output must come back alike.
  const std::size_t segment =
      512 + (size == 0 ? 0 : std::size_t{data[size - 1]} * 131 % 4096);
  ostrand_dat::ParallelLrsEncoder parallel(static_cast<std::uint32_t>(size),
                                           2, segment);
  parallel.add(input);
  const auto parallel_out = parallel.output();
  ostrand_fuzz::check(parallel.done() &&
                          parallel_out.size() <= 4 + size + (size + 7) / 8,
                      "the parallel encoder expands by at most one in eight");
  const auto from_parallel = ostrand_dat::decompress_lrs(parallel_out);
  ostrand_fuzz::check(
      from_parallel.size() == size &&
          std::equal(from_parallel.begin(), from_parallel.end(), input.begin()),
      "decompress_lrs(ParallelLrsEncoder(x)) == x");
  // Pieces of 1 to 32 bytes, their sizes read from the input; the smallest
  // chunk, so that the window slides as often as it can.
  std::vector<std::byte> streamed;
  ostrand_dat::LrsStreamDecoder decoder(packed.size(), 0);
  for (std::size_t fed = 0, k = 0; fed < packed.size(); ++k) {
    const std::size_t piece = std::min<std::size_t>(
        1 + (size == 0 ? 0 : data[k % size] % 32), packed.size() - fed);
    decoder.feed(std::span(packed).subspan(fed, piece),
                 [&streamed](std::span<const std::byte> bytes) {
                   streamed.insert(streamed.end(), bytes.begin(), bytes.end());
                   return true;
                 });
    fed += piece;
  }
  ostrand_fuzz::check(
      decoder.status() == ostrand_dat::LrsStreamDecoder::Status::kEnded,
      "the stream decoder has ended with the last stored byte");
  ostrand_fuzz::check(streamed == unpacked,
                      "the stream decoder reads the encoder's output alike");
  return 0;
}
