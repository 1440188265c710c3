#include "ostrand_dat/check.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <new>
#include <span>
#include <unordered_set>
#include <utility>

#include "coding.h"
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

// One bit per block of the file.
class Bitmap {
 public:
  explicit Bitmap(std::uint64_t bits)
      : words_(static_cast<std::size_t>((bits + 63) / 64)) {}
  bool test(std::uint64_t i) const { return (words_[i / 64] >> (i % 64)) & 1; }
  void set(std::uint64_t i) { words_[i / 64] |= std::uint64_t{1} << (i % 64); }
  void clear() { std::fill(words_.begin(), words_.end(), 0); }

 private:
  std::vector<std::uint64_t> words_;
};

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

// Reads the file through a window of consecutive bytes: a chain laid out
// front to back, as writers lay it out, costs one read per window.
class WindowReader {
 public:
  static constexpr std::size_t kWindow = std::size_t{256} << 10;

  WindowReader(const File& file, std::uint64_t length)
      : file_(file), length_(length), buffer_(kWindow) {}

  // Copies the bytes at `offset` into `out`: false when the file ends
  // first, an IoError when a read fails.
  std::expected<bool, IoError> read(std::uint64_t offset,
                                    std::span<std::byte> out) {
    while (!out.empty()) {
      if (offset >= length_) return false;
      if (offset < start_ || offset >= start_ + filled_) {
        start_ = offset;
        filled_ = 0;
        const std::size_t wanted = static_cast<std::size_t>(
            std::min<std::uint64_t>(kWindow, length_ - offset));
        const platform::ReadResult got =
            platform::read_fully(file_, offset, std::span(buffer_).first(wanted),
                                 std::span<std::byte>());
        if (got.failure) return std::unexpected(*got.failure);
        filled_ = got.filled;
        if (filled_ == 0) return false;
      }
      const std::size_t at = static_cast<std::size_t>(offset - start_);
      const std::size_t n = std::min(out.size(), filled_ - at);
      std::memcpy(out.data(), buffer_.data() + at, n);
      out = out.subspan(n);
      offset += n;
    }
    return true;
  }

 private:
  const File& file_;
  std::uint64_t length_;
  std::vector<std::byte> buffer_;
  std::uint64_t start_ = 0;
  std::size_t filled_ = 0;
};

// The check itself, in two passes over the same walk. The first marks every
// block it reaches and notes the blocks met a second time by another
// chain; only when there are such blocks, the second walks again from a
// clean bitmap to learn which chain reached each of them first, so that a
// cross-link is named by both its owners.
class Checker {
 public:
  Checker(const File& file, const DatHeader& header, std::uint64_t length)
      : file_(file), header_(header), length_(length), reader_(file, length) {}

  std::expected<ArchiveCheck, IoError> run();

 private:
  struct Conflict {
    std::uint64_t cell;
    Owner second;
  };

  std::optional<std::uint64_t> cell_of(std::uint64_t offset) const {
    if (offset < kHeaderEnd || offset % block_size_ != origin_) {
      return std::nullopt;
    }
    return offset / block_size_;
  }
  std::uint64_t cell_start(std::uint64_t cell) const {
    return cell * block_size_ + origin_;
  }

  void add(Severity severity, Kind kind, const Owner& owner, std::string text);
  std::expected<void, IoError> walk_all();
  std::expected<bool, IoError> walk_chain(std::uint64_t offset,
                                          std::uint64_t size,
                                          const Owner& owner,
                                          std::vector<std::byte>* out);
  std::expected<bool, IoError> comes_back(std::uint64_t offset,
                                          std::uint64_t size,
                                          std::uint64_t steps,
                                          std::uint64_t cell);
  std::expected<void, IoError> walk_directory();
  std::expected<void, IoError> walk_free_list();
  void name_conflicts();

