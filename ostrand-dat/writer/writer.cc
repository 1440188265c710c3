#include "ostrand_dat/writer.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <limits>
#include <new>
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

namespace {

constexpr std::uint64_t kLimit = std::numeric_limits<std::uint32_t>::max();
// Output is collected up to this many bytes before it goes to the sink.
constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kReserved = DatHeader::kFileOffset + DatHeader::kSize;

DatError out_of_memory() {
  return DatError(IoError(IoErrorKind::OutOfMemory, "out of memory"));
}

DatError too_large(std::string what) {
  return DatError(DatError::Other{
      std::move(what) + " does not fit in an archive with 32-bit offsets"});
}

}  // namespace

std::expected<ArchiveStreamWriter, DatError> ArchiveStreamWriter::create(
    std::uint32_t block_size, ArchiveSink sink) {
  if (block_size < 5) {
    return std::unexpected(DatError(DatError::Other{
        "block size " + std::to_string(block_size) +
        " leaves no room for payload after the 4-byte next-block pointer"}));
  }
  try {
    return ArchiveStreamWriter(block_size, std::move(sink));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

ArchiveStreamWriter::ArchiveStreamWriter(std::uint32_t block_size,
                                         ArchiveSink sink)
    : block_size_(block_size), sink_(std::move(sink)) {
  buffer_.reserve(kBufferBytes);
  buffer_.resize(kReserved);
}

std::expected<void, DatError> ArchiveStreamWriter::flush() {
  if (buffer_.empty()) return {};
  auto written = sink_(buffer_at_, buffer_);
  if (!written) return std::unexpected(DatError(std::move(written.error())));
  buffer_at_ += buffer_.size();
  buffer_.clear();
  return {};
}

std::expected<void, DatError> ArchiveStreamWriter::put(
    std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    if (buffer_.size() == kBufferBytes) {
      auto flushed = flush();
      if (!flushed) return flushed;
    }
    const std::size_t take =
        std::min(bytes.size(), kBufferBytes - buffer_.size());
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.begin() + take);
    bytes = bytes.subspan(take);
  }
  return {};
}

std::expected<void, DatError> ArchiveStreamWriter::put_zeros(
    std::uint64_t count) {
  static constexpr std::byte kZeros[4096] = {};
  while (count > 0) {
    const std::size_t take =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, sizeof kZeros));
    auto done = put(std::span(kZeros, take));
    if (!done) return done;
    count -= take;
  }
  return {};
}

// Forward order: each new block goes at the end, and the block before it
// gets its offset as its next-block pointer. A pointer lies whole in the
// buffer or whole before it.
std::expected<void, DatError> ArchiveStreamWriter::append_chain(
    std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    if (block_ == 0 || block_used_ == block_size_) {
      const std::uint64_t next = tail();
      if (next + block_size_ > kLimit) {
        return std::unexpected(too_large(
            file_open_ ? "file " + std::to_string(file_.id) : "the directory"));
      }
      if (buffer_.size() + 4 > kBufferBytes) {
        auto flushed = flush();
        if (!flushed) return flushed;
      }
      std::byte pointer[4];
      store_u32(pointer, static_cast<std::uint32_t>(next));
      if (block_ == 0) {
        chain_first_ = next;
      } else if (block_ >= buffer_at_) {
        std::memcpy(buffer_.data() + (block_ - buffer_at_), pointer, 4);
      } else {
        auto written = sink_(block_, pointer);
        if (!written)
          return std::unexpected(DatError(std::move(written.error())));
      }
      block_ = next;
      block_used_ = 4;
      auto room = put_zeros(4);
      if (!room) return room;
    }
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(bytes.size(), block_size_ - block_used_));
    auto done = put(bytes.first(take));
    if (!done) return done;
    block_used_ += take;
    chain_size_ += take;
    bytes = bytes.subspan(take);
  }
  return {};
}

// Pads the last block with zeros; returns the chain's first block, 0 for
// an empty chain.
std::expected<std::uint64_t, DatError> ArchiveStreamWriter::end_chain() {
  const std::uint64_t first = chain_first_;
  if (block_ != 0) {
    auto padded = put_zeros(block_size_ - block_used_);
    if (!padded) return std::unexpected(std::move(padded.error()));
  }
  chain_first_ = chain_size_ = block_ = block_used_ = 0;
  return first;
}

std::expected<std::uint64_t, DatError> ArchiveStreamWriter::store_chain(
    std::span<const std::byte> bytes) {
  auto appended = append_chain(bytes);
  if (!appended) return std::unexpected(std::move(appended.error()));
  return end_chain();
}

