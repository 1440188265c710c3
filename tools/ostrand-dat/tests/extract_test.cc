// extract (and verify's progress) over whole archives, damaged ones included, and files
// that appear only when complete (pack's archive, extract's files).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "args.h"
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
    std::vector<std::uint32_t> ids;  // empty: all
  } cases[] = {
      {{}, {}},
      {{"--raw", "--jobs", "1"}, {}},
      {{"--jobs=3"}, {kCompressed, kEmpty, kCompressed}},
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
    for (std::uint32_t id : c.ids) args.push_back(format_id(id));
    EXPECT_EQ(output_of(args), "");
    std::vector<std::string> expected;
    for (const std::string& name : all_names()) {
      const std::string id = "0x" + name.substr(0, 8);
      if (!c.ids.empty() &&
          std::find(args.begin(), args.end(), id) == args.end()) {
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
                             ": already exists; --force replaces it (" +
                             debug_string(IoError::from_os(EEXIST)) + ")\n");
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
                       "end of the file (Io(Error { kind: UnexpectedEof, "
                       "message: \"failed to fill whole buffer\" }))\n");
  std::vector<std::string> expected = all_names();
  expected.erase(expected.begin() + 2);
  EXPECT_EQ(names_in(out), expected);
  EXPECT_EQ(read_text(out / expected[1]), text(compressible_data()));
}

TEST_F(ExtractTest, ProgressAndSummaryOnlyOnATerminal) {
  const std::string damaged =
      file("damaged.dat", with_next_pointer(image_, kMultiBlock, 0x7FFFFF00));
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
      {{"verify", damaged}, 1, {clear + "verify: 6 files, ", "/s), 1 damaged\r\n"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args.back());
    const ToolRun r = run(c.args, RunOptions::on_terminal());
    EXPECT_EQ(r.status, c.status);
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
      "error: " + out + ": too large: the limit on file size is reached (" +
      debug_string(IoError::from_os(EFBIG)) + ")\n";
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
                       ": too large: the limit on file size is reached (" +
                       debug_string(IoError::from_os(EFBIG)) + ")\n");
  EXPECT_EQ(names_in(extracted), std::vector<std::string>{"00000006.bin"});
  EXPECT_EQ(names_in(dir_),
            (std::vector<std::string>{"big.dat", "input.bin", "out.dat",
                                      "stderr", "stdout", "test.dat", "x"}));
}

}  // namespace
}  // namespace ostrand_dat::tool
