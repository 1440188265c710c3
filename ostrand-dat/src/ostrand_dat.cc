#include "ostrand_dat/ostrand_dat.h"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_set>
#include <utility>

#include "ostrand_dat/utils.h"
#include "record_fields.h"

namespace ostrand_dat {
namespace {

std::uint32_t load_u32(const std::array<std::byte, 4>& bytes) {
  return std::to_integer<std::uint32_t>(bytes[0]) |
         std::to_integer<std::uint32_t>(bytes[1]) << 8 |
         std::to_integer<std::uint32_t>(bytes[2]) << 16 |
         std::to_integer<std::uint32_t>(bytes[3]) << 24;
}

DatError corruption(std::string text) {
  return DatError(DatError::Corruption{std::move(text)});
}

std::string hex(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return "0x" + digits;
}

}  // namespace

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

FileMap FileMap::from_walk_order(std::vector<DatFileEntry> entries) {
  // Walk positions sorted by (id, position): the last of each run of equal
  // ids is the entry decoded last.
  std::vector<std::uint32_t> order(entries.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    order[i] = static_cast<std::uint32_t>(i);
  }
  std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return entries[a].id != entries[b].id ? entries[a].id < entries[b].id : a < b;
  });
  FileMap map;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i + 1 < order.size() && entries[order[i + 1]].id == entries[order[i]].id) {
      continue;
    }
    map.entries_.push_back(entries[order[i]]);
  }
  map.entries_.shrink_to_fit();
  return map;
}

const DatFileEntry* FileMap::find(std::uint32_t id) const {
  auto it = std::lower_bound(
      entries_.begin(), entries_.end(), id,
      [](const DatFileEntry& entry, std::uint32_t key) { return entry.id < key; });
  return it != entries_.end() && it->id == id ? &*it : nullptr;
}

std::expected<DatDatabase, DatError> DatDatabase::open(
    const std::filesystem::path& path) {
  auto file = File::open_read_only(path);
  if (!file) {
    return std::unexpected(
        DatError(DatError::PathError{path, std::move(file.error())}));
  }

  // The header is read in one piece; a file that ends early yields fewer
  // bytes, and decoding those names the first field that is cut short.
  std::array<std::byte, DatHeader::kSize> raw{};
  std::size_t got = 0;
  std::optional<IoError> failure;
  while (got < raw.size()) {
    auto n = file->read_at_some(DatHeader::kFileOffset + got,
                                std::span(raw).subspan(got));
    if (!n) {
      if (n.error().kind() == IoErrorKind::Interrupted) continue;
      failure = std::move(n.error());
      break;
    }
    if (*n == 0) break;
    got += *n;
  }
  RecordReader reader{std::span<const std::byte>(raw).first(got)};
  auto header = DatHeader::read(reader);
  if (!header) {
    if (failure) header.error().cause = std::move(*failure);
    return std::unexpected(DatError(std::move(header.error())));
  }

  auto length = file->length();
  if (!length) return std::unexpected(DatError(std::move(length.error())));

  DatDatabase database(*header, std::move(*file), *length);
  auto loaded = database.read_directory();
  if (!loaded) return std::unexpected(std::move(loaded.error()));
  return database;
}

std::expected<std::vector<std::byte>, DatError> DatDatabase::read_file_data(
    std::uint32_t offset, std::uint32_t size) const {
  std::uint64_t unlimited = UINT64_MAX;
  return gather(offset, size, unlimited);
}

// One vectored read per block: the next-block pointer into a local and the
// payload straight into its final place. Invariant: filled + remaining ==
// size; every non-final block adds at least one byte (block_size > 4), so
// the loop ends after at most size / (block_size - 4) blocks, rounded up,
// even on a chain that points back into itself.
std::expected<std::vector<std::byte>, DatError> DatDatabase::gather(
    std::uint32_t offset, std::uint32_t size,
    std::uint64_t& block_budget) const {
  if (size == 0) return std::vector<std::byte>();
  // A legitimate item always fits in the file; refusing larger sizes here
  // bounds the allocation by the file's length.
  if (size > file_length_) {
    return std::unexpected(corruption(
        "item of " + std::to_string(size) + " bytes at offset " + hex(offset) +
        " is larger than the archive (" + std::to_string(file_length_) +
        " bytes)"));
  }
  std::vector<std::byte> buffer(size);
  std::span<std::byte> rest(buffer);
  const std::uint64_t payload_per_block =
      header_.block_size > 4 ? header_.block_size - 4u : 0;
  std::uint64_t current = offset;  // 64 bits: current + 4 never wraps
  while (!rest.empty()) {
    if (block_budget == 0) {
      // Only the directory walk runs on a finite budget.
      return std::unexpected(corruption(
          "directory walk needs more blocks than the archive holds; stopped "
          "at the node at offset " +
          hex(offset)));
    }
    --block_budget;
    std::array<std::byte, 4> pointer;
    auto piece = rest.first(std::min<std::uint64_t>(rest.size(), payload_per_block));
    auto read = read_exact_at_compat(file_, pointer, piece, current);
    if (!read) return std::unexpected(DatError(std::move(read.error())));
    const std::uint32_t next = load_u32(pointer);
    if (next == 0) {
      // The last block holds whatever is still missing, in one piece.
      auto tail = rest.subspan(piece.size());
      if (!tail.empty()) {
        auto done = read_exact_at_compat(file_, tail, current + 4 + piece.size());
        if (!done) return std::unexpected(DatError(std::move(done.error())));
      }
      break;
    }
    if (payload_per_block == 0) {
      return std::unexpected(corruption(
          "block size " + std::to_string(header_.block_size) +
          " leaves no room for payload in the chained block at offset " +
          hex(current)));
    }
    rest = rest.subspan(piece.size());
    current = next;
  }
  return buffer;
}

