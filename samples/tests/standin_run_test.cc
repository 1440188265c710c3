// The stand-in and the parity program run as processes over the sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "checks/check_helpers.h"
#include "checks/cross_check.h"
#include "portal/description.h"
#include "portal/sample_outputs.h"
#include "tests/sample_support.h"
#include "tool_run.h"

namespace samples_test {
namespace {

const std::string kStandin = GT_TERMINAL_STANDIN;

// The library's answer for each of the cross-check's pairs, in its order.
std::vector<std::optional<std::uint32_t>> library_answers() {
  std::vector<std::optional<std::uint32_t>> waves;
  auto db = open_sample();
  if (!db) return waves;
  for (std::uint32_t id : parity::kCrossCheckTables) {
    const auto table = sample_table(*db, id);
    for (std::uint32_t kind = 0; kind <= parity::kLastSoundKind; ++kind) {
      waves.push_back(table.resolve_sound(kind));
    }
  }
  return waves;
}

TEST(StandinRun, AnswersAll410PairsAsTheLibraryResolvesThem) {
  std::vector<std::string> requests;
  for (std::uint32_t id : parity::kCrossCheckTables) {
    for (std::uint32_t kind = 0; kind <= parity::kLastSoundKind; ++kind) {
      requests.push_back(parity::resolve_request(id, kind));
    }
  }
  // Through the `dotnet` link, exactly as the program starts the tool.
  auto lines = parity::run_gt_terminal(kDotnet, kAnswers, requests);
  ASSERT_TRUE(lines) << lines.error();
  const auto expected = library_answers();
  ASSERT_EQ(expected.size(), 410u);
  ASSERT_EQ(lines->size(), 410u);
  int resolving = 0;
  for (std::size_t i = 0; i < lines->size(); ++i) {
    SCOPED_TRACE((*lines)[i]);
    EXPECT_EQ(parity::extract_string_field((*lines)[i], "command"),
              std::string(parity::kResolveCommand));
    EXPECT_EQ(parity::extract_wave_did_u32((*lines)[i]), expected[i]);
    resolving += expected[i].has_value();
  }
  EXPECT_GT(resolving, 10);
  EXPECT_LT(resolving, 400);
}

std::string write_temp(const std::string& name, const std::string& text) {
  const std::string path =
      (std::filesystem::path(::testing::TempDir()) / name).string();
  std::ofstream(path) << text;
  return path;
}

TEST(StandinRun, HandlesRequestsErrorsAndQuit) {
  const std::string table =
      write_temp("standin-run.txt", "0x20000001 88 0x0A000262 here\n");
  const std::string head =
      "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":";
  const std::string input =
      head + "\"0x20000001\",\"sound\":88}\n" + head +
      "\"0x20000002\",\"sound\":88}\n" + "{\"command\":\"frob\"}\n" +
      "{\"command\":\"quit\"}\n" + head + "\"0x20000001\",\"sound\":88}\n";
  struct Case {
    const char* name;
    std::string input;
    std::string out;
  } cases[] = {
      {"answers, null, error line, nothing after quit", input,
       head +
           "\"0x20000001\",\"sound\":88,\"waveDid\":\"0x0A000262\","
           "\"source\":\"here\"}\n" +
           head + "\"0x20000002\",\"sound\":88,\"waveDid\":null}\n" +
           "{\"error\":\"line 3: unknown command \\\"frob\\\"; expected "
           "\\\"quillon-resolve-sound\\\" or \\\"quit\\\"\"}\n"},
      {"end of input without quit",
       input.substr(0, input.find("{\"command\":\"frob")),
       head +
           "\"0x20000001\",\"sound\":88,\"waveDid\":\"0x0A000262\","
           "\"source\":\"here\"}\n" +
           head + "\"0x20000002\",\"sound\":88,\"waveDid\":null}\n"},
      {"no input", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChildRun r = run(kStandin, {table, "--stdin"}, c.input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(StandinRun, ReportsUsageTableAndWriteFailures) {
  const std::string bad = write_temp("standin-bad.txt", "0x1 2 0x3\nflag\n");
  const std::string good = write_temp("standin-good.txt", "0x1 2 0x3\n");
  const std::string request =
      "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":\"0x1\","
      "\"sound\":2}\n";
  struct Case {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    int exit_code;
    std::string err_start;
  } cases[] = {
      {"no table",
       kStandin,
       {"--stdin"},
       2,
       "gt-terminal-standin: no answer table given\nusage: "},
      {"two tables",
       kStandin,
       {good, good},
       2,
       "gt-terminal-standin: more than one answer table: "},
      {"unknown option",
       kStandin,
       {good, "--verbose"},
       2,
       "gt-terminal-standin: unknown option --verbose\nusage: "},
      {"missing table",
       kStandin,
       {"/nonexistent/answers.txt"},
       2,
       "gt-terminal-standin: cannot read /nonexistent/answers.txt: No such "
       "file or directory\n"},
      {"bad table line",
       kStandin,
       {bad},
       2,
       "gt-terminal-standin: " + bad +
           ":2: table id \"flag\" is not a hexadecimal u32\n"},
      {"answers cannot be written",
       "/bin/sh",
       {"-c", "exec \"$0\" \"$1\" >/dev/full", kStandin, good},
       1,
       "gt-terminal-standin: cannot write the answers to standard output\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Input only where it is read: a tool that has quit would make the
    // write fail.
    ChildRun r = run(c.program, c.args, c.exit_code == 1 ? request : "");
    EXPECT_EQ(r.exit_code, c.exit_code);
    EXPECT_TRUE(r.err.starts_with(c.err_start)) << r.err;
    EXPECT_EQ(r.out, "");
  }
  ChildRun help = run(kStandin, {"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(help.out.starts_with("usage: gt-terminal-standin ANSWER_TABLE"))
      << help.out;
}

// resolve_sound_parity against the sample, with the answer table `dll`.
ChildRun run_parity(const std::string& dll) {
  return run("env",
             {"-u", "PARITY_TEST_THREADS", "-u", "PARITY_NOCAPTURE",
              "AC_BASE_PORTAL_DAT=" + kSampleDat, "DOTNET_ROOT=" + kToolDir,
              "GT_TERMINAL_DLL=" + dll, RESOLVE_SOUND_PARITY, "--show-output"});
}

std::vector<std::string> drift_lines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream stream(out);
  for (std::string line; std::getline(stream, line);) {
    if (line.starts_with("\tDRIFT: ")) lines.push_back(line);
  }
  return lines;
}

TEST(ParityOnSample, PassesEveryCaseWithoutSkipping) {
  const auto expected = library_answers();
  const auto hits = std::count_if(expected.begin(), expected.end(),
                                  [](const auto& w) { return w.has_value(); });
  ChildRun r = run_parity(kAnswers);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const std::string pass =
      "[resolve_sound_parity] Native vs C# PASS: " + std::to_string(hits) +
      " hits + " + std::to_string(410 - hits) +
      " both-None = 410 pairs across 2 tables \xC3\x97 (204+1) enums\n";
  EXPECT_NE(r.out.find(pass), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("test result: ok. 3 passed; 0 failed;"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("SKIP"), std::string::npos) << r.out;
  EXPECT_TRUE(drift_lines(r.out).empty());
}

TEST(ParityOnSample, DriftDemonstrationFailsWithExactlyTwoDriftLines) {
  std::ifstream file(kSampleDescription);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  auto description =
      portal_sample::parse_description(text, "client_portal.txt");
  ASSERT_TRUE(description) << description.error();
  ASSERT_EQ(description->drifts.size(), 2u);
  auto db = open_sample();
  ASSERT_TRUE(db);
  std::vector<std::string> expected;
  for (const auto& drift : description->drifts) {
    const auto native =
        sample_table(*db, drift.table_id).resolve_sound(drift.sound);
    expected.push_back("\tDRIFT: " + parity::table_hex(drift.table_id) +
                       ".resolve_sound(" + parity::kind_hex(drift.sound) +
                       "): native=" + parity::show(native) +
                       " cs=" + parity::show(drift.wave) + " cs_source=" +
                       parity::show(std::optional<std::string>(
                           "client_portal.txt:" + std::to_string(drift.line) +
                           " (deliberate drift)")));
  }

  ChildRun r = run_parity(kDriftAnswers);
  EXPECT_EQ(r.exit_code, 101) << r.out << r.err;
  EXPECT_EQ(drift_lines(r.out), expected) << r.out;
  EXPECT_NE(r.out.find("\n2 drifts (out of 410 pairs). Re-read "
                       "morvane.c:383433 to determine which port broke.\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("test result: FAILED. 2 passed; 1 failed;"),
            std::string::npos)
      << r.out;
}

}  // namespace
}  // namespace samples_test
