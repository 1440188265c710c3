// Every system call of an operation, one at a time, made to fail through the
// fault seam: interrupted, cut to one byte, moving nothing, or failing with
// an error. An interruption or a short transfer must change nothing, neither
// the result nor the bytes read; a read that finds nothing must end as the
// end of the file, and an error must end the operation at once with exactly
// that error, after reading no byte more often than the run without faults.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "archive_image.h"
#include "archive_support.h"
#include "chain_layout.h"
#include "fault_seam.h"
#include "map_storage.h"
#include "ostrand_dat/check.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "node_layout.h"
#include "platform/write_file.h"
#include "scattered_blocks.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::Bytes;
using testing::Call;
using testing::Fault;
using testing::FaultScope;
using testing::TempFile;
using testing::Transfer;

constexpr std::uint32_t kBlockSize = 128;

// "ok", the size and a 64-bit FNV-1a hash of the bytes: short enough to
// read in a failure, and no two results of a row share one.
std::string ok(std::span<const std::byte> bytes) {
  std::uint64_t hash = 0xCBF29CE484222325u;
  for (std::byte b : bytes) {
    hash = (hash ^ std::to_integer<std::uint64_t>(b)) * 0x100000001B3u;
  }
  char text[64];
  std::snprintf(text, sizeof text, "ok %zu bytes %016llx", bytes.size(),
                static_cast<unsigned long long>(hash));
  return text;
}

template <typename T>
std::string outcome(const std::expected<T, DatError>& result) {
  if (!result) return debug_string(result.error());
  if constexpr (std::is_same_v<T, void>) {
    return "ok";
  } else {
    return ok(*result);
  }
}

// One archive for every row: a root and two leaves of 14 blocks each,
// files of several blocks, plain and compressed, and after them two chains
// no writer makes: one block that points to itself (its bytes are read
// three times over) and a first block whose pointer is 0 while the item
// runs on past it (the rest read in one piece).
struct Fixture {
  Fixture() {
    ArchiveWriter writer(kBlockSize);
    for (std::uint32_t id = 1; id <= 100; ++id) {
      writer.add({.id = id, .data = testing::pseudo_random(id * 7, id)});
    }
    // Four byte values: it compresses, and still takes several blocks.
    writer.add({.id = 1000,
                .data = testing::pseudo_random(1200, 1000, 4),
                .compress = true});
    ArchiveImage image(kBlockSize);
    image.put(0, *writer.build());
    looping = static_cast<std::uint32_t>(image.allocate_block());
    image.put_u32(looping, looping);
    image.put(looping + 4, testing::pseudo_random(kBlockSize - 4, 77));
    early_end = static_cast<std::uint32_t>(image.allocate_block());
    image.put(early_end + 4, testing::pseudo_random(3 * kBlockSize, 78));
    file.emplace(image.bytes());
    db.emplace(testing::open_ok(image.bytes()));
    raw.emplace(std::move(*File::open_read_only(file->path())));
  }

  std::uint32_t looping = 0;
  std::uint32_t early_end = 0;
  std::optional<TempFile> file;
  std::optional<DatDatabase> db;
  std::optional<File> raw;
};

// How an operation reports the failure `error` of call `index` of `call`:
// its printed form, matched whole, or up to a final "..."; nullopt when
// that failure changes nothing.
using Failure = std::function<std::optional<std::string>(
    Call call, std::size_t index, const IoError& error)>;

// Running out of map storage, whatever the directory's size.
const std::string kOutOfMemory =
    "Io(Error { kind: OutOfMemory, message: \"out of memory for ...";

std::optional<std::string> as_dat_error(Call call, std::size_t,
                                        const IoError& error) {
  if (call == Call::kMemory) return kOutOfMemory;
  return debug_string(DatError(error));
}

std::optional<std::string> as_io_error(Call, std::size_t,
                                       const IoError& error) {
  return debug_string(error);
}

// An operation under test and how it reports the failure of a call.
struct Row {
  std::string name;
  // Runs inside the armed scope: "ok" and the result's bytes, or the
  // error's printed form.
  std::function<std::string()> run;
  Failure failure = as_dat_error;
  // Runs after the scope, when the result is "ok": what the operation left
  // on disk.
  std::function<std::string()> written = nullptr;
  bool reads_twice = false;  // the format itself reads some bytes again
  std::vector<Call> calls = {std::begin(testing::kAllCalls),
                             std::end(testing::kAllCalls)};
};

