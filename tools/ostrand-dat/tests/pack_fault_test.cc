// pack and extract with their system calls made to fail through the fault
// seam: a disk that fills up (ENOSPC) or fails (EIO) on a read of an input,
// on a write, on the flush to disk or on the close. Each such run fails
// with status 1, leaves what was at the output as it was, and leaves no
// temporary file; a run without faults replaces it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "fault_seam.h"
#include "ostrand_dat/writer.h"
#include "tool_test_support.h"

namespace ostrand_dat::tool {
namespace {

namespace fs = std::filesystem;
using ostrand_dat::testing::Call;
using ostrand_dat::testing::Fault;
using ostrand_dat::testing::FaultScope;

using testing::bytes;
using testing::names_in;
using testing::read_text;

void put(const fs::path& path, const std::string& text) {
  testing::write_bytes(path, bytes(text));
}

class PackFaultTest : public ::testing::Test {
 protected:
  PackFaultTest()
      : dir_(fs::temp_directory_path() /
             ("ostrand-pack-fault-" + std::to_string(::getpid()))) {
    fs::create_directories(dir_);
    put(dir_ / "a.bin", std::string(3000, 'a'));
    put(dir_ / "b.bin", "bee");
  }
  ~PackFaultTest() override { fs::remove_all(dir_); }

  fs::path dir_;
};

// Runs `command` once clean and then with each of ENOSPC and EIO on every
// read, write, flush and close it makes: each failing run must leave
// `kept` at `target` and the directory's files as `files_before` were.
void each_fault_fails_cleanly(const Command& command, const fs::path& target,
                              const std::string& kept,
                              const std::vector<std::string>& files_before) {
  std::size_t counts[4];
  const Call families[] = {Call::kRead, Call::kWrite, Call::kSync,
                           Call::kClose};
  std::string clean_result;
  {
    FaultScope scope;
    ASSERT_EQ(run_command(command), 0);
    for (int f = 0; f < 4; ++f) counts[f] = scope.calls(families[f]);
  }
  clean_result = read_text(target);
  ASSERT_NE(clean_result, kept);
  ASSERT_GT(counts[1], 0u);  // the seam saw the writes
  ASSERT_GT(counts[2], 0u);  // and the flush
  int failures = 0;
  for (int f = 0; f < 4; ++f) {
    for (std::size_t index = 0; index < counts[f]; ++index) {
      for (int error : {ENOSPC, EIO}) {
        const Fault fault{families[f], index, Fault::Kind::kError, error};
        SCOPED_TRACE(ostrand_dat::testing::describe(fault));
        put(target, kept);
        int status;
        {
          FaultScope scope(fault);
          status = run_command(command);
          if (!scope.injected_at()) continue;
        }
        // A failed close of a file only read changes nothing, nor does a
        // failed flush of the directory after the rename, which is done on
        // a best-effort basis: the file itself is on disk by then.
        if (status == 0) {
          EXPECT_TRUE(families[f] == Call::kClose ||
                      (families[f] == Call::kSync && index + 1 == counts[2]));
          EXPECT_EQ(read_text(target), clean_result);
          continue;
        }
        ++failures;
        EXPECT_EQ(status, 1);
        EXPECT_EQ(read_text(target), kept);
        EXPECT_EQ(names_in(target.parent_path()), files_before);
      }
    }
  }
  EXPECT_GT(failures, 4);
}

TEST_F(PackFaultTest, EveryFailedCallLeavesTheOldArchiveAndNoTemporary) {
  const fs::path out = dir_ / "out.dat";
  put(out, "the old archive");
  const auto before = names_in(dir_);
  PackCommand pack{.out = out.string(),
                   .block_size = 64,
                   .compress = true,
                   .inputs = {{1, (dir_ / "a.bin").string()},
                              {2, (dir_ / "b.bin").string()}},
                   .directory = {},
                   .list = {},
                   .compress_always = true};
  each_fault_fails_cleanly(pack, out, "the old archive", before);
}

TEST_F(PackFaultTest, EveryFailedCallOfExtractLeavesNoPartialFile) {
  ArchiveWriter writer(64);
  writer.add({.id = 7,
              .data = std::vector<std::byte>(5000, std::byte{'x'}),
              .compress = true});
  ASSERT_TRUE(writer.write(dir_ / "in.dat"));
  const fs::path out_dir = dir_ / "out";
  fs::create_directories(out_dir);
  const fs::path target = out_dir / "00000007.bin";
  put(target, "an old extract");
  const auto before = names_in(out_dir);
  ExtractCommand extract{.archive = (dir_ / "in.dat").string(),
                         .selectors = {*parse_selector("7")},
                         .directory = out_dir.string(),
                         .force = true,
                         .sync = true,
                         .jobs = 1};
  each_fault_fails_cleanly(extract, target, "an old extract", before);
}

TEST_F(PackFaultTest, AFullDirectoryIsReportedOnceAndEndsTheRun) {
  ArchiveWriter writer(64);
  for (std::uint32_t id = 1; id <= 50; ++id) {
    writer.add({.id = id, .data = bytes("entry " + std::to_string(id))});
  }
  ASSERT_TRUE(writer.write(dir_ / "in.dat"));
  const fs::path out_dir = dir_ / "out";
  fs::create_directories(out_dir);
  for (const auto& [call, index] :
       {std::pair{Call::kWrite, 0}, std::pair{Call::kWrite, 7}}) {
    SCOPED_TRACE(index);
    const Fault fault{call, static_cast<std::size_t>(index),
                      Fault::Kind::kError, ENOSPC};
    ExtractCommand extract{.archive = (dir_ / "in.dat").string(),
                           .selectors = {},
                           .directory = out_dir.string(),
                           .raw = false,
                           .force = true,
                           .sync = true,
                           // One thread: with two, the other may write
                           // most entries before the failing one returns.
                           .jobs = 1};
    ::testing::internal::CaptureStderr();
    int status;
    {
      FaultScope scope(fault);
      status = run_command(extract);
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "error: " + out_dir.string() +
                       ": cannot write files into this directory: no space "
                       "left on the device\n");
    // The files written before the fault stay; no run goes on to the end.
    EXPECT_LT(names_in(out_dir).size(), 50u - 2);
    fs::remove_all(out_dir);
    fs::create_directories(out_dir);
  }
}

}  // namespace
}  // namespace ostrand_dat::tool
