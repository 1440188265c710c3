#include "ostrand_dat/check.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <numeric>
#include <optional>
#include <span>
#include <tuple>
#include <unordered_set>
#include <utility>

#include "block_chain.h"
#include "coding.h"
#include "directory_walk.h"
#include "file_stream.h"
#include "hex.h"
#include "node_layout.h"
#include "ostrand_dat/file.h"
#include "ostrand_dat/ostrand_dat.h"
#include "platform/file.h"

namespace ostrand_dat {
namespace {

using Kind = CheckFinding::Kind;
using Severity = CheckFinding::Severity;

constexpr std::uint64_t kHeaderEnd = DatHeader::kFileOffset + DatHeader::kSize;

// One bit per block of the file. Readers on several threads mark blocks at
// once: test_and_set() tells exactly one of them that another was first.
class Bitmap {
 public:
  explicit Bitmap(std::uint64_t bits)
      : words_(static_cast<std::size_t>((bits + 63) / 64)) {}
  bool test(std::uint64_t i) const {
    return (words_[i / 64].load(std::memory_order_relaxed) >> (i % 64)) & 1;
  }
  void set(std::uint64_t i) { (void)test_and_set(i); }
  bool test_and_set(std::uint64_t i) {
    const std::uint64_t bit = std::uint64_t{1} << (i % 64);
    return (words_[i / 64].fetch_or(bit, std::memory_order_relaxed) & bit) != 0;
  }
  void clear() {
    for (auto& word : words_) word.store(0, std::memory_order_relaxed);
  }

 private:
  std::vector<std::atomic<std::uint64_t>> words_;
};

// Where blocks lie: block offsets are origin modulo block_size, after the
// header, and cell numbers count them.
struct Grid {
  std::uint64_t block_size = 0;
  std::uint64_t origin = 0;
  std::uint64_t cells = 0;
  std::uint64_t length = 0;  // of the file

  std::optional<std::uint64_t> cell_of(std::uint64_t offset) const {
    if (offset < kHeaderEnd || offset % block_size != origin) {
      return std::nullopt;
    }
    return offset / block_size;
  }
  std::uint64_t cell_start(std::uint64_t cell) const {
    return cell * block_size + origin;
  }
  // The last cell that a block at `offset` with `piece` payload bytes
  // covers: a last block holds the rest of its item in one piece.
  std::uint64_t last_cell(std::uint64_t offset, std::uint64_t piece) const {
    return (offset + 4 + piece - 1 - origin) / block_size;
  }
};

// Whether the chain at `offset` reaches `cell` within its first `steps`
// blocks: a block met again is the chain's own loop, not a cross-link.
// Only damaged archives ask, so the pointers are read one at a time.
std::expected<bool, IoError> comes_back(const File& file, const Grid& grid,
                                        std::uint64_t offset,
                                        std::uint64_t size,
                                        std::uint64_t steps,
                                        std::uint64_t cell) {
  std::uint64_t current = offset;
  std::uint64_t missing = size;
  for (std::uint64_t i = 0; i < steps && missing != 0; ++i) {
    if (grid.cell_of(current) == cell) return true;
    std::array<std::byte, 4> pointer;
    auto read = platform::read_exact(file, current, pointer, {});
    if (!read) {
      if (read.error().kind() == IoErrorKind::UnexpectedEof) return false;
      return std::unexpected(read.error());
    }
    const std::uint32_t next = load_u32(pointer.data());
    if (next == 0) return false;
    missing -= std::min(missing, grid.block_size - 4);
    current = next;
  }
  return false;
}

DatError out_of_memory() {
  return DatError(IoError(IoErrorKind::OutOfMemory,
                          "out of memory for the archive's bitmaps"));
}

// The words of a chain that leaves the file's blocks at `offset`.
std::string out_of_range_text(std::uint64_t offset) {
  return "its chain goes to " + hex(offset) +
         (offset < kHeaderEnd ? ", inside the header"
                              : ", which is not on the block grid");
}
std::string past_end_text(std::uint64_t offset) {
  return "its chain runs past the end of the file at the block at " +
         hex(offset);
}
std::string too_large_text(std::uint64_t size) {
  return "its size of " + std::to_string(size) +
         " bytes is larger than the whole file";
}
std::string loop_text(std::uint64_t offset) {
  return "its chain comes back to the block at " + hex(offset);
}

// Whose chain a block is in.
struct Owner {
  enum class Type { Node, File, FreeList };
  Type type = Type::File;
  std::uint32_t key = 0;  // the node's offset, the file's id