std::expected<void, DatError> DatDatabase::read_directory() {
  if (header_.root_offset == 0) return {};
  if (header_.block_size <= 4) {
    return std::unexpected(corruption(
        "block size " + std::to_string(header_.block_size) +
        " leaves no room for payload after the 4-byte next-block pointer"));
  }
  std::vector<DatFileEntry> walk;
  auto loaded = read_node(header_.root_offset, walk);
  if (!loaded) return loaded;
  files_ = FileMap::from_walk_order(std::move(walk));
  return {};
}

// Node layout, 1716 bytes read through the node's block chain:
// Offset  Width  Field
//      0    248  branches: 62 child node offsets, 0 = no child
//    248      4  entry_count
//    252   1464  61 entry slots of 24 bytes; the first entry_count are used
//
// Depth first and pre-order: a node's entries are appended before any child
// is visited, children in slot order. An explicit stack replaces recursion
// so that a deep hostile tree cannot exhaust the call stack. Exits: a child
// already on the current path (a loop), a block budget of one block per
// block the file can hold (nodes shared by many parents), and any read or
// decode failure.
std::expected<void, DatError> DatDatabase::read_node(
    std::uint32_t offset, std::vector<DatFileEntry>& walk) {
  if (offset == 0) return {};
  struct Frame {
    std::uint32_t offset;
    std::array<std::uint32_t, kNodeBranches> children;
    std::uint32_t child_count;  // slots to look at
    std::uint32_t next_slot;
  };
  std::vector<Frame> path;
  std::unordered_set<std::uint32_t> on_path;
  std::uint64_t block_budget = file_length_ / header_.block_size + 1;

  auto visit = [&](std::uint32_t node_offset) -> std::expected<void, DatError> {
    auto data = gather(node_offset, kNodeSize, block_budget);
    if (!data) return std::unexpected(std::move(data.error()));
    RecordReader reader(*data);
    Frame frame{node_offset, {}, 0, 0};
    for (auto& child : frame.children) child = *reader.read_u32();
    const std::uint32_t entry_count = *reader.read_u32();
    // A count above 61 runs off the node's end in slot 61 and fails there.
    for (std::uint32_t slot = 0; slot < entry_count; ++slot) {
      auto entry = DatFileEntry::read(reader);
      if (!entry) return std::unexpected(DatError(std::move(entry.error())));
      walk.push_back(*entry);
    }
    if (frame.children[0] != 0) {
      frame.child_count = std::min<std::uint32_t>(entry_count, kNodeEntries) + 1u;
    }
    path.push_back(frame);
    on_path.insert(node_offset);
    return {};
  };

  auto visited = visit(offset);
  if (!visited) return visited;
  while (!path.empty()) {
    Frame& top = path.back();
    if (top.next_slot == top.child_count) {
      on_path.erase(top.offset);
      path.pop_back();
      continue;
    }
    const std::uint32_t child = top.children[top.next_slot++];
    if (child == 0) continue;
    if (on_path.contains(child)) {
      return std::unexpected(corruption(
          "directory node at offset " + hex(child) +
          " is its own ancestor (listed as a child of the node at offset " +
          hex(top.offset) + ")"));
    }
    visited = visit(child);
    if (!visited) return visited;
  }
  return {};
}

std::expected<std::vector<std::byte>, DatError> DatDatabase::get_file(
    std::uint32_t id) const {
  const DatFileEntry* entry = files_.find(id);
  if (entry == nullptr) return std::unexpected(DatError(DatError::NotFound{id}));
  auto stored = read_file_data(entry->offset, entry->size);
  if (!stored || !entry->is_compressed()) return stored;
  return decompress_lrs(*stored);
}

}  // namespace ostrand_dat