  const File& file_;
  const DatHeader& header_;
  std::uint64_t length_;
  WindowReader reader_;
  std::uint64_t block_size_ = 0;
  std::uint64_t origin_ = 0;  // block offsets are origin_ modulo block_size_
  std::uint64_t cells_ = 0;
  bool naming_ = false;  // the second pass
  std::optional<Bitmap> used_, nodes_, conflicted_;
  std::vector<Conflict> conflicts_;
  std::map<std::uint64_t, Owner> first_owner_;
  ArchiveCheck check_;
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

// Whether the chain at `offset` reaches `cell` within its first `steps`
// blocks: a block met again is the chain's own loop, not a cross-link.
std::expected<bool, IoError> Checker::comes_back(std::uint64_t offset,
                                                 std::uint64_t size,
                                                 std::uint64_t steps,
                                                 std::uint64_t cell) {
  std::uint64_t current = offset;
  std::uint64_t missing = size;
  for (std::uint64_t i = 0; i < steps && missing != 0; ++i) {
    if (cell_of(current) == cell) return true;
    std::array<std::byte, 4> pointer;
    auto read = reader_.read(current, pointer);
    if (!read) return std::unexpected(read.error());
    if (!*read) return false;
    const std::uint32_t next = load_u32(pointer.data());
    if (next == 0) return false;
    missing -= std::min(missing, block_size_ - 4);
    current = next;
  }
  return false;
}

// Walks the chain of `size` bytes at `offset` as a reader gathers it,
// marking the blocks it covers (a last block whose pointer is 0 covers all
// that is still missing), and copies its payload into `out` when given.
// Stops at the first block that lies outside the file or off the block
// grid, or that is marked already. True when the whole chain was walked.
// Invariant: each step adds at least one byte (block_size > 4), so the
// walk ends after size / (block_size - 4) blocks at most, rounded up.
std::expected<bool, IoError> Checker::walk_chain(std::uint64_t offset,
                                                 std::uint64_t size,
                                                 const Owner& owner,
                                                 std::vector<std::byte>* out) {
  if (size == 0) return true;
  if (size > length_) {
    add(Severity::Damage, Kind::ChainOutOfRange, owner,
        "its size of " + std::to_string(size) +
            " bytes is larger than the whole file");
    return false;
  }
  const std::uint64_t payload = block_size_ - 4;
  std::uint64_t current = offset;
  std::uint64_t missing = size;
  for (std::uint64_t steps = 0;; ++steps) {
    const auto cell = cell_of(current);
    if (!cell) {
      add(Severity::Damage, Kind::ChainOutOfRange, owner,
          "its chain goes to " + hex(current) +
              (current < kHeaderEnd ? ", inside the header"
                                    : ", which is not on the block grid"));
      return false;
    }
    std::array<std::byte, 4> pointer{};
    auto read = reader_.read(current, pointer);
    if (!read) return std::unexpected(read.error());
    const std::uint32_t next = load_u32(pointer.data());
    const std::uint64_t piece = next == 0 ? missing : std::min(missing, payload);
    if (!*read || current + 4 + piece > length_) {
      add(Severity::Damage, Kind::ChainOutOfRange, owner,
          "its chain runs past the end of the file at the block at " +
              hex(current));
      return false;
    }
    const std::uint64_t last_cell =
        (current + 4 + piece - 1 - origin_) / block_size_;
    for (std::uint64_t c = *cell; c <= last_cell && c < cells_; ++c) {
      if (used_->test(c)) {
        auto own = comes_back(offset, size, steps, c);
        if (!own) return std::unexpected(own.error());
        if (*own) {
          add(Severity::Damage, Kind::ChainLoop, owner,
              "its chain comes back to the block at " + hex(cell_start(c)));
        } else if (!naming_) {
          if (!conflicted_) conflicted_.emplace(cells_);
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
      auto copied = reader_.read(current + 4, std::span(*out).subspan(at));
      if (!copied) return std::unexpected(copied.error());
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
    const auto cell = cell_of(offset);
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
    auto walked = walk_chain(offset, kNodeSize, owner, &bytes);
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
      auto own = comes_back(header_.free_head, UINT64_MAX, n, *cell);
      if (!own) return std::unexpected(own.error());
      if (*own) {
        add(Severity::Damage, Kind::FreeList, owner,
            "it comes back to the block at " + hex(current));
      } else if (!naming_) {
        if (!conflicted_) conflicted_.emplace(cells_);
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

std::expected<ArchiveCheck, IoError> Checker::run() {
  auto header_finding = [&](Severity severity, Kind kind, std::string text) {
    check_.findings.push_back({severity, kind, std::nullopt, std::move(text)});
  };
  if (header_.file_size != length_) {
    header_finding(Severity::Warning, Kind::FileSizeMismatch,
                   "the header's file_size is " +
                       std::to_string(header_.file_size) + ", the file is " +
                       std::to_string(length_) + " bytes");
  }
  block_size_ = header_.block_size;
  if (block_size_ <= 4) {
    header_finding(
        header_.root_offset != 0 ? Severity::Damage : Severity::Warning,
        Kind::BlockSizeNoRoom,
        "the block size " + std::to_string(block_size_) +
            " leaves no room for data after the block pointer");
    return std::move(check_);
  }
  // Blocks lie on one grid: that of the root node, else of the free list,
  // else of the first block after the header.
  const std::uint64_t anchor = header_.root_offset != 0 ? header_.root_offset
                               : header_.free_count != 0 ? header_.free_head
                                                         : kHeaderEnd;
  origin_ = anchor % block_size_;
  cells_ = length_ / block_size_ + 1;
  used_.emplace(cells_);
  nodes_.emplace(cells_);
  auto walked = walk_all();
  if (!walked) return std::unexpected(walked.error());
  for (std::uint64_t c = 0; c < cells_; ++c) {
    const std::uint64_t start = cell_start(c);
    if (start < kHeaderEnd || start >= length_) continue;
    ++check_.blocks;
    if (!used_->test(c)) ++check_.unaccounted;
  }
  if (check_.unaccounted != 0) {
    header_finding(Severity::Warning, Kind::Unaccounted,
                   std::to_string(check_.unaccounted) +
                       " blocks unaccounted for");
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
  std::stable_sort(check_.findings.begin(), check_.findings.end(),
                   [](const CheckFinding& a, const CheckFinding& b) {
                     return a.id < b.id;  // nullopt sorts first
                   });
  return std::move(check_);
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

std::expected<ArchiveCheck, DatError> check_archive(
    const std::filesystem::path& path) {
  auto file = File::open_read_only(path);
  if (!file) {
    return std::unexpected(
        DatError(DatError::PathError{path, std::move(file.error())}));
  }
  auto length = platform::file_length(*file);
  if (!length) return std::unexpected(DatError(std::move(length.error())));
  if (*length < kHeaderEnd) {
    ArchiveCheck check;
    check.findings.push_back(
        {Severity::Damage, Kind::HeaderCutShort, std::nullopt,
         "the file is " + std::to_string(*length) +
             " bytes, its header ends at byte " + std::to_string(kHeaderEnd)});
    return check;
  }
  std::array<std::byte, DatHeader::kSize> bytes;
  auto read = platform::read_exact(*file, DatHeader::kFileOffset, bytes, {});
  if (!read) return std::unexpected(DatError(std::move(read.error())));
  RecordReader reader(bytes);
  auto header = DatHeader::read(reader);
  if (!header) return std::unexpected(DatError(std::move(header.error())));
  try {
    auto check = Checker(*file, *header, *length).run();
    if (!check) return std::unexpected(DatError(std::move(check.error())));
    return std::move(*check);
  } catch (const std::bad_alloc&) {
    return std::unexpected(DatError(IoError(
        IoErrorKind::OutOfMemory, "out of memory for the archive's bitmaps")));
  }
}

}  // namespace ostrand_dat
