// extract (and verify's progress) over whole archives, damaged ones included, and files
// that appear only when complete (pack's archive, extract's files).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "args.h"
#include "platform/io.h"
#include "tool_test_support.h"

namespace ostrand_dat::tool {
namespace {

using namespace testing;
using ExtractTest = ToolTest;

// The names extract gives test_archive()'s entries, in id order.
std::vector<std::string> all_names() {
  std::vector<std::string> names;
  for (std::uint32_t id :
       {kPlain, kCompressed, kMultiBlock, kEmpty, kTable, kBadTable}) {
    names.push_back(format_id(id).substr(2) + ".bin");
  }
  return names;
}

TEST_F(ExtractTest, WritesEachEntryAsCatGivesIt) {
  const struct {
    std::vector<std::string> options;
    std::vector<std::string> selectors;  // empty: all
    std::vector<std::uint32_t> ids;      // what they select
  } cases[] = {
      {{}, {}, {}},
      {{"--raw", "--jobs", "1"}, {}, {}},
      {{"--jobs=3"},
       {"0x01000002", "0x01000004", "0x01000002"},
       {kCompressed, kEmpty}},
      {{}, {"0x01000002-0x01000003", "0x0A*"},
       {kCompressed, kMultiBlock, kTable, kBadTable}},
      {{"-q"}, {"0x0100000*", "0x01000001"},
       {kPlain, kCompressed, kMultiBlock, kEmpty}},
  };
  for (const auto& c : cases) {
    const bool raw = !c.options.empty() && c.options[0] == "--raw";
    SCOPED_TRACE(::testing::PrintToString(c.options) + " ids " +
                 std::to_string(c.ids.size()));
    const fs::path out = dir_ / "out";
    fs::remove_all(out);
    fs::create_directory(out);
    std::vector<std::string> args{"extract", "-C", out.string(), archive_};
    args.insert(args.begin() + 1, c.options.begin(), c.options.end());
    args.insert(args.end(), c.selectors.begin(), c.selectors.end());
    EXPECT_EQ(output_of(args), "");
    std::vector<std::string> expected;
    for (const std::string& name : all_names()) {
      const std::string id = "0x" + name.substr(0, 8);
      if (!c.selectors.empty() &&
          std::find(c.ids.begin(), c.ids.end(), *parse_u32(id)) ==
              c.ids.end()) {
        continue;
      }
      expected.push_back(name);
      std::vector<std::string> cat{"cat", archive_, id};
      if (raw) cat.insert(cat.begin() + 1, "--raw");
      EXPECT_EQ(read_text(out / name), output_of(cat)) << name;
    }
    EXPECT_EQ(names_in(out), expected);  // and no temporary file
  }
}

TEST_F(ExtractTest, AnExistingFileIsAnErrorUnlessForced) {
  const std::string old = file(all_names()[0], bytes("old"));
  const ToolRun refused = run({"extract", "-C", dir_.string(), archive_});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "error: " + old +
                             ": already exists; --force replaces it\n");
  EXPECT_EQ(read_text(old), "old");
  EXPECT_EQ(read_text(dir_ / all_names()[1]), text(compressible_data()));

  EXPECT_EQ(output_of({"extract", "--force", "-C", dir_.string(), archive_}),
            "");
  EXPECT_EQ(read_text(old), "plain text\n");
}

TEST_F(ExtractTest, ADamagedEntryIsReportedAndTheOthersExtracted) {
  const std::string damaged =
      file("damaged.dat", with_next_pointer(image_, kMultiBlock, 0x7FFFFF00));
  const fs::path out = dir_ / "out";
  fs::create_directory(out);
  const ToolRun r =
      run({"extract", "--jobs", "4", "-C", out.string(), damaged});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: " + damaged +
                       ": 0x01000003: damaged: a block chain runs past the "
                       "end of the file\n");
  std::vector<std::string> expected = all_names();
  expected.erase(expected.begin() + 2);
  EXPECT_EQ(names_in(out), expected);
  EXPECT_EQ(read_text(out / expected[1]), text(compressible_data()));
}

