// Opening archives of a million entries, fetching large files, gathering
// block chains (against the plain two-reads-per-block gatherer) and
// decoding sound tables.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bench_support.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "coding.h"
#include "chain_layout.h"
#include "plain_reference.h"

namespace ostrand_dat::bench {
namespace {

constexpr std::uint32_t kEntries = 1'000'000;
constexpr std::size_t kLargeFile = 16 << 20;

// One directory archive per block size, written on first use.
const std::filesystem::path& directory_archive_path(std::uint32_t block_size) {
  static std::map<std::uint32_t, std::filesystem::path> paths;
  auto [it, added] = paths.try_emplace(block_size);
  if (added) {
    it->second = scratch_dir() / ("directory-" + std::to_string(block_size) + ".dat");
    write_or_die(it->second, directory_archive(kEntries, block_size));
  }
  return it->second;
}

// Id 1: 16 MiB of real data stored as is; id 2: the same compressed.
const std::filesystem::path& large_file_archive() {
  static const std::filesystem::path path = [] {
    ArchiveWriter writer(1024);
    const auto data = real_data(kLargeFile);
    writer.add(StoredFile{.id = 1, .data = data});
    writer.add(StoredFile{.id = 2, .data = data, .compress = true});
    auto bytes = writer.build();
    const auto at = scratch_dir() / "large.dat";
    write_or_die(at, *bytes);
    return at;
  }();
  return path;
}

void BM_Open(benchmark::State& state) {
  const auto& path = directory_archive_path(static_cast<std::uint32_t>(state.range(0)));
  std::size_t files = 0;
  for (auto _ : state) {
    auto db = DatDatabase::open(path);
    if (!db) {
      state.SkipWithError(debug_string(db.error()).c_str());
      break;
    }
    files = db->files().size();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * files));
}
BENCHMARK(BM_Open)->Arg(1024)->Arg(256)->Unit(benchmark::kMillisecond);

// Every id of the directory looked up once, in a scattered order.
void BM_FindEveryId(benchmark::State& state) {
  auto db = DatDatabase::open(directory_archive_path(1024));
  if (!db) return state.SkipWithError(debug_string(db.error()).c_str());
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kEntries; ++i) {
      benchmark::DoNotOptimize(db->files().find(spread_id(i)));
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kEntries);
}
BENCHMARK(BM_FindEveryId)->Unit(benchmark::kMillisecond);

void BM_GetFile(benchmark::State& state) {
  auto db = open_or_die(large_file_archive());
  const auto id = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    auto data = db.get_file(id);
    benchmark::DoNotOptimize(data->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLargeFile));
  state.SetLabel(id == 1 ? "stored" : "compressed");
}
BENCHMARK(BM_GetFile)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// The stored file's chain gathered by the library and by the plain
// gatherer: the difference is the second read per block.
void BM_ReadFileData(benchmark::State& state) {
  auto db = open_or_die(large_file_archive());
  const DatFileEntry entry = *db.files().find(1);
  for (auto _ : state) {
    auto data = db.read_file_data(entry.offset, entry.size);
    benchmark::DoNotOptimize(data->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * entry.size));
}
BENCHMARK(BM_ReadFileData)->Unit(benchmark::kMillisecond);

void BM_PlainGather(benchmark::State& state) {
  auto db = open_or_die(large_file_archive());
  const DatFileEntry entry = *db.files().find(1);
  auto file = File::open_read_only(large_file_archive());
  for (auto _ : state) {
    auto data = plain::gather(*file, db.header().block_size, entry.offset, entry.size);
    benchmark::DoNotOptimize(data->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * entry.size));
}
BENCHMARK(BM_PlainGather)->Unit(benchmark::kMillisecond);

