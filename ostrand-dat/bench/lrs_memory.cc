// lrs_memory INPUT_BYTES: the memory decompress_lrs takes for a payload of
// INPUT_BYTES stored bytes (at least 6) that declares an output of 4 GiB and
// whose stream stops after one byte: a literal, then a zero distance, then
// filler that is never decoded. Prints "INPUT_BYTES OUTPUT_BYTES PEAK_KIB":
// the growth of the process's peak resident memory from before the input
// was made until after the output was returned, input included.
#include <sys/resource.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ostrand_dat/utils.h"

namespace {

long peak_kib() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const long long size = argc == 2 ? std::atoll(argv[1]) : 0;
  if (size < 6) {
    std::fprintf(stderr, "usage: %s INPUT_BYTES (at least 6)\n", argv[0]);
    return 2;
  }
  const long before = peak_kib();
  // Filler 0xFF: read as tokens it would be long references, so a decoder
  // that went on past the zero distance would show.
  std::vector<std::byte> input(static_cast<std::size_t>(size), std::byte{0xFF});
  const unsigned char head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x40, 'a', 0x00, 0x00};
  for (std::size_t i = 0; i < sizeof head && i < input.size(); ++i) {
    input[i] = static_cast<std::byte>(head[i]);
  }
  const auto output = ostrand_dat::decompress_lrs(input);
  std::printf("%lld %zu %ld\n", size, output.size(), peak_kib() - before);
  return output.size() == 1 ? 0 : 1;
}
