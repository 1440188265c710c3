// The parity program and its tool run over the generated sample (built
// under samples/): the archive, the stand-in reached through its `dotnet`
// link, and the two answer tables. What a reader of the program's output
// sees is written out as it stands.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "checks/cross_check.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "tests/test_support.h"
#include "tool_run.h"

namespace parity {
namespace {

using testing::ProgramRun;

const std::string kSampleDat = SAMPLE_DAT;
const std::string kToolDir = SAMPLE_TOOL_DIR;
const std::string kAnswers = SAMPLE_ANSWERS;
const std::string kDriftAnswers = SAMPLE_DRIFT_ANSWERS;

// resolve_sound_parity --show-output over the sample, with the answer
// table `dll`.
ProgramRun run_on_sample(const std::string& dll) {
  testing::ScopedEnv env;
  env.set("AC_BASE_PORTAL_DAT", kSampleDat);
  env.set("DOTNET_ROOT", kToolDir);
  env.set("GT_TERMINAL_DLL", dll);
  return testing::run_program(RESOLVE_SOUND_PARITY, {"--show-output"});
}

std::vector<std::string> drift_lines(const std::string& out) {
  std::vector<std::string> drifts;
  for (std::string& line : testing::lines_of(out)) {
    if (line.starts_with("\tDRIFT: ")) drifts.push_back(std::move(line));
  }
  return drifts;
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST(ParityOnSample, TheStandinAnswersEveryPairAsTheLibraryResolvesIt) {
  // The library's answers, from the archive; the stand-in's come from the
  // description alone, so the two are separate paths.
  auto db = ostrand_dat::DatDatabase::open(kSampleDat);
  ASSERT_TRUE(db) << ostrand_dat::debug_string(db.error());
  std::vector<std::optional<std::uint32_t>> expected;
  std::vector<std::string> requests;
  for (std::uint32_t id : kCrossCheckTables) {
    auto bytes = db->get_file(id);
    ASSERT_TRUE(bytes) << ostrand_dat::debug_string(bytes.error());
    auto table = ostrand_dat::file_type::SoundTable::unpack(*bytes);
    ASSERT_TRUE(table) << ostrand_dat::debug_string(table.error());
    for (std::uint32_t kind = 0; kind <= kLastSoundKind; ++kind) {
      expected.push_back(table->resolve_sound(kind));
      requests.push_back(resolve_request(id, kind));
    }
  }

  // Through the `dotnet` link, exactly as the program starts the tool.
  auto lines = run_gt_terminal(kToolDir + "/dotnet", kAnswers, requests);
  ASSERT_TRUE(lines) << lines.error();
  ASSERT_EQ(lines->size(), 410u);
  int resolving = 0;
  for (std::size_t i = 0; i < lines->size(); ++i) {
    SCOPED_TRACE((*lines)[i]);
    EXPECT_EQ(extract_string_field((*lines)[i], "command"),
              "quillon-resolve-sound");
    EXPECT_EQ(extract_wave_did_u32((*lines)[i]), expected[i]);
    resolving += expected[i].has_value();
  }
  EXPECT_EQ(resolving, 66);
}

TEST(ParityOnSample, PassesEveryCaseWithoutSkipping) {
  ProgramRun run = run_on_sample(kAnswers);
  EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_TRUE(contains(
      run.out,
      "---- native_vs_csharp_full_enum_cardinality stdout ----\n"
      "[resolve_sound_parity] Native vs C# PASS: 66 hits + 344 both-None = "
      "410 pairs across 2 tables \xC3\x97 (204+1) enums\n"))
      << run.out;
  EXPECT_TRUE(contains(run.out, "test result: ok. 3 passed; 0 failed;"))
      << run.out;
  EXPECT_FALSE(contains(run.out, "SKIP")) << run.out;
  EXPECT_EQ(drift_lines(run.out), std::vector<std::string>{});
  EXPECT_EQ(run.err, "");
}

TEST(ParityOnSample, DriftDemonstrationFailsWithExactlyTwoDriftLines) {
  ProgramRun run = run_on_sample(kDriftAnswers);
  EXPECT_EQ(run.exit_code, 101) << run.out << run.err;
  // The description's two drift lines: a different wave, and a wave where
  // the sample has none.
  EXPECT_EQ(
      drift_lines(run.out),
      (std::vector<std::string>{
          "\tDRIFT: 0x20000001.resolve_sound(0x0C): native=Some(167772256) "
          "cs=Some(167772257) cs_source=Some(\"client_portal.txt:170 "
          "(deliberate drift)\")",
          "\tDRIFT: 0x200000A8.resolve_sound(0x50): native=None "
          "cs=Some(167773504) cs_source=Some(\"client_portal.txt:171 "
          "(deliberate drift)\")"}))
      << run.out;
  EXPECT_TRUE(contains(run.out,
                       "\n2 drifts (out of 410 pairs). Re-read "
                       "morvane.c:383433 to determine which port broke.\n"))
      << run.out;
  EXPECT_TRUE(contains(run.out, "test result: FAILED. 2 passed; 1 failed;"))
      << run.out;
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace parity
