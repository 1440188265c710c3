#include "ostrand_dat/ostrand_dat.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>

#include "ostrand_dat/utils.h"
#include "platform/read_at_once.h"
#include "record_fields.h"

namespace ostrand_dat {
namespace {

DatError corruption(std::string text) {
  return DatError(DatError::Corruption{std::move(text)});
}

std::uint32_t load_u32(const std::byte* p) {
  return std::to_integer<std::uint32_t>(p[0]) |
         std::to_integer<std::uint32_t>(p[1]) << 8 |
         std::to_integer<std::uint32_t>(p[2]) << 16 |
         std::to_integer<std::uint32_t>(p[3]) << 24;
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

DatError item_too_large(std::uint32_t offset, std::uint64_t size,
                        std::uint64_t file_length) {
  return corruption("item of " + std::to_string(size) + " bytes at offset " +
                    hex(offset) + " is larger than the archive (" +
                    std::to_string(file_length) + " bytes)");
}

// Directory entries are six little-endian u32 in the order of
// DatFileEntry's fields, which is how a little-endian machine lays that
// struct out: there the slots are copied whole, one copy per node instead
// of six loads per entry.
void decode_entries(std::span<const std::byte> slots,
                    std::span<DatFileEntry> out) {
  if constexpr (std::endian::native == std::endian::little &&
                sizeof(DatFileEntry) == DatFileEntry::kSize &&
                std::is_trivially_copyable_v<DatFileEntry>) {
    if (!out.empty()) std::memcpy(out.data(), slots.data(), out.size_bytes());
  } else {
    for (DatFileEntry& entry : out) {
      const std::byte* at = slots.data();
      entry = DatFileEntry{load_u32(at),      load_u32(at + 4),
                           load_u32(at + 8),  load_u32(at + 12),
                           load_u32(at + 16), load_u32(at + 20)};
      slots = slots.subspan(DatFileEntry::kSize);
    }
  }
}

bool ids_ascend(std::span<const DatFileEntry> entries) {
  return std::adjacent_find(entries.begin(), entries.end(),
                            [](const DatFileEntry& a, const DatFileEntry& b) {
                              return a.id >= b.id;
                            }) == entries.end();
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
  if (ids_ascend(entries)) {
    return from_ascending(Entries(entries.begin(), entries.end()));
  }
  // Keys of id and walk position, 8 bytes per entry beside the entries:
  // sorted, the last key of each run of equal ids is the entry decoded
  // last.
  assert(entries.size() <= std::numeric_limits<std::uint32_t>::max());
  std::vector<std::uint64_t> keys(entries.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    keys[i] = std::uint64_t{entries[i].id} << 32 | i;
  }
  std::sort(keys.begin(), keys.end());
  auto last_of_its_id = [&keys](std::size_t i) {
    return i + 1 == keys.size() || keys[i + 1] >> 32 != keys[i] >> 32;
  };
  std::size_t unique = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) unique += last_of_its_id(i);
  FileMap map;
  map.entries_.reserve(unique);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (last_of_its_id(i)) map.entries_.push_back(entries[keys[i] & 0xFFFFFFFFu]);
  }
  return map;
}

FileMap FileMap::from_ascending(Entries entries) {
  assert(ids_ascend(entries));
  FileMap map;
  map.entries_ = std::move(entries);
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
  // A legitimate item always fits in the file; refusing larger sizes before
  // allocating bounds the allocation by the file's length.
  if (size > file_length_) {
    return std::unexpected(item_too_large(offset, size, file_length_));
  }
  std::vector<std::byte> buffer(size);
  std::uint64_t unlimited = UINT64_MAX;
  auto gathered = gather(offset, buffer, unlimited);
  if (!gathered) return std::unexpected(std::move(gathered.error()));
  return buffer;
}

// One vectored read per block: the next-block pointer into a local and the
// payload straight into its final place. Invariant: the bytes of `out`
// before `rest` are filled; every non-final block adds at least one byte
// (block_size > 4), so the loop ends after at most size / (block_size - 4)
// blocks, rounded up, even on a chain that points back into itself.
std::expected<void, DatError> DatDatabase::gather(
    std::uint32_t offset, std::span<std::byte> out,
    std::uint64_t& byte_budget) const {
  if (out.size() > file_length_) {
    return std::unexpected(item_too_large(offset, out.size(), file_length_));
  }
  const std::uint64_t block_size = header_.block_size;
  const std::uint64_t payload_per_block = block_size > 4 ? block_size - 4 : 0;
  // Offsets are 32-bit, so whether a block's read is one the system takes
  // whole depends only on the block size.
  const bool blocks_fit_one_read =
      platform::fits_one_read(std::uint64_t{UINT32_MAX}, payload_per_block + 4);
  const int fd = file_.native_handle();
  // Kept in locals through the loop, which runs once per block.
  std::uint64_t budget = byte_budget;
  std::byte* filled = out.data();
  std::uint64_t missing = out.size();
  std::uint64_t current = offset;  // 64 bits: current + 4 never wraps
  while (missing != 0) {
    std::array<std::byte, 4> pointer;
    const std::span<std::byte> piece(filled,
                                     std::min(missing, payload_per_block));
    if (!blocks_fit_one_read ||
        platform::read_at_once(fd, current, pointer, piece) !=
            static_cast<ssize_t>(4 + piece.size())) {
      // Read again the careful way: it continues a short read and says
      // what stopped it.
      auto read = file_.read_exact_at(current, pointer, piece);
      if (!read) return std::unexpected(DatError(std::move(read.error())));
    }
    const std::uint32_t next = load_u32(pointer.data());
    if (next == 0 && missing > piece.size()) {
      // The last block holds whatever is still missing, in one piece.
      auto done = file_.read_exact_at(
          current + 4 + piece.size(),
          {filled + piece.size(), missing - piece.size()}, {});
      if (!done) return std::unexpected(DatError(std::move(done.error())));
    }
    // In a well-formed file every block has room of its own: a block the
    // chain goes on from its whole block_size, the block where the item
    // ends at least its pointer and the item's last bytes. The room is
    // charged after the reads, so that a file cut short still fails with
    // the short read.
    const bool item_ends_here = next == 0 || piece.size() == missing;
    const std::uint64_t room =
        item_ends_here ? 4 + (next == 0 ? missing : piece.size()) : block_size;
    if (budget < room) {
      return std::unexpected(corruption(
          "directory walk needs more blocks than the archive holds; stopped "
          "at the node at offset " +
          hex(offset)));
    }
    budget -= room;
    if (next == 0) break;
    if (payload_per_block == 0) {
      return std::unexpected(corruption(
          "block size " + std::to_string(header_.block_size) +
          " leaves no room for payload in the chained block at offset " +
          hex(current)));
    }
    filled += piece.size();
    missing -= piece.size();
    current = next;
  }
  byte_budget = budget;
  return {};
}

// The walk visits nodes depth first in pre-order, the order that decides
// duplicates, but hands entries on in-order: child 0's subtree, entry 0,
// child 1's subtree, entry 1, ... In a directory whose ids ascend in that
// order, as a B-tree's do, the entries come out sorted, so the map needs no
// sorting and holds each entry once, written once. When the in-order ids do
// not ascend strictly (a duplicate id or an unordered tree), the recorded
// shape of each node restores the walk order, and FileMap::from_walk_order
// applies the duplicate rule.
struct DatDatabase::Walk {
  // A visited node: its entry count, and which child slots were walked
  // (bit k: slot k). No bit set: a leaf.
  struct NodeShape {
    std::uint64_t children;
    std::uint32_t entries;
  };

