// make_bench_archive OUT ENTRIES BLOCK_SIZE [scattered]: writes an archive
// whose directory lists ENTRIES empty files, as the benchmarks open it;
// with "scattered", each node's blocks after its first lie scattered over
// the file instead of one after the other.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "scattered_blocks.h"

namespace {

bool parse(std::string_view text, std::uint32_t& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  std::uint32_t entries = 0;
  std::uint32_t block_size = 0;
  const bool scattered = argc == 5 && std::string_view(argv[4]) == "scattered";
  if (argc != 4 + scattered || !parse(argv[2], entries) ||
      !parse(argv[3], block_size) || block_size < 5) {
    std::fprintf(stderr,
                 "usage: %s OUT ENTRIES BLOCK_SIZE (at least 5) [scattered]\n",
                 argv[0]);
    return 2;
  }
  std::vector<std::byte> archive =
      ostrand_dat::bench::directory_archive(entries, block_size);
  if (scattered) {
    archive = ostrand_dat::bench::scatter_chained_blocks(archive, block_size, 1);
  }
  ostrand_dat::bench::write_or_die(argv[1], archive);
  return 0;
}
