#include "archive_image.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>
#include <vector>

#include "coding.h"

namespace ostrand_dat {

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

std::uint64_t ArchiveImage::store_chain(std::span<const std::byte> payload,
                                        ChainOrder order) {
  assert(block_size_ > 4);
  const std::size_t per_block = block_size_ - 4;
  const std::size_t count = (payload.size() + per_block - 1) / per_block;
  if (count == 0) return 0;
  std::vector<std::uint64_t> blocks(count);
  for (auto& block : blocks) block = allocate_block();
  if (order == ChainOrder::kReversed) std::reverse(blocks.begin(), blocks.end());
  if (order == ChainOrder::kScattered) {
    // Runs cut and shuffled by xorshift, seeded with the block count.
    std::uint32_t x = static_cast<std::uint32_t>(count) * 2654435761u + 1;
    auto random = [&x](std::size_t range) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      return x % range;
    };
    std::vector<std::span<const std::uint64_t>> runs;
    for (std::size_t i = 0; i < count; i += runs.back().size()) {
      runs.push_back(std::span(blocks).subspan(i, std::min(count - i, 1 + random(16))));
    }
    for (std::size_t i = runs.size(); i > 1; --i) std::swap(runs[i - 1], runs[random(i)]);
    std::vector<std::uint64_t> shuffled;
    for (auto run : runs) shuffled.insert(shuffled.end(), run.begin(), run.end());
    blocks = std::move(shuffled);
  }
  for (std::size_t i = 0; i < count; ++i) {
    put_u32(blocks[i], i + 1 < count ? static_cast<std::uint32_t>(blocks[i + 1]) : 0);
    const std::size_t at = i * per_block;
    put(blocks[i] + 4, payload.subspan(at, std::min(per_block, payload.size() - at)));
  }
  return blocks[0];
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

}  // namespace ostrand_dat