// Stores the subtree over `entries` (ascending ids) node by node, children
// before their parent, and returns the offset of its root node.
std::expected<std::uint64_t, DatError> ArchiveStreamWriter::store_subtree(
    std::span<const DatFileEntry> entries) {
  DirectoryNode node;
  if (entries.size() <= kNodeEntries) {
    node.entries.assign(entries.begin(), entries.end());
    return store_chain(encode_node(node));
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
    auto child = store_subtree(entries.subspan(position, take));
    if (!child) return child;
    node.branches[i] = static_cast<std::uint32_t>(*child);
    position += take;
    if (i + 1 < children) node.entries.push_back(entries[position++]);
  }
  return store_chain(encode_node(node));
}

void ArchiveStreamWriter::begin_file(const DatFileEntry& entry) {
  assert(!file_open_);
  file_ = entry;
  file_open_ = true;
}

std::expected<void, DatError> ArchiveStreamWriter::write(
    std::span<const std::byte> bytes) {
  assert(file_open_);
  try {
    return append_chain(bytes);
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

void ArchiveStreamWriter::abandon() {
  assert(file_open_);
  file_open_ = false;
  if (chain_first_ != 0) {
    if (chain_first_ >= buffer_at_) {
      buffer_.resize(static_cast<std::size_t>(chain_first_ - buffer_at_));
    } else {
      buffer_.clear();
      buffer_at_ = chain_first_;
    }
  }
  chain_first_ = chain_size_ = block_ = block_used_ = 0;
}

std::expected<void, DatError> ArchiveStreamWriter::end_file() {
  assert(file_open_);
  try {
    const std::uint64_t size = chain_size_;
    auto first = end_chain();
    if (!first) return std::unexpected(std::move(first.error()));
    file_.offset = static_cast<std::uint32_t>(*first);
    file_.size = static_cast<std::uint32_t>(size);
    entries_.push_back(file_);
    file_open_ = false;
    return {};
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

std::expected<std::uint64_t, DatError> ArchiveStreamWriter::finish() {
  assert(!file_open_);
  try {
    std::sort(entries_.begin(), entries_.end(),
              [](const DatFileEntry& a, const DatFileEntry& b) {
                return a.id < b.id;
              });
    for (std::size_t i = 1; i < entries_.size(); ++i) {
      if (entries_[i].id == entries_[i - 1].id) {
        return std::unexpected(DatError(DatError::DuplicateId{entries_[i].id}));
      }
    }
    std::uint64_t root = 0;
    if (!entries_.empty()) {
      auto stored = store_subtree(entries_);
      if (!stored) return stored;
      root = *stored;
    }
    const std::uint64_t size = tail();
    auto flushed = flush();
    if (!flushed) return std::unexpected(std::move(flushed.error()));
    DatHeader header = header_;
    header.block_size = block_size_;
    header.root_offset = static_cast<std::uint32_t>(root);
    header.file_size = static_cast<std::uint32_t>(size);
    std::array<std::byte, kReserved> reserved{};
    const auto encoded = encode_header(header);
    std::memcpy(reserved.data() + DatHeader::kFileOffset, encoded.data(),
                encoded.size());
    auto written = sink_(0, reserved);
    if (!written) return std::unexpected(DatError(std::move(written.error())));
    return size;
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

std::expected<std::vector<std::byte>, DatError> ArchiveWriter::build() const {
  std::vector<std::byte> bytes;
  auto writer = ArchiveStreamWriter::create(
      block_size_,
      [&bytes](std::uint64_t offset, std::span<const std::byte> piece)
          -> std::expected<void, IoError> {
        if (offset + piece.size() > bytes.size()) {
          bytes.resize(static_cast<std::size_t>(offset + piece.size()));
        }
        std::memcpy(bytes.data() + offset, piece.data(), piece.size());
        return {};
      });
  if (!writer) return std::unexpected(std::move(writer.error()));
  writer->header() = header_;
  for (const auto& [id, file] : files_) {
    // GCOVR_EXCL_START: needs 4 GiB of files
    if (file.data.size() > kLimit) {
      return std::unexpected(too_large("file " + std::to_string(id)));
    }
    // GCOVR_EXCL_STOP
    writer->begin_file(
        DatFileEntry{file.extra_flags | (file.compress ? 1u : 0u), id, 0, 0,
                     file.timestamp, file.version});
    auto written = file.compress ? writer->write(compress_lrs(file.data))
                                 : writer->write(file.data);
    if (written) written = writer->end_file();
    if (!written) return std::unexpected(std::move(written.error()));
  }
  auto size = writer->finish();
  if (!size) return std::unexpected(std::move(size.error()));
  bytes.resize(static_cast<std::size_t>(*size));
  return bytes;
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
