// The portal archive: a file of fixed-size blocks chained by next-block
// pointers, with a directory tree of nodes that lists every stored file by a
// 32-bit id. Opening loads the whole directory; files are then fetched by id.
#ifndef OSTRAND_DAT_OSTRAND_DAT_H_
#define OSTRAND_DAT_OSTRAND_DAT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "ostrand_dat/error.h"
#include "ostrand_dat/export.h"
#include "ostrand_dat/file.h"
#include "ostrand_dat/record_reader.h"

namespace ostrand_dat {

// The archive header: 80 bytes at file offset 320, seventeen fields in this
// order, every number a little-endian u32. Nothing is validated on reading.
struct OSTRAND_DAT_EXPORT DatHeader {
  static constexpr std::uint64_t kFileOffset = 320;
  static constexpr std::size_t kSize = 80;

  std::uint32_t magic = 0;
  std::uint32_t block_size = 0;  // bytes per block, next-block pointer included
  std::uint32_t file_size = 0;
  std::uint32_t dataset = 0;
  std::uint32_t subset = 0;
  std::uint32_t free_head = 0;
  std::uint32_t free_tail = 0;
  std::uint32_t free_count = 0;
  std::uint32_t root_offset = 0;  // the directory's root node; 0: no directory
  std::uint32_t new_lru = 0;
  std::uint32_t old_lru = 0;
  std::uint32_t use_lru = 0;
  std::uint32_t master_map_id = 0;
  std::uint32_t engine_version = 0;
  std::uint32_t game_version = 0;
  std::array<std::byte, 16> version_string{};  // raw bytes, not text
  std::uint32_t version_minor = 0;

  // Decodes the seventeen fields from `reader`. A field cut short fails with
  // the short-read cause and the context "While parsing field '<name>' in
  // DatHeader"; consumes exactly 80 bytes on success.
  [[nodiscard]] static std::expected<DatHeader, ReadError> read(
      RecordReader& reader);

  friend bool operator==(const DatHeader&, const DatHeader&) = default;
};

// One directory entry: where a stored file's bytes lie. 24 bytes on disk,
// six little-endian u32 in this order.
struct OSTRAND_DAT_EXPORT DatFileEntry {
  static constexpr std::size_t kSize = 24;

  std::uint32_t bit_flags = 0;  // bit 0: the stored bytes are compressed
  std::uint32_t id = 0;
  std::uint32_t offset = 0;  // first block of the file's chain
  std::uint32_t size = 0;    // stored bytes in that chain
  std::uint32_t timestamp = 0;
  std::uint32_t version = 0;

  [[nodiscard]] bool is_compressed() const { return (bit_flags & 0x1u) != 0; }

  // Decodes one entry; a field cut short fails with the context "While
  // parsing field '<name>' in DatFileEntry".
  [[nodiscard]] static std::expected<DatFileEntry, ReadError> read(
      RecordReader& reader);

  friend bool operator==(const DatFileEntry&, const DatFileEntry&) = default;
};

// The directory: one entry per file id, in ascending id order. Lookups by
// id; iteration runs in ascending id order. Owns its entries; immutable once
// the archive is open, so any number of threads may read it at once.
// Move-only.
class OSTRAND_DAT_EXPORT FileMap {
 public:
  using const_iterator = std::span<const DatFileEntry>::iterator;

  // The memory of a map's entries, which only the library makes: a map with
  // entries comes from DatDatabase::open.
  struct Storage;

  FileMap() noexcept;
  explicit FileMap(std::unique_ptr<Storage> storage) noexcept;
  FileMap(FileMap&& other) noexcept;
  FileMap& operator=(FileMap&& other) noexcept;
  FileMap(const FileMap&) = delete;
  FileMap& operator=(const FileMap&) = delete;
  ~FileMap();

