// decompress_lrs against the plain byte-at-a-time decoder, on real data and
// on synthetic streams that stress one kind of token each. Rates count
// decoded output bytes per second of wall time, as `lz4 -b` reports them.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bench_support.h"
#include "ostrand_dat/utils.h"
#include "plain_reference.h"

namespace ostrand_dat::bench {
namespace {

constexpr std::size_t kPiece = 1 << 20;

struct Corpus {
  std::vector<std::vector<std::byte>> compressed;
  std::size_t output_bytes = 0;
};

Corpus compress_pieces(const std::vector<std::byte>& data) {
  Corpus corpus;
  for (std::size_t at = 0; at < data.size(); at += kPiece) {
    const auto piece = std::span(data).subspan(at, std::min(kPiece, data.size() - at));
    corpus.compressed.push_back(compress_lrs(piece));
    corpus.output_bytes += piece.size();
  }
  return corpus;
}

// 16 MiB of the tar, the data that `lz4 -b` is given by scripts/bench.sh.
const Corpus& real_corpus() {
  static const Corpus corpus = compress_pieces(real_data(16 * kPiece));
  return corpus;
}

// Random bytes: the encoder finds no matches, every group is 8 literals.
const Corpus& literal_corpus() {
  static const Corpus corpus = [] {
    std::vector<std::byte> data(4 * kPiece);
    std::uint32_t x = 12345;
    for (auto& b : data) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      b = static_cast<std::byte>(x);
    }
    return compress_pieces(data);
  }();
  return corpus;
}

// Runs of short periods (1 to 16 bytes), each a few hundred bytes long:
// overlapping back-references of every short distance.
const Corpus& run_corpus() {
  static const Corpus corpus = [] {
    std::vector<std::byte> data;
    std::uint32_t x = 777;
    while (data.size() < 4 * kPiece) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      const std::size_t period = 1 + x % 16;
      const std::size_t length = 64 + (x >> 8) % 512;
      const std::size_t start = data.size();
      for (std::size_t i = 0; i < period; ++i) {
        data.push_back(static_cast<std::byte>(x >> (i % 24)));
      }
      for (std::size_t i = period; i < length; ++i) {
        data.push_back(data[start + i - period]);
      }
    }
    return compress_pieces(data);
  }();
  return corpus;
}

// Four-letter noise: short matches mixed with literals in every group.
const Corpus& mixed_corpus() {
  static const Corpus corpus = [] {
    std::vector<std::byte> data(4 * kPiece);
    std::uint32_t x = 99;
    for (auto& b : data) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      b = static_cast<std::byte>('a' + x % 4);
    }
    return compress_pieces(data);
  }();
  return corpus;
}

template <std::vector<std::byte> (*Decode)(std::span<const std::byte>)>
void run(benchmark::State& state, const Corpus& corpus) {
  for (auto _ : state) {
    for (const auto& piece : corpus.compressed) {
      auto out = Decode(piece);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(corpus.output_bytes));
}

void BM_DecompressLrs_Real(benchmark::State& s) { run<decompress_lrs>(s, real_corpus()); }
void BM_PlainDecoder_Real(benchmark::State& s) { run<plain::decompress>(s, real_corpus()); }
void BM_DecompressLrs_Literals(benchmark::State& s) { run<decompress_lrs>(s, literal_corpus()); }
void BM_PlainDecoder_Literals(benchmark::State& s) { run<plain::decompress>(s, literal_corpus()); }
void BM_DecompressLrs_Runs(benchmark::State& s) { run<decompress_lrs>(s, run_corpus()); }
void BM_PlainDecoder_Runs(benchmark::State& s) { run<plain::decompress>(s, run_corpus()); }
void BM_DecompressLrs_Mixed(benchmark::State& s) { run<decompress_lrs>(s, mixed_corpus()); }
void BM_PlainDecoder_Mixed(benchmark::State& s) { run<plain::decompress>(s, mixed_corpus()); }

BENCHMARK(BM_DecompressLrs_Real)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainDecoder_Real)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecompressLrs_Literals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainDecoder_Literals)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecompressLrs_Runs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainDecoder_Runs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DecompressLrs_Mixed)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainDecoder_Mixed)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace ostrand_dat::bench