TEST_F(ExtractTest, ProgressAndSummaryOnlyOnATerminal) {
  const std::string damaged =
      file("damaged.dat", with_next_pointer(image_, kMultiBlock, 0x7FFFFF00));
  // Without the made-up free list test_archive()'s header names, which
  // verify reports.
  Bytes no_free_list = image_;
  for (std::size_t at : {340, 344, 348}) put_u32(no_free_list, at, 0);
  const std::string clean = file("clean.dat", no_free_list);
  const std::string clear = "\r\x1b[K";  // to the line's start, erase it
  const struct {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> parts;  // of standard error, in this order
  } cases[] = {
      {{"extract", "--force", "-C", dir_.string(), damaged},
       1,
       {clear + "error: " + damaged + ": 0x01000003: damaged: ",
        clear + "extract: 6 files, ", "/s), 1 failed\r\n"}},
      {{"verify", clean}, 0, {clear + "verify: 6 files, ", "/s)\r\n"}},
      {{"verify", "-q", clean}, 0, {}},
      {{"/usr/bin/env", "NO_COLOR=1", OSTRAND_DAT_TOOL, "verify", clean},
       0,
       {}},
      {{"/usr/bin/env", "TERM=dumb", OSTRAND_DAT_TOOL, "verify", clean},
       0,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const ToolRun r =
        c.args[0].starts_with("/")
            ? run_program(c.args, dir_, RunOptions::on_terminal())
            : run(c.args, RunOptions::on_terminal());
    EXPECT_EQ(r.status, c.status);
    if (c.parts.empty()) {
      EXPECT_EQ(r.err, "");
    }
    std::size_t at = 0;
    for (const std::string& part : c.parts) {
      at = r.err.find(part, at);
      ASSERT_NE(at, std::string::npos) << part << " in " << r.err;
    }
  }
}

TEST_F(ExtractTest, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  const std::string out = file("out.dat", bytes("the old archive"));
  const std::string input = file("input.bin", Bytes(3 << 20, std::byte{7}));
  const fs::path extracted = dir_ / "x";
  fs::create_directory(extracted);
  const std::string pack_efbig =
      "error: " + out + ": too large: the limit on file size is reached\n";
  // Writes past 1 MiB fail with EFBIG, as on a full device. (Not less: a
  // coverage build's program writes its counts on exit, under the same
  // limit.)
  const RunOptions small_limit = RunOptions::size_limit(1 << 20);
  const ToolRun packed = run({"pack", out, "1=" + input}, small_limit);
  EXPECT_EQ(packed.signal, 0);
  EXPECT_EQ(packed.status, 1);
  EXPECT_EQ(packed.err, pack_efbig);
  EXPECT_EQ(read_text(out), "the old archive");

  const std::string big = file(
      "big.dat", *[] {
        ArchiveWriter writer;
        writer.add({.id = 5, .data = Bytes(3 << 20, std::byte{1})});
        writer.add({.id = 6, .data = bytes("small")});
        return writer.build();
      }());
  const ToolRun r =
      run({"extract", "-C", extracted.string(), big}, small_limit);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "error: " + (extracted / "00000005.bin").string() +
                       ": too large: the limit on file size is reached\n");
  EXPECT_EQ(names_in(extracted), std::vector<std::string>{"00000006.bin"});
  EXPECT_EQ(names_in(dir_),
            (std::vector<std::string>{"big.dat", "input.bin", "out.dat",
                                      "stderr", "stdout", "test.dat", "x"}));
}

