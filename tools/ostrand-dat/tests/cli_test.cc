// Runs the built ostrand-dat against archives made by the library's writer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "args.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"
#include "platform/io.h"

extern char** environ;

namespace ostrand_dat::tool {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;
using file_type::SoundData;

constexpr std::uint32_t kPlain = 0x01000001, kCompressed = 0x01000002,
                        kMultiBlock = 0x01000003, kEmpty = 0x01000004,
                        kTable = 0x0A000001, kBadTable = 0x0A000002;

Bytes bytes(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(p, p + text.size());
}
std::string text(const Bytes& data) {
  return std::string(reinterpret_cast<const char*>(data.data()), data.size());
}
std::string joined(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& arg : args) out += arg + " ";
  return out;
}
std::string read_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Bytes multi_block_data() {  // four blocks of 60 payload bytes
  Bytes data(200);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = std::byte(i * 7 + 3);
  return data;
}
Bytes compressible_data() {
  std::string data;
  for (int i = 0; i < 40; ++i) data += "abcabc-" + std::to_string(i % 4);
  return bytes(data);
}

// Block size 64; ids added out of order, header fields all distinct.
ArchiveWriter test_archive() {
  ArchiveWriter w(64);
  DatHeader& h = w.header();
  h = {.magic = 21570,
       .dataset = 1,
       .subset = 2,
       .free_head = 3,
       .free_tail = 4,
       .free_count = 5,
       .new_lru = 6,
       .old_lru = 7,
       .use_lru = 8,
       .master_map_id = 9,
       .engine_version = 10,
       .game_version = 11,
       .version_minor = 12};
  for (int i = 0; i < 16; ++i) h.version_string[i] = std::byte(i * 0x11);
  SoundTableRecords table{kTable, -3, {}, {}};
  table.hashes = {{7, {0.5f, 1, 0.25f}}, {2, {1, 0.1f, 2}}};
  table.sounds = {{0x58, SoundData{{{0x0A000519, 0.5f, 1, 0.25f}}, 0}},
                  {0x00, SoundData{{}, -1}},
                  {0x05, SoundData{{{0, 1, 1, 1}, {0x0A000600, 1, 1, 1}}, 3}},
                  {0x100, SoundData{{{0x0A000700, 0, 0.75f, 1}}, 0}}};
  w.add({.id = kTable, .data = encode_sound_table(table)});
  w.add({.id = kBadTable, .data = bytes("too short")});
  w.add({.id = kMultiBlock, .data = multi_block_data(), .timestamp = 99});
  w.add({.id = kEmpty, .data = {}});
  w.add({.id = kCompressed, .data = compressible_data(), .compress = true});
  w.add({.id = kPlain,
         .data = bytes("plain text\n"),
         .extra_flags = 0x10,
         .timestamp = 1234,
         .version = 2});
  return w;
}

