// Runs the built ostrand-dat against archives made by the library's writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "args.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/version.h"
#include "ostrand_dat/writer.h"
#include "platform/io.h"
#include "test_support.h"
#include "tool_test_support.h"

namespace ostrand_dat::tool {
namespace {

using namespace testing;
using CliTest = ToolTest;

std::string joined(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& arg : args) out += arg + " ";
  return out;
}

TEST_F(CliTest, InfoPrintsTheHeaderAndTheFileCount) {
  const DatHeader header = DatDatabase::open(archive_)->header();
  EXPECT_EQ(output_of({"info", archive_}),
            "magic: 21570\nblock_size: 64\nfile_size: " +
                std::to_string(fs::file_size(archive_)) +
                "\ndataset: 1\nsubset: 2\nfree_head: 3\nfree_tail: 4\n"
                "free_count: 5\nroot_offset: " +
                std::to_string(header.root_offset) +
                "\nnew_lru: 6\nold_lru: 7\nuse_lru: 8\nmaster_map_id: 9\n"
                "engine_version: 10\ngame_version: 11\n"
                "version_string: 00112233445566778899aabbccddeeff\n"
                "version_minor: 12\nfiles: 6\n");
}

TEST_F(CliTest, LsListsEntriesInAscendingIdOrder) {
  std::ostringstream expected;
  for (std::uint32_t id :
       {kPlain, kCompressed, kMultiBlock, kEmpty, kTable, kBadTable}) {
    const DatFileEntry e = entry_of(image_, id);
    expected << format_id(id) << '\t' << e.bit_flags << '\t' << e.offset << '\t'
             << e.size << '\t' << e.timestamp << '\t' << e.version << '\n';
  }
  const std::string out = output_of({"ls", archive_});
  EXPECT_EQ(out, expected.str());
  EXPECT_NE(out.find("0x01000001\t16\t400\t11\t1234\t2\n"), std::string::npos);
}

TEST_F(CliTest, CatWritesContentsOrStoredBytesExactly) {
  const struct {
    std::vector<std::string> args;
    Bytes out;
  } cases[] = {
      {{"cat", archive_, "0x01000001"}, bytes("plain text\n")},
      {{"cat", archive_, "0X01000002"}, compressible_data()},
      {{"cat", archive_, "16777219"}, multi_block_data()},
      {{"cat", archive_, "0x01000004"}, {}},
      {{"cat", "--raw", archive_, "0x01000002"},
       compress_lrs(compressible_data())},
      {{"cat", archive_, "0x01000003", "--raw"}, multi_block_data()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    EXPECT_EQ(output_of(c.args), text(c.out));
  }
  EXPECT_NE(text(compressible_data()), text(compress_lrs(compressible_data())));
}

TEST_F(CliTest, CatWritesSeveralSelectionsOneAfterTheOther) {
  const std::string plain = "plain text\n";
  const std::string all_plain_ones =
      plain + text(compressible_data()) + text(multi_block_data());
  const struct {
    std::vector<std::string> selectors;
    std::string out;
    int status;
  } cases[] = {
      {{"0x01000004", "0x01000001", "0x01000001"}, plain + plain, 0},
      {{"0x0100000*"}, all_plain_ones, 0},
      {{"0x01000003-0xFFFFFFFF", "1"},
       text(multi_block_data()) + output_of({"cat", archive_, "0x0A*"}),
       1},  // no id 1: reported, the others still written
      {{"0x01000005-0x01FFFFFF", "0x01000001"}, plain, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.selectors));
    std::vector<std::string> args{"cat", archive_};
    args.insert(args.end(), c.selectors.begin(), c.selectors.end());
    const ToolRun r = run(args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.empty(), c.status == 0) << r.err;
  }
}

TEST_F(CliTest, LsLongAddsTheDecodedSizeTheRatioAndATotal) {
  const DatFileEntry compressed = entry_of(image_, kCompressed);
  const std::string decoded = std::to_string(compressible_data().size());
  const auto line = [&](std::uint32_t id, const std::string& tail) {
    const DatFileEntry e = entry_of(image_, id);
    std::ostringstream out;
    out << format_id(id) << '\t' << e.bit_flags << '\t' << e.offset << '\t'
        << e.size << '\t' << e.timestamp << '\t' << e.version << '\t' << tail
        << '\n';
    return out.str();
  };
  char ratio[32];
  std::snprintf(ratio, sizeof ratio, "%.1f%%",
                100.0 * compressed.size / compressible_data().size());
  EXPECT_LT(compressed.size, compressible_data().size());
  EXPECT_EQ(output_of({"ls", "-l", archive_, "0x01000001-0x01000002",
                       "0x01000004"}),
            line(kPlain, "11\t100.0%") +
                line(kCompressed, decoded + "\t" + ratio) +
                line(kEmpty, "0\t-") + "total: 3 files, " +
                std::to_string(11 + compressed.size) + " stored, " +
                std::to_string(11 + compressible_data().size()) +
                " decoded, " + [&] {
                  char total[32];
                  std::snprintf(
                      total, sizeof total, "%.1f%%",
                      100.0 * (11 + compressed.size) /
                          (11 + compressible_data().size()));
                  return std::string(total);
                }() + "\n");

  const auto json = parse_json(
      output_of({"ls", "--long", "--json", archive_, "0x01000002"}));
  ASSERT_TRUE(json);
  EXPECT_EQ((*json)["decoded_size"].u64(), compressible_data().size());
  EXPECT_FLOAT_EQ((*json)["ratio"].f32(),
                  static_cast<float>(compressed.size) /
                      static_cast<float>(compressible_data().size()));
  EXPECT_EQ(parse_json(output_of({"ls", "--json", archive_, "0x01000002"}))
                ->size(),
            6u);  // without -l, the fields of before

  // A compressed entry too short for its prefix is listed, and reported.
  const std::string short_prefix =
      file("short.dat", with_entry_field(image_, kCompressed, 12, 3));
  const ToolRun r = run({"ls", "-l", short_prefix, "0x01000002"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\t3\t" + std::to_string(compressed.timestamp) +
                       "\t" + std::to_string(compressed.version) +
                       "\t?\t?\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, "error: " + short_prefix +
                       ": 0x01000002: damaged: stored compressed, but its 3 "
                       "stored "
                       "bytes are too few for the 4-byte size prefix\n");
}

TEST_F(CliTest, SoundResolvesKindsInTheOrderGiven) {
  EXPECT_EQ(output_of({"sound", archive_, "0x0A000001", "0x58", "0", "5",
                       "0x100", "0xCD", "88"}),
            "0x58 Some(167773465)\n"
            "0x00 None\n"  // empty entry list
            "0x05 None\n"  // first wave 0, a later one not
            "0x100 Some(167773952)\n"
            "0xCD None\n"  // no such kind
            "0x58 Some(167773465)\n");

  std::istringstream all(output_of({"sound", archive_, "0x0A000001"}));
  std::vector<std::string> lines;
  for (std::string line; std::getline(all, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 205u);
  EXPECT_EQ(lines[0], "0x00 None");
  EXPECT_EQ(lines[0x58], "0x58 Some(167773465)");
  EXPECT_EQ(lines[204], "0xCC None");
}

TEST_F(CliTest, SoundDumpPrintsTheWholeTableInKeyOrder) {
  EXPECT_EQ(
      output_of({"sound", "--dump", archive_, "0x0A000001"}),
      "id: 0x0A000001\nhash_key: -3\nhashes: 2\n"
      "  0x00000002: priority 1 probability 0.1 volume 2\n"
      "  0x00000007: priority 0.5 probability 1 volume 0.25\n"
      "sounds: 4\n"
      "  0x00: unknown -1, entries 0\n"
      "  0x05: unknown 3, entries 2\n"
      "    0x00000000 (0): priority 1 probability 1 volume 1\n"
      "    0x0A000600 (167773696): priority 1 probability 1 volume 1\n"
      "  0x58: unknown 0, entries 1\n"
      "    0x0A000519 (167773465): priority 0.5 probability 1 volume 0.25\n"
      "  0x100: unknown 0, entries 1\n"
      "    0x0A000700 (167773952): priority 0 probability 0.75 volume 1\n");
}

TEST_F(CliTest, PackRoundTripsThroughTheLibraryAndTheTool) {
  const std::string a = file("a.txt", bytes("first file\n"));
  const std::string b = file("b.bin", multi_block_data());
  const std::string empty = file("empty", {});
  const std::string out = (dir_ / "packed.dat").string();
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "plain");
    std::vector<std::string> args{
        "pack",   out,         "--block-size=0x20", "0x20000001=" + a,
        "7=" + b, "8=" + empty};
    if (compress) args.push_back("--compress=always");
    EXPECT_EQ(output_of(args), "");

    auto db = DatDatabase::open(out);
    ASSERT_TRUE(db) << debug_string(db.error());
    EXPECT_EQ(db->header().block_size, 32u);
    ASSERT_EQ(db->files().size(), 3u);
    for (const DatFileEntry& e : db->files()) {
      EXPECT_EQ(e.is_compressed(), compress) << format_id(e.id);
    }
    EXPECT_EQ(output_of({"cat", out, "0x20000001"}), "first file\n");
    EXPECT_EQ(output_of({"cat", out, "7"}), text(multi_block_data()));
    EXPECT_EQ(output_of({"cat", out, "8"}), "");
  }
  // Only the archive is left beside the inputs: no temporary file.
  EXPECT_EQ(names_in(dir_),
            (std::vector<std::string>{"a.txt", "b.bin", "empty", "packed.dat",
                                      "stderr", "stdout", "test.dat"}));
}

TEST_F(CliTest, PackCompressesOnlyWhatGetsSmallerUnlessAlways) {
  Bytes noise(5000);
  std::uint32_t state = 12345;
  for (std::byte& b : noise) {
    state = state * 1103515245 + 12345;
    b = static_cast<std::byte>(state >> 24);
  }
  const std::string inputs[] = {file("noise", noise),
                                file("text", compressible_data()),
                                file("one", bytes("x"))};
  const struct {
    std::string option;
    bool compressed[3];
  } cases[] = {
      {"--compress", {false, true, false}},
      {"--compress=always", {true, true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    const std::string out = (dir_ / "out.dat").string();
    EXPECT_EQ(output_of({"pack", c.option, out, "1=" + inputs[0],
                         "2=" + inputs[1], "3=" + inputs[2]}),
              "");
    auto db = DatDatabase::open(out);
    ASSERT_TRUE(db);
    for (std::uint32_t id = 1; id <= 3; ++id) {
      SCOPED_TRACE(id);
      const DatFileEntry& e = *db->files().find(id);
      EXPECT_EQ(e.is_compressed(), c.compressed[id - 1]);
      EXPECT_EQ(output_of({"cat", out, std::to_string(id)}),
                read_text(inputs[id - 1]));
      if (!e.is_compressed()) {
        EXPECT_EQ(e.size, fs::file_size(inputs[id - 1]));
      }
    }
  }
  EXPECT_EQ(run({"pack", "--compress=often", "o.dat", "1=x"}).err,
            "error: pack: --compress takes no value but 'always', got "
            "'often'. Try 'ostrand-dat --help'.\n");
}

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

// A sparse file of `size` bytes, `noise` pseudo-random bytes at each of
// `at` and nothing on disk elsewhere.
fs::path sparse_file(const fs::path& path, std::uint64_t size,
                     std::vector<std::uint64_t> at = {},
                     std::size_t noise = 0) {
  std::ofstream{path};
  fs::resize_file(path, size);
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  for (std::uint32_t state : at) {
    file.seekp(state);
    for (std::size_t i = 0; i < noise; ++i) {
      state = state * 1103515245 + 12345;
      file.put(static_cast<char>(state >> 24));
    }
  }
  return path;
}

// Whether entry `id` of `db` holds the bytes of the file at `path`.
[[maybe_unused]] bool holds_file(const DatDatabase& db, std::uint32_t id,
                                 const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> expected;
  bool same = true;
  auto read = db.read_file(id, [&](std::span<const std::byte> piece) {
    expected.resize(piece.size());
    in.read(expected.data(), static_cast<std::streamsize>(piece.size()));
    same = same && in.gcount() == static_cast<std::streamsize>(piece.size()) &&
           std::memcmp(expected.data(), piece.data(), piece.size()) == 0;
    return same;
  });
  return read && same && in.peek() == std::ifstream::traits_type::eof();
}

// pack reads and writes in pieces: an input ten times the address space
// it is given packs, with and without compression, and compressing a file
// that does not shrink falls back to its raw bytes within the same limit.
TEST_F(CliTest, PackFitsInASmallAddressSpaceWhateverTheInputSize) {
#ifdef OSTRAND_MEMORY_SANITIZED
  GTEST_SKIP() << "a sanitizer reserves far more address space than any "
                  "limit this test sets";
#else
  constexpr std::uint64_t kLimit = 40 * kMiB;
  const fs::path big = sparse_file(dir_ / "big", 10 * kLimit,
                                   {1000, 150 * kMiB, 399 * kMiB}, 70000);
  const fs::path noise = sparse_file(dir_ / "noise", 3 * kMiB, {0}, 3 * kMiB);
  const std::string out = (dir_ / "out.dat").string();
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "--compress" : "plain");
    const ToolRun r =
        run({"pack", compress ? "--compress" : "--block-size=4096", out,
             "1=" + big.string(), "2=" + noise.string()},
            RunOptions::memory_limit(kLimit));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    auto db = DatDatabase::open(out);
    ASSERT_TRUE(db) << debug_string(db.error());
    EXPECT_EQ(db->files().find(1)->is_compressed(), compress);
    EXPECT_FALSE(db->files().find(2)->is_compressed());
    EXPECT_TRUE(holds_file(*db, 1, big));
    EXPECT_TRUE(holds_file(*db, 2, noise));
  }
#endif
}

// Inputs that cannot make an archive are refused before anything is
// allocated or written: a block size whose worst case passes 32-bit
// offsets, an input too large for an entry, an input that is not a
// regular file or whose size changes as it is read.
TEST_F(CliTest, PackRefusesWhatCannotFitBeforeAnyWork) {
  const std::string one = file("one", bytes("x"));
  const fs::path huge = sparse_file(dir_ / "huge", 4'294'967'000);
  const fs::path nearly = sparse_file(dir_ / "nearly", 3'900'000'000);
  const fs::path over = sparse_file(dir_ / "over", std::uint64_t{5} << 30);
  const std::string out = (dir_ / "o.dat").string();
  const std::string cannot =
      " cannot hold these inputs within 32-bit offsets: the archive could "
      "take more than 4294967295 bytes";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--block-size", "0xFFFFFFFF", "1=" + one},
       out + ": block size 4294967295" + cannot},
      {{"--block-size", "64", "1=" + huge.string()},
       out + ": block size 64" + cannot},
      {{"--compress=always", "--block-size", "0x100000",
        "1=" + nearly.string()},
       out + ": block size 1048576" + cannot},
      {{"1=" + over.string()},
       over.string() + ": too large for an archive, whose entries hold at most "
                       "4294967295 bytes"},
      {{"1=" + dir_.string()},
       dir_.string() +
           ": not a regular file: pack reads an input knowing its size, and "
           "compressed ones twice at most"},
      {{"1=/proc/version"},
       "/proc/version: changed size while being packed (it had 0 bytes)"},
  };
  // No output and no temporary file: only the run's captured streams.
  auto before = names_in(dir_);
  before.insert(before.end(), {"stderr", "stdout"});
  std::sort(before.begin(), before.end());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> args{"pack", out};
    args.insert(args.end(), c.args.begin(), c.args.end());
#ifdef OSTRAND_MEMORY_SANITIZED  // its reservations exceed any small limit
    const ToolRun r = run(args);
#else
    const ToolRun r = run(args, RunOptions::memory_limit(64 * kMiB));
#endif
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: " + c.err + "\n");
    EXPECT_EQ(names_in(dir_), before);
  }
}