  friend auto operator<=>(const Owner&, const Owner&) = default;

  std::string name() const {
    switch (type) {
      case Type::Node: return "the directory node at " + hex(key);
      case Type::File: return "the file " + id_text();
      case Type::FreeList: break;
    }
    return "the free list";
  }
  std::string id_text() const {
    std::string out = "0x";
    append_hex(out, key, HexCase::kUpper, 8);
    return out;
  }
};

// The walk's reads, through the open's read-ahead: a read that goes on
// where an earlier one ended, or less than a block after it, reads a
// window ahead, so a chain laid out front to back, as writers lay it out,
// costs one read per window; any other reads just what it asks for, so
// that blocks scattered over the file (a free list, say) do not read the
// file's other bytes with them. set_gap() (the block size) comes first.
class WindowReader {
 public:
  WindowReader(const File& file, std::uint64_t length)
      : file_(file), length_(length) {}

  void set_gap(std::uint64_t gap) { ahead_.emplace(gap); }

  // Copies the bytes at `offset` into `out`: false when the file ends
  // first, an IoError when a read fails.
  std::expected<bool, IoError> read(std::uint64_t offset,
                                    std::span<std::byte> out) {
    const std::span<std::byte> parts[] = {out};
    platform::ReadResult got =
        ahead_->read(file_, length_, offset, parts, /*chain_start=*/true);
    if (got.failure) return std::unexpected(std::move(*got.failure));
    return got.filled == out.size();
  }

 private:
  const File& file_;
  std::uint64_t length_;
  std::optional<ReadAhead> ahead_;
};

// A directory entry whose chain is still to be checked, and its place in
// the walk's order.
struct PendingFile {
  std::uint32_t id, offset, size, index;
  auto key() const { return std::tie(id, offset, size, index); }
};

// The check itself, in two passes over the same walk. The first marks every
// block it reaches and notes the blocks met a second time by another
// chain; only when there are such blocks, the second walks again from a
// clean bitmap to learn which chain reached each of them first, so that a
// cross-link is named by both its owners.
//
// With Files::kDefer the walk leaves the files' chains out and lists them
// in pending() instead, for readers that check them as they read them.
class Checker {
 public:
  enum class Files { kWalk, kDefer };

  Checker(const File& file, const DatHeader& header, std::uint64_t length,
          Files files = Files::kWalk)
      : file_(file),
        header_(header),
        length_(length),
        files_(files),
        reader_(file, length) {}

  // The whole check.
  std::expected<ArchiveCheck, IoError> run();

  // The header's findings and the block grid: false when there is no
  // room for payload, so that no chain can be walked.
  bool begin();
  // The directory and the free list.
  std::expected<void, IoError> walk_all();
  // Counts the blocks nothing marked, names the cross-links and sorts.
  std::expected<ArchiveCheck, IoError> end();

  const Grid& grid() const { return grid_; }
  Bitmap& used() { return *used_; }
  bool crossed() const { return !conflicts_.empty(); }
  std::vector<PendingFile>& pending() { return pending_; }
  ArchiveCheck& result() { return check_; }
  // Nodes an open of the archive read: not read again.
  void use(const NodeLog* log) { log_ = log; }

 private:
  struct Conflict {
    std::uint64_t cell;
    Owner second;
  };

  std::optional<std::uint64_t> cell_of(std::uint64_t offset) const {
    return grid_.cell_of(offset);
  }
  std::uint64_t cell_start(std::uint64_t cell) const {
    return grid_.cell_start(cell);
  }

  void add(Severity severity, Kind kind, const Owner& owner, std::string text);
  std::expected<bool, IoError> walk_chain(
      std::uint64_t offset, std::uint64_t size, const Owner& owner,
      std::vector<std::byte>* out, const NodeLog::Node* logged = nullptr);
  std::expected<void, IoError> walk_directory();
  std::expected<void, IoError> walk_free_list();
  void name_conflicts();

