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
#include <functional>
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

// compress_lrs fed in pieces: its output is compress_lrs's whatever pieces
// the input comes in. The input's size is given first (the output's 4-byte
// prefix declares it); the last bytes of a piece wait for what follows them,
// or for the end. Owns about 400 KiB whatever the size; one thread at a
// time.
class OSTRAND_DAT_WRITER_EXPORT LrsEncoder {
 public:
  explicit LrsEncoder(std::uint32_t size);

  // Takes the next piece of the input and encodes what it can. A piece
  // longer than what remains of `size` is refused whole (false).
  bool add(std::span<const std::byte> piece);
  // Whether all `size` bytes have come: output() then holds the rest.
  bool done() const { return received_ == size_; }
  // The encoded bytes not yet cleared, as far as they are final.
  std::span<const std::byte> output() const;
  void clear_output();

 private:
  friend std::vector<std::byte> compress_lrs(std::span<const std::byte>);
  void slide();
  void encode();

  std::uint64_t size_;
  std::uint64_t received_ = 0;
  std::uint64_t base_ = 0;               // the input position of held_[0]
  std::vector<std::uint32_t> head_;      // per hash, its last position
  std::vector<std::uint32_t> previous_;  // per position, the one before
  std::vector<std::byte> held_;          // input bytes from base_ on
  std::size_t filled_ = 0;               // of held_
  std::size_t pos_ = 0;                  // the next to encode, in held_
  std::vector<std::byte> out_;
  std::size_t control_at_ = 0;  // in out_, the control byte getting bits
  unsigned bit_ = 0;            // its next bit; 0: none open
};

// compress_lrs's format encoded on several threads: the input, fed in
// pieces, is cut into segments (1 MiB), each parsed on its own with the
// 4 KiB before it as history, and their tokens are joined in order. The
// output decodes back to the input exactly; it differs from compress_lrs's
// only where matches stop at a seam, a few bytes per 1 MiB segment (well
// under 0.1%), and equals it for inputs of one segment. Uses up to `threads`
// threads (8 at most) during add(); holds about 2.4 MiB per thread. One
// caller thread at a time.
class OSTRAND_DAT_WRITER_EXPORT ParallelLrsEncoder {
 public:
  static constexpr std::size_t kSegment = std::size_t{1} << 20;

  // `threads` 0: std::thread::hardware_concurrency(). `segment_bytes`:
  // bytes per segment (small ones make many seams, for tests).
  explicit ParallelLrsEncoder(std::uint32_t size, unsigned threads = 0,
                              std::size_t segment_bytes = kSegment);
  ~ParallelLrsEncoder();
  ParallelLrsEncoder(const ParallelLrsEncoder&) = delete;
  ParallelLrsEncoder& operator=(const ParallelLrsEncoder&) = delete;

  // As LrsEncoder's: takes the next piece, refusing one longer than what
  // remains of `size` whole (false); encodes whenever a segment per thread
  // has come, and at the end.
  bool add(std::span<const std::byte> piece);
  bool done() const { return received_ == size_; }
  std::span<const std::byte> output() const;
  void clear_output();

 private:
  struct Segment;
  void start_segment(std::size_t index);
  void encode_segments();

  std::uint64_t size_;
  std::uint64_t received_ = 0;
  std::size_t segment_;
  std::vector<Segment> segments_;  // one per thread
  std::size_t filling_ = 0;        // the segment taking input
  bool encoded_all_ = false;
  std::vector<std::byte> out_;
  std::size_t control_at_ = 0;  // in out_, the control byte getting bits
  unsigned bit_ = 0;            // its next bit; 0: none open
};

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

// Puts all of `bytes` at byte `offset` of the archive being written.
using ArchiveSink = std::function<std::expected<void, IoError>(
    std::uint64_t offset, std::span<const std::byte> bytes)>;

// An archive written as its files come, through a sink of positional
// writes: 400 bytes kept for the header, each file as a chain of blocks in
// file order, then at finish() the directory tree and the header. The
// archive is ArchiveWriter::build()'s for the same files stored in
// ascending id order. Holds a 1 MiB buffer and 24 bytes per file written,
// whatever the block size; one thread at a time.
class OSTRAND_DAT_WRITER_EXPORT ArchiveStreamWriter {
 public:
  // Fails with Other when the block size is below 5.
  static std::expected<ArchiveStreamWriter, DatError> create(
      std::uint32_t block_size, ArchiveSink sink);

  // Header fields to write; block_size, root_offset and file_size are set
  // by finish().
  DatHeader& header() { return header_; }

  // Opens the next file, described by `entry` (bit_flags, id, timestamp and
  // version; offset and size are the writer's). No file may be open.
  void begin_file(const DatFileEntry& entry);
  // Appends stored bytes to the open file. Fails with Other when the
  // archive would pass 32-bit offsets, with Io when the sink fails or
  // memory runs out (OutOfMemory).
  std::expected<void, DatError> write(std::span<const std::byte> bytes);
  // The stored bytes of the open file so far.
  std::uint64_t written() const { return chain_size_; }
  // Closes the open file without listing it: the next file is written over
  // its blocks.
  void abandon();
  // Closes the open file and lists it in the directory.
  std::expected<void, DatError> end_file();

  // Writes the directory and the header, and returns the archive's size.
  // The sink may have been given bytes past it (an abandoned file's), which
  // are not part of the archive. Two files with one id fail (DuplicateId).
  std::expected<std::uint64_t, DatError> finish();

 private:
  ArchiveStreamWriter(std::uint32_t block_size, ArchiveSink sink);
  std::uint64_t tail() const { return buffer_at_ + buffer_.size(); }
  std::expected<void, DatError> put(std::span<const std::byte> bytes);
  std::expected<void, DatError> put_zeros(std::uint64_t count);
  std::expected<void, DatError> flush();
  std::expected<void, DatError> append_chain(std::span<const std::byte> bytes);
  std::expected<std::uint64_t, DatError> end_chain();
  std::expected<std::uint64_t, DatError> store_chain(
      std::span<const std::byte> bytes);
  std::expected<std::uint64_t, DatError> store_subtree(
      std::span<const DatFileEntry> entries);

  std::uint32_t block_size_;
  ArchiveSink sink_;
  DatHeader header_;
  std::vector<std::byte> buffer_;  // the archive's bytes from buffer_at_ on
  std::uint64_t buffer_at_ = 0;
  std::uint64_t chain_first_ = 0;  // the open chain's first block; 0: none
  std::uint64_t chain_size_ = 0;   // its payload bytes
  std::uint64_t block_ = 0;        // its last block
  std::uint64_t block_used_ = 0;   // bytes of that block, pointer included
  bool file_open_ = false;
  DatFileEntry file_;
  std::vector<DatFileEntry> entries_;
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