// How often each byte was read: from each offset on where the count
// changes, the new count.
std::map<std::int64_t, int> read_counts(const std::vector<Transfer>& moved) {
  std::map<std::int64_t, int> delta;
  for (const Transfer& t : moved) {
    if (t.call != Call::kRead || t.offset < 0) continue;
    ++delta[t.offset];
    --delta[t.offset + static_cast<std::int64_t>(t.bytes)];
  }
  std::map<std::int64_t, int> steps;
  int level = 0;
  for (const auto& [at, change] : delta) {
    if (change == 0) continue;
    level += change;
    steps[at] = level;
  }
  return steps;
}

int count_at(const std::map<std::int64_t, int>& steps, std::int64_t at) {
  auto it = steps.upper_bound(at);
  return it == steps.begin() ? 0 : std::prev(it)->second;
}

// Whether no byte is read more often in `run` than in `baseline`.
bool read_no_more(const std::map<std::int64_t, int>& run,
                  const std::map<std::int64_t, int>& baseline) {
  for (const auto& [at, count] : run) {
    if (count > count_at(baseline, at)) return false;
  }
  return true;
}

std::size_t bytes_written(const std::vector<Transfer>& moved) {
  std::size_t total = 0;
  for (const Transfer& t : moved) total += t.call == Call::kWrite ? t.bytes : 0;
  return total;
}

// The faults each family meets at every index: only reads and writes can
// be short or move nothing, fstat is never interrupted, and memory is
// either there or not.
std::vector<Fault> faults_for(Call call, std::size_t index) {
  using Kind = Fault::Kind;
  if (call == Call::kMemory) return {{call, index, Kind::kError, ENOMEM}};
  std::vector<Fault> out;
  if (call != Call::kStat) out.push_back({call, index, Kind::kInterrupt});
  if (call == Call::kRead || call == Call::kWrite) {
    out.push_back({call, index, Kind::kShort});
    out.push_back({call, index, Kind::kNothing});
  }
  out.push_back({call, index, Kind::kError, EIO});
  if (call == Call::kWrite || call == Call::kClose) {
    out.push_back({call, index, Kind::kError, ENOSPC});
  }
  return out;
}

// The error the operation sees from `fault`, if the fault is one.
std::optional<IoError> error_of(const Fault& fault) {
  switch (fault.kind) {
    case Fault::Kind::kInterrupt:
    case Fault::Kind::kShort:
      return std::nullopt;
    case Fault::Kind::kNothing:
      return fault.call == Call::kRead
                 ? IoError::unexpected_eof()
                 : IoError(IoErrorKind::WriteZero,
                           "failed to write whole buffer");
    case Fault::Kind::kError:
      return IoError::from_os(fault.error);
  }
  return std::nullopt;
}

// A streaming read's pieces joined, or its error.
std::expected<Bytes, DatError> joined(
    const std::function<std::expected<FileReadSummary, DatError>(
        const FileSink&)>& stream) {
  Bytes bytes;
  auto read = stream([&bytes](std::span<const std::byte> piece) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return true;
  });
  if (!read) return std::unexpected(std::move(read.error()));
  return bytes;
}

bool matches(const std::string& result, const std::string& expected) {
  if (!expected.ends_with("...")) return result == expected;
  return result.starts_with(expected.substr(0, expected.size() - 3));
}