  const File& file_;
  const DatHeader& header_;
  std::uint64_t length_;
  Files files_;
  WindowReader reader_;
  Grid grid_;
  bool naming_ = false;  // the second pass
  std::optional<Bitmap> used_, nodes_, conflicted_;
  std::vector<Conflict> conflicts_;
  std::map<std::uint64_t, Owner> first_owner_;
  std::vector<PendingFile> pending_;
  ArchiveCheck check_;
  const NodeLog* log_ = nullptr;
};

void Checker::add(Severity severity, Kind kind, const Owner& owner,
                  std::string text) {
  if (naming_) return;
  CheckFinding finding{severity, kind, std::nullopt, std::move(text)};
  if (owner.type == Owner::Type::File) {
    finding.id = owner.key;
  } else {
    finding.text = owner.name() + ": " + finding.text;
  }
  check_.findings.push_back(std::move(finding));
}

// Walks the chain of `size` bytes at `offset` as a reader gathers it,
// marking the blocks it covers (a last block whose pointer is 0 covers all
// that is still missing), and copies its payload into `out` when given.
// The blocks and bytes of `logged`, a read of the same chain, are taken as
// far as they go instead of reading them.
// Stops at the first block that lies outside the file or off the block
// grid, or that is marked already. True when the whole chain was walked.
// Invariant: each step adds at least one byte (block_size > 4), so the
// walk ends after size / (block_size - 4) blocks at most, rounded up.
std::expected<bool, IoError> Checker::walk_chain(
    std::uint64_t offset, std::uint64_t size, const Owner& owner,
    std::vector<std::byte>* out, const NodeLog::Node* logged) {
  if (size == 0) return true;
  if (size > length_) {
    add(Severity::Damage, Kind::ChainOutOfRange, owner, too_large_text(size));
    return false;
  }
  const std::uint64_t payload = grid_.block_size - 4;
  std::uint64_t current = offset;
  std::uint64_t missing = size;
  for (std::uint64_t steps = 0;; ++steps) {
    const auto cell = cell_of(current);
    if (!cell) {
      add(Severity::Damage, Kind::ChainOutOfRange, owner,
          out_of_range_text(current));
      return false;
    }
    std::array<std::byte, 4> pointer{};
    std::expected<bool, IoError> read = true;
    if (logged != nullptr && steps < logged->blocks.size() &&
        logged->blocks[steps].first == current) {
      store_u32(pointer.data(), logged->blocks[steps].second);
    } else {
      logged = nullptr;
      read = reader_.read(current, pointer);
      if (!read) return std::unexpected(read.error());
    }
    const std::uint32_t next = load_u32(pointer.data());
    const std::uint64_t piece = next == 0 ? missing : std::min(missing, payload);
    if (!*read || current + 4 + piece > length_) {
      add(Severity::Damage, Kind::ChainOutOfRange, owner,
          past_end_text(current));
      return false;
    }
    const std::uint64_t last_cell = grid_.last_cell(current, piece);
    for (std::uint64_t c = *cell; c <= last_cell && c < grid_.cells; ++c) {
      if (used_->test(c)) {
        auto own = comes_back(file_, grid_, offset, size, steps, c);
        if (!own) return std::unexpected(own.error());
        if (*own) {
          add(Severity::Damage, Kind::ChainLoop, owner,
              loop_text(cell_start(c)));
        } else if (!naming_) {
          if (!conflicted_) conflicted_.emplace(grid_.cells);
          conflicted_->set(c);
          conflicts_.push_back({c, owner});
        }
        return false;
      }
      used_->set(c);
      if (naming_ && conflicted_->test(c)) first_owner_.emplace(c, owner);
    }
    if (out != nullptr) {
      const std::size_t at = out->size();
      out->resize(at + static_cast<std::size_t>(piece));
      if (logged != nullptr) {
        std::memcpy(out->data() + at, logged->bytes.data() + at,
                    static_cast<std::size_t>(piece));
      } else {
        auto copied = reader_.read(current + 4, std::span(*out).subspan(at));
        if (!copied) return std::unexpected(copied.error());
      }
    }
    missing -= piece;
    if (missing == 0) return true;
    current = next;
  }
}

// Depth first from the root, as a reader walks it; a node that two slots
// name is walked once, and one that is its own ancestor not again.
std::expected<void, IoError> Checker::walk_directory() {
  struct Frame {
    std::uint32_t offset;
    std::vector<std::uint32_t> children;
    std::size_t next = 0;
  };
  std::vector<Frame> path;
  std::unordered_set<std::uint32_t> on_path;
  std::vector<std::byte> bytes;
  auto visit = [&](std::uint32_t offset,
                   std::uint32_t parent) -> std::expected<void, IoError> {
    const Owner owner{Owner::Type::Node, offset};
    // A node past the end of the file has no cell: walk_chain() says so.
    auto cell = cell_of(offset);
    if (cell && *cell >= grid_.cells) cell.reset();
    if (cell && nodes_->test(*cell)) {
      if (on_path.contains(offset)) {
        add(Severity::Damage, Kind::ChainLoop, owner,
            "it is its own ancestor (named again by the node at " +
                hex(parent) + ")");
      } else {
        add(Severity::Warning, Kind::SharedNode, owner,
            "two slots name it (again in the node at " + hex(parent) +
                "); its blocks count once");
      }
      return {};
    }
    if (cell) nodes_->set(*cell);
    bytes.clear();
    auto walked = walk_chain(offset, kNodeSize, owner, &bytes,
                             log_ != nullptr ? log_->find(offset) : nullptr);
    if (!walked) return std::unexpected(walked.error());
    if (!*walked) return {};
    const std::uint32_t count = load_u32(bytes.data() + kNodeEntryCountAt);
    if (count > kNodeEntries) {
      add(Severity::Damage, Kind::BadNode, owner,
          "it counts " + std::to_string(count) + " entries, more than " +
              std::to_string(kNodeEntries));
      return {};
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::byte* at = bytes.data() + kNodeSlotsAt + DatFileEntry::kSize * i;
      const std::uint32_t id = load_u32(at + 4);
      if (!naming_) ++check_.entries;
      if (files_ == Files::kDefer) {
        pending_.push_back({id, load_u32(at + 8), load_u32(at + 12),
                            static_cast<std::uint32_t>(pending_.size())});
        continue;
      }
      auto file = walk_chain(load_u32(at + 8), load_u32(at + 12),
                             {Owner::Type::File, id}, nullptr);
      if (!file) return std::unexpected(file.error());
    }
    Frame frame{offset, {}, 0};
    if (load_u32(bytes.data()) != 0) {
      // An inner node: its first entry_count + 1 slots.
      for (std::uint32_t slot = 0; slot <= count && slot < kNodeBranches;
           ++slot) {
        frame.children.push_back(load_u32(bytes.data() + 4 * slot));
      }
    }
    path.push_back(std::move(frame));
    on_path.insert(offset);
    return {};
  };
  if (header_.root_offset == 0) return {};
  auto root = visit(header_.root_offset, 0);
  if (!root) return root;
  while (!path.empty()) {
    Frame& top = path.back();
    if (top.next == top.children.size()) {
      on_path.erase(top.offset);
      path.pop_back();
      continue;
    }
    const std::uint32_t child = top.children[top.next++];
    if (child == 0) continue;
    auto visited = visit(child, top.offset);
    if (!visited) return visited;
  }
  return {};
}

// The free list: free_count blocks linked by their pointers from
// free_head, the last at free_tail.
std::expected<void, IoError> Checker::walk_free_list() {
  const std::uint32_t count = header_.free_count;
  if (count == 0) return {};
  const Owner owner{Owner::Type::FreeList, 0};
  std::uint64_t current = header_.free_head;
  for (std::uint64_t n = 0; n < count; ++n) {
    const auto cell = cell_of(current);
    if (current == 0 || !cell || current + 4 > length_) {
      add(Severity::Damage, Kind::FreeList, owner,
          current == 0 ? "it ends after " + std::to_string(n) + " of its " +
                             std::to_string(count) + " blocks"
                       : "it goes to " + hex(current) +
                             ", which is not a block of the file");
      return {};
    }
    if (used_->test(*cell)) {
      auto own =
          comes_back(file_, grid_, header_.free_head, UINT64_MAX, n, *cell);
      if (!own) return std::unexpected(own.error());
      if (*own) {
        add(Severity::Damage, Kind::FreeList, owner,
            "it comes back to the block at " + hex(current));
      } else if (!naming_) {
        if (!conflicted_) conflicted_.emplace(grid_.cells);
        conflicted_->set(*cell);
        conflicts_.push_back({*cell, owner});
      }
      return {};
    }
    used_->set(*cell);
    if (naming_ && conflicted_->test(*cell)) first_owner_.emplace(*cell, owner);
    if (n + 1 == count) {
      if (current != header_.free_tail) {
        add(Severity::Damage, Kind::FreeList, owner,
            "its last block is at " + hex(current) + ", not at free_tail " +
                hex(header_.free_tail));
      }
      return {};
    }
    std::array<std::byte, 4> pointer{};
    auto read = reader_.read(current, pointer);
    if (!read) return std::unexpected(read.error());
    current = load_u32(pointer.data());
  }
  return {};
}

std::expected<void, IoError> Checker::walk_all() {
  auto directory = walk_directory();
  if (!directory) return directory;
  return walk_free_list();
}

// Each pair of owners that share blocks, named from both sides: the one
// that reached the blocks first, and the other.
void Checker::name_conflicts() {
  std::map<std::pair<Owner, Owner>, std::pair<std::uint64_t, std::uint64_t>>
      pairs;  // (first, second) -> (blocks, first cell)
  for (const Conflict& conflict : conflicts_) {
    const auto first = first_owner_.find(conflict.cell);
    if (first == first_owner_.end()) continue;
    auto [it, inserted] =
        pairs.try_emplace({first->second, conflict.second}, 0, conflict.cell);
    ++it->second.first;
  }
  for (const auto& [owners, where] : pairs) {
    const auto& [first, second] = owners;
    const bool free = first.type == Owner::Type::FreeList ||
                      second.type == Owner::Type::FreeList;
    const Kind kind = free ? Kind::FreeBlockInUse : Kind::CrossLinked;
    const std::string block = "its block at " + hex(cell_start(where.second));
    add(Severity::Damage, kind, first, block + " is also in " + second.name());
    add(Severity::Damage, kind, second, block + " is also in " + first.name());
  }
}

bool Checker::begin() {
  auto header_finding = [&](Severity severity, Kind kind, std::string text) {
    check_.findings.push_back({severity, kind, std::nullopt, std::move(text)});
  };
  if (header_.file_size != length_) {
    header_finding(Severity::Warning, Kind::FileSizeMismatch,
                   "the header's file_size is " +
                       std::to_string(header_.file_size) + ", the file is " +
                       std::to_string(length_) + " bytes");
  }
  if (header_.block_size <= 4) {
    header_finding(
        header_.root_offset != 0 ? Severity::Damage : Severity::Warning,
        Kind::BlockSizeNoRoom,
        "the block size " + std::to_string(header_.block_size) +
            " leaves no room for data after the block pointer");
    return false;
  }
  // Blocks lie on one grid: that of the root node, else of the free list,
  // else of the first block after the header.
  const std::uint64_t anchor = header_.root_offset != 0 ? header_.root_offset
                               : header_.free_count != 0 ? header_.free_head
                                                         : kHeaderEnd;
  grid_.block_size = header_.block_size;
  grid_.origin = anchor % grid_.block_size;
  reader_.set_gap(grid_.block_size);
  grid_.cells = length_ / grid_.block_size + 1;
  grid_.length = length_;
  used_.emplace(grid_.cells);
  nodes_.emplace(grid_.cells);
  return true;
}

std::expected<ArchiveCheck, IoError> Checker::end() {
  for (std::uint64_t c = 0; c < grid_.cells; ++c) {
    const std::uint64_t start = cell_start(c);
    if (start < kHeaderEnd || start >= length_) continue;
    ++check_.blocks;
    if (!used_->test(c)) ++check_.unaccounted;
  }
  if (check_.unaccounted != 0) {
    check_.findings.push_back({Severity::Warning, Kind::Unaccounted,
                               std::nullopt,
                               std::to_string(check_.unaccounted) +
                                   " blocks unaccounted for"});
  }
  if (!conflicts_.empty()) {
    naming_ = true;
    used_->clear();
    nodes_->clear();
    auto again = walk_all();
    if (!again) return std::unexpected(again.error());
    naming_ = false;
    name_conflicts();
  }
  // By id (nullopt first), each id's findings in the order they were
  // found. Sorted through their positions: libstdc++'s stable_sort uses a
  // buffer call that clang reports as deprecated.
  std::vector<CheckFinding>& findings = check_.findings;
  std::vector<std::size_t> order(findings.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return std::tie(findings[a].id, a) < std::tie(findings[b].id, b);
  });
  std::vector<CheckFinding> sorted;
  sorted.reserve(findings.size());
  for (const std::size_t i : order) sorted.push_back(std::move(findings[i]));
  findings = std::move(sorted);
  return std::move(check_);
}

std::expected<ArchiveCheck, IoError> Checker::run() {
  if (!begin()) return std::move(check_);
  auto walked = walk_all();
  if (!walked) return std::unexpected(walked.error());
  return end();
}

}  // namespace

