#include "checks/cross_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "discovery.h"
#include "tests/test_support.h"

namespace parity {
namespace {

using testing::golden_tables;
using testing::run_entry;
using testing::ToolSetup;

// With golden_tables() and an agreeing tool: 6 kinds resolve, 404 do not.
constexpr std::string_view kPassLine =
    "[resolve_sound_parity] Native vs C# PASS: 6 hits + 404 both-None = 410 "
    "pairs across 2 tables \xC3\x97 (204+1) enums\n";
constexpr std::string_view kDriftTail =
    " pairs). Re-read morvane.c:383433 to determine which port broke.";

TEST(CrossCheck, SkipsAtTheFirstMissingInputInOrder) {
  for (const std::string& path : fixed_defaults().retail_dat) {
    if (std::filesystem::exists(path))
      GTEST_SKIP() << "retail archive: " << path;
  }
  for (const std::string& path : fixed_defaults().gt_terminal_dll) {
    if (std::filesystem::exists(path))
      GTEST_SKIP() << "reference DLL: " << path;
  }
  struct Case {
    const char* name;
    std::vector<const char*> unset;
    std::string output;
  } cases[] = {
      {"no archive: nothing else is looked at",
       {"AC_BASE_PORTAL_DAT", "DOTNET_ROOT", "GT_TERMINAL_DLL"},
       "SKIP \xE2\x80\x94 no retail client_portal.dat available\n"},
      {"no dotnet",
       {"DOTNET_ROOT"},
       "SKIP \xE2\x80\x94 no `dotnet` on PATH or $DOTNET_ROOT\n"},
      {"no DLL",
       {"GT_TERMINAL_DLL"},
       "SKIP \xE2\x80\x94 Gantrel.Terminal.dll not built. Run `dotnet build "
       "-c Release Gantrel.Terminal/Gantrel.Terminal.csproj`.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToolSetup setup;
    // Not an archive: opening it would fail the case, so a skip proves
    // that it was not opened.
    testing::write_file(setup.dat_path(), "not an archive");
    for (const char* name : c.unset) setup.env().unset(name);
    auto outcome = run_entry(native_vs_csharp_full_enum_cardinality);
    EXPECT_FALSE(outcome.failure) << outcome.failure->message();
    EXPECT_EQ(outcome.output, c.output);
  }
}

TEST(CrossCheck, PassesWithOneSummaryLineWhenEveryPairAgrees) {
  struct Case {
    const char* name;
    std::string behaviour;
  } cases[] = {
      {"plain answers", ""},
      {"banner and quit answer are ignored", "banner\nanswer-quit\n"},
      {"lower-case hex parses alike", "lowercase\n"},
      {"CRLF line ends", "crlf\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToolSetup setup(golden_tables(), c.behaviour);
    auto outcome = run_entry(native_vs_csharp_full_enum_cardinality);
    EXPECT_FALSE(outcome.failure) << outcome.failure->message();
    EXPECT_EQ(outcome.output, kPassLine);
  }
}

TEST(CrossCheck, SendsTheWholeBatchInTableThenKindOrder) {
  ToolSetup setup;
  const std::string record = setup.path("stdin.bin");
  setup.write_behaviour(testing::agreeing_answers(golden_tables()) + "record " +
                        record + "\n");
  auto outcome = run_entry(native_vs_csharp_full_enum_cardinality);
  ASSERT_FALSE(outcome.failure) << outcome.failure->message();

  std::vector<std::string> lines =
      testing::lines_of(testing::read_file(record));
  ASSERT_EQ(lines.size(), 411u);
  const std::string head =
      "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":";
  EXPECT_EQ(lines[0], head + "\"0x20000001\",\"sound\":0}");
  EXPECT_EQ(lines[204], head + "\"0x20000001\",\"sound\":204}");
  EXPECT_EQ(lines[205], head + "\"0x200000A8\",\"sound\":0}");
  EXPECT_EQ(lines[409], head + "\"0x200000A8\",\"sound\":204}");
  EXPECT_EQ(lines[410], "{\"command\":\"quit\"}");
}

TEST(CrossCheck, FailsWithTheMessageOfEachDisagreement) {
  struct Case {
    const char* name;
    std::string behaviour;  // after the agreeing answers
    std::string output;
    std::string message;
  } cases[] = {
      {"one answer missing", "drop 17\n", "",
       "assertion `left == right` failed: C# response count 409 != Native "
       "input count 410\n  left: 409\n right: 410"},
      {"one pair differs, with a source",
       "0x200000A8 31 null Tables\\Sound.cs:12\tv2\n",
       "\tDRIFT: 0x200000A8.resolve_sound(0x1F): native=Some(167773465) "
       "cs=None cs_source=Some(\"Tables\\\\Sound.cs:12\\tv2\")\n",
       "1 drifts (out of 410" + std::string(kDriftTail)},
      {"tool resolves a kind the native side does not",
       "0x20000001 70 0x0A000999\n",
       "\tDRIFT: 0x20000001.resolve_sound(0x46): native=None "
       "cs=Some(167774617) cs_source=None\n",
       "1 drifts (out of 410" + std::string(kDriftTail)},
      {"wave ids as JSON numbers read as absent", "numbers\n",
       "\tDRIFT: 0x20000001.resolve_sound(0x00): native=Some(167772161) "
       "cs=None cs_source=None\n"
       "\tDRIFT: 0x20000001.resolve_sound(0x58): native=Some(167772770) "
       "cs=None cs_source=None\n"
       "\tDRIFT: 0x20000001.resolve_sound(0x5B): native=Some(167772788) "
       "cs=None cs_source=None\n"
       "\tDRIFT: 0x20000001.resolve_sound(0xCC): native=Some(167772364) "
       "cs=None cs_source=None\n"
       "\tDRIFT: 0x200000A8.resolve_sound(0x1F): native=Some(167773465) "
       "cs=None cs_source=None\n"
       "\tDRIFT: 0x200000A8.resolve_sound(0x64): native=Some(167773696) "
       "cs=None cs_source=None\n",
       "6 drifts (out of 410" + std::string(kDriftTail)},
      {"tool fails", "fail\n", "",
       "GT.Terminal: \"GT.Terminal non-zero exit: "
       "ExitStatus(unix_wait_status(256))\\nstderr: boom\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ToolSetup setup(golden_tables(), c.behaviour);
    auto outcome = run_entry(native_vs_csharp_full_enum_cardinality);
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(outcome.failure->message(), c.message);
    EXPECT_EQ(outcome.output, c.output);
  }
}

TEST(CrossCheck, NativeFailuresEndTheCaseBeforeTheToolRuns) {
  ToolSetup setup({golden_tables()[0]});
  const std::string record = setup.path("stdin.bin");
  setup.write_behaviour("record " + record + "\n");
  auto outcome = run_entry(native_vs_csharp_full_enum_cardinality);
  ASSERT_TRUE(outcome.failure);
  EXPECT_EQ(outcome.failure->message(),
            "get_file 0x200000A8: NotFound(536871080)");
  EXPECT_FALSE(std::filesystem::exists(record));
}

TEST(CrossCheck, AHostThatCannotStartFailsWithTheQuotedError) {
  ToolSetup setup;
  // A directory named dotnet is found (any object counts) but cannot run.
  setup.env().set("DOTNET_ROOT", setup.path("host"));
  std::filesystem::create_directories(setup.path("host/dotnet"));
  auto outcome = run_entry(native_vs_csharp_full_enum_cardinality);
  ASSERT_TRUE(outcome.failure);
  EXPECT_EQ(outcome.failure->message(),
            "GT.Terminal: \"spawn GT.Terminal: Permission denied (os error "
            "13)\"");
}

}  // namespace
}  // namespace parity