  FileMap::Entries in_order;
  std::vector<NodeShape> shapes;  // in pre-order
  bool ascending = true;          // ids of in_order ascend strictly

  // Appends one entry of a node on the path.
  void emit(const DatFileEntry& entry) {
    ascending &= in_order.empty() || in_order.back().id < entry.id;
    in_order.push_back(entry);
  }

  // Appends a leaf's `count` entries, decoded from its entry slots straight
  // into place.
  void emit_slots(std::span<const std::byte> slots, std::uint32_t count) {
    if (count == 0) return;
    const std::size_t at = in_order.size();
    in_order.resize(at + count);  // room only: the decoding writes it all
    const auto added = std::span(in_order).subspan(at);
    decode_entries(slots, added);
    if (!ascending) return;  // once the order has broken, the map sorts
    if (at != 0 && in_order[at - 1].id >= added[0].id) {
      ascending = false;
      return;
    }
    // Four pairs a step, without a branch per pair: this check runs over
    // every entry of the directory.
    std::uint32_t previous = added[0].id;
    bool broken = false;
    std::size_t i = 1;
    for (; i + 4 <= added.size(); i += 4) {
      const std::uint32_t a = added[i].id, b = added[i + 1].id,
                          c = added[i + 2].id, d = added[i + 3].id;
      broken |= (previous >= a) | (a >= b) | (b >= c) | (c >= d);
      previous = d;
    }
    for (; i < added.size(); ++i) {
      broken |= previous >= added[i].id;
      previous = added[i].id;
    }
    ascending = !broken;
  }