std::string_view kind_name(CheckFinding::Kind kind) {
  switch (kind) {
    case Kind::HeaderCutShort: return "HeaderCutShort";
    case Kind::BlockSizeNoRoom: return "BlockSizeNoRoom";
    case Kind::FileSizeMismatch: return "FileSizeMismatch";
    case Kind::ChainOutOfRange: return "ChainOutOfRange";
    case Kind::ChainLoop: return "ChainLoop";
    case Kind::CrossLinked: return "CrossLinked";
    case Kind::SharedNode: return "SharedNode";
    case Kind::BadNode: return "BadNode";
    case Kind::FreeList: return "FreeList";
    case Kind::FreeBlockInUse: return "FreeBlockInUse";
    case Kind::Unaccounted: return "Unaccounted";
  }
  return "Unaccounted";  // GCOVR_EXCL_LINE: every kind returns above
}

// What start() found and what the reads add. The walk's bitmap is shared
// by the readers' threads; pending files are claimed with an atomic flag
// each; findings and failures go in under mutex_.
class ArchiveChecker::State {
 public:
  State(File file, const DatHeader& header, std::uint64_t length)
      : file_(std::move(file)),
        header_(header),
        length_(length),
        walk_(file_, header_, length_, Checker::Files::kDefer),
        chain_(file_, header_.block_size, length_) {}