std::vector<Row> rows(const Fixture& fixture) {
  const DatDatabase& db = *fixture.db;
  const std::filesystem::path path = fixture.file->path();
  const DatFileEntry plain = *db.files().find(100);
  // The header's read failing is the header cut short at its first field.
  ReadError header_error =
      testing::open_bytes({}).error().get_if<DatError::BinRead>()->error;
  auto out_path = std::make_shared<TempFile>(Bytes{});
  auto read_back = [out_path] {
    auto back = File::open_read_only(out_path->path());
    Bytes bytes(std::filesystem::file_size(out_path->path()));
    if (!back || !read_exact_at_compat(*back, bytes, 0))
      return std::string("?");
    return ok(bytes);
  };
  ArchiveWriter writer(64);
  writer.add({.id = 5, .data = testing::pseudo_random(300, 5)});
  const Bytes archive = *writer.build();
  auto open_listing = [](std::filesystem::path at) {
    return [at] {
      auto opened = DatDatabase::open(at);
      if (!opened) return debug_string(opened.error());
      std::string listed = "ok";
      for (const DatFileEntry& e : opened->files()) {
        listed += " " + std::to_string(e.id) + "@" + std::to_string(e.offset);
      }
      return listed;
    };
  };
  auto open_failure = [header_error](std::filesystem::path at) -> Failure {
    return [at, header_error](Call call, std::size_t index,
                              const IoError& error) -> std::optional<std::string> {
      if (call == Call::kOpen) {
        return debug_string(DatError(DatError::PathError{at, error}));
      }
      if (call == Call::kClose) return std::nullopt;  // read-only
      if (call == Call::kRead && index == 0) {
        ReadError header = header_error;
        header.cause = error;
        return debug_string(DatError(header));
      }
      return as_dat_error(call, index, error);
    };
  };
  ArchiveWriter spread(kBlockSize);
  for (std::uint32_t id = 1; id <= 150; ++id) {
    spread.add({.id = id, .data = testing::pseudo_random(id % 7 * 90, id)});
  }
  auto scattered = std::make_shared<TempFile>(
      bench::scatter_chained_blocks(*spread.build(), kBlockSize, 7));
  // 183000 entries (4.4 MB): they outgrow a small buffer, are mapped from
  // the system, grow by remapping, and are sorted at the end.
  auto deep = std::make_shared<TempFile>(testing::deep_chain_directory(3000));
  // 180 nodes of 14 blocks: more than the read-ahead holds.
  ArchiveWriter many(kBlockSize);
  for (std::uint32_t id = 1; id <= 11000; ++id) many.add({.id = id, .data = {}});
  auto wide = std::make_shared<TempFile>(*many.build());
  return {
      {"DatDatabase::open", open_listing(path), open_failure(path)},
      // Each node's chain leaves the order of its blocks after the first:
      // reads of single blocks after the first read of a node. Bytes that
      // a node's first read takes past its own first block can be read
      // again as another chain's.
      {"DatDatabase::open of a directory in scattered blocks",
       [scattered, listing = open_listing(scattered->path())] {
         return listing();
       },
       open_failure(scattered->path()), nullptr, true},
      {"DatDatabase::open of a directory of many nodes, read ahead",
       [wide, listing = open_listing(wide->path())] { return listing(); },
       open_failure(wide->path())},
      {"DatDatabase::open of a deep, unordered directory",
       [deep] {
         auto opened = DatDatabase::open(deep->path());
         return opened ? "ok " + std::to_string(opened->files().size())
                       : debug_string(opened.error());
       },
       as_dat_error,
       nullptr,
       false,
       {Call::kMemory}},
      {"read_file_data of a chain of blocks",
       [&db, plain] {
         return outcome(db.read_file_data(plain.offset, plain.size));
       }},
      {"read_file_data of a block that points to itself",
       [&db, &fixture] {
         return outcome(db.read_file_data(fixture.looping, 3 * kBlockSize));
       },
       as_dat_error, nullptr, true},
      {"read_file_data of an item that runs on past a last block",
       [&db, &fixture] {
         return outcome(db.read_file_data(fixture.early_end, 2 * kBlockSize));
       }},
      {"get_file of a compressed file",
       [&db] { return outcome(db.get_file(1000)); }},
      {"read_file of a compressed file, in pieces",
       [&db] {
         return outcome(joined([&db](const FileSink& sink) {
           return db.read_file(1000, sink);
         }));
       }},
      {"read_file_data of a chain of blocks, in pieces",
       [&db, plain] {
         return outcome(joined([&db, plain](const FileSink& sink) {
           return db.read_file_data(plain.offset, plain.size, sink);
         }));
       }},
      {"read_file_data of a block that points to itself, in pieces",
       [&db, &fixture] {
         return outcome(joined([&db, &fixture](const FileSink& sink) {
           return db.read_file_data(fixture.looping, 3 * kBlockSize, sink);
         }));
       },
       as_dat_error, nullptr, true},
      {"read_file_data of an item that runs on past a last block, in pieces",
       [&db, &fixture] {
         return outcome(joined([&db, &fixture](const FileSink& sink) {
           return db.read_file_data(fixture.early_end, 2 * kBlockSize, sink);
         }));
       }},
      {"read_exact_at_compat over two buffers",
       [&fixture] {
         Bytes head(700), tail(900);
         auto read = read_exact_at_compat(*fixture.raw, head, tail, 100);
         head.insert(head.end(), tail.begin(), tail.end());
         return read ? ok(head) : debug_string(read.error());
       },
       as_io_error},
      {"read_exact_at_compat into a tail alone, past the end",
       [&fixture, path] {
         Bytes tail(500);
         const auto at = std::filesystem::file_size(path) - 300;
         auto read = read_exact_at_compat(*fixture.raw, {}, tail, at);
         return read ? ok(tail) : debug_string(read.error());
       },
       as_io_error},
      {"ArchiveWriter::write",
       [writer, out_path] { return outcome(writer.write(out_path->path())); },
       as_dat_error, read_back},
      {"platform::write_whole_file",
       [archive, out_path] {
         auto written = platform::write_whole_file(out_path->path(), archive);
         return written ? std::string("ok") : debug_string(written.error());
       },
       as_io_error, read_back},
  };
}

