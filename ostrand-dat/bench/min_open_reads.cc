// min_open_reads [--keep] ARCHIVE: performs only the reads that opening
// ARCHIVE needs, and nothing else: the header, then every directory node's
// block chain, one vectored read per block as the library does, walked
// depth first. It decodes just the child offsets and the entry count to
// find the next nodes; no entry is decoded and nothing is kept. Its run
// time is the floor for `ostrand-dat info`. Prints the number of nodes read.
//
// With --keep it also keeps every entry's 24 bytes, appended to one buffer
// reserved as the library reserves its map, in the library's map storage:
// the floor for any map that holds the entries whole, which writes that much
// fresh memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "ostrand_dat/map_allocator.h"

namespace {

constexpr std::size_t kNodeSize = 1716;
constexpr std::size_t kBranches = 62;
constexpr std::size_t kEntries = 61;
constexpr std::size_t kEntrySize = 24;

std::uint32_t load_u32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool read_all(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  return ::pread(fd, buffer, size, static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(size);
}

// The node's 1716 bytes through its chain.
bool gather_node(int fd, std::uint32_t block_size, std::uint32_t offset,
                 unsigned char* node) {
  std::size_t filled = 0;
  std::uint64_t current = offset;
  while (filled < kNodeSize) {
    unsigned char pointer[4];
    const std::size_t piece =
        std::min<std::size_t>(kNodeSize - filled, block_size - 4);
    iovec parts[2] = {{pointer, 4}, {node + filled, piece}};
    if (::preadv(fd, parts, 2, static_cast<off_t>(current)) !=
        static_cast<ssize_t>(4 + piece)) {
      return false;
    }
    filled += piece;
    const std::uint32_t next = load_u32(pointer);
    if (next == 0) {
      return filled == kNodeSize ||
             read_all(fd, node + filled, kNodeSize - filled,
                      current + 4 + piece);
    }
    current = next;
  }
  return true;
}

// The library's map storage, for bytes.
using Kept = std::vector<unsigned char,
                         ostrand_dat::detail::MapAllocator<unsigned char>>;

// Room for the entries of as many full nodes as the file could hold, as
// the library reserves its map.
Kept reserve_kept(int fd, std::uint32_t block_size) {
  struct stat status;
  if (::fstat(fd, &status) != 0) return {};
  const std::uint64_t node_blocks =
      (kNodeSize + block_size - 5) / (block_size - 4);
  const std::uint64_t nodes =
      static_cast<std::uint64_t>(status.st_size) / (node_blocks * block_size) +
      1;
  Kept kept;
  kept.reserve(
      std::min<std::uint64_t>(nodes * kEntries, std::uint64_t{1} << 23) *
      kEntrySize);
  return kept;
}

}  // namespace

int main(int argc, char** argv) {
  const bool keep = argc == 3 && std::string_view(argv[1]) == "--keep";
  if (argc != 2 + keep) {
    std::fprintf(stderr, "usage: %s [--keep] ARCHIVE\n", argv[0]);
    return 2;
  }
  const char* path = argv[1 + keep];
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  unsigned char header[80];
  if (fd < 0 || !read_all(fd, header, sizeof header, 320)) {
    std::fprintf(stderr, "%s: cannot read the header\n", path);
    return 1;
  }
  const std::uint32_t block_size = load_u32(header + 4);
  const std::uint32_t root = load_u32(header + 32);
  if (block_size <= 4) return 1;
  Kept kept;
  if (keep) kept = reserve_kept(fd, block_size);
  // Pending child offsets, the next to visit on top: pre-order.
  std::vector<std::uint32_t> pending;
  if (root != 0) pending.push_back(root);
  unsigned char node[kNodeSize];
  std::uint64_t nodes = 0;
  while (!pending.empty()) {
    const std::uint32_t offset = pending.back();
    pending.pop_back();
    if (!gather_node(fd, block_size, offset, node)) {
      std::fprintf(stderr, "%s: node at %u cannot be read\n", path, offset);
      return 1;
    }
    ++nodes;
    const std::uint32_t count = load_u32(node + 4 * kBranches);
    if (keep) {
      const unsigned char* slots = node + 4 * kBranches + 4;
      kept.insert(kept.end(), slots,
                  slots + std::min<std::size_t>(count, kEntries) * kEntrySize);
    }
    if (load_u32(node) == 0) continue;  // a leaf
    const std::size_t slots = std::min<std::size_t>(count, kBranches - 1) + 1;
    for (std::size_t slot = slots; slot-- > 0;) {
      const std::uint32_t child = load_u32(node + 4 * slot);
      if (child != 0) pending.push_back(child);
    }
  }
  std::printf("nodes: %llu\n", static_cast<unsigned long long>(nodes));
  if (keep) std::printf("entry bytes kept: %zu\n", kept.size());
  return 0;
}