  // The entry for `id`, or nullptr. Valid as long as the map is.
  [[nodiscard]] const DatFileEntry* find(std::uint32_t id) const;
  [[nodiscard]] bool contains(std::uint32_t id) const {
    return find(id) != nullptr;
  }
  [[nodiscard]] std::size_t size() const { return entries_.size(); }
  [[nodiscard]] bool empty() const { return entries_.empty(); }
  // Every entry, ids strictly ascending.
  [[nodiscard]] std::span<const DatFileEntry> entries() const {
    return entries_;
  }
  [[nodiscard]] const_iterator begin() const { return entries_.begin(); }
  [[nodiscard]] const_iterator end() const { return entries_.end(); }

 private:
  std::unique_ptr<Storage> storage_;
  std::span<const DatFileEntry> entries_;  // in storage_, ids ascending
};

// Where the streaming reads hand a file's contents: called with consecutive
// pieces, in order (each valid only during the call); returns false to stop
// the read there.
using FileSink = std::function<bool(std::span<const std::byte> piece)>;

// What a streaming read found besides the bytes it handed on.
struct FileReadSummary {
  std::uint64_t size = 0;  // bytes handed to the sink
  bool stopped = false;    // the sink stopped the read before the end
  // For a compressed entry whose stored bytes begin with the 4-byte output
  // size: that size. The decoded contents may fall short of it (the stream
  // ends early) or the stream may hold more than it; both are read as they
  // are, exactly as get_file() reads them.
  std::optional<std::uint32_t> declared_size;

  friend bool operator==(const FileReadSummary&,
                         const FileReadSummary&) = default;
};

// How a read by id treats the stored bytes. The default reads contents
// exactly as get_file() always has.
struct ReadOptions {
  // The stored bytes of the entry as they lie in its chain, compressed or
  // not: what read_file_data(entry.offset, entry.size) gives.
  bool raw = false;
  // A compressed entry whose stream ends before the output size its 4-byte
  // prefix declares fails with DecompressionFailed (carrying the declared
  // size), after the bytes decoded before the end were handed on. Without
  // it such an entry reads short, as decoding never fails. Ignored with raw.
  bool strict = false;
};

// What the directory and, for a compressed entry, its first four stored
// bytes say about a file, without reading the rest of it.
struct FileInfo {
  DatFileEntry entry;  // id, flags, first block, stored size, time, version
  // For a compressed entry of 4 stored bytes or more: the output size its
  // stream declares. Damage can make the stream end before it.
  std::optional<std::uint32_t> declared_size;
  // The contents' size as far as the archive tells without decoding: the
  // declared size, else the stored size (contents that are not compressed,
  // and compressed entries under 4 bytes, read as stored).
  [[nodiscard]] std::uint32_t size() const {
    return declared_size.value_or(entry.size);
  }

  friend bool operator==(const FileInfo&, const FileInfo&) = default;
};

// A file read by pulling its bytes: each read() fills the caller's buffer
// with the next bytes of what get_file() (with the same options) returns,
// reading the chain and decoding as it goes, in a few hundred KiB of memory
// whatever the file's size. Made by DatDatabase::open_file; borrows the
// database, which must outlive it and stay where it is (not be moved).
// Move-only; one thread at a time (open
// one reader per thread).
class OSTRAND_DAT_EXPORT FileReader {
 public:
  FileReader(FileReader&& other) noexcept;
  FileReader& operator=(FileReader&& other) noexcept;
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;
  ~FileReader();

  // Up to out.size() next bytes into `out`, and how many: fewer only at the
  // end of the file (0 from then on) or right before a failure. A failure
  // is returned by the call after the one that handed out the last bytes
  // read before it, and by every call after that.
  [[nodiscard]] std::expected<std::size_t, DatError> read(
      std::span<std::byte> out);
  // Bytes handed out so far.
  [[nodiscard]] std::uint64_t position() const;
  [[nodiscard]] const DatFileEntry& entry() const;

 private:
  friend class DatDatabase;
  struct State;
  explicit FileReader(std::unique_ptr<State> state) noexcept;