TEST(FaultSeam, EveryCallOfEveryOperationFailsCleanlyOrChangesNothing) {
  const Fixture fixture;
  for (const Row& row : rows(fixture)) {
    SCOPED_TRACE(row.name);
    std::string expected;
    std::vector<Transfer> moved;
    std::map<Call, std::size_t> calls;
    {
      FaultScope scope;
      expected = row.run();
      moved = scope.transfers();
      for (Call call : testing::kAllCalls) calls[call] = scope.calls(call);
    }
    if (row.written && expected == "ok")
      expected += ", on disk " + row.written();
    const auto counts = read_counts(moved);
    const std::size_t written = bytes_written(moved);
    // The seam is in place: the operation's calls went through it.
    ASSERT_FALSE(moved.empty());
    if (!row.reads_twice) {
      for (const auto& [at, count] : counts) EXPECT_LE(count, 1) << "at " << at;
    }
    std::size_t failed = 0;  // faulted runs that ended in an error
    for (Call call : row.calls) {
      for (std::size_t index = 0; index < calls[call]; ++index) {
        for (const Fault& fault : faults_for(call, index)) {
          SCOPED_TRACE(testing::describe(fault));
          std::string result;
          std::optional<std::size_t> injected_at;
          {
            FaultScope scope(fault);
            result = row.run();
            moved = scope.transfers();
            injected_at = scope.injected_at();
          }
          ASSERT_TRUE(injected_at) << "the fault met no call";
          const std::optional<IoError> error = error_of(fault);
          const auto failure =
              error ? row.failure(call, index, *error) : std::nullopt;
          if (!failure) {
            if (row.written && result == "ok")
              result += ", on disk " + row.written();
            EXPECT_EQ(result, expected);
            EXPECT_EQ(read_counts(moved), counts);
            EXPECT_EQ(bytes_written(moved), written);
            continue;
          }
          // A memory request that fails may be made another way (a buffer
          // that cannot grow in place moves), and the operation succeed.
          if (call == Call::kMemory && result == expected) continue;
          ++failed;
          EXPECT_PRED2(matches, result, *failure);
          EXPECT_TRUE(read_no_more(read_counts(moved), counts));
          // Nothing moves after the failure.
          EXPECT_TRUE(std::all_of(moved.begin(), moved.end(), [&](auto& t) {
            return t.sequence < *injected_at;
          }));
        }
      }
    }
    EXPECT_GT(failed, 0u);
  }
}

// Streaming a chain laid out in any order reads no more often than the
// block-by-block read (one read per block) and at most twice its bytes; a
// forward chain takes a few reads where that read takes one per block.
// Counted through the seam, which sees every read.
TEST(FaultSeam, StreamingAChainInAnyOrderCostsAtMostTheBlockByBlockRead) {
  // Read calls and bytes of one read.
  auto cost = [](const std::function<bool()>& read) {
    FaultScope scope;
    EXPECT_TRUE(read());
    std::size_t bytes = 0;
    for (const Transfer& t : scope.transfers()) {
      bytes += t.call == Call::kRead ? t.bytes : 0;
    }
    return std::pair(scope.calls(Call::kRead), bytes);
  };
  for (std::uint32_t block_size : {5u, 64u, 4096u}) {
    for (ChainOrder layout : {ChainOrder::kForward, ChainOrder::kReversed,
                               ChainOrder::kScattered}) {
      SCOPED_TRACE(std::string(testing::order_name(layout)) + ", block size " +
                   std::to_string(block_size));
      const Bytes data =
          testing::pseudo_random(block_size == 4096 ? 1 << 20 : 20000, 5);
      const DatDatabase db = testing::open_ok(
          testing::one_file_archive(block_size, data, false, layout));
      // One read per block: its pointer and payload.
      const std::size_t block_reads = (data.size() + block_size - 5) / (block_size - 4);
      const std::size_t block_bytes = data.size() + 4 * block_reads;
      const auto [reads, bytes] = cost([&] {
        return db.read_file(1, [](std::span<const std::byte>) { return true; })
            .has_value();
      });
      EXPECT_LE(reads, block_reads);
      EXPECT_LE(bytes, 2 * block_bytes);
      if (layout == ChainOrder::kForward) {
        EXPECT_LE(8 * reads, block_reads);
      }
    }
  }
}

