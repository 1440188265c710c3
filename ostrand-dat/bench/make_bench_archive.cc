// make_bench_archive OUT ENTRIES BLOCK_SIZE: writes an archive whose
// directory lists ENTRIES empty files, as the benchmarks open it.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "bench_support.h"

namespace {

bool parse(std::string_view text, std::uint32_t& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t entries = 0;
  std::uint32_t block_size = 0;
  if (argc != 4 || !parse(argv[2], entries) || !parse(argv[3], block_size) ||
      block_size < 5) {
    std::fprintf(stderr, "usage: %s OUT ENTRIES BLOCK_SIZE (at least 5)\n", argv[0]);
    return 2;
  }
  ostrand_dat::bench::write_or_die(
      argv[1], ostrand_dat::bench::directory_archive(entries, block_size));
  return 0;
}
