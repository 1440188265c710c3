// Writing archives in the format the reader understands: the chosen block
// size, items stored as block chains, a directory tree of 1716-byte nodes,
// optional compression, and sound-table encoding. For tests, samples and the
// packing tool; the reader never writes.
#ifndef OSTRAND_DAT_WRITER_H_
#define OSTRAND_DAT_WRITER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

// The 80 header bytes, fields in order, little-endian.
std::array<std::byte, DatHeader::kSize> encode_header(const DatHeader& header);
// The 24 bytes of a directory entry.
std::array<std::byte, DatFileEntry::kSize> encode_entry(
    const DatFileEntry& entry);

// A directory node before encoding. `entry_count` overrides the stored count
// (for hostile layouts); by default it is entries.size().
struct DirectoryNode {
  std::array<std::uint32_t, kNodeBranches> branches{};
  std::vector<DatFileEntry> entries;  // at most 61 are encoded
  std::optional<std::uint32_t> entry_count;
};
// The 1716 node bytes: branches, entry_count, 61 entry slots (unused ones 0).
std::vector<std::byte> encode_node(const DirectoryNode& node);

// A sound table as a list of records in stream order, so that duplicate keys
// can be written on purpose.
struct SoundTableRecords {
  std::uint32_t id = 0;
  std::int32_t hash_key = 0;
  std::vector<std::pair<std::uint32_t, file_type::SoundHashData>> hashes;
  std::vector<std::pair<std::uint32_t, file_type::SoundData>> sounds;
};
std::vector<std::byte> encode_sound_table(const SoundTableRecords& table);
// A decoded table, its records in ascending key order.
std::vector<std::byte> encode_sound_table(const file_type::SoundTable& table);

// Raw archive bytes with block allocation, for building any layout by hand,
// hostile ones included. Blocks are appended after the 400 header bytes.
// Owns its bytes; not thread-safe.
class ArchiveImage {
 public:
  // `block_size` must be at least 5 for store_chain; smaller sizes can still
  // be written into the header by hand.
  explicit ArchiveImage(std::uint32_t block_size);

  std::uint32_t block_size() const { return block_size_; }
  std::uint64_t size() const { return bytes_.size(); }

  // Appends one zeroed block and returns its offset.
  std::uint64_t allocate_block();
  // Stores `payload` as a chain of new blocks (pointer of the last one 0)
  // and returns the first block's offset; an empty payload stores nothing
  // and returns 0.
  std::uint64_t store_chain(std::span<const std::byte> payload);

  // Writes bytes at any offset, growing the image with zeros as needed.
  void put(std::uint64_t offset, std::span<const std::byte> bytes);
  void put_u32(std::uint64_t offset, std::uint32_t value);
  void put_header(const DatHeader& header);

  // Cuts the image to `length` bytes (to make truncated files).
  void truncate(std::uint64_t length) { bytes_.resize(length); }

  const std::vector<std::byte>& bytes() const { return bytes_; }
  std::vector<std::byte> take() && { return std::move(bytes_); }
  std::expected<void, IoError> write(const std::filesystem::path& path) const;

 private:
  std::uint32_t block_size_;
  std::vector<std::byte> bytes_;
};

// One file to store.
struct StoredFile {
  std::uint32_t id = 0;
  std::vector<std::byte> data;
  bool compress = false;          // store compress_lrs(data), bit 0 set
  std::uint32_t extra_flags = 0;  // other bit_flags bits, kept as given
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;
};

// Builds a well-formed archive: every file stored as a block chain, and a
// balanced directory tree over the ids in ascending order (leaves of up to
// 61 entries; inner nodes with entry_count entries and entry_count + 1
// children). Adding an id again replaces the earlier file.
class ArchiveWriter {
 public:
  explicit ArchiveWriter(std::uint32_t block_size = 1024)
      : block_size_(block_size) {}

  // Header fields to write; block_size, root_offset and file_size are set by
  // build().
  DatHeader& header() { return header_; }

  void add(StoredFile file);

  // The archive's bytes. Fails with Other when the block size is below 5 or
  // the archive would not fit 32-bit offsets.
  std::expected<std::vector<std::byte>, DatError> build() const;
  // build() written to `path`.
  std::expected<void, DatError> write(const std::filesystem::path& path) const;

 private:
  std::uint32_t block_size_;
  DatHeader header_;
  std::map<std::uint32_t, StoredFile> files_;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_WRITER_H_