  std::expected<void, IoError> start();
  std::expected<FileReadSummary, DatError> read(const DatFileEntry& entry,
                                                const FileSink& sink);
  std::expected<ArchiveCheck, DatError> finish();

  // A cut-short header: the whole check, nothing to read.
  std::optional<ArchiveCheck> done;
  // What start_and_open() opened, and the nodes that open read.
  std::optional<std::expected<DatDatabase, DatError>> database;
  NodeLog log;

 private:
  friend class ChainTracker;
  class ChainTracker;

  // The first pending entry of `entry` not claimed yet, claimed; nullptr
  // when there is none.
  const PendingFile* claim(const DatFileEntry& entry);
  std::expected<FileReadSummary, DatError> read_tracked(
      FileStream& stream, const PendingFile* file, const FileSink& sink);

  File file_;
  DatHeader header_;
  std::uint64_t length_;
  Checker walk_;
  BlockChain chain_;
  bool walkable_ = false;
  std::vector<PendingFile> pending_;  // by key()
  std::unique_ptr<std::atomic<bool>[]> claimed_;
  std::mutex mutex_;
  std::vector<std::pair<std::uint32_t, CheckFinding>> file_findings_;
  std::optional<IoError> failure_;
  std::atomic<bool> crossed_ = false;
};