  std::unique_ptr<State> state_;
};

class ArchiveChecker;
class NodeLog;  // inside the library

// An open archive. Owns its file; after open() it is only read, with
// positional reads, so get_file() may run on several threads at once.

class OSTRAND_DAT_EXPORT DatDatabase {
 public:
  // Opens `path` read-only, reads the header and loads the whole directory.
  // Fails with PathError when the file cannot be opened, BinRead when the
  // header is cut short, and the errors of the directory load otherwise. A
  // block_size of 4 or less with a directory to walk is Corruption.
  [[nodiscard]] static std::expected<DatDatabase, DatError> open(
      const std::filesystem::path& path);

  [[nodiscard]] const DatHeader& header() const { return header_; }
  [[nodiscard]] const FileMap& files() const { return files_; }

  // The entry of file `id` and the size its contents declare, reading at
  // most the 4-byte prefix of a compressed entry. NotFound when the
  // directory has no such id; a prefix that cannot be read fails as
  // read_file_data() does.
  [[nodiscard]] std::expected<FileInfo, DatError> file_info(
      std::uint32_t id) const;

  // Gathers `size` bytes through the block chain that starts at `offset`.
  // Fails with Io when a read fails (UnexpectedEof past the end of the
  // file), and with Corruption when `size` exceeds the file's length or a
  // block chain needs blocks that cannot hold payload (block_size <= 4).
  [[nodiscard]] std::expected<std::vector<std::byte>, DatError> read_file_data(
      std::uint32_t offset, std::uint32_t size) const;

  // The contents of file `id`, decompressed when its entry says so.
  // NotFound when the directory has no such id, else the errors of
  // read_file_data() for the stored bytes. Decoding itself never fails: a
  // stream that is cut short or malformed gives the bytes decoded up to
  // where it stopped, a stream that ends before its declared size gives
  // fewer bytes, and fewer than 4 stored bytes are returned as stored. Ask
  // for options.strict to have a short stream fail instead, options.raw for
  // the stored bytes.
  [[nodiscard]] std::expected<std::vector<std::byte>, DatError> get_file(
      std::uint32_t id, ReadOptions options = {}) const;

  // Streams file `id`: hands `sink` exactly the bytes get_file() returns,
  // in pieces, reading the chain in batches of blocks and decompressing as
  // it goes, so that its memory stays within a few hundred KiB whatever the
  // file's size. Fails with exactly the errors get_file() fails with; a
  // failure is returned after the pieces read before it were handed on, and
  // the read is complete only when this returns a summary. The sink may
  // stop the read by returning false. Safe on several threads at once, each
  // with its own sink. `options` as for get_file().
  [[nodiscard]] std::expected<FileReadSummary, DatError> read_file(
      std::uint32_t id, const FileSink& sink, ReadOptions options = {}) const;

  // File `id` for reading by pulling (see FileReader); NotFound when the
  // directory has no such id. Nothing is read until the first read().
  [[nodiscard]] std::expected<FileReader, DatError> open_file(
      std::uint32_t id, ReadOptions options = {}) const;

  // Streams the `size` bytes of the chain at `offset`: exactly what
  // read_file_data() returns, in pieces, as read_file() streams.
  [[nodiscard]] std::expected<FileReadSummary, DatError> read_file_data(
      std::uint32_t offset, std::uint32_t size, const FileSink& sink) const;

 private:
  friend class ArchiveChecker;

  DatDatabase(DatHeader header, File file, std::uint64_t file_length)
      : header_(header), file_(std::move(file)), file_length_(file_length) {}

  // open(), the nodes it reads noted in `log` when given.
  static std::expected<DatDatabase, DatError> open(
      const std::filesystem::path& path, NodeLog* log);
  // Walks the directory from header().root_offset into files_.
  std::expected<void, DatError> read_directory(NodeLog* log);

  DatHeader header_;
  FileMap files_;
  File file_;
  std::uint64_t file_length_ = 0;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_OSTRAND_DAT_H_