struct ToolRun {
  int status = -1;  // the exit status; -1 when the tool did not exit
  int signal = 0;   // the signal that ended it, if one did
  std::string out, err;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("ostrand-dat-cli-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    archive_ = (dir_ / "test.dat").string();
    ASSERT_TRUE(test_archive().write(archive_));
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the tool; standard output goes to `stdout_fd` when given, else to a
  // file that is read back. SIGPIPE starts at its default action.
  ToolRun run(const std::vector<std::string>& args,
              std::optional<int> stdout_fd = std::nullopt) {
    const std::string out = (dir_ / "stdout").string();
    const std::string err = (dir_ / "stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdout_fd) {
      posix_spawn_file_actions_adddup2(&actions, *stdout_fd, 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, out.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv{const_cast<char*>(OSTRAND_DAT_TOOL)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, OSTRAND_DAT_TOOL, &actions, &attr,
                                    argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ToolRun result;
    EXPECT_EQ(spawned, 0) << "cannot start " << OSTRAND_DAT_TOOL;
    int wstatus = 0;
    while (spawned == 0 && ::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
    if (!stdout_fd) result.out = read_text(out);
    result.err = read_text(err);
    return result;
  }

  // Runs a command that must succeed quietly and returns its output.
  std::string output_of(const std::vector<std::string>& args) {
    const ToolRun r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  fs::path dir_;
  std::string archive_;
};

TEST_F(CliTest, InfoPrintsTheHeaderAndTheFileCount) {
  auto db = DatDatabase::open(archive_);
  ASSERT_TRUE(db) << debug_string(db.error());
  EXPECT_EQ(output_of({"info", archive_}),
            "magic: 21570\nblock_size: 64\nfile_size: " +
                std::to_string(fs::file_size(archive_)) +
                "\ndataset: 1\nsubset: 2\nfree_head: 3\nfree_tail: 4\n"
                "free_count: 5\nroot_offset: " +
                std::to_string(db->header().root_offset) +
                "\nnew_lru: 6\nold_lru: 7\nuse_lru: 8\nmaster_map_id: 9\n"
                "engine_version: 10\ngame_version: 11\n"
                "version_string: 00112233445566778899aabbccddeeff\n"
                "version_minor: 12\nfiles: 6\n");
}

TEST_F(CliTest, LsListsEntriesInAscendingIdOrder) {
  auto db = DatDatabase::open(archive_);
  ASSERT_TRUE(db) << debug_string(db.error());
  std::ostringstream expected;
  for (std::uint32_t id :
       {kPlain, kCompressed, kMultiBlock, kEmpty, kTable, kBadTable}) {
    const DatFileEntry* e = db->files().find(id);
    ASSERT_NE(e, nullptr);
    expected << format_id(id) << '\t' << e->bit_flags << '\t' << e->offset
             << '\t' << e->size << '\t' << e->timestamp << '\t' << e->version
             << '\n';
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
  std::ofstream(dir_ / "a.txt") << "first file\n";
  std::ofstream(dir_ / "b.bin", std::ios::binary) << text(multi_block_data());
  std::ofstream(dir_ / "empty").flush();
  const std::string out = (dir_ / "packed.dat").string();
  for (bool compress : {false, true}) {
    SCOPED_TRACE(compress ? "compressed" : "plain");
    std::vector<std::string> args{"pack",
                                  out,
                                  "--block-size=0x20",
                                  "0x20000001=" + (dir_ / "a.txt").string(),
                                  "7=" + (dir_ / "b.bin").string(),
                                  "8=" + (dir_ / "empty").string()};
    if (compress) args.push_back("--compress");
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
}

TEST_F(CliTest, FailuresPrintOneErrorAndExitWithTheirStatus) {
  const std::string missing = (dir_ / "missing.dat").string();
  const std::string not_found =
      "PathError { path: \"" + missing +
      "\", source: Os { code: 2, kind: NotFound, message: \"No such file or "
      "directory\" } }";
  const std::string out = (dir_ / "out.dat").string();
  std::ofstream(out) << "kept";
  const std::string bad_number =
      "': not a decimal or 0x-prefixed hexadecimal u32";
  const struct {
    std::vector<std::string> args;
    int status;  // 1: the message alone; 2: the message, then the usage
    std::string message;
  } cases[] = {
      {{"info", missing}, 1, not_found},
      {{"cat", archive_, "0x12345"}, 1, "NotFound(74565)"},
      {{"cat", "--raw", archive_, "0x12345"}, 1, "NotFound(74565)"},
      {{"sound", archive_, "9"}, 1, "NotFound(9)"},
      {{"sound", archive_, "0x0A000002"}, 1, "failed to fill whole buffer"},
      {{"pack", out, "1=" + archive_, "2=" + missing}, 1, not_found},
      {{"cat", archive_, "0xZZ"}, 2, "cat: invalid ID '0xZZ" + bad_number},
      {{"sound", archive_, "1", "-1"},
       2,
       "sound: invalid KIND '-1" + bad_number},
      {{"frob", archive_}, 2, "unknown command 'frob'"},
      {{}, 2, "missing command"},
      {{"cat", archive_}, 2, "cat: missing ID"},
      {{"info", archive_, "x"}, 2, "info: unexpected argument 'x'"},
      {{"cat", "--dump", archive_, "1"}, 2, "cat: unknown option '--dump'"},
      {{"sound", "--dump", archive_, "1", "5"},
       2,
       "sound: unexpected argument '5'"},
      {{"pack", out}, 2, "pack: missing ID=FILE"},
      {{"pack", out, "1"}, 2, "pack: expected ID=FILE, got '1'"},
      {{"pack", out, "1="}, 2, "pack: missing FILE in '1='"},
      {{"pack", out, "0x1x=f"},
       2,
       "pack: invalid ID '0x1x' in '0x1x=f" + bad_number},
      {{"pack", out, "--block-size", "4", "1=x"},
       2,
       "pack: block size '4' is below 5: a block needs room for payload "
       "after its 4-byte pointer"},
      {{"pack", out, "1=a", "2=b", "0x1=c"},
       2,
       "pack: id 0x00000001 given twice, in '1=a' and '0x1=c'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joined(c.args));
    const ToolRun r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "error: " + c.message + "\n" +
                         (c.status == 2 ? usage_text() : ""));
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(read_text(out), "kept");  // failed packs left OUT alone
}

TEST_F(CliTest, HelpPrintsTheUsageOnStandardOutput) {
  for (const char* flag : {"-h", "--help"}) {
    EXPECT_EQ(output_of({flag}), usage_text());
    EXPECT_EQ(output_of({"cat", archive_, flag}), usage_text());
  }
}

TEST_F(CliTest, WriteFailuresOnStandardOutput) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  ::close(fds[0]);  // no reader: writes fail with EPIPE, or kill by SIGPIPE
  const ToolRun closed = run({"cat", archive_, "0x01000003"}, fds[1]);
  ::close(fds[1]);
  EXPECT_EQ(closed.signal, 0);
  EXPECT_EQ(closed.status, 0);
  EXPECT_EQ(closed.err, "");

  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) GTEST_SKIP() << "no /dev/full";
  const ToolRun r = run({"cat", archive_, "0x01000001"}, full);
  ::close(full);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "error: write to standard output: No space left on device\n");
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