// Checks one file's chain from the blocks a stream reads, as
// Checker::walk_chain checks it from its pointers: the same findings in the
// same words, and the same blocks marked. After its first finding, or a
// block another chain marked first, it marks nothing more.
class ArchiveChecker::State::ChainTracker {
 public:
  ChainTracker(State& state, const PendingFile& file)
      : state_(state),
        file_(file),
        missing_(file.size),
        expected_(file.offset),
        done_(file.size == 0) {
    if (!done_ && file.size > state.length_) {
      damage(Kind::ChainOutOfRange, too_large_text(file.size));
    }
  }

  void block(std::uint64_t offset, std::uint32_t next) {
    if (done_) return;
    const Grid& grid = state_.walk_.grid();
    const auto cell = grid.cell_of(offset);
    if (!cell) return damage(Kind::ChainOutOfRange, out_of_range_text(offset));
    const std::uint64_t piece =
        next == 0 ? missing_ : std::min(missing_, grid.block_size - 4);
    if (offset + 4 + piece > grid.length) {
      return damage(Kind::ChainOutOfRange, past_end_text(offset));
    }
    const std::uint64_t last = grid.last_cell(offset, piece);
    for (std::uint64_t c = *cell; c <= last && c < grid.cells; ++c) {
      if (!state_.walk_.used().test_and_set(c)) continue;
      auto own = comes_back(state_.file_, grid, file_.offset, file_.size,
                            steps_, c);
      if (!own) return fail(own.error());
      if (*own) return damage(Kind::ChainLoop, loop_text(grid.cell_start(c)));
      state_.crossed_.store(true, std::memory_order_relaxed);
      done_ = true;
      return;
    }
    ++steps_;
    missing_ -= piece;
    done_ = missing_ == 0;
    expected_ = next;
  }

