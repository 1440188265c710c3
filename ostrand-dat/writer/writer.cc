#include "ostrand_dat/writer.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <string>

#include "archive_image.h"
#include "coding.h"
#include "node_layout.h"
#include "ostrand_dat/utils.h"
#include "platform/write_file.h"

namespace ostrand_dat {
namespace {

template <typename T>
void append(std::vector<std::byte>& out, T value) {
  static_assert(sizeof(T) == 4);
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  // Grown by resize and filled in place: g++ 12 at -O3 takes the range
  // insert into an empty vector for an overflow and warns.
  out.resize(out.size() + 4);
  store_u32(out.data() + out.size() - 4, bits);
}

void append_sound_data(std::vector<std::byte>& out,
                       const file_type::SoundData& data) {
  append(out, static_cast<std::uint32_t>(data.entries.size()));
  for (const auto& entry : data.entries) {
    append(out, entry.wave_did);
    append(out, entry.priority);
    append(out, entry.probability);
    append(out, entry.volume);
  }
  append(out, data.unknown);
}

// Entries a tree of `height` levels can hold: 61 in a leaf; an inner node
// holds 61 and 62 subtrees of one level less.
std::uint64_t tree_capacity(int height) {
  std::uint64_t capacity = kNodeEntries;
  for (int h = 1; h < height; ++h) {
    capacity = kNodeEntries + kNodeBranches * capacity;
  }
  return capacity;
}

// Stores the subtree over `entries` (ascending ids) node by node, children
// before their parent, and returns the offset of its root node.
std::uint64_t store_subtree(ArchiveImage& image,
                            std::span<const DatFileEntry> entries) {
  DirectoryNode node;
  if (entries.size() <= kNodeEntries) {
    node.entries.assign(entries.begin(), entries.end());
    return image.store_chain(encode_node(node));
  }
  int height = 2;
  while (tree_capacity(height) < entries.size()) ++height;
  const std::uint64_t child_capacity = tree_capacity(height - 1);
  // The fewest children (entry_count + 1 of them) that hold every entry,
  // filled evenly; the entries between them go into this node.
  const std::size_t children = static_cast<std::size_t>(
      (entries.size() + 1 + child_capacity) / (child_capacity + 1));
  const std::size_t in_children = entries.size() - (children - 1);
  std::size_t position = 0;
  for (std::size_t i = 0; i < children; ++i) {
    const std::size_t take =
        in_children / children + (i < in_children % children ? 1 : 0);
    node.branches[i] = static_cast<std::uint32_t>(
        store_subtree(image, entries.subspan(position, take)));
    position += take;
    if (i + 1 < children) node.entries.push_back(entries[position++]);
  }
  return image.store_chain(encode_node(node));
}

}  // namespace

std::vector<std::byte> encode_sound_table(const SoundTableRecords& table) {
  std::vector<std::byte> out;
  append(out, table.id);
  append(out, table.hash_key);
  append(out, static_cast<std::int32_t>(table.hashes.size()));
  for (const auto& [key, hash] : table.hashes) {
    append(out, key);
    append(out, hash.priority);
    append(out, hash.probability);
    append(out, hash.volume);
  }
  append(out, static_cast<std::int32_t>(table.sounds.size()));
  for (const auto& [key, data] : table.sounds) {
    append(out, key);
    append_sound_data(out, data);
  }
  return out;
}

std::vector<std::byte> encode_sound_table(const file_type::SoundTable& table) {
  SoundTableRecords records{table.id, table.hash_key, {}, {}};
  records.hashes.assign(table.hashes.begin(), table.hashes.end());
  records.sounds.assign(table.sounds.begin(), table.sounds.end());
  std::sort(records.hashes.begin(), records.hashes.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::sort(records.sounds.begin(), records.sounds.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return encode_sound_table(records);
}

void ArchiveWriter::add(StoredFile file) {
  const std::uint32_t id = file.id;
  files_.insert_or_assign(id, std::move(file));
}

std::expected<std::vector<std::byte>, DatError> ArchiveWriter::build() const {
  if (block_size_ < 5) {
    return std::unexpected(DatError(DatError::Other{
        "block size " + std::to_string(block_size_) +
        " leaves no room for payload after the 4-byte next-block pointer"}));
  }
  constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();
  ArchiveImage image(block_size_);
  std::vector<DatFileEntry> entries;
  entries.reserve(files_.size());
  for (const auto& [id, file] : files_) {
    std::vector<std::byte> compressed;
    std::span<const std::byte> stored = file.data;
    if (file.compress && file.data.size() <= kLimit) {
      compressed = compress_lrs(file.data);
      stored = compressed;
    }
    // GCOVR_EXCL_START: needs 4 GiB of files
    if (file.data.size() > kLimit || image.size() + stored.size() > kLimit) {
      return std::unexpected(DatError(DatError::Other{
          "file " + std::to_string(id) +
          " does not fit in an archive with 32-bit offsets"}));
    }
    // GCOVR_EXCL_STOP
    const std::uint64_t offset = image.store_chain(stored);
    entries.push_back(DatFileEntry{
        file.extra_flags | (file.compress ? 1u : 0u), id,
        static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(stored.size()),
        file.timestamp, file.version});
  }
  const std::uint64_t root = entries.empty() ? 0 : store_subtree(image, entries);
  // GCOVR_EXCL_START: needs 4 GiB of files
  if (image.size() > kLimit) {
    return std::unexpected(DatError(DatError::Other{
        "archive of " + std::to_string(image.size()) +
        " bytes does not fit 32-bit offsets"}));
  }
  // GCOVR_EXCL_STOP
  DatHeader header = header_;
  header.block_size = block_size_;
  header.root_offset = static_cast<std::uint32_t>(root);
  header.file_size = static_cast<std::uint32_t>(image.size());
  image.put_header(header);
  return std::move(image).take();
}

std::expected<void, DatError> ArchiveWriter::write(
    const std::filesystem::path& path) const {
  auto bytes = build();
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  auto written = platform::write_whole_file(path, *bytes);
  if (!written) return std::unexpected(DatError(std::move(written.error())));
  return {};
}

}  // namespace ostrand_dat
