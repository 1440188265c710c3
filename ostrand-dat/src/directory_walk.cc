#include "directory_walk.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <utility>
#include <vector>

#include "coding.h"
#include "hex.h"
#include "map_storage.h"
#include "node_layout.h"

namespace ostrand_dat {
namespace {

DatError corruption(std::string text, CorruptionReason reason) {
  return DatError(DatError::Corruption{std::move(text), reason});
}

DatError out_of_memory(std::uint64_t entries) {
  return DatError(IoError(IoErrorKind::OutOfMemory,
                          "out of memory for a directory of " +
                              std::to_string(entries) + " entries"));
}

std::expected<FileMap, DatError> into_map(EntryBuffer entries) {
  const std::size_t n = entries.size();
  std::optional<FileMap> map = std::move(entries).into_map();
  if (!map) return std::unexpected(out_of_memory(n));
  return std::move(*map);
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
      entry =
          DatFileEntry{load_u32(at),      load_u32(at + 4),  load_u32(at + 8),
                       load_u32(at + 12), load_u32(at + 16), load_u32(at + 20)};
      slots = slots.subspan(DatFileEntry::kSize);
    }
  }
}

// One depth-first traversal. Nodes are visited in pre-order, the order that
// decides duplicates, but entries are handed on in-order: child 0's
// subtree, entry 0, child 1's subtree, entry 1, ... In a directory whose
// ids ascend in that order, as a B-tree's do, the entries come out sorted,
// so the map takes them as they are: each entry written once, in its final
// place. Beside them the walk notes, per run of entries handed on
// together, the pre-order rank of the run's first entry; when the in-order
// ids do not ascend strictly (a duplicate id or an unordered tree), the
// ranks tell which entry of an id was decoded last.
class DirectoryWalk {
 public:
  // A node reachable by more than one path (two slots naming it, with no
  // loop) is walked once per path, and each walk of it reads its blocks
  // again: the walk may read this many times the file's length, which a
  // directory of shared nodes stays well within, while one built to
  // multiply its paths (each level's node listing the next one twice, 2^n
  // paths) runs out after a few levels.
  static constexpr std::uint64_t kBudgetPerFileByte = 4;

  DirectoryWalk(const BlockChain& chain, NodeLog* log)
      : chain_(chain),
        log_(log),
        ahead_(chain.block_size()),
        byte_budget_(
            std::min(chain.file_length(), UINT64_MAX / kBudgetPerFileByte) *
            kBudgetPerFileByte) {}

  std::expected<FileMap, DatError> run(std::uint32_t root_offset);

 private:
  // An inner node on the path from the root: its children still to visit
  // and its entries still to hand on.
  struct Frame {
    std::uint32_t offset;
    std::uint32_t child_count;  // slots to look at
    std::uint32_t next_slot;
    std::uint32_t entry_count;
    std::uint32_t emitted;     // of its entries, handed on so far
    std::uint32_t first_rank;  // pre-order rank of its entry 0
    std::size_t deferred_at;   // its entries in `deferred_` start here
    std::array<std::uint32_t, kNodeBranches> children;
  };
  // `count` consecutive entries of entries_ whose pre-order ranks run on
  // from `first_rank`. Ranks count decoded entries, all of which the map
  // would have to hold, so 32 bits are plenty: the walk stops with "out of
  // memory" before they run out.
  struct Run {
    std::uint32_t first_rank;
    std::uint32_t count;
  };

  // Reads the node at `offset`. A leaf's entries are handed on at once; an
  // inner node's wait in deferred_ and the node goes on the path.
  std::expected<void, DatError> read_node(std::uint32_t offset);
  // Hands on one waiting entry of the inner node on top of the path.
  std::expected<void, DatError> emit_deferred(Frame& frame);
  // Notes `count` entries just handed on, the first of pre-order rank
  // `first_rank`, and whether their ids still ascend.
  bool note_run(std::size_t at, std::uint32_t count, std::uint32_t first_rank);
  // The map when the ids did not ascend: for each id, the entry of the
  // highest pre-order rank.
  std::expected<FileMap, DatError> sorted_map();