// A node's blocks come in one read when they lie one after the other; where
// its chain leaves that order, a block an earlier read brought is not read
// again, a block that goes on from read bytes comes with the rest of the
// window, and any other block costs a read of its own: the reads of opening
// a one-node directory.
TEST(FaultSeam, ANodeInConsecutiveBlocksIsReadInOneRead) {
  using Place = std::function<std::size_t(std::size_t i, std::size_t n)>;
  const struct {
    std::string what;
    Place place;  // where block i of a chain of n lies, from the first
    std::function<std::size_t(std::size_t n)> reads;
  } layouts[] = {
      {"one after the other", [](std::size_t i, std::size_t) { return i; },
       [](std::size_t) { return 1; }},
      {"last to first", [](std::size_t i, std::size_t n) { return n - 1 - i; },
       [](std::size_t n) { return n; }},
      // 0, 1, then n - 1 down to 2: the first read stops short of block
      // n - 1's end, the second brings the rest.
      {"a run, then backwards",
       [](std::size_t i, std::size_t n) { return i < 2 ? i : n + 1 - i; },
       [](std::size_t) { return 2; }},
      // 0, 1, then 3 to n - 1, then 2.
      {"two runs and a jump back",
       [](std::size_t i, std::size_t n) {
         return i < 2 ? i : i + 1 < n ? i + 1 : 2;
       },
       [](std::size_t) { return 2; }},
  };
  DirectoryNode node;
  node.entries.push_back({0, 7, 0, 0, 1, 2});
  const Bytes bytes = encode_node(node);
  for (std::uint32_t block_size : {64u, 128u, 256u}) {
    const std::size_t payload = block_size - 4;
    const std::size_t n = (kNodeSize + payload - 1) / payload;
    for (const auto& layout : layouts) {
      SCOPED_TRACE(layout.what + ", block size " + std::to_string(block_size));
      ArchiveImage image(block_size);
      const std::uint64_t first = image.size();
      auto at = [&](std::size_t i) {
        return first + layout.place(i, n) * block_size;
      };
      for (std::size_t i = 0; i < n; ++i) image.allocate_block();
      for (std::size_t i = 0; i < n; ++i) {
        image.put_u32(at(i), i + 1 == n ? 0 : static_cast<std::uint32_t>(at(i + 1)));
        const std::size_t from = i * payload;
        image.put(at(i) + 4, std::span(bytes).subspan(
                                 from, std::min(payload, bytes.size() - from)));
      }
      DatHeader header;
      header.block_size = block_size;
      header.root_offset = static_cast<std::uint32_t>(at(0));
      image.put_header(header);
      const TempFile file(image.bytes());
      std::size_t reads = 0;
      std::string listed;
      {
        FaultScope scope;
        auto db = DatDatabase::open(file.path());
        reads = scope.calls(Call::kRead);
        listed = db ? std::to_string(db->files().size()) + " entry, version " +
                          std::to_string(db->files().find(7)->version)
                    : debug_string(db.error());
      }
      EXPECT_EQ(listed, "1 entry, version 2");
      EXPECT_EQ(reads, 1 + layout.reads(n));  // the header, then the node
    }
  }
}

// A directory as a writer lays it out comes in a few large reads, and one
// whose nodes' later blocks are scattered in fewer reads than one a block.
TEST(FaultSeam, OpeningAWrittenDirectoryReadsItsNodesAhead) {
  constexpr std::uint32_t kEntries = 100000, kSize = 256;
  ArchiveWriter writer(kSize);
  for (std::uint32_t id = 1; id <= kEntries; ++id) writer.add({.id = id, .data = {}});
  const Bytes laid = *writer.build();
  // Every block past the header is a node's: one read each, plainly.
  const std::size_t blocks =
      (laid.size() - DatHeader::kFileOffset - DatHeader::kSize) / kSize;
  for (bool scattered : {false, true}) {
    SCOPED_TRACE(scattered ? "scattered" : "as written");
    const TempFile file(scattered ? bench::scatter_chained_blocks(laid, kSize, 3)
                                  : laid);
    FaultScope scope;
    auto db = DatDatabase::open(file.path());
    ASSERT_TRUE(db);
    EXPECT_EQ(db->files().size(), kEntries);
    const std::size_t reads = scope.calls(Call::kRead);
    // Scattered, each node's first block comes ahead, the other six of
    // its seven plainly.
    EXPECT_LE(reads, scattered ? blocks * 5 / 6 : blocks / 100);
  }
}

