// What opening an archive costs in memory, and what it does when there is
// none left. Each open runs in a child process whose address space is held
// to what it already uses plus a margin (RLIMIT_AS), so that a reservation
// the directory does not need fails instead of passing unseen. The
// sanitizers reserve terabytes of shadow address space, so these tests
// run only without them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "archive_image.h"
#include "archive_support.h"
#include "coding.h"
#include "node_layout.h"
#include "ostrand_dat/ostrand_dat.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSTRAND_MEMORY_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSTRAND_MEMORY_SANITIZED 1
#endif
#endif

namespace ostrand_dat {
namespace {

using testing::TempFile;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// Runs `body` in a child process whose address space may grow by
// `headroom` bytes, and returns how the child ended: "exit N", with N what
// `body` returned, "exit 3" when it threw, or "signal N".
std::string in_child_with_headroom(std::uint64_t headroom,
                                   const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    unsigned long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    const bool known =
        statm != nullptr && std::fscanf(statm, "%lu", &pages) == 1;
    if (statm != nullptr) std::fclose(statm);
    const rlim_t used = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
    const rlimit limit{used + headroom, used + headroom};
    if (!known || ::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(100);
    // The child must not return into the test: an exception ends it here.
    int code = 3;
    try {
      code = body();
    } catch (...) {
    }
    // exit, not _Exit: a coverage build writes its counts at exit.
    std::exit(code);
  }
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return "no child";
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

// 0: opened with `files` entries; 1: failed with Io of kind OutOfMemory;
// 2: any other result.
int open_expecting(const std::filesystem::path& path, std::size_t files) {
  auto db = DatDatabase::open(path);
  if (db) return db->files().size() == files ? 0 : 2;
  const auto* io = db.error().get_if<DatError::Io>();
  return io != nullptr && io->error.kind() == IoErrorKind::OutOfMemory ? 1 : 2;
}

TEST(OpenMemory, A4GiBArchiveWithOneNodeReservesLittle) {
#ifdef OSTRAND_MEMORY_SANITIZED
  GTEST_SKIP() << "RLIMIT_AS means nothing under a sanitizer";
#endif
  ArchiveImage image(2048);
  DirectoryNode root;
  root.entries = {DatFileEntry{0, 7, 0, 0, 0, 0}};
  DatHeader header;
  header.block_size = 2048;
  header.root_offset =
      static_cast<std::uint32_t>(image.store_chain(encode_node(root)));
  image.put_header(header);
  TempFile file(image.bytes());
  if (::truncate(file.path().c_str(), static_cast<off_t>(4096 * kMiB)) != 0) {
    GTEST_SKIP() << "no sparse file of 4 GiB here";
  }
  EXPECT_EQ(in_child_with_headroom(
                16 * kMiB, [&] { return open_expecting(file.path(), 1); }),
            "exit 0");
}

// A chain of 5000 nodes: the walk holds 5000 nodes and 305000 entries
// before the map takes any, then sorts them. Under limits from none to
// plenty, the open fails as a value (Io, OutOfMemory) or opens; it never
// throws.
TEST(OpenMemory, RunningOutOfMemoryIsAnErrorValue) {
#ifdef OSTRAND_MEMORY_SANITIZED
  GTEST_SKIP() << "RLIMIT_AS means nothing under a sanitizer";
#endif
  constexpr std::uint32_t kDepth = 5000;
  TempFile file(testing::deep_chain_directory(kDepth));
  std::vector<std::string> ends;
  for (std::uint64_t headroom : {0, 1, 2, 4, 8, 16, 24, 32, 48, 64, 128}) {
    SCOPED_TRACE(headroom);
    ends.push_back(in_child_with_headroom(headroom * kMiB, [&] {
      return open_expecting(file.path(), kDepth * kNodeEntries);
    }));
    EXPECT_TRUE(ends.back() == "exit 0" || ends.back() == "exit 1")
        << ends.back();
  }
  // The limits reached both ends: out of memory, and opened.
  EXPECT_EQ(ends.front(), "exit 1");
  EXPECT_EQ(ends.back(), "exit 0");
}

// A file in blocks of 16 MiB, larger than the streaming read's buffer,
// read while the address space may grow by 12 MiB: the blocks are read in
// pieces. Every MiB of the file starts with a marker, checked as it passes.
TEST(StreamMemory, BlocksLargerThanTheBufferAreReadInPieces) {
#ifdef OSTRAND_MEMORY_SANITIZED
  GTEST_SKIP() << "RLIMIT_AS means nothing under a sanitizer";
#endif
  constexpr std::uint32_t kBlock = 16 << 20;
  constexpr std::uint32_t kSize = 20 << 20;  // two blocks
  constexpr std::uint64_t kFirst = 400 + kBlock;
  constexpr std::uint64_t kSecond = 400 + 2 * kBlock;
  // Sparse: the header, the directory node in the block at 400, the file in
  // the two blocks after it.
  ArchiveImage image(kBlock);
  DatHeader header;
  header.block_size = kBlock;
  header.root_offset = 400;
  image.put_header(header);
  DirectoryNode leaf;
  leaf.entries.push_back(DatFileEntry{0, 1, kFirst, kSize, 0, 0});
  image.put(404, encode_node(leaf));
  TempFile file(image.bytes());
  const int fd = ::open(file.path().c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  auto put = [fd](std::uint64_t at, std::span<const std::byte> bytes) {
    return ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(at)) ==
           static_cast<ssize_t>(bytes.size());
  };
  auto at_item = [](std::uint64_t p) {
    return p < kBlock - 4 ? kFirst + 4 + p : kSecond + 4 + (p - (kBlock - 4));
  };
  std::array<std::byte, 4> pointer;
  store_u32(pointer.data(), static_cast<std::uint32_t>(kSecond));
  bool written = put(kFirst, pointer);
  for (std::uint32_t mib = 0; mib < kSize >> 20; ++mib) {
    const std::byte marker{static_cast<unsigned char>(mib + 1)};
    written = written && put(at_item(std::uint64_t{mib} << 20), {&marker, 1});
  }
  written = written && ::ftruncate(fd, static_cast<off_t>(at_item(kSize))) == 0;
  ::close(fd);
  ASSERT_TRUE(written);
  EXPECT_EQ(in_child_with_headroom(12 * kMiB, [&] {
              auto db = DatDatabase::open(file.path());
              if (!db) return 2;
              std::uint64_t seen = 0;
              bool markers = true;
              auto read = db->read_file(1, [&](std::span<const std::byte> piece) {
                for (std::size_t i = 0; i < piece.size(); ++i) {
                  const std::uint64_t p = seen + i;
                  const auto want = p % (1 << 20) == 0 ? (p >> 20) + 1 : 0;
                  markers = markers && std::to_integer<std::uint64_t>(piece[i]) == want;
                }
                seen += piece.size();
                return true;
              });
              return read && seen == kSize && markers ? 0 : 4;
            }),
            "exit 0");
}

}  // namespace
}  // namespace ostrand_dat
