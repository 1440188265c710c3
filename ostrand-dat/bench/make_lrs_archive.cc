// make_lrs_archive OUT FILE MIN_MATCH CHAIN_DEPTH: writes an archive whose
// one entry, id 1, holds FILE compressed by the greedy encoder with those
// options, and prints the stored size in bytes. scripts/bench.sh reads such
// entries back with `ostrand-dat cat`.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "greedy_encoder.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/writer.h"

namespace {

bool parse(std::string_view text, std::size_t& value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

int main(int argc, char** argv) {
  ostrand_dat::bench::GreedyOptions options;
  if (argc != 5 || !parse(argv[3], options.min_match) ||
      !parse(argv[4], options.chain_depth) || options.min_match < 2 ||
      options.min_match > 3) {
    std::fprintf(stderr, "usage: %s OUT FILE MIN_MATCH(2 or 3) CHAIN_DEPTH\n",
                 argv[0]);
    return 2;
  }
  std::ifstream in(argv[2], std::ios::binary);
  const std::vector<char> chars((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  if (!in || chars.size() > UINT32_MAX) {
    std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[2]);
    return 1;
  }
  const std::span<const std::byte> data(
      reinterpret_cast<const std::byte*>(chars.data()), chars.size());
  auto stored_bytes = ostrand_dat::bench::greedy_compress(data, options);
  const std::size_t stored = stored_bytes.size();
  ostrand_dat::ArchiveWriter writer(1024);
  // Stored as given, with bit 0 of bit_flags set: compressed.
  writer.add({.id = 1, .data = std::move(stored_bytes), .extra_flags = 1});
  if (auto written = writer.write(argv[1]); !written) {
    std::fprintf(stderr, "%s: %s\n", argv[1],
                 ostrand_dat::debug_string(written.error()).c_str());
    return 1;
  }
  std::printf("%zu\n", stored);
  return 0;
}
