// What opening an archive costs in memory, and what it does when there is
// none left. Each open runs in a child process whose address space is held
// to what it already uses plus a margin (RLIMIT_AS), so that a reservation
// the directory does not need fails instead of passing unseen. The
// sanitizers reserve terabytes of shadow address space, so these tests
// run only without them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "archive_image.h"
#include "archive_support.h"
#include "chain_layout.h"
#include "node_layout.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/ostrand_dat_c.h"
#include "test_support.h"

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
// streamed while the address space may grow by 12 MiB: the blocks are read
// in pieces, and every piece is checked as it passes.
TEST(StreamMemory, BlocksLargerThanTheBufferAreReadInPieces) {
#ifdef OSTRAND_MEMORY_SANITIZED
  GTEST_SKIP() << "RLIMIT_AS means nothing under a sanitizer";
#endif
  const testing::Bytes data = testing::pseudo_random(20 << 20, 9);
  TempFile file(testing::one_file_archive(16 << 20, data, false,
                                          ChainOrder::kForward));
  EXPECT_EQ(in_child_with_headroom(12 * kMiB, [&] {
              auto db = DatDatabase::open(file.path());
              if (!db) return 2;
              std::size_t seen = 0;
              auto read = db->read_file(1, [&](std::span<const std::byte> piece) {
                seen += piece.size();
                return std::equal(piece.begin(), piece.end(),
                                  data.begin() + (seen - piece.size()));
              });
              return read && !read->stopped && seen == data.size() ? 0 : 4;
            }),
            "exit 0");
}

// The C interface when memory runs out: OSTRAND_DAT_OUT_OF_MEMORY, never an
// exception. Reading 96 MiB into the library's memory fails first when the
// read's vector cannot grow, then when the copy handed out cannot be had.
// (96 MiB: more than the free heap the allocator keeps after the tests
// before, which the child could take without growing.)
TEST(OutOfMemory, TheCInterfaceReportsIt) {
#ifdef OSTRAND_MEMORY_SANITIZED
  GTEST_SKIP() << "RLIMIT_AS means nothing under a sanitizer";
#endif
  const testing::Bytes data = testing::pseudo_random(96 << 20, 3);
  TempFile file(testing::one_file_archive(4096, data, false,
                                          ChainOrder::kForward));
  ostrand_dat_t* db = nullptr;
  ASSERT_EQ(ostrand_dat_open(file.path().c_str(), &db, nullptr), 0);
  // 0: read whole; 1: OSTRAND_DAT_OUT_OF_MEMORY with its text; 4: else.
  auto get_file = [&] {
    std::uint8_t* out = nullptr;
    std::size_t size = 0;
    ostrand_dat_status status{};
    const int code = ostrand_dat_get_file(db, 1, 0, &out, &size, &status);
    ostrand_dat_free(out);
    if (code == 0) return size == data.size() ? 0 : 4;
    const std::string text = status.message ? status.message : "";
    ostrand_dat_free(status.message);
    return code == OSTRAND_DAT_OUT_OF_MEMORY &&
                   text == "Io(Error { kind: OutOfMemory, message: \"out of "
                           "memory\" })"
               ? 1
               : 4;
  };
  const std::pair<std::uint64_t, std::string> cases[] = {
      {16, "exit 1"}, {112, "exit 1"}, {400, "exit 0"}};
  for (const auto& [headroom, end] : cases) {
    SCOPED_TRACE(headroom);
    EXPECT_EQ(in_child_with_headroom(headroom * kMiB, get_file), end);
  }
  ostrand_dat_close(db);
}

}  // namespace
}  // namespace ostrand_dat