TEST_F(CliTest, PackTakesAFolderAndAListAndRebuildsWhatExtractWrote) {
  const fs::path folder = dir_ / "folder";
  fs::create_directory(folder);
  EXPECT_EQ(output_of({"extract", "-q", "-C", folder.string(), archive_}), "");
  file("folder/README", bytes("not an entry"));
  file("folder/0000000G.bin", bytes("not an id"));
  const std::string extra = file("extra.bin", bytes("extra"));
  const std::string list =
      file("list", bytes("\n0x7=" + extra + "\r\n\n8=" + extra + "\n"));
  const std::string rebuilt = (dir_ / "rebuilt.dat").string();
  EXPECT_EQ(output_of({"pack", "--compress", "-C", folder.string(), "-T", list,
                       rebuilt, "9=" + extra}),
            "");
  const std::string listed = output_of({"ls", rebuilt});
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 6 + 3);
  for (const char* id :
       {"0x01000001", "0x01000002", "0x01000003", "0x01000004", "0x0A000001",
        "0x0A000002"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(output_of({"cat", rebuilt, id}), output_of({"cat", archive_, id}));
  }
  EXPECT_EQ(output_of({"cat", rebuilt, "7", "8", "9"}), "extraextraextra");

  const std::string bad_list = file("bad", bytes("7=" + extra + "\nseven\n"));
  const std::string twice = file("twice", bytes("0x01000001=" + extra + "\n"));
  const struct {
    std::vector<std::string> args;
    std::string err;
  } failures[] = {
      {{"-T", bad_list}, bad_list + ":2: expected ID=FILE, got 'seven'"},
      {{"-C", folder.string(), "-T", twice},
       "0x01000001: given twice, in " + (folder / "01000001.bin").string() +
           " and " + twice + ":1"},
      {{"-C", (dir_ / "none").string()},
       (dir_ / "none").string() + ": does not exist"},
      {{"-C", (dir_ / "folder" / "README").string()},
       (dir_ / "folder" / "README").string() +
           ": a part of its path is not a directory"},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.err);
    std::vector<std::string> args{"pack"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back((dir_ / "failed.dat").string());
    const ToolRun r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: " + c.err + "\n");
    EXPECT_FALSE(fs::exists(dir_ / "failed.dat"));
  }
}

