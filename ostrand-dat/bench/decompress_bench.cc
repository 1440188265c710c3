// decompress_lrs against the plain byte-at-a-time decoder, and the stream
// decoder beside them, on three kinds of real data, each encoded by the
// library's encoder and by a plain greedy one (streams the decoder was not
// tuned on), and on synthetic streams that stress one kind of token each.
// Rates count decoded output bytes per second of wall time, as `lz4 -b`
// reports them.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "lrs_stream.h"
#include "bench_support.h"
#include "greedy_encoder.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "plain_reference.h"

namespace ostrand_dat::bench {
namespace {

constexpr std::size_t kPiece = 1 << 20;

struct Corpus {
  std::vector<std::vector<std::byte>> compressed;
  std::size_t output_bytes = 0;
};

using Encoder = std::vector<std::byte> (*)(std::span<const std::byte>);

std::vector<std::byte> greedy(std::span<const std::byte> input) {
  return greedy_compress(input);
}

Corpus compress_pieces(const std::vector<std::byte>& data,
                       Encoder encode = compress_lrs) {
  Corpus corpus;
  for (std::size_t at = 0; at < data.size(); at += kPiece) {
    const auto piece = std::span(data).subspan(at, std::min(kPiece, data.size() - at));
    corpus.compressed.push_back(encode(piece));
    corpus.output_bytes += piece.size();
  }
  return corpus;
}

// 16 MiB of real data of a kind, the data that `lz4 -b` is given by
// scripts/bench.sh, encoded by `kEncode`.
template <DataKind kKind, Encoder kEncode = compress_lrs>
const Corpus& real_corpus() {
  static const Corpus corpus =
      compress_pieces(real_data(16 * kPiece, kKind), kEncode);
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
const Corpus& four_letter_corpus() {
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

// The stream decoder fed 64 KiB pieces, its output only looked at, as a
// streaming read would feed it blocks and write the output on.
void run_stream(benchmark::State& state, const Corpus& corpus) {
  constexpr std::size_t kFeed = 64 << 10;
  std::size_t seen = 0;
  auto sink = [&seen](std::span<const std::byte> bytes) {
    benchmark::DoNotOptimize(bytes.data());
    seen += bytes.size();
    return true;
  };
  for (auto _ : state) {
    for (const auto& piece : corpus.compressed) {
      LrsStreamDecoder decoder(piece.size());
      for (std::size_t at = 0; at < piece.size(); at += kFeed) {
        decoder.feed(
            std::span(piece).subspan(at, std::min(kFeed, piece.size() - at)),
            sink);
      }
    }
  }
  if (seen !=
      static_cast<std::size_t>(state.iterations()) * corpus.output_bytes) {
    state.SkipWithError("the stream decoder handed out too few bytes");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(corpus.output_bytes));
}

// BM_DecompressLrs_NAME, BM_PlainDecoder_NAME and BM_LrsStream_NAME for
// each corpus, in this order.
[[maybe_unused]] const bool registered = [] {
  const struct {
    const char* name;
    const Corpus& (*corpus)();
  } corpora[] = {
      {"Text", real_corpus<DataKind::kText>},
      {"Executables", real_corpus<DataKind::kExecutables>},
      {"Mixed", real_corpus<DataKind::kMixed>},
      {"GreedyText", real_corpus<DataKind::kText, greedy>},
      {"GreedyExecutables", real_corpus<DataKind::kExecutables, greedy>},
      {"GreedyMixed", real_corpus<DataKind::kMixed, greedy>},
      {"Literals", literal_corpus},
      {"Runs", run_corpus},
      {"FourLetters", four_letter_corpus},
  };
  for (const auto& c : corpora) {
    const std::string name = c.name;
    const auto corpus = c.corpus;
    benchmark::RegisterBenchmark(("BM_DecompressLrs_" + name).c_str(),
                                 [corpus](benchmark::State& state) {
                                   run<decompress_lrs>(state, corpus());
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("BM_PlainDecoder_" + name).c_str(),
                                 [corpus](benchmark::State& state) {
                                   run<plain::decompress>(state, corpus());
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark(
        ("BM_LrsStream_" + name).c_str(),
        [corpus](benchmark::State& state) { run_stream(state, corpus()); })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
  }
  return true;
}();

}  // namespace
}  // namespace ostrand_dat::bench
