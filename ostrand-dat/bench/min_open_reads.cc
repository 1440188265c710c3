// min_open_reads [--keep] ARCHIVE: performs only the reads that opening
// ARCHIVE needs, and nothing else: the header, then every directory node's
// block chain, one vectored read per block as the library does, walked
// depth first. It decodes just the child offsets and the entry count to
// find the next nodes; no entry is decoded and nothing is kept. Its run
// time is the floor for `ostrand-dat info`. Prints the number of nodes read.
//
// With --keep it also keeps every entry's 24 bytes, appended to the
// library's own map storage, grown as the library grows it: the floor for
// any map that holds the entries whole, which writes that much fresh memory.
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "coding.h"
#include "map_storage.h"

namespace {

constexpr std::size_t kNodeSize = 1716;
constexpr std::size_t kBranches = 62;
constexpr std::size_t kEntries = 61;
constexpr std::size_t kEntrySize = 24;

std::uint32_t load_u32(const unsigned char* p) {
  return ostrand_dat::load_u32(reinterpret_cast<const std::byte*>(p));
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
  ostrand_dat::EntryBuffer kept;
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
      const std::size_t used = std::min<std::size_t>(count, kEntries);
      ostrand_dat::DatFileEntry* added = kept.extend(used);
      if (added == nullptr) {
        std::fprintf(stderr, "%s: out of memory\n", path);
        return 1;
      }
      if (used != 0) std::memcpy(added, slots, used * kEntrySize);
    }
    if (load_u32(node) == 0) continue;  // a leaf
    const std::size_t slots = std::min<std::size_t>(count, kBranches - 1) + 1;
    for (std::size_t slot = slots; slot-- > 0;) {
      const std::uint32_t child = load_u32(node + 4 * slot);
      if (child != 0) pending.push_back(child);
    }
  }
  std::printf("nodes: %llu\n", static_cast<unsigned long long>(nodes));
  if (keep) std::printf("entry bytes kept: %zu\n", kept.size() * kEntrySize);
  return 0;
}