  FileMap into_map() && {
    if (ascending) return FileMap::from_ascending(std::move(in_order));
    auto walk_order = replay();
    in_order = {};
    return FileMap::from_walk_order(std::move(walk_order));
  }

  // The entries in pre-order. Walks the recorded shapes as read_node walked
  // the nodes, taking in_order's entries in turn and putting each at the
  // rank its node had in the pre-order sequence.
  std::vector<DatFileEntry> replay() const {
    struct Open {
      const NodeShape* shape;
      std::size_t first_rank;
      std::uint32_t next_slot;
      std::uint32_t emitted;
    };
    std::vector<DatFileEntry> walk_order(in_order.size());
    std::vector<Open> path;
    std::size_t next_shape = 0;
    std::size_t rank = 0;  // pre-order rank of the next node's first entry
    std::size_t taken = 0;  // of in_order
    auto enter = [&] {
      const NodeShape& shape = shapes[next_shape++];
      path.push_back(Open{&shape, rank, 0, 0});
      rank += shape.entries;
    };
    enter();
    while (!path.empty()) {
      Open& top = path.back();
      const bool leaf = top.shape->children == 0;
      for (; top.emitted < top.shape->entries && (leaf || top.emitted < top.next_slot);
           ++top.emitted) {
        walk_order[top.first_rank + top.emitted] = in_order[taken++];
      }
      if (leaf || top.next_slot > top.shape->entries) {
        path.pop_back();
        continue;
      }
      if (top.shape->children >> top.next_slot++ & 1) enter();
    }
    return walk_order;
  }
};

std::expected<void, DatError> DatDatabase::read_directory() {
  if (header_.root_offset == 0) return {};
  if (header_.block_size <= 4) {
    return std::unexpected(corruption(
        "block size " + std::to_string(header_.block_size) +
        " leaves no room for payload after the 4-byte next-block pointer"));
  }
  // Reserved once for the most nodes and entries a well-formed directory
  // in a file of this length could hold: each node's chain has blocks of
  // its own and holds at most 61 entries. Pages are only touched as entries
  // arrive, so an archive that is mostly file data costs address space, not
  // memory; the cap bounds even that, and a directory beyond it grows as
  // usual.
  constexpr std::uint64_t kMostReserved = std::uint64_t{1} << 23;
  const std::uint64_t node_blocks =
      (kNodeSize + header_.block_size - 5) / (header_.block_size - 4);
  const std::uint64_t nodes = std::min(
      file_length_ / (node_blocks * header_.block_size) + 1,
      kMostReserved / kNodeEntries);
  Walk walk;
  walk.in_order.reserve(static_cast<std::size_t>(nodes * kNodeEntries));
  walk.shapes.reserve(static_cast<std::size_t>(nodes));
  auto loaded = read_node(header_.root_offset, walk);
  if (!loaded) return loaded;
  files_ = std::move(walk).into_map();
  return {};
}

// Node layout, 1716 bytes read through the node's block chain:
// Offset  Width  Field
//      0    248  branches: 62 child node offsets, 0 = no child
//    248      4  entry_count
//    252   1464  61 entry slots of 24 bytes; the first entry_count are used
//
// Depth first and pre-order: a node is read and its entries decoded before
// any child is visited, children in slot order. An explicit stack replaces
// recursion so that a deep hostile tree cannot exhaust the call stack; the
// entries of the nodes on it wait in `deferred` until their place in the
// in-order sequence comes. Exits: a child already on the current path (a
// loop), a budget of the file's length for the room the walked blocks take
// (nodes shared by many parents), and any read or decode failure.
std::expected<void, DatError> DatDatabase::read_node(std::uint32_t offset,
                                                     Walk& walk) {
  if (offset == 0) return {};
  struct Frame {
    std::uint32_t offset;
    std::uint32_t child_count;  // slots to look at
    std::uint32_t next_slot;
    std::uint32_t entry_count;
    std::uint32_t emitted;    // of its entries, handed on so far
    std::size_t deferred_at;  // its entries in `deferred` start here
    std::array<std::uint32_t, kNodeBranches> children;
  };
  std::vector<Frame> path;
  std::vector<DatFileEntry> deferred;
  std::unordered_set<std::uint32_t> on_path;
  std::uint64_t byte_budget = file_length_;
  std::array<std::byte, kNodeSize> node;
  std::array<DatFileEntry, kNodeEntries> entries;

  auto visit = [&](std::uint32_t node_offset) -> std::expected<void, DatError> {
    auto gathered = gather(node_offset, node, byte_budget);
    if (!gathered) return gathered;
    const std::uint32_t entry_count = load_u32(node.data() + 4 * kNodeBranches);
    if (entry_count > kNodeEntries) {
      // The 61 slots fill the node; decoding slot 61 runs off its end and
      // fails there, naming the entry's first field.
      RecordReader past_the_end(std::span<const std::byte>{});
      return std::unexpected(
          DatError(std::move(DatFileEntry::read(past_the_end).error())));
    }
    // All 61 slots lie inside the node, so no entry can fail to decode.
    const auto slots =
        std::span<const std::byte>(node).subspan(4 * kNodeBranches + 4);
    Walk::NodeShape shape{0, entry_count};
    if (load_u32(node.data()) == 0) {
      // A leaf (no first child): its entries take their in-order place at
      // once, and nothing of it stays on the path.
      walk.emit_slots(slots, entry_count);
      walk.shapes.push_back(shape);
      return {};
    }
    const auto used = std::span(entries).first(entry_count);
    decode_entries(slots, used);
    Frame frame{node_offset, 0, 0, 0, 0, deferred.size(), {}};
    for (std::size_t slot = 0; slot < kNodeBranches; ++slot) {
      frame.children[slot] = load_u32(node.data() + 4 * slot);
    }
    frame.entry_count = entry_count;
    frame.child_count = entry_count + 1;
    for (std::uint32_t slot = 0; slot < frame.child_count; ++slot) {
      if (frame.children[slot] != 0) shape.children |= std::uint64_t{1} << slot;
    }
    walk.shapes.push_back(shape);
    deferred.insert(deferred.end(), used.begin(), used.end());
    path.push_back(frame);
    on_path.insert(node_offset);
    return {};
  };

  auto visited = visit(offset);
  if (!visited) return visited;
  while (!path.empty()) {
    Frame& top = path.back();
    // Entry k follows the subtree of child slot k.
    for (; top.emitted < top.next_slot && top.emitted < top.entry_count; ++top.emitted) {
      walk.emit(deferred[top.deferred_at + top.emitted]);
    }
    if (top.next_slot == top.child_count) {
      on_path.erase(top.offset);
      deferred.resize(top.deferred_at);
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
