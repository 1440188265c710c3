#include "ostrand_dat/ostrand_dat.h"

#include <array>
#include <optional>
#include <span>
#include <utility>

#include "block_chain.h"
#include "coding.h"
#include "directory_walk.h"
#include "file_stream.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/version.h"
#include "platform/file.h"
#include "record_fields.h"

namespace ostrand_dat {

// Offset  Width  Field
//      0      4  magic
//      4      4  block_size
//      8      4  file_size
//     12      4  dataset
//     16      4  subset
//     20      4  free_head
//     24      4  free_tail
//     28      4  free_count
//     32      4  root_offset
//     36      4  new_lru
//     40      4  old_lru
//     44      4  use_lru
//     48      4  master_map_id
//     52      4  engine_version
//     56      4  game_version
//     60     16  version_string (raw bytes)
//     76      4  version_minor
std::expected<DatHeader, ReadError> DatHeader::read(RecordReader& reader) {
  DatHeader header;
  FieldReader field(reader, "DatHeader");
  field.u32(header.magic, "magic");
  field.u32(header.block_size, "block_size");
  field.u32(header.file_size, "file_size");
  field.u32(header.dataset, "dataset");
  field.u32(header.subset, "subset");
  field.u32(header.free_head, "free_head");
  field.u32(header.free_tail, "free_tail");
  field.u32(header.free_count, "free_count");
  field.u32(header.root_offset, "root_offset");
  field.u32(header.new_lru, "new_lru");
  field.u32(header.old_lru, "old_lru");
  field.u32(header.use_lru, "use_lru");
  field.u32(header.master_map_id, "master_map_id");
  field.u32(header.engine_version, "engine_version");
  field.u32(header.game_version, "game_version");
  field.bytes(header.version_string, "version_string");
  field.u32(header.version_minor, "version_minor");
  if (field.error()) return std::unexpected(std::move(*field.error()));
  return header;
}

// Offset  Width  Field
//      0      4  bit_flags (bit 0: compressed)
//      4      4  id
//      8      4  offset
//     12      4  size
//     16      4  timestamp
//     20      4  version
std::expected<DatFileEntry, ReadError> DatFileEntry::read(RecordReader& reader) {
  DatFileEntry entry;
  FieldReader field(reader, "DatFileEntry");
  field.u32(entry.bit_flags, "bit_flags");
  field.u32(entry.id, "id");
  field.u32(entry.offset, "offset");
  field.u32(entry.size, "size");
  field.u32(entry.timestamp, "timestamp");
  field.u32(entry.version, "version");
  if (field.error()) return std::unexpected(std::move(*field.error()));
  return entry;
}

std::expected<DatDatabase, DatError> DatDatabase::open(
    const std::filesystem::path& path) {
  return open(path, nullptr);
}

std::expected<DatDatabase, DatError> DatDatabase::open(
    const std::filesystem::path& path, NodeLog* log) {
  auto file = File::open_read_only(path);
  if (!file) {
    return std::unexpected(
        DatError(DatError::PathError{path, std::move(file.error())}));
  }

  // The header is read in one piece; a file that ends early yields fewer
  // bytes, and decoding those names the first field that is cut short. A
  // read that fails stops at the field it failed in, with that failure.
  std::array<std::byte, DatHeader::kSize> raw{};
  platform::ReadResult got =
      platform::read_fully(*file, DatHeader::kFileOffset, raw, {});
  RecordReader reader{std::span<const std::byte>(raw).first(got.filled)};
  auto header = DatHeader::read(reader);
  if (!header) {
    if (got.failure) header.error().cause = std::move(*got.failure);
    return std::unexpected(DatError(std::move(header.error())));
  }

  auto length = platform::file_length(*file);
  if (!length) return std::unexpected(DatError(std::move(length.error())));

  DatDatabase database(*header, std::move(*file), *length);
  auto loaded = database.read_directory(log);
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return database;
}

namespace {

// The `size` bytes of the chain at `offset` in `out`, which is resized to
// them; emptied on failure. A legitimate item always fits in the file:
// refusing larger sizes before resizing bounds the allocation by the
// file's length.
std::expected<void, DatError> gather_into(const BlockChain& chain,
                                          std::uint32_t offset,
                                          std::uint32_t size,
                                          std::vector<std::byte>& out) {
  out.clear();
  if (size > chain.file_length()) {
    return std::unexpected(item_too_large(offset, size, chain.file_length()));
  }
  out.resize(size);
  std::uint64_t unlimited = UINT64_MAX;
  auto gathered = chain.gather(offset, out, unlimited);
  if (!gathered) out.clear();
  return gathered;
}

}  // namespace

std::expected<std::vector<std::byte>, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  std::vector<std::byte> buffer;
  auto gathered = gather_into(
      BlockChain(file_, header_.block_size, file_length_), offset, size, buffer);
  if (!gathered) return std::unexpected(std::move(gathered.error()));
  return buffer;
}

std::expected<void, DatError> DatDatabase::read_directory(NodeLog* log) {
  auto files = load_directory(
      BlockChain(file_, header_.block_size, file_length_), header_.root_offset,
      log);
  if (!files) return std::unexpected(std::move(files.error()));
  files_ = std::move(*files);
  return {};
}

std::expected<FileInfo, DatError> DatDatabase::file_info(
    std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError(DatError::NotFound{id}));
  FileInfo info{*entry, std::nullopt};
  if (entry->is_compressed() && entry->size >= 4) {
    // The stream's first four bytes: its output size, little-endian.
    auto prefix = read_file_data(entry->offset, 4);
    if (!prefix) return std::unexpected(std::move(prefix.error()));
    info.declared_size = load_u32(prefix->data());
  }
  return info;
}

// A whole read is the streaming read collected into one vector: one path
// for the bytes, the decoding and the errors.
std::expected<std::vector<std::byte>, DatError> DatDatabase::get_file(
    std::uint32_t id, ReadOptions options) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError(DatError::NotFound{id}));
  const BlockChain chain(file_, header_.block_size, file_length_);
  FileStream stream = options.raw
                          ? FileStream(chain, entry->offset, entry->size)
                          : FileStream(chain, *entry);
  auto contents = collect(stream);
  const auto declared = stream.declared_size();
  if (contents && options.strict && declared && contents->size() < *declared) {
    return std::unexpected(DatError(DatError::DecompressionFailed{*declared}));
  }
  return contents;
}

std::expected<FileReadSummary, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size, const FileSink& sink) const {
  return stream_stored(BlockChain(file_, header_.block_size, file_length_),
                       offset, size, sink);
}

std::expected<FileReadSummary, DatError> DatDatabase::read_file(
    std::uint32_t id, const FileSink& sink, ReadOptions options) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError(DatError::NotFound{id}));
  const BlockChain chain(file_, header_.block_size, file_length_);
  if (options.raw)
    return stream_stored(chain, entry->offset, entry->size, sink);
  auto read = stream_contents(chain, *entry, sink);
  if (read && options.strict && !read->stopped && read->declared_size &&
      read->size < *read->declared_size) {
    return std::unexpected(
        DatError(DatError::DecompressionFailed{*read->declared_size}));
  }
  return read;
}

std::string_view version() noexcept { return kVersionString; }

}  // namespace ostrand_dat
