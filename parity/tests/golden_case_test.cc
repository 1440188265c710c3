#include "checks/golden_case.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "discovery.h"
#include "ostrand_dat/ostrand_dat.h"
#include "tests/test_support.h"

namespace parity {
namespace {

using testing::golden_tables;
using testing::run_entry;
using testing::ScopedEnv;
using testing::TempDir;
using testing::TestTable;

// The archive of `tables`, named by AC_BASE_PORTAL_DAT.
class GoldenCaseTest : public ::testing::Test {
 protected:
  void use_archive(const std::vector<TestTable>& tables) {
    testing::write_archive(dat_path_, tables);
    env_.set("AC_BASE_PORTAL_DAT", dat_path_);
  }

  TempDir dir_;
  std::string dat_path_ = dir_ / "client_portal.dat";
  ScopedEnv env_;
};

// `tables` with the entries of kind `kind` in table `id` replaced.
std::vector<TestTable> with_kind(std::vector<TestTable> tables,
                                 std::uint32_t id, std::uint32_t kind,
                                 std::vector<std::uint32_t> waves) {
  for (TestTable& table : tables) {
    if (table.id == id) table.sounds.push_back({kind, std::move(waves)});
  }
  return tables;
}

TEST_F(GoldenCaseTest, SkipsWithOneNoticeWithoutAnArchive) {
  for (const std::string& path : fixed_defaults().retail_dat) {
    if (std::filesystem::exists(path))
      GTEST_SKIP() << "a retail archive exists: " << path;
  }
  env_.unset("AC_BASE_PORTAL_DAT");
  auto outcome = run_entry(native_resolve_sound_matches_pinned_goldens);
  EXPECT_FALSE(outcome.failure);
  EXPECT_EQ(outcome.output,
            "SKIP \xE2\x80\x94 no retail client_portal.dat available\n");
  EXPECT_EQ(outcome.output.size(), 47u);
}

TEST_F(GoldenCaseTest, PassesSilentlyWhenEveryRowAgrees) {
  use_archive(golden_tables());
  auto outcome = run_entry(native_resolve_sound_matches_pinned_goldens);
  EXPECT_FALSE(outcome.failure) << outcome.failure->message();
  EXPECT_EQ(outcome.output, "");
}

TEST_F(GoldenCaseTest, FailsWithTheMessageOfTheFirstDisagreement) {
  std::vector<TestTable> missing_a8 = {golden_tables()[0]};
  struct Case {
    const char* name;
    std::vector<TestTable> tables;
    std::string message;
  } cases[] = {
      {"row 1 resolves to nothing",
       with_kind(golden_tables(), 0x20000001, 0x58, {}),
       "assertion `left == right` failed: 0x20000001.resolve_sound(0x58 = "
       "ShieldUp) drift: native=None expected=Some(167772770)\n"
       "  left: None\n"
       " right: Some(167772770)"},
      {"row 4 prints its kind in full",
       with_kind(golden_tables(), 0x20000001, 0xFFFFFFFF, {5}),
       "assertion `left == right` failed: 0x20000001.resolve_sound("
       "0xFFFFFFFF = Invalid) drift: native=Some(5) expected=None\n"
       "  left: Some(5)\n"
       " right: None"},
      {"row 6 gets a wave",
       with_kind(golden_tables(), 0x200000A8, 0x46, {0x0A000520}),
       "assertion `left == right` failed: 0x200000A8.resolve_sound(0x46 = "
       "Ambient1) drift: native=Some(167773472) expected=None\n"
       "  left: Some(167773472)\n"
       " right: None"},
      {"rows 2 and 5 differ: only row 2 is told",
       with_kind(with_kind(golden_tables(), 0x20000001, 0x5B, {7}), 0x200000A8,
                 0x1F, {8}),
       "assertion `left == right` failed: 0x20000001.resolve_sound(0x5B = "
       "EnchantDown) drift: native=Some(7) expected=Some(167772788)\n"
       "  left: Some(7)\n"
       " right: Some(167772788)"},
      {"second table missing", missing_a8,
       "get_file 0x200000A8: NotFound(536871080)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    use_archive(c.tables);
    auto outcome = run_entry(native_resolve_sound_matches_pinned_goldens);
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(outcome.failure->message(), c.message);
    EXPECT_EQ(outcome.output, "");
    EXPECT_TRUE(std::string_view(outcome.failure->where().file_name())
                    .ends_with("golden_case.cc"))
        << outcome.failure->where().file_name();
  }
}

TEST_F(GoldenCaseTest, FailsOnAnArchiveOrTableThatCannotBeRead) {
  // A table of 10 bytes ends inside its third field.
  ostrand_dat::ArchiveWriter writer;
  writer.add({.id = 0x20000001, .data = std::vector<std::byte>(10)});
  ASSERT_TRUE(writer.write(dat_path_));
  env_.set("AC_BASE_PORTAL_DAT", dat_path_);
  auto outcome = run_entry(native_resolve_sound_matches_pinned_goldens);
  ASSERT_TRUE(outcome.failure);
  EXPECT_EQ(outcome.failure->message(),
            "unpack 0x20000001: failed to fill whole buffer");

  // An archive that ends inside its header; a directory opens but cannot
  // be read.
  for (const std::string& path : {dir_ / "short.dat", dir_.path().string()}) {
    SCOPED_TRACE(path);
    if (path.ends_with(".dat"))
      testing::write_file(path, std::string(330, 'x'));
    env_.set("AC_BASE_PORTAL_DAT", path);
    auto expected = ostrand_dat::DatDatabase::open(path);
    ASSERT_FALSE(expected);
    outcome = run_entry(native_resolve_sound_matches_pinned_goldens);
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(
        outcome.failure->message(),
        "open retail dat: " + ostrand_dat::debug_string(expected.error()));
  }
}

}  // namespace
}  // namespace parity