  // The stream ended: a block whose pointer it could not read is the one
  // past the end (or off the grid), a failure of another kind the check's.
  void end(const DatError* failure) {
    if (done_ || failure == nullptr) return;
    // A chain too large for the file is done before it is read, so the
    // failure is a read's.
    const auto* io = failure->get_if<DatError::Io>();
    if (io != nullptr && io->error.kind() != IoErrorKind::UnexpectedEof) {
      return fail(io->error);
    }
    if (!state_.walk_.grid().cell_of(expected_)) {
      return damage(Kind::ChainOutOfRange, out_of_range_text(expected_));
    }
    damage(Kind::ChainOutOfRange, past_end_text(expected_));
  }

 private:
  void damage(Kind kind, std::string text) {
    done_ = true;
    const std::lock_guard lock(state_.mutex_);
    state_.file_findings_.push_back(
        {file_.index,
         {Severity::Damage, kind, file_.id, std::move(text)}});
  }
  void fail(const IoError& error) {
    done_ = true;
    const std::lock_guard lock(state_.mutex_);
    if (!state_.failure_) state_.failure_ = error;
  }

  State& state_;
  const PendingFile& file_;
  std::uint64_t missing_;
  std::uint64_t expected_;  // the block the chain goes on at
  std::uint64_t steps_ = 0;
  bool done_;
};

std::expected<void, IoError> ArchiveChecker::State::start() {
  walkable_ = walk_.begin();
  if (!walkable_) return {};
  walk_.use(&log);
  auto walked = walk_.walk_all();
  walk_.use(nullptr);
  log = {};
  if (!walked) return walked;
  pending_ = std::move(walk_.pending());
  std::sort(pending_.begin(), pending_.end(),
            [](const PendingFile& a, const PendingFile& b) {
              return a.key() < b.key();
            });
  claimed_ = std::make_unique<std::atomic<bool>[]>(pending_.size());
  return {};
}

const PendingFile* ArchiveChecker::State::claim(const DatFileEntry& entry) {
  const PendingFile probe{entry.id, entry.offset, entry.size, 0};
  auto it = std::lower_bound(pending_.begin(), pending_.end(), probe,
                             [](const PendingFile& a, const PendingFile& b) {
                               return a.key() < b.key();
                             });
  for (; it != pending_.end() && it->id == entry.id &&
         it->offset == entry.offset && it->size == entry.size;
       ++it) {
    const auto at = static_cast<std::size_t>(it - pending_.begin());
    if (!claimed_[at].exchange(true)) return &*it;
  }
  return nullptr;
}

// The stream to its end, its pieces to `sink` until it stops, its blocks
// to the tracker of `file` (none: a read the check does not count).
std::expected<FileReadSummary, DatError> ArchiveChecker::State::read_tracked(
    FileStream& stream, const PendingFile* file, const FileSink& sink) {
  FileReadSummary summary;
  while (true) {
    auto piece = stream.next();
    if (!piece) return std::unexpected(std::move(piece.error()));
    if (piece->empty()) break;
    if (summary.stopped) continue;
    summary.size += piece->size();
    if (sink && !sink(*piece)) {
      summary.stopped = true;
      if (file == nullptr) break;
    }
  }
  summary.declared_size = stream.declared_size();
  return summary;
}

std::expected<FileReadSummary, DatError> ArchiveChecker::State::read(
    const DatFileEntry& entry, const FileSink& sink) {
  const PendingFile* file = walkable_ ? claim(entry) : nullptr;
  if (file == nullptr) {
    FileStream stream(chain_, entry);
    return read_tracked(stream, nullptr, sink);
  }
  ChainTracker tracker(*this, *file);
  FileStream stream(chain_, entry, {},
                    [&tracker](std::uint64_t block, std::uint32_t next) {
                      tracker.block(block, next);
                    });
  auto read = read_tracked(stream, file, sink);
  tracker.end(read ? nullptr : &read.error());
  return read;
}

