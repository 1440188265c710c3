// Writing archives in the format the reader understands: the chosen block
// size, items stored as block chains, a directory tree of 1716-byte nodes,
// optional compression, and sound-table encoding. A library of its own,
// ostrand_dat::writer; the reader library never writes.
#ifndef OSTRAND_DAT_WRITER_H_
#define OSTRAND_DAT_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/writer_export.h"

namespace ostrand_dat {

// The inverse of decompress_lrs: a greedy encoder whose output decodes back
// to `input` exactly. Inputs of 4 GiB or more cannot be described by the
// 32-bit size prefix and are not supported.
[[nodiscard]] OSTRAND_DAT_WRITER_EXPORT std::vector<std::byte> compress_lrs(
    std::span<const std::byte> input);

// A sound table as a list of records in stream order, so that duplicate keys
// can be written on purpose.
struct SoundTableRecords {
  std::uint32_t id = 0;
  std::int32_t hash_key = 0;
  std::vector<std::pair<std::uint32_t, file_type::SoundHashData>> hashes;
  std::vector<std::pair<std::uint32_t, file_type::SoundData>> sounds;
};
[[nodiscard]] OSTRAND_DAT_WRITER_EXPORT std::vector<std::byte>
encode_sound_table(const SoundTableRecords& table);
// A decoded table, its records in ascending key order.
[[nodiscard]] OSTRAND_DAT_WRITER_EXPORT std::vector<std::byte>
encode_sound_table(const file_type::SoundTable& table);

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
class OSTRAND_DAT_WRITER_EXPORT ArchiveWriter {
 public:
  explicit ArchiveWriter(std::uint32_t block_size = 1024)
      : block_size_(block_size) {}

  // Header fields to write; block_size, root_offset and file_size are set by
  // build().
  DatHeader& header() { return header_; }

  void add(StoredFile file);

  // The archive's bytes. Fails with Other when the block size is below 5 or
  // the archive would not fit 32-bit offsets.
  [[nodiscard]] std::expected<std::vector<std::byte>, DatError> build() const;
  // build() written to `path`.
  [[nodiscard]] std::expected<void, DatError> write(
      const std::filesystem::path& path) const;

 private:
  std::uint32_t block_size_;
  DatHeader header_;
  std::map<std::uint32_t, StoredFile> files_;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_WRITER_H_
