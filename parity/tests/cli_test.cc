// Runs the built resolve_sound_parity with controlled inputs and checks
// what it prints and its exit status.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "discovery.h"
#include "tests/test_support.h"

namespace parity {
namespace {

using testing::golden_tables;
using testing::ProgramRun;
using testing::ScopedEnv;
using testing::TempDir;
using testing::ToolSetup;

ProgramRun run_parity(std::vector<std::string> args) {
  return testing::run_program(RESOLVE_SOUND_PARITY, std::move(args));
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

constexpr std::string_view kRetailSkip =
    "SKIP \xE2\x80\x94 no retail client_portal.dat available\n";

TEST(ParityCli, PassesBySkippingWhenNoInputIsFound) {
  for (const auto& paths :
       {fixed_defaults().retail_dat, fixed_defaults().gt_terminal_dll}) {
    for (const std::string& path : paths) {
      if (std::filesystem::exists(path)) GTEST_SKIP() << "found " << path;
    }
  }
  TempDir empty;
  ScopedEnv env;
  for (const char* name :
       {"AC_BASE_PORTAL_DAT", "DOTNET_ROOT", "GT_TERMINAL_DLL"}) {
    env.unset(name);
  }
  env.set("HOME", empty.path().string());
  env.set("PATH", empty.path().string());

  ProgramRun plain = run_parity({});
  EXPECT_EQ(plain.exit_code, 0) << plain.out << plain.err;
  EXPECT_TRUE(contains(plain.out, "\nrunning 3 tests\n")) << plain.out;
  for (const char* name : {"js_resolve_sound_first_body_matches_native",
                           "native_resolve_sound_matches_pinned_goldens",
                           "native_vs_csharp_full_enum_cardinality"}) {
    EXPECT_TRUE(contains(plain.out, "test " + std::string(name) + " ... ok\n"))
        << name;
  }
  EXPECT_TRUE(contains(plain.out,
                       "\ntest result: ok. 3 passed; 0 failed; 0 ignored; 0 "
                       "measured; 0 filtered out; finished in "))
      << plain.out;
  EXPECT_FALSE(contains(plain.out, "SKIP")) << "captured, not shown";
  EXPECT_EQ(plain.err, "");

  ProgramRun shown = run_parity({"--show-output"});
  EXPECT_EQ(shown.exit_code, 0);
  EXPECT_TRUE(contains(shown.out, "successes:")) << shown.out;
  for (const char* name : {"native_resolve_sound_matches_pinned_goldens",
                           "native_vs_csharp_full_enum_cardinality"}) {
    EXPECT_TRUE(contains(shown.out, "---- " + std::string(name) +
                                        " stdout ----\n" +
                                        std::string(kRetailSkip)))
        << shown.out;
  }
}

TEST(ParityCli, PassesAgainstTheTestArchiveAndAnAgreeingTool) {
  ToolSetup setup;
  ProgramRun run = run_parity({"--show-output"});
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_TRUE(contains(
      run.out,
      "---- native_vs_csharp_full_enum_cardinality stdout ----\n"
      "[resolve_sound_parity] Native vs C# PASS: 6 hits + 404 both-None = "
      "410 pairs across 2 tables \xC3\x97 (204+1) enums\n"))
      << run.out;
  EXPECT_TRUE(contains(run.out, "test result: ok. 3 passed; 0 failed;"));
  EXPECT_EQ(run.err, "");
}

TEST(ParityCli, ExitsWith101AndShowsTheDriftsWhenTheToolDisagrees) {
  ToolSetup setup(golden_tables(), "0x20000001 88 0x0A000263 Sounds.cs:40\n");
  ProgramRun run = run_parity({});
  EXPECT_EQ(run.exit_code, 101) << run.out << run.err;
  EXPECT_TRUE(contains(
      run.out,
      "\nfailures:\n\n---- native_vs_csharp_full_enum_cardinality stdout "
      "----\n\tDRIFT: 0x20000001.resolve_sound(0x58): native=Some(167772770) "
      "cs=Some(167772771) cs_source=Some(\"Sounds.cs:40\")\n"))
      << run.out;
  EXPECT_TRUE(contains(run.out,
                       "1 drifts (out of 410 pairs). Re-read "
                       "morvane.c:383433 to determine which port broke."));
  EXPECT_TRUE(contains(
      run.out, "\nfailures:\n    native_vs_csharp_full_enum_cardinality\n"));
  EXPECT_TRUE(contains(run.out, "test result: FAILED. 2 passed; 1 failed;"));
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace parity