std::expected<ArchiveCheck, DatError> ArchiveChecker::State::finish() {
  if (done) return std::move(*done);
  if (!walkable_) return std::move(walk_.result());
  // The chains no reader read, as stored bytes.
  for (std::size_t i = 0; i < pending_.size() && !crossed_; ++i) {
    if (claimed_[i].exchange(true)) continue;
    const PendingFile& file = pending_[i];
    ChainTracker tracker(*this, file);
    FileStream stream(chain_, file.offset, file.size, {},
                      [&tracker](std::uint64_t block, std::uint32_t next) {
                        tracker.block(block, next);
                      });
    auto read = read_tracked(stream, &file, {});
    tracker.end(read ? nullptr : &read.error());
  }
  if (failure_) return std::unexpected(DatError(std::move(*failure_)));
  if (crossed_ || walk_.crossed()) {
    // Chains cross: whose block is whose depends on the walk's order, so
    // the whole walk is made again, in order, as check_archive's own.
    auto check = Checker(file_, header_, length_).run();
    if (!check) return std::unexpected(DatError(std::move(check.error())));
    return std::move(*check);
  }
  // Each file's findings in the walk's order; end() sorts them by id.
  std::sort(file_findings_.begin(), file_findings_.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [index, finding] : file_findings_) {
    walk_.result().findings.push_back(std::move(finding));
  }
  auto check = walk_.end();
  if (!check) return std::unexpected(DatError(std::move(check.error())));
  return std::move(*check);
}

ArchiveChecker::ArchiveChecker(std::unique_ptr<State> state)
    : state_(std::move(state)) {}
ArchiveChecker::ArchiveChecker(ArchiveChecker&&) noexcept = default;
ArchiveChecker& ArchiveChecker::operator=(ArchiveChecker&&) noexcept = default;
ArchiveChecker::~ArchiveChecker() = default;

std::expected<ArchiveChecker, DatError> ArchiveChecker::start(
    const std::filesystem::path& path) {
  return start(path, false);
}

std::expected<ArchiveChecker, DatError> ArchiveChecker::start_and_open(
    const std::filesystem::path& path) {
  return start(path, true);
}

std::expected<DatDatabase, DatError> ArchiveChecker::take_database() {
  if (!state_->database) {
    return std::unexpected(DatError(IoError(
        IoErrorKind::Other, "the archive was not opened, or taken already")));
  }
  auto database = std::move(*state_->database);
  state_->database.reset();
  return database;
}

std::expected<ArchiveChecker, DatError> ArchiveChecker::start(
    const std::filesystem::path& path, bool open_database) {
  std::optional<std::expected<DatDatabase, DatError>> database;
  NodeLog log;
  if (open_database) {
    try {
      database.emplace(DatDatabase::open(path, &log));
    } catch (const std::bad_alloc&) {
      return std::unexpected(out_of_memory());
    }
  }
  auto file = File::open_read_only(path);
  if (!file) {
    return std::unexpected(
        DatError(DatError::PathError{path, std::move(file.error())}));
  }
  auto length = platform::file_length(*file);
  if (!length) return std::unexpected(DatError(std::move(length.error())));
  if (*length < kHeaderEnd) {
    auto state = std::make_unique<State>(std::move(*file), DatHeader{}, *length);
    state->database = std::move(database);
    state->done.emplace();
    state->done->findings.push_back(
        {Severity::Damage, Kind::HeaderCutShort, std::nullopt,
         "the file is " + std::to_string(*length) +
             " bytes, its header ends at byte " + std::to_string(kHeaderEnd)});
    return ArchiveChecker(std::move(state));
  }
  // The header as the open read it, else read here.
  std::expected<DatHeader, ReadError> header;
  if (database && database->has_value()) {
    header = (*database)->header();
  } else {
    std::array<std::byte, DatHeader::kSize> bytes;
    auto read = platform::read_exact(*file, DatHeader::kFileOffset, bytes, {});
    if (!read) return std::unexpected(DatError(std::move(read.error())));
    RecordReader reader(bytes);
    header = DatHeader::read(reader);
    if (!header) return std::unexpected(DatError(std::move(header.error())));
  }
  try {
    auto state = std::make_unique<State>(std::move(*file), *header, *length);
    state->database = std::move(database);
    state->log = std::move(log);
    auto started = state->start();
    if (!started) return std::unexpected(DatError(std::move(started.error())));
    return ArchiveChecker(std::move(state));
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

std::expected<FileReadSummary, DatError> ArchiveChecker::read_file(
    const DatFileEntry& entry, const FileSink& sink) const {
  return state_->read(entry, sink);
}

std::expected<ArchiveCheck, DatError> ArchiveChecker::finish() {
  try {
    return state_->finish();
  } catch (const std::bad_alloc&) {
    return std::unexpected(out_of_memory());
  }
}

std::expected<ArchiveCheck, DatError> check_archive(
    const std::filesystem::path& path) {
  auto checker = ArchiveChecker::start(path);
  if (!checker) return std::unexpected(std::move(checker.error()));
  return checker->finish();
}

}  // namespace ostrand_dat
