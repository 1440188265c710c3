#include "ostrand_dat/writer.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <limits>
#include <string>

#include "ostrand_dat/utils.h"

namespace ostrand_dat {
namespace {

void store_u32(std::byte* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::byte>(value >> (8 * i));
}

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

std::array<std::byte, DatHeader::kSize> encode_header(const DatHeader& header) {
  std::array<std::byte, DatHeader::kSize> out{};
  const std::uint32_t fields[] = {
      header.magic,         header.block_size,     header.file_size,
      header.dataset,       header.subset,         header.free_head,
      header.free_tail,     header.free_count,     header.root_offset,
      header.new_lru,       header.old_lru,        header.use_lru,
      header.master_map_id, header.engine_version, header.game_version};
  std::size_t at = 0;
  for (std::uint32_t field : fields) {
    store_u32(out.data() + at, field);
    at += 4;
  }
  std::memcpy(out.data() + at, header.version_string.data(), 16);
  store_u32(out.data() + at + 16, header.version_minor);
  return out;
}

std::array<std::byte, DatFileEntry::kSize> encode_entry(const DatFileEntry& entry) {
  std::array<std::byte, DatFileEntry::kSize> out{};
  const std::uint32_t fields[] = {entry.bit_flags, entry.id,        entry.offset,
                                  entry.size,      entry.timestamp, entry.version};
  for (std::size_t i = 0; i < 6; ++i) store_u32(out.data() + 4 * i, fields[i]);
  return out;
}

std::vector<std::byte> encode_node(const DirectoryNode& node) {
  std::vector<std::byte> out(kNodeSize);
  for (std::size_t i = 0; i < kNodeBranches; ++i) {
    store_u32(out.data() + 4 * i, node.branches[i]);
  }
  store_u32(out.data() + 4 * kNodeBranches,
            node.entry_count.value_or(static_cast<std::uint32_t>(node.entries.size())));
  const std::size_t slots = std::min(node.entries.size(), kNodeEntries);
  for (std::size_t i = 0; i < slots; ++i) {
    auto bytes = encode_entry(node.entries[i]);
    std::memcpy(out.data() + 4 * kNodeBranches + 4 + DatFileEntry::kSize * i,
                bytes.data(), bytes.size());
  }
  return out;
}

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

ArchiveImage::ArchiveImage(std::uint32_t block_size)
    : block_size_(block_size),
      bytes_(DatHeader::kFileOffset + DatHeader::kSize) {}

std::uint64_t ArchiveImage::allocate_block() {
  const std::uint64_t offset = bytes_.size();
  bytes_.resize(bytes_.size() + block_size_);
  return offset;
}

std::uint64_t ArchiveImage::store_chain(std::span<const std::byte> payload) {
  assert(block_size_ > 4);
  if (payload.empty()) return 0;
  const std::size_t per_block = block_size_ - 4;
  const std::uint64_t first = allocate_block();
  std::uint64_t block = first;
  while (true) {
    const std::size_t take = std::min(per_block, payload.size());
    put(block + 4, payload.first(take));
    payload = payload.subspan(take);
    if (payload.empty()) return first;
    const std::uint64_t next = allocate_block();
    put_u32(block, static_cast<std::uint32_t>(next));
    block = next;
  }
}

void ArchiveImage::put(std::uint64_t offset, std::span<const std::byte> bytes) {
  if (offset + bytes.size() > bytes_.size()) bytes_.resize(offset + bytes.size());
  if (!bytes.empty()) std::memcpy(bytes_.data() + offset, bytes.data(), bytes.size());
}

void ArchiveImage::put_u32(std::uint64_t offset, std::uint32_t value) {
  std::byte bytes[4];
  store_u32(bytes, value);
  put(offset, bytes);
}

void ArchiveImage::put_header(const DatHeader& header) {
  put(DatHeader::kFileOffset, encode_header(header));
}

std::expected<void, IoError> ArchiveImage::write(
    const std::filesystem::path& path) const {
  return write_whole_file(path, bytes_);
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
    if (file.data.size() > kLimit || image.size() + stored.size() > kLimit) {
      return std::unexpected(DatError(DatError::Other{
          "file " + std::to_string(id) +
          " does not fit in an archive with 32-bit offsets"}));
    }
    const std::uint64_t offset = image.store_chain(stored);
    entries.push_back(DatFileEntry{
        file.extra_flags | (file.compress ? 1u : 0u), id,
        static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(stored.size()),
        file.timestamp, file.version});
  }
  const std::uint64_t root = entries.empty() ? 0 : store_subtree(image, entries);
  if (image.size() > kLimit) {
    return std::unexpected(DatError(DatError::Other{
        "archive of " + std::to_string(image.size()) +
        " bytes does not fit 32-bit offsets"}));
  }
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
  auto written = write_whole_file(path, *bytes);
  if (!written) return std::unexpected(DatError(std::move(written.error())));
  return {};
}

}  // namespace ostrand_dat