// Checking an archive while reading every file, as verify does, reads each
// byte once: the check takes the directory's nodes from the open, and each
// file's chain from its read.
TEST(FaultSeam, CheckingWhileReadingEveryFileReadsEachByteOnce) {
  ArchiveWriter writer(kBlockSize);
  for (std::uint32_t id = 1; id <= 3000; ++id) {
    writer.add({.id = id,
                .data = testing::pseudo_random(id % 13 * 50, id, 8),
                .compress = id % 3 == 0});
  }
  const TempFile file(*writer.build());
  FaultScope scope;
  auto checker = ArchiveChecker::start_and_open(file.path());
  ASSERT_TRUE(checker);
  auto db = checker->take_database();
  ASSERT_TRUE(db);
  EXPECT_FALSE(checker->take_database()) << "taken once";
  for (const DatFileEntry& entry : db->files()) {
    ASSERT_TRUE(checker->read_file(entry, {}));
  }
  auto check = checker->finish();
  ASSERT_TRUE(check);
  EXPECT_TRUE(check->findings.empty());
  EXPECT_EQ(check->entries, 3000u);
  for (const auto& [at, count] : read_counts(scope.transfers())) {
    EXPECT_LE(count, 1) << "at " << at;
  }
}

// A large buffer whose next pages are taken cannot grow in place: its pages
// move to a fresh range. Whichever request of that growth fails, the buffer
// either moved whole or stayed where it was, its bytes intact.
TEST(MapStorage, GrowthThatMustMoveKeepsItsBytesWhateverFails) {
  constexpr std::size_t kSize = kLargeMapBytes;  // a whole number of 2 MiB
  std::size_t moved = 0, stayed = 0;
  for (std::size_t index = 0;; ++index) {
    SCOPED_TRACE(index);
    auto* data = static_cast<std::uint32_t*>(allocate_map_storage(kSize));
    ASSERT_NE(data, nullptr);
    for (std::size_t i = 0; i < kSize / 4; ++i) data[i] = i * 2654435761u;
    // Its first page taken, unless something lies there already.
    void* next = reinterpret_cast<char*>(data) + kSize;
    void* blocker =
        ::mmap(next, 4096, PROT_NONE,
               MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (blocker != next && errno != EEXIST) GTEST_SKIP() << "no blocker";
    void* grown;
    bool reached;
    {
      FaultScope scope(
          Fault{Call::kMemory, index, Fault::Kind::kError, ENOMEM});
      grown = grow_map_storage(data, kSize, 2 * kSize);
      reached = scope.injected_at().has_value();
    }
    if (blocker == next) ::munmap(blocker, 4096);
    auto* kept = static_cast<std::uint32_t*>(grown != nullptr ? grown : data);
    for (std::size_t i = 0; i < kSize / 4; ++i) {
      ASSERT_EQ(kept[i], static_cast<std::uint32_t>(i * 2654435761u)) << i;
    }
    ++(grown != nullptr ? moved : stayed);
    EXPECT_NE(grown, data);
    free_map_storage(kept, grown != nullptr ? 2 * kSize : kSize);
    if (!reached) break;
  }
  EXPECT_GT(moved, 0u);
  EXPECT_GT(stayed, 0u);
}

// Assigning an open archive over another releases the file of the one
// replaced, once; the archive moved from releases nothing.
TEST(DatDatabase, AssignmentReleasesTheReplacedArchivesFile) {
  ArchiveImage image(64);
  image.put_header(DatHeader{.block_size = 64});
  std::optional<DatDatabase> a(testing::open_ok(image.bytes()));
  std::optional<DatDatabase> b(testing::open_ok(image.bytes()));
  FaultScope scope;
  *b = std::move(*a);
  EXPECT_EQ(scope.calls(Call::kClose), 1u);
  a.reset();
  EXPECT_EQ(scope.calls(Call::kClose), 1u);
  b.reset();
  EXPECT_EQ(scope.calls(Call::kClose), 2u);
}

}  // namespace
}  // namespace ostrand_dat
