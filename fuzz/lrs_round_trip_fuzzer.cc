// Any bytes through the encoder and back: both decoders must give the input
// back exactly, and the encoder may add no more than one control byte per
// eight literals plus the size prefix.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "ostrand_dat/utils.h"
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
  return 0;
}