// Starts the tool with `args`, its output to /dev/null, sends `signal`
// after `delay` and returns the wait status.
int run_and_signal(const std::vector<std::string>& args, int signal,
                   std::chrono::microseconds delay) {
  std::vector<std::string> argv{OSTRAND_DAT_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, pointers[0], &actions, nullptr,
                                    pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0);
  if (spawned != 0) return -1;
  std::this_thread::sleep_for(delay);
  ::kill(pid, signal);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

TEST_F(ExtractTest, SignalsLeaveNoTemporaryFile) {
  ArchiveWriter many(1024);
  for (std::uint32_t id = 1; id <= 3000; ++id) {
    many.add({.id = id, .data = Bytes(2000 + id, std::byte(id))});
  }
  const std::string archive = file("many.dat", *many.build());
  const std::string input = file("input.bin", compressible_data());
  {
    Bytes big;
    while (big.size() < (24u << 20)) {
      const Bytes piece = compressible_data();
      big.insert(big.end(), piece.begin(), piece.end());
    }
    write_bytes(dir_ / "big.bin", big);
  }
  const fs::path out = dir_ / "out";
  std::random_device device;
  const unsigned seed = device();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  int killed = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (int round = 0; round < 3; ++round) {
      for (bool pack : {false, true}) {
        SCOPED_TRACE(std::to_string(signal) + (pack ? " pack" : " extract"));
        fs::remove_all(out);
        fs::create_directory(out);
        const auto delay = std::chrono::microseconds(
            std::uniform_int_distribution<int>(0, 60000)(random));
        const int status =
            pack ? run_and_signal({"pack", "--compress", (out / "new.dat").string(),
                                   "1=" + (dir_ / "big.bin").string()},
                                  signal, delay)
                 : run_and_signal({"extract", "-C", out.string(), archive},
                                  signal, delay);
        if (WIFSIGNALED(status)) {
          EXPECT_EQ(WTERMSIG(status), signal);
          ++killed;
        } else {
          EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        for (const std::string& name : names_in(out)) {
          EXPECT_NE(name[0], '.') << name;
        }
      }
    }
  }
  EXPECT_GT(killed, 0);  // some runs were cut short
}

// Makes the temporary files of `targets` in a child process that then dies
// by SIGKILL, as a run killed while writing does: the files stay behind,
// named for a process that no longer exists. Returns the child's id.
pid_t leave_temporaries_of_killed_process(
    const std::vector<fs::path>& targets) {
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<PendingFile> files;
    for (const fs::path& target : targets) {
      auto file = PendingFile::create(target);
      if (!file) ::_exit(1);
      files.push_back(std::move(*file));
    }
    ::raise(SIGKILL);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  return child;
}

TEST_F(ExtractTest, LeftoversOfKilledRunsAreRemovedAndNothingElse) {
  const fs::path stash = dir_ / "stash";
  fs::create_directory(stash);
  const pid_t dead = leave_temporaries_of_killed_process(
      {stash / "0A000001.bin", stash / "new.dat"});
  const std::vector<std::string> left = names_in(stash);
  ASSERT_EQ(left.size(), 2u);  // .0A000001.bin.tmp-..., .new.dat.tmp-...
  const std::string d = std::to_string(dead);
  const std::string live = std::to_string(::getpid());
  const struct {
    std::string name;
    bool by_extract, by_pack;  // removed by that command
    bool folder = false;
  } cases[] = {
      {left[0], true, false},
      {left[1], false, true},
      {".0A000001.bin.tmp-" + live + "-0", false, false},  // alive
      {".new.dat.tmp-" + d + "-x", false, false},
      {".new.dat.tmp-0" + d + "-1", false, false},
      {".new.dat.tmp-" + d + "-01", false, false},
      {".new.dat.tmp-0-1", false, false},
      {"new.dat.tmp-" + d + "-1", false, false},        // not hidden
      {"..tmp-" + d + "-1", false, false},              // no NAME
      {".old.dat.tmp-" + d + "-1", false, false},       // another target's
      {".0a000001.bin.tmp-" + d + "-1", false, false},  // not extract's name
      {".0A00001.bin.tmp-" + d + "-1", false, false},
      {".0A000002.bin.tmp-" + d + "-2", false, false, true},  // a folder
  };
  const std::string input = file("input.bin", bytes("packed"));
  for (bool pack : {false, true}) {
    SCOPED_TRACE(pack ? "pack" : "extract");
    const fs::path out = dir_ / "out";
    fs::remove_all(out);
    fs::create_directory(out);
    for (const auto& c : cases) {
      if (c.folder) {
        fs::create_directory(out / c.name);
      } else {
        write_bytes(out / c.name, bytes("left"));
      }
    }
    if (pack) {
      output_of({"pack", (out / "new.dat").string(), "1=" + input});
    } else {
      output_of({"extract", "-C", out.string(), archive_});
    }
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(fs::exists(out / c.name), !(pack ? c.by_pack : c.by_extract));
    }
  }
}

}  // namespace
}  // namespace ostrand_dat::tool
