// verify, cat and extract over damaged archives: one damage policy, the
// findings line by line, the exit statuses; sum against sha256sum.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "tool_test_support.h"

namespace ostrand_dat::tool {
namespace {

using namespace testing;
using VerifyTest = ToolTest;

std::string hex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX",
                static_cast<unsigned long long>(value));
  return text;
}

// test_archive() without the made-up free list its header names.
Bytes without_free_list(Bytes archive) {
  for (std::size_t at : {340, 344, 348}) put_u32(archive, at, 0);
  return archive;
}

TEST_F(VerifyTest, VerifyCatAndExtractAgreeOnEachDamage) {
  const Bytes good = without_free_list(image_);
  const DatFileEntry compressed = entry_of(good, kCompressed);
  const DatFileEntry multi = entry_of(good, kMultiBlock);
  const DatFileEntry table = entry_of(good, kTable);
  Bytes short_stream = good;
  put_u32(short_stream, compressed.offset + 4, compressed.size * 40);
  Bytes loop = good;
  put_u32(loop, multi.offset + 64, multi.offset);
  const std::string ends_early =
      "its compressed stream ends early: it decodes to 320 of the " +
      std::to_string(compressed.size * 40) + " bytes its prefix declares";
  const struct {
    std::string name;
    Bytes archive;
    std::vector<std::string> options;
    std::string findings;  // verify's lines before the count
    std::string count;
    int status;
    std::uint32_t id;      // the entry cat and extract read
    int read_status;       // theirs
    std::string read_err;  // what they print, after "error: "/"warning: "
  } cases[] = {
      {"good", good, {}, "", "0 damaged, 0 warnings", 0, kMultiBlock, 0, ""},
      {"a stream that ends early", short_stream, {},
       "0x01000002: warning: " + ends_early + "\n", "0 damaged, 1 warnings", 0,
       kCompressed, 0, "warning: ARCHIVE: 0x01000002: " + ends_early + "\n"},
      // On the block grid (400 modulo 64), beyond the end.
      {"a chain past the end", with_next_pointer(good, kMultiBlock, 0xFFFFFFD0),
       {},
       "warning: 3 blocks unaccounted for\n"
       "0x01000003: damaged: its chain runs past the end of the file at the "
       "block at 0xFFFFFFD0\n",
       "1 damaged, 1 warnings", 1, kMultiBlock, 1,
       "error: ARCHIVE: 0x01000003: damaged: a block chain runs past the end "
       "of the file"},
      {"a chain that comes back", loop, {},
       "warning: 2 blocks unaccounted for\n"
       "0x01000003: damaged: its chain comes back to the block at " +
           hex(multi.offset) + "\n",
       "1 damaged, 1 warnings", 1, kMultiBlock, 0, ""},
      {"two chains share a block",
       with_next_pointer(good, kMultiBlock, table.offset), {"--jobs", "2"},
       "warning: 3 blocks unaccounted for\n"
       "0x01000003: damaged: its block at " + hex(table.offset) +
           " is also in the file 0x0A000001\n"
           "0x0A000001: damaged: its block at " + hex(table.offset) +
           " is also in the file 0x01000003\n",
       "2 damaged, 1 warnings", 1, kTable, 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = file("v.dat", c.archive);
    std::vector<std::string> args{"verify"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(path);
    const ToolRun r = run(args);
    EXPECT_EQ(r.out, c.findings + "6 files checked, " + c.count + "\n");
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
    // cat and extract: the same entry, the same words.
    std::string expected_err = c.read_err;
    if (const auto at = expected_err.find("ARCHIVE"); at != std::string::npos) {
      expected_err.replace(at, 7, path);
    }
    const ToolRun cat = run({"cat", path, format_id(c.id)});
    const ToolRun extract =
        run({"extract", "--force", "-C", dir_.string(), path, format_id(c.id)});
    for (const ToolRun& read : {cat, extract}) {
      EXPECT_EQ(read.status, c.read_status);
      EXPECT_EQ(read.err.substr(0, expected_err.size()), expected_err);
    }
  }
}

TEST_F(VerifyTest, JsonLinesAndExitStatuses) {
  const std::string loop = file(
      "loop.dat", with_next_pointer(without_free_list(image_), kPlain, 0));
  const std::string zeros = file("zeros.dat", Bytes(1 << 20));
  const std::string tiny = file("tiny.dat", Bytes(28));
  const struct {
    std::vector<std::string> args;
    std::string out;
    int status;
  } cases[] = {
      {{"verify", "--json", archive_},
       "{\"id\":null,\"severity\":\"damaged\",\"kind\":\"FreeList\","
       "\"message\":\"the free list: it goes to 0x3, which is not a block of "
       "the file\"}\n{\"files\":6,\"damaged\":1,\"warnings\":0}\n",
       1},
      {{"verify", zeros},
       "warning: the header's file_size is 0, the file is 1048576 bytes\n"
       "warning: the block size 0 leaves no room for data after the block "
       "pointer\n0 files checked, 0 damaged, 2 warnings\n",
       0},
      {{"verify", "--strict", zeros}, "", 1},
      {{"verify", tiny},
       "damaged: the file is 28 bytes, its header ends at byte 400\n"
       "0 files checked, 1 damaged, 0 warnings\n",
       1},
      {{"verify", (dir_ / "missing.dat").string()}, "", 3},
      {{"verify", "--manifest"}, "", 2},
      {{"verify", "--manifest", tiny, loop}, "", 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ToolRun r = run(c.args);
    if (!c.out.empty()) {
      EXPECT_EQ(r.out, c.out);
    }
    EXPECT_EQ(r.status, c.status);
  }
}

TEST_F(VerifyTest, SumsPassSha256sumAndTheManifestFindsAFlippedByte) {
  const Bytes good = without_free_list(image_);
  const std::string path = file("good.dat", good);
  const std::string manifest = output_of({"sum", "--jobs", "3", path});
  file("M", bytes(manifest));
  EXPECT_EQ(std::count(manifest.begin(), manifest.end(), '\n'), 6);
  const fs::path out = dir_ / "out";
  fs::create_directory(out);
  EXPECT_EQ(output_of({"extract", "-C", out.string(), path}), "");
  const ToolRun checked = run_program(
      {"/bin/sh", "-c", "cd '" + out.string() + "' && sha256sum -c ../M"},
      dir_);
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
  EXPECT_EQ(output_of({"verify", "--manifest", (dir_ / "M").string(), path}),
            "6 files checked, 0 damaged, 0 warnings\n");

  // One payload byte of the multi-block file flipped; the table's line
  // dropped from the manifest, and a line for an id the archive lacks.
  Bytes flipped = good;
  const std::size_t at = entry_of(good, kMultiBlock).offset + 64 + 10;
  flipped[at] = ~flipped[at];
  std::string edited = manifest;
  const std::size_t line = edited.find("0A000001.bin");
  edited.erase(line - 66, 66 + 13);
  edited += std::string(64, 'a') + "  00000099.bin\n";
  file("M2", bytes(edited));
  const ToolRun r = run({"verify", "--manifest", (dir_ / "M2").string(),
                         file("flipped.dat", flipped)});
  EXPECT_EQ(r.out,
            "0x00000099: damaged: it is in the manifest but not in the "
            "archive\n"
            "0x01000003: damaged: its SHA-256 differs from the manifest's\n"
            "0x0A000001: warning: it is not in the manifest\n"
            "6 files checked, 2 damaged, 1 warnings\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(output_of({"sum", "--raw", path, "0x01000002"}),
            output_of({"sum", path, "0x01000002"}));
}

}  // namespace
}  // namespace ostrand_dat::tool