TEST_F(CliTest, UsageErrorsAreOneLineAndExitTwo) {
  const std::string bad_number =
      "': not a decimal or 0x-prefixed hexadecimal u32";
  const std::string bad_selector =
      "': not an id (decimal or 0x-prefixed hexadecimal u32), a range "
      "FIRST-LAST or a pattern 0xHHHH*";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"cat", archive_, "0xZZ"}, "cat: invalid ID '0xZZ" + bad_selector},
      {{"ls", archive_, "0x2-0x1"}, "ls: invalid ID '0x2-0x1" + bad_selector},
      {{"verify", archive_, "0x123456789*"},
       "verify: invalid ID '0x123456789*" + bad_selector},
      {{"cat", archive_, "0A00000F"},
       "cat: invalid ID '0A00000F" + bad_selector +
           " (did you mean 0x0A00000F?)"},
      {{"extract", archive_, "0A00000F.bin"},
       "extract: invalid ID '0A00000F.bin" + bad_selector +
           " (did you mean 0x0A00000F?)"},
      {{"ext", archive_}, "unknown command 'ext' (did you mean 'extract'?)"},
      {{"-v", "lss", archive_}, "unknown command 'lss' (did you mean 'ls'?)"},
      {{"0A000001"},
       "unknown command '0A000001' (did you mean 'cat ARCHIVE 0x0A000001'?)"},
      {{"ls", "-x", archive_}, "ls: unknown option '-x'"},
      {{"sound", archive_, "1", "-1"}, "sound: invalid KIND '-1" + bad_number},
      {{"frob", archive_}, "unknown command 'frob'"},
      {{}, "missing command"},
      {{"cat", archive_}, "cat: missing ID"},
      {{"info", archive_, "x"}, "info: unexpected argument 'x'"},
      {{"cat", "--dump", archive_, "1"}, "cat: unknown option '--dump'"},
      {{"ls", "--json=1", archive_}, "ls: unknown option '--json=1'"},
      {{"sound", "--dump", archive_, "1", "5"},
       "sound: unexpected argument '5'"},
      {{"sound", "--json", archive_, "1"}, "sound: --json needs --dump"},
      {{"extract", "--jobs", "0", archive_},
       "extract: --jobs needs at least 1 thread"},
      {{"verify", archive_, "--jobs"}, "verify: --jobs needs a value"},
      {{"extract", "-C"}, "extract: -C needs a value"},
      {{"extract"}, "extract: missing ARCHIVE"},
      {{"help", "frob"}, "help: unknown command 'frob'"},
      {{"pack", "out.dat"}, "pack: missing ID=FILE"},
      {{"pack", "out.dat", "1"}, "pack: expected ID=FILE, got '1'"},
      {{"pack", "out.dat", "1="}, "pack: missing FILE in '1='"},
      {{"pack", "out.dat", "0x1x=f"},
       "pack: invalid ID '0x1x' in '0x1x=f" + bad_number},
      {{"pack", "out.dat", "--block-size", "4", "1=x"},
       "pack: block size '4' is below 5: a block needs room for payload "
       "after its 4-byte pointer"},
      {{"pack", "out.dat", "1=a", "2=b", "0x1=c"},
       "pack: id 0x00000001 given twice, in '1=a' and '0x1=c'"},
      {{"--version", "x"}, "unknown command '--version'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    const ToolRun r = run(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: " + c.message + ". Try 'ostrand-dat --help'.\n");
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(CliTest, HelpAndVersionGoToStandardOutput) {
  for (const char* flag : {"-h", "--help"}) {
    EXPECT_EQ(output_of({flag}), usage_text());
    EXPECT_EQ(output_of({"cat", archive_, flag}), command_help("cat"));
  }
  EXPECT_EQ(output_of({"help"}), usage_text());
  for (std::string_view name : command_names()) {
    SCOPED_TRACE(name);
    const std::string help = command_help(name);
    EXPECT_NE(usage_text().find("  " + std::string(name) + " "),
              std::string::npos);
    EXPECT_EQ(output_of({"help", std::string(name)}), help);
  }
  EXPECT_NE(command_help("extract").find("--force"), std::string::npos);
  EXPECT_EQ(output_of({"--version"}),
            "ostrand-dat " + std::string(kVersionString) + "\n");
  EXPECT_EQ(std::string(kVersionString), "0.9.0");
}

