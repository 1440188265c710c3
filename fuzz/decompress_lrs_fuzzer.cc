// Any bytes as a compressed payload: the decoder must stay inside its input
// and output, never exceed the declared size, and agree with the plain
// decoder byte for byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "ostrand_dat/utils.h"
#include "plain_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = ostrand_fuzz::as_bytes(data, size);
  const auto output = ostrand_dat::decompress_lrs(input);
  if (input.size() < 4) {
    ostrand_fuzz::check(output.size() == input.size() &&
                            std::equal(output.begin(), output.end(), input.begin()),
                        "input under 4 bytes comes back as it is");
    return 0;
  }
  const std::uint64_t declared = std::uint64_t{data[0]} | std::uint64_t{data[1]} << 8 |
                                 std::uint64_t{data[2]} << 16 |
                                 std::uint64_t{data[3]} << 24;
  ostrand_fuzz::check(output.size() <= declared, "output within the declared size");
  ostrand_fuzz::check(output == ostrand_dat::plain::decompress(input),
                      "agrees with the plain decoder");
  return 0;
}