// A table of 2000 kinds with four choices each and 500 hash records.
void BM_SoundTableUnpack(benchmark::State& state) {
  SoundTableRecords records{.id = 0x20000001, .hash_key = 7, .hashes = {}, .sounds = {}};
  for (std::uint32_t k = 0; k < 500; ++k) {
    records.hashes.push_back({k * 3, {0.5f, 0.25f, 1.0f}});
  }
  for (std::uint32_t k = 0; k < 2000; ++k) {
    file_type::SoundData data;
    for (std::uint32_t e = 0; e < 4; ++e) {
      data.entries.push_back({0x0A000000 + k * 4 + e, 1.0f, 0.25f, 0.8f});
    }
    records.sounds.push_back({k, data});
  }
  const auto bytes = encode_sound_table(records);
  for (auto _ : state) {
    auto table = file_type::SoundTable::unpack(bytes);
    benchmark::DoNotOptimize(table->sounds.size());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 2500);
}
BENCHMARK(BM_SoundTableUnpack)->Unit(benchmark::kMicrosecond);

// One file of real data stored in a chain laid out forward, reversed or
// scattered, at block sizes 5, 64 and 4096 (100,000 bytes, 1 MiB and
// 16 MiB), read by the streaming read and by the block-by-block read (one
// positional read per block, into a buffer made once), the anchor that a
// chain in any order must stay within twice of.
const std::filesystem::path& layout_archive(std::int64_t layout,
                                            std::int64_t block_size) {
  static std::map<std::pair<std::int64_t, std::int64_t>, std::filesystem::path>
      paths;
  auto [it, added] = paths.try_emplace({layout, block_size});
  if (added) {
    const auto chain = static_cast<ChainOrder>(layout);
    const std::size_t size = block_size == 5    ? 100'000
                             : block_size == 64 ? std::size_t{1} << 20
                                                : std::size_t{16} << 20;
    it->second = scratch_dir() / (std::string(testing::order_name(chain)) +
                                  "-" + std::to_string(block_size) + ".dat");
    write_or_die(it->second,
                 testing::one_file_archive(static_cast<std::uint32_t>(block_size),
                                           real_data(size), false, chain));
  }
  return it->second;
}

void BM_StreamChain(benchmark::State& state) {
  auto db = open_or_die(layout_archive(state.range(0), state.range(1)));
  const DatFileEntry entry = *db.files().find(1);
  std::uint64_t seen = 0;
  for (auto _ : state) {
    auto read = db.read_file(1, [&seen](std::span<const std::byte> piece) {
      benchmark::DoNotOptimize(piece.data());
      seen += piece.size();
      return true;
    });
    if (!read) return state.SkipWithError(debug_string(read.error()).c_str());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          entry.size);
  state.SetLabel(testing::order_name(
      static_cast<ChainOrder>(state.range(0))));
}
BENCHMARK(BM_StreamChain)
    ->ArgsProduct({{0, 1, 2}, {5, 64, 4096}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_BlockByBlock(benchmark::State& state) {
  const auto& path = layout_archive(state.range(0), state.range(1));
  auto db = open_or_die(path);
  const DatFileEntry entry = *db.files().find(1);
  auto file = File::open_read_only(path);
  std::vector<std::byte> out(entry.size);
  const std::size_t payload = db.header().block_size - 4;
  for (auto _ : state) {
    // Per block one positional read of its pointer and its payload piece.
    std::uint64_t block = entry.offset;
    for (std::size_t at = 0; at < out.size(); at += payload) {
      std::array<std::byte, 4> pointer;
      const std::span<std::byte> piece =
          std::span(out).subspan(at, std::min(payload, out.size() - at));
      if (!read_exact_at_compat(*file, pointer, piece, block)) {
        return state.SkipWithError("a block read failed");
      }
      block = load_u32(pointer.data());
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          entry.size);
  state.SetLabel(testing::order_name(
      static_cast<ChainOrder>(state.range(0))));
}
BENCHMARK(BM_BlockByBlock)
    ->ArgsProduct({{0, 1, 2}, {5, 64, 4096}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace ostrand_dat::bench