  const BlockChain& chain_;
  NodeLog* log_;
  // Nodes lie near each other: several come in one read.
  ReadAhead ahead_;
  std::uint64_t byte_budget_;  // room the walked blocks may still take
  std::uint64_t next_rank_ = 0;
  EntryBuffer entries_;  // in-order
  MapBuffer<Run> runs_;
  bool ascending_ = true;  // ids of entries_ ascend strictly
  std::vector<Frame> path_;
  std::vector<DatFileEntry> deferred_;
  std::unordered_set<std::uint32_t> on_path_;
  std::array<std::byte, kNodeSize> node_;
};

bool DirectoryWalk::note_run(std::size_t at, std::uint32_t count,
                             std::uint32_t first_rank) {
  if (!runs_.empty() &&
      runs_.back().first_rank + runs_.back().count == first_rank) {
    runs_.back().count += count;
  } else if (!runs_.push_back(Run{first_rank, count})) {
    return false;
  }
  if (!ascending_) return true;  // once the order has broken, the map sorts
  const std::span<const DatFileEntry> added(&entries_[at], count);
  if (at != 0 && entries_[at - 1].id >= added[0].id) {
    ascending_ = false;
    return true;
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
  ascending_ = !broken;
  return true;
}

std::expected<void, DatError> DirectoryWalk::read_node(std::uint32_t offset) {
  if (log_ == nullptr) {
    auto gathered = chain_.gather(offset, node_, byte_budget_, &ahead_);
    if (!gathered) return gathered;
  } else {
    NodeLog::Node logged;
    const std::function<void(std::uint64_t, std::uint32_t)> observer =
        [&logged](std::uint64_t block, std::uint32_t next) {
          logged.blocks.emplace_back(block, next);
        };
    auto gathered =
        chain_.gather(offset, node_, byte_budget_, &ahead_, &observer);
    if (!gathered) return gathered;
    logged.bytes = node_;
    log_->add(offset, std::move(logged));
  }
  const std::uint32_t entry_count = load_u32(node_.data() + kNodeEntryCountAt);
  if (entry_count > kNodeEntries) {
    // The 61 slots fill the node; decoding slot 61 runs off its end and
    // fails there, naming the entry's first field.
    RecordReader past_the_end(std::span<const std::byte>{});
    return std::unexpected(
        DatError(std::move(DatFileEntry::read(past_the_end).error())));
  }
  // All 61 slots lie inside the node, so no entry can fail to decode.
  const auto slots = std::span<const std::byte>(node_).subspan(kNodeSlotsAt);
  // GCOVR_EXCL_START: needs 2^32 entries, a map of 100 GB
  if (next_rank_ + entry_count > std::numeric_limits<std::uint32_t>::max()) {
    return std::unexpected(out_of_memory(next_rank_ + entry_count));
  }
  // GCOVR_EXCL_STOP
  const auto first_rank = static_cast<std::uint32_t>(next_rank_);
  next_rank_ += entry_count;
  if (load_u32(node_.data()) == 0) {
    // A leaf (no first child): its entries take their in-order place at
    // once, and nothing of it stays on the path.
    if (entry_count == 0) return {};
    const std::size_t at = entries_.size();
    DatFileEntry* added = entries_.extend(entry_count);
    if (added == nullptr) return std::unexpected(out_of_memory(next_rank_));
    decode_entries(slots, {added, entry_count});
    if (!note_run(at, entry_count, first_rank)) {
      return std::unexpected(out_of_memory(next_rank_));
    }
    return {};
  }
  Frame frame{offset,     entry_count + 1,  0, entry_count, 0,
              first_rank, deferred_.size(), {}};
  for (std::size_t slot = 0; slot < kNodeBranches; ++slot) {
    frame.children[slot] = load_u32(node_.data() + 4 * slot);
  }
  deferred_.resize(deferred_.size() + entry_count);
  decode_entries(slots, std::span(deferred_).subspan(frame.deferred_at));
  path_.push_back(frame);
  on_path_.insert(offset);
  return {};
}

std::expected<void, DatError> DirectoryWalk::emit_deferred(Frame& frame) {
  const std::size_t at = entries_.size();
  if (!entries_.push_back(deferred_[frame.deferred_at + frame.emitted]) ||
      !note_run(at, 1, frame.first_rank + frame.emitted)) {
    return std::unexpected(out_of_memory(next_rank_));
  }
  ++frame.emitted;
  return {};
}

// An explicit stack replaces recursion, so that a deep hostile tree cannot
// exhaust the call stack. Exits: the path empties (done), a child already
// on the path (a loop), the byte budget running out (nodes reached by so
// many paths that the walk would read several times the file), or any read
// or decode failure.
std::expected<FileMap, DatError> DirectoryWalk::run(std::uint32_t root_offset) {
  if (root_offset == 0) return FileMap();
  if (chain_.block_size() <= 4) {
    return std::unexpected(corruption(
        "block size " + std::to_string(chain_.block_size()) +
            " leaves no room for payload after the 4-byte next-block pointer",
        CorruptionReason::BlockSizeNoRoom));
  }
  auto visited = read_node(root_offset);
  if (!visited) return std::unexpected(std::move(visited.error()));
  while (!path_.empty()) {
    Frame& top = path_.back();
    // Entry k follows the subtree of child slot k.
    while (top.emitted < top.next_slot && top.emitted < top.entry_count) {
      auto emitted = emit_deferred(top);
      if (!emitted) return std::unexpected(std::move(emitted.error()));
    }
    if (top.next_slot == top.child_count) {
      on_path_.erase(top.offset);
      deferred_.resize(top.deferred_at);
      path_.pop_back();
      continue;
    }
    const std::uint32_t child = top.children[top.next_slot++];
    if (child == 0) continue;
    if (on_path_.contains(child)) {
      return std::unexpected(corruption(
          "directory node at offset " + hex(child) +
          " is its own ancestor (listed as a child of the node at offset " +
              hex(top.offset) + ")",
          CorruptionReason::DirectoryLoop));
    }
    visited = read_node(child);
    if (!visited) return std::unexpected(std::move(visited.error()));
  }
  if (ascending_) return into_map(std::move(entries_));
  return sorted_map();
}

// Keys of id and pre-order rank, 8 bytes per entry: sorted, the last key
// of each run of equal ids is the entry decoded last. Every entry has a
// rank of its own, 0 to n - 1, so a rank also finds its entry.
std::expected<FileMap, DatError> DirectoryWalk::sorted_map() {
  const std::size_t n = entries_.size();
  MapBuffer<std::uint64_t> key_buffer;
  MapBuffer<std::uint32_t> position_buffer;
  if (key_buffer.extend(n) == nullptr || position_buffer.extend(n) == nullptr) {
    return std::unexpected(out_of_memory(n));
  }
  const std::span<std::uint64_t> keys = key_buffer.items();
  const std::span<std::uint32_t> position_of_rank = position_buffer.items();
  std::size_t position = 0;
  for (const Run& run : runs_.items()) {
    for (std::uint32_t i = 0; i < run.count; ++i, ++position) {
      const std::uint32_t rank = run.first_rank + i;
      keys[position] = std::uint64_t{entries_[position].id} << 32 | rank;
      position_of_rank[rank] = static_cast<std::uint32_t>(position);
    }
  }
  std::sort(keys.begin(), keys.end());
  auto last_of_its_id = [&keys](std::size_t i) {
    return i + 1 == keys.size() || keys[i + 1] >> 32 != keys[i] >> 32;
  };
  std::size_t unique = 0;
  for (std::size_t i = 0; i < keys.size(); ++i) unique += last_of_its_id(i);
  EntryBuffer sorted;
  if (!sorted.reserve(unique)) return std::unexpected(out_of_memory(unique));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (last_of_its_id(i)) {
      sorted.push_back(entries_[position_of_rank[keys[i] & 0xFFFFFFFFu]]);
    }
  }
  return into_map(std::move(sorted));
}

}  // namespace

std::expected<FileMap, DatError> load_directory(const BlockChain& chain,
                                                std::uint32_t root_offset,
                                                NodeLog* log) {
  // The map's storage reports exhaustion as a value. The walk's own
  // bookkeeping (the path from the root, the entries waiting on it and the
  // offsets on it) grows with the tree's depth through the standard
  // allocator, which throws; a deep tree can make it as large as the map.
  try {
    return DirectoryWalk(chain, log).run(root_offset);
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError(
        IoErrorKind::OutOfMemory, "out of memory for the directory walk")));
  }
}

}  // namespace ostrand_dat
