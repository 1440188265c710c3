// Writes the seed corpora of the fuzz targets with the library's writer:
// fuzz_make_corpus DIR fills DIR/<target>/ with named seeds, replacing
// seeds of the same name and leaving every other file (past findings) alone.
// The seeds are committed; run this only to change them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <span>
#include <system_error>
#include <vector>

#include "archive_image.h"
#include "chain_layout.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "platform/write_file.h"

namespace {

namespace fs = std::filesystem;
using ostrand_dat::ArchiveImage;
using ostrand_dat::ArchiveWriter;
using ostrand_dat::DatHeader;
using ostrand_dat::DirectoryNode;
using ostrand_dat::SoundTableRecords;
using ostrand_dat::StoredFile;
using ostrand_dat::file_type::SoundData;
using ostrand_dat::file_type::SoundEntry;
using Bytes = std::vector<std::byte>;

Bytes text(std::string_view s) {
  Bytes out;
  for (char c : s) out.push_back(static_cast<std::byte>(c));
  return out;
}

Bytes raw(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

SoundData sound(std::vector<std::uint32_t> waves, std::int32_t unknown = 0) {
  SoundData data;
  for (auto wave : waves) data.entries.push_back(SoundEntry{wave, 0.5f, 1.0f, 0.25f});
  data.unknown = unknown;
  return data;
}

Bytes small_table(std::uint32_t id) {
  return encode_sound_table(SoundTableRecords{
      id,
      7,
      {{0x10, {1.0f, 0.5f, 0.75f}}},
      {{0x58, sound({0x0A000262, 0x0A000263})},
       {0x0E, sound({})},
       {0x20, sound({0, 0x0A000274}, -1)}}});
}

// The archive target reads its input from the header on (file offset 320).
Bytes from_header(Bytes archive) {
  archive.erase(archive.begin(), archive.begin() + DatHeader::kFileOffset);
  return archive;
}

Bytes built(const ArchiveWriter& writer) {
  auto bytes = writer.build();
  if (!bytes) {
    std::fprintf(stderr, "error: %s\n", debug_string(bytes.error()).c_str());
    std::exit(1);
  }
  return from_header(std::move(*bytes));
}

struct Seed {
  std::string target;
  std::string name;
  Bytes bytes;
};

std::vector<Seed> archive_seeds() {
  std::vector<Seed> seeds;
  {
    ArchiveWriter writer(64);
    seeds.push_back({"archive", "empty_directory", built(writer)});
  }
  {
    ArchiveWriter writer(64);
    writer.add({.id = 0x20000001, .data = small_table(0x20000001)});
    writer.add({.id = 0x0A000262, .data = text("RIFF....WAVEfmt ")});
    seeds.push_back({"archive", "plain_sound_table", built(writer)});
  }
  {
    ArchiveWriter writer(128);
    writer.add({.id = 0x20000001, .data = small_table(0x20000001), .compress = true});
    writer.add({.id = 0x20000002, .data = small_table(0x20000002), .compress = true});
    writer.add({.id = 7, .data = text("seven seven seven seven"), .compress = true});
    seeds.push_back({"archive", "compressed_sound_tables", built(writer)});
  }
  {
    // 64 files, most of them empty: a root with one entry and two leaves.
    ArchiveWriter writer(256);
    for (std::uint32_t id = 1; id <= 64; ++id) {
      writer.add({.id = id, .data = Bytes(id % 16 == 0 ? id : 0, std::byte{0x61})});
    }
    seeds.push_back({"archive", "two_level_directory", built(writer)});
  }
  {
    ArchiveWriter writer(8);  // four payload bytes per block
    writer.add({.id = 1, .data = text("tiny blocks")});
    seeds.push_back({"archive", "block_size_8", built(writer)});
  }
  {
    // A root node that lists itself as its child.
    ArchiveImage image(2048);
    DirectoryNode node;
    node.entries.push_back({0, 1, 0, 0, 0, 0});
    const auto root = image.allocate_block();
    node.branches[0] = static_cast<std::uint32_t>(root);
    image.put(root + 4, encode_node(node));
    DatHeader header;
    header.block_size = 2048;
    header.root_offset = static_cast<std::uint32_t>(root);
    image.put_header(header);
    seeds.push_back({"archive", "node_is_its_own_child", from_header(image.bytes())});
  }
  return seeds;
}

// The stream_read target: four bytes that pick the piece sizes, then an
// archive from its header on.
Bytes with_pieces(std::initializer_list<int> pick, const Bytes& archive) {
  Bytes out;
  for (int b : pick) out.push_back(static_cast<std::byte>(b));
  out.insert(out.end(), archive.begin(), archive.end());
  return out;
}

std::vector<Seed> stream_read_seeds() {
  std::vector<Seed> seeds;
  Bytes prose;
  for (int i = 0; i < 300; ++i) {
    const auto line = text("line " + std::to_string(i % 37) + " of the stream\n");
    prose.insert(prose.end(), line.begin(), line.end());
  }
  {
    // Files over many blocks, compressed and not, read in the smallest
    // pieces and in large ones.
    ArchiveWriter writer(64);
    writer.add({.id = 1, .data = prose, .compress = true});
    writer.add({.id = 2, .data = prose});
    writer.add({.id = 3, .data = text("ab"), .compress = true});
    const Bytes archive = built(writer);
    seeds.push_back({"stream_read", "smallest_pieces", with_pieces({0, 0, 0, 0}, archive)});
    seeds.push_back({"stream_read", "large_pieces", with_pieces({0xFF, 0xFF, 0xFF, 0xFF}, archive)});
  }
  {
    // A compressed file whose chain runs backwards through the file, and
    // whose stream declares more than it holds.
    auto packed = ostrand_dat::compress_lrs(prose);
    packed[2] = std::byte{0x7F};
    const std::uint32_t block_size = 32;
    ArchiveImage image(block_size);
    std::vector<std::uint64_t> blocks;
    const std::size_t count = (packed.size() + block_size - 5) / (block_size - 4);
    for (std::size_t i = 0; i < count; ++i) blocks.push_back(image.allocate_block());
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t block = blocks[count - 1 - i];
      const std::size_t at = i * (block_size - 4);
      image.put_u32(block, i + 1 < count ? static_cast<std::uint32_t>(blocks[count - 2 - i]) : 0);
      image.put(block + 4, std::span(packed).subspan(at, std::min<std::size_t>(block_size - 4, packed.size() - at)));
    }
    DirectoryNode node;
    node.entries.push_back(ostrand_dat::DatFileEntry{1, 5, static_cast<std::uint32_t>(blocks[count - 1]),
                            static_cast<std::uint32_t>(packed.size()), 0, 0});
    const auto root = image.store_chain(encode_node(node));
    DatHeader header;
    header.block_size = block_size;
    header.root_offset = static_cast<std::uint32_t>(root);
    image.put_header(header);
    seeds.push_back({"stream_read", "backward_chain_short_stream",
                     with_pieces({0, 3, 0, 40}, from_header(image.bytes()))});
  }
  {
    // Chains in scattered runs and in reverse, whole and with the archive
    // cut inside them, compressed and not.
    using ostrand_dat::ChainOrder;
    const Bytes packed = ostrand_dat::compress_lrs(prose);
    const struct {
      const char* name;
      ChainOrder layout;
      bool compressed;
      std::size_t cut;  // bytes taken off the end
    } layouts[] = {
        {"scattered_chain", ChainOrder::kScattered, true, 0},
        {"reversed_plain_chain", ChainOrder::kReversed, false, 0},
        {"cut_scattered_chain", ChainOrder::kScattered, true, 300},
        {"cut_forward_chain", ChainOrder::kForward, true, 45},
        {"cut_forward_plain_chain", ChainOrder::kForward, false, 1000},
    };
    for (const auto& l : layouts) {
      Bytes archive = ostrand_dat::testing::one_file_archive(
          16, l.compressed ? packed : prose, l.compressed, l.layout);
      archive.resize(archive.size() - l.cut);
      seeds.push_back({"stream_read", l.name,
                       with_pieces({0, 7, 0, 0}, from_header(archive))});
    }
  }
  return seeds;
}

std::vector<Seed> decompress_seeds() {
  Bytes prose = text(
      "The archive's directory is a tree of fixed-size nodes stored in block "
      "chains; each node carries up to 61 entries and 62 children. The tree "
      "is walked once, depth first, and every entry goes into the map.");
  return {
      {"decompress_lrs", "literals_then_reference",
       raw({6, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x01})},
      {"decompress_lrs", "run_cut_at_declared_size",
       raw({6, 0, 0, 0, 0x40, 0x61, 0x01, 0x0F})},
      {"decompress_lrs", "reference_before_start",
       raw({5, 0, 0, 0, 0x20, 0x78, 0x79, 0x03, 0x01})},
      {"decompress_lrs", "declared_size_ffffffff",
       raw({0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x61, 0x01, 0x0F, 0x01, 0x0F, 0x01,
            0x0F, 0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F, 0x01, 0x0F})},
      {"decompress_lrs", "compressed_prose", ostrand_dat::compress_lrs(prose)},
  };
}

std::vector<Seed> round_trip_seeds() {
  Bytes binary;
  for (int i = 0; i < 300; ++i) binary.push_back(static_cast<std::byte>(i * i % 251));
  // Noise, then its start again: a match 4500 bytes back, beyond the 4095
  // a back-reference can reach, then one 300 bytes back, within reach.
  Bytes far;
  std::uint32_t x = 2463534242u;
  for (int i = 0; i < 4500; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    far.push_back(static_cast<std::byte>(x));
  }
  far.insert(far.end(), far.begin(), far.begin() + 200);
  far.insert(far.end(), far.begin() + 4400, far.begin() + 4500);
  return {
      {"lrs_round_trip", "repeat_beyond_the_window", far},
      {"lrs_round_trip", "prose",
       text("sound tables map a sound kind to weighted wave choices; "
            "sound tables map a sound kind to weighted wave choices.")},
      {"lrs_round_trip", "long_run", Bytes(600, std::byte{0x7A})},
      {"lrs_round_trip", "binary", binary},
  };
}

std::vector<Seed> sound_table_seeds() {
  return {
      {"sound_table", "documented_table",
       raw({0x01, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x01, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x01, 0x00,
            0x00, 0x00, 0x23, 0x01, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00})},
      {"sound_table", "hashes_and_sounds", small_table(0x20000003)},
      {"sound_table", "repeated_keys",
       encode_sound_table(SoundTableRecords{
           9, -3, {{1, {}}, {1, {2, 2, 2}}}, {{5, sound({1})}, {5, sound({2, 3})}}})},
      {"sound_table", "negative_counts",
       raw({1, 0, 0, 0, 2, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80})},
      {"sound_table", "entry_count_ffffffff",
       raw({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 5, 0, 0, 0, 0xFF,
            0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
  };
}

// Arguments after the program path, separated by NUL bytes.
Seed command_line(std::string name, std::initializer_list<std::string_view> args) {
  Bytes out;
  bool first = true;
  for (std::string_view arg : args) {
    if (!first) out.push_back(std::byte{0});
    first = false;
    const Bytes bytes = text(arg);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
  return {"runner_options", std::move(name), std::move(out)};
}

std::vector<Seed> runner_options_seeds() {
  return {
      command_line("list_terse", {"--list", "-q"}),
      command_line("filters_exact_skip", {"native", "--exact", "--skip", "js_"}),
      command_line("zero_threads", {"--test-threads", "0"}),
      command_line("values_inline", {"--format=terse", "--color", "never",
                                     "--test-threads=4", "--logfile=run.log"}),
      command_line("flags", {"--show-output", "--nocapture", "--bench", "--test",
                             "--include-ignored"}),
      command_line("experimental", {"-Zunstable-options", "--shuffle"}),
      command_line("grouped_short_and_end", {"-qh", "--", "--list"}),
  };
}

std::vector<Seed> answer_line_seeds() {
  return {
      {"answer_line", "resolved",
       text("{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":"
            "\"0x20000001\",\"sound\":88,\"waveDid\":\"0x0A000262\"}\n")},
      {"answer_line", "unresolved_and_blank_lines",
       text("  {\"command\":\"quillon-resolve-sound\",\"waveDid\":null}\r\n"
            "\n   \n{\"waveDid\": \"+1f\"}")},
      {"answer_line", "odd_values",
       text("{\"waveDid\":5}\n{\"waveDid\" : \"0x1\"}\n{\"waveDid\":\"0x0x1\"}\n"
            "{\"waveDid\":\"0x100000000\"}\n{\"waveDid\":\"a\\\"b\"}\n")},
      {"answer_line", "invalid_utf8",
       raw({0xC2, 0xA0, '{', '"', 'w', 'a', 'v', 'e', 'D', 'i', 'd', '"', ':', '"',
            'F', 'F', '"', '}', 0xE2, 0x82, '\n', 0xFF, 0xE3, 0x80, 0x80})},
  };
}

// Block size (2 bytes), then records: flags, 2-byte id, 2-byte length, and
// a count and that many bytes, which the data repeats.
Bytes write_records(std::uint16_t block_size, std::uint32_t files,
                    std::uint16_t length) {
  Bytes out = {std::byte(block_size >> 8), std::byte(block_size & 0xFF)};
  for (std::uint32_t i = 0; i < files; ++i) {
    const std::uint32_t l = length;
    for (const std::uint32_t b :
         {i % 4, i & 0xFF, i >> 8, l & 0xFF, l >> 8, 2u, i * 7 + 1, i * 13 + 2}) {
      out.push_back(static_cast<std::byte>(b));
    }
  }
  return out;
}

std::vector<Seed> write_round_trip_seeds() {
  // Block sizes 5 + the first two bytes modulo 2048.
  return {
      {"write_round_trip", "block_size_5", write_records(0, 3, 40)},
      {"write_round_trip", "two_levels_of_nodes", write_records(1019, 130, 3)},
      {"write_round_trip", "long_files", write_records(59, 4, 20000)},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "Usage: %s CORPUS_DIR\n", argc > 0 ? argv[0] : "fuzz_make_corpus");
    return 2;
  }
  std::vector<Seed> seeds = archive_seeds();
  // The check target reads the same inputs as the archive target.
  for (std::size_t i = 0, n = seeds.size(); i < n; ++i) {
    seeds.push_back({"check", seeds[i].name, seeds[i].bytes});
  }
  for (auto&& group :
       {stream_read_seeds(), decompress_seeds(), round_trip_seeds(), sound_table_seeds(),
        runner_options_seeds(), answer_line_seeds(), write_round_trip_seeds()}) {
    seeds.insert(seeds.end(), group.begin(), group.end());
  }
  for (const auto& seed : seeds) {
    const fs::path dir = fs::path(argv[1]) / seed.target;
    std::error_code error;
    fs::create_directories(dir, error);
    auto written = ostrand_dat::platform::write_whole_file(dir / seed.name, seed.bytes);
    if (error || !written) {
      std::fprintf(stderr, "error: cannot write %s: %s\n", (dir / seed.name).c_str(),
                   error ? error.message().c_str()
                         : ostrand_dat::display_string(written.error()).c_str());
      return 1;
    }
    std::printf("%s (%zu bytes)\n", (dir / seed.name).c_str(), seed.bytes.size());
  }
  return 0;
}