TEST_F(CliTest, WriteFailuresOnStandardOutput) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);  // no reader: writes fail with EPIPE, or kill by SIGPIPE
  const ToolRun closed =
      run({"cat", archive_, "0x01000003"}, RunOptions::stdout_to(fds[1]));
  ::close(fds[1]);
  EXPECT_EQ(closed.signal, 0);
  EXPECT_EQ(closed.status, 0);
  EXPECT_EQ(closed.err, "");

  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"cat", archive_, "0x01000001"},
        std::vector<std::string>{"info", "--json", archive_}}) {
    SCOPED_TRACE(joined(args));
    const ToolRun r = run(args, RunOptions::stdout_to(full));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: standard output: no space left on the device\n");
  }
  ::close(full);
}

TEST_F(CliTest, BashCompletion) {
  const fs::path cwd = dir_ / "c";
  fs::create_directories(cwd / "sub dir");
  fs::copy_file(archive_, cwd / "test.dat");
  write_bytes(cwd / "my file.bin", bytes("x"));
  // The completions, sorted, of `words` as bash splits them (in the syntax
  // of an array, after the program), the last one being completed.
  const auto complete = [&](const std::string& words) {
    const std::string script =
        "cd '" + cwd.string() + "' && source " OSTRAND_DAT_COMPLETION
        "; COMP_WORDS=(" OSTRAND_DAT_TOOL " " + words +
        "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _ostrand_dat; "
        "printf '%s\\n' \"${COMPREPLY[@]}\"";
    const ToolRun r = run_program({"/bin/bash", "-c", script}, dir_);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) {
      if (!line.empty()) lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  using Words = std::vector<std::string>;
  const Words files{"my file.bin", "sub dir", "test.dat"};
  Words ids, commands{"--help", "--version"};
  for (std::uint32_t id :
       {kPlain, kCompressed, kMultiBlock, kEmpty, kTable, kBadTable}) {
    ids.push_back(format_id(id));
  }
  for (std::string_view name : command_names()) commands.emplace_back(name);
  std::vector<std::pair<std::string, Words>> cases = {
      {"''", commands},
      {"-q ex", {"extract"}},
      {"help ver", {"verify"}},
      {"cat my", {"my file.bin"}},
      {"cat 'my\\ f'", {"my file.bin"}},
      {"cat test.dat ''", ids},
      {"ls -l test.dat 0x0a", {"0x0A000001", "0x0A000002"}},
      {"extract -C 'sub\\ dir' test.dat 1 0x0A", {"0x0A000001", "0x0A000002"}},
      {"verify --jobs = 4 test.dat 0x0A", {"0x0A000001", "0x0A000002"}},
      {"sound test.dat ''", ids},
      {"sound test.dat 0x0A000001 ''", {}},
      {"cat missing.dat ''", {}},
      {"cat test.dat 1", {}},
      {"extract -C ''", {"sub dir"}},
      {"pack -C s", {"sub dir"}},
      {"mount test.dat ''", {"sub dir"}},
      {"pack -T ''", files},
      {"verify --manifest m", {"my file.bin"}},
      {"pack out.dat 7 = m", {"my file.bin"}},
      {"extract --jobs ''", {}},
      {"pack --block-size ''", {}},
      {"mount -o ''", {}},
      {"bogus ''", {}},
  };
  // Every option of every command, as the command table has them.
  for (std::string_view name : command_names()) {
    if (name == "help") continue;
    Words options{"--help", "-q", "--quiet", "-v", "--verbose"};
    for (std::string_view option : command_options(name)) {
      options.emplace_back(option);
    }
    cases.push_back({std::string(name) + " -", options});
  }
  for (auto& [words, expected] : cases) {
    SCOPED_TRACE(words);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(complete(words), expected);
  }
}

TEST(ReadWholeFile, FailsOncePastItsLimit) {
  const fs::path path = fs::temp_directory_path() /
                        ("ostrand-dat-read-" + std::to_string(::getpid()));
  std::ofstream(path) << "0123456789";
  EXPECT_EQ(text(*read_whole_file(path, 10)), "0123456789");
  EXPECT_EQ(read_whole_file(path, 9).error().kind(), IoErrorKind::FileTooLarge);
  fs::remove(path);
  // An endless source ends too.
  EXPECT_EQ(read_whole_file("/dev/zero", 100000).error().kind(),
            IoErrorKind::FileTooLarge);
}

}  // namespace
}  // namespace ostrand_dat::tool
