#include "tool_run.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "checks/cross_check.h"
#include "tests/test_support.h"

namespace parity {
namespace {

using testing::TempDir;
using testing::ToolSetup;

std::vector<std::string> requests(std::size_t count) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < count; ++i) {
    lines.push_back(resolve_request(0x20000001, static_cast<std::uint32_t>(i)));
  }
  return lines;
}

TEST(RunGtTerminal, WritesEachCommandThenTheQuitRequest) {
  ToolSetup setup;
  const std::string record = setup.path("stdin.bin");
  setup.write_behaviour("record " + record + "\n");

  ASSERT_TRUE(run_gt_terminal(setup.dotnet_path(), setup.dll_path(), {}));
  EXPECT_EQ(testing::read_file(record), "{\"command\":\"quit\"}\n");

  // Lines go out unchanged, unchecked and unescaped.
  const std::vector<std::string> commands = {"first", "", "{\"x\":\"\\\"\"}"};
  ASSERT_TRUE(run_gt_terminal(setup.dotnet_path(), setup.dll_path(), commands));
  EXPECT_EQ(testing::read_file(record),
            "first\n\n{\"x\":\"\\\"\"}\n{\"command\":\"quit\"}\n");
}

TEST(RunGtTerminal, BatchesBeyondAPipeBufferDoNotHang) {
  // About 1.5 MB of requests and more of answers: neither side could
  // finish if the input were written before any output was read.
  ToolSetup setup;
  setup.write_behaviour("");
  auto lines =
      run_gt_terminal(setup.dotnet_path(), setup.dll_path(), requests(20000));
  ASSERT_TRUE(lines) << lines.error();
  ASSERT_EQ(lines->size(), 20000u);
  EXPECT_NE(lines->back().find("\"sound\":19999,"), std::string::npos);
}

TEST(RunGtTerminal, ReportsEachFailureWithItsText) {
  ToolSetup setup;
  TempDir dir;
  // Reads its input first, so the write always completes.
  testing::write_file(dir / "killed.sh",
                      "while read -r line; do :; done\nkill -9 $$\n");
  struct Failure {
    const char* name;
    std::string dotnet;
    std::string dll;
    std::string behaviour;
    std::size_t requests;
    std::string error;
  } failures[] = {
      {"host missing", dir / "nowhere/dotnet", setup.dll_path(), "", 1,
       "spawn GT.Terminal: No such file or directory (os error 2)"},
      {"host is a directory", dir.path().string(), setup.dll_path(), "", 1,
       "spawn GT.Terminal: Permission denied (os error 13)"},
      // More than a pipe buffer, so the write cannot finish before the
      // tool has closed its input.
      {"tool closes its input unread", setup.dotnet_path(), setup.dll_path(),
       "close-stdin\n", 20000, "write stdin: Broken pipe (os error 32)"},
      {"tool exits with code 1", setup.dotnet_path(), setup.dll_path(),
       "fail\n", 3,
       "GT.Terminal non-zero exit: ExitStatus(unix_wait_status(256))\n"
       "stderr: boom"},
      {"tool killed by a signal", "/bin/sh", dir / "killed.sh", "", 0,
       "GT.Terminal non-zero exit: ExitStatus(unix_wait_status(9))\n"
       "stderr: "},
  };
  for (const Failure& failure : failures) {
    SCOPED_TRACE(failure.name);
    setup.write_behaviour(failure.behaviour);
    auto lines = run_gt_terminal(failure.dotnet, failure.dll,
                                 requests(failure.requests));
    ASSERT_FALSE(lines) << "got " << lines->size() << " lines";
    EXPECT_EQ(lines.error(), failure.error);
  }
}

TEST(AnswerLines, SplitsTrimsAndDecodes) {
  struct Case {
    const char* name;
    std::string output;
    std::vector<std::string> lines;
  } cases[] = {
      {"empty output", "", {}},
      {"final line end starts no line", "a\n", {"a"}},
      {"last line without line end counts", "a\nb", {"a", "b"}},
      {"CRLF ends a line", "a\r\nb\r\n", {"a", "b"}},
      {"CR inside a line stays", "a\rb\n", {"a\rb"}},
      {"spaces and tabs trimmed", "  a b \t\n", {"a b"}},
      {"blank and white lines dropped", "\n \n\t\r\na\n\n", {"a"}},
      {"Unicode white space trimmed", "\u3000\u00A0a\u2028\u0085\n", {"a"}},
      {"zero-width space is not white space", "\u200Ba\n", {"\u200Ba"}},
      {"invalid bytes become U+FFFD",
       "a\xFF\n\xE2\x82z\n",
       {"a\uFFFD", "\uFFFDz"}},
      {"a lone replacement line is kept", "\xC0\n", {"\uFFFD"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(answer_lines(c.output), c.lines);
  }
}

TEST(ExtractStringField, ReadsTheFirstStringValueOfTheKey) {
  const std::string answer =
      "{\"command\":\"quillon-resolve-sound\",\"waveDid\":\"0x0A000262\"}";
  struct Case {
    std::string line;
    std::string key;
    std::optional<std::string> value;
  } cases[] = {
      {answer, "waveDid", "0x0A000262"},
      {answer, "command", "quillon-resolve-sound"},
      {answer, "source", std::nullopt},
      {"\"waveDid\": \"0x1\"", "waveDid", "0x1"},
      {"\"waveDid\" : \"0x1\"", "waveDid", std::nullopt},
      {"\"waveDid\":\u3000\"0x1\"", "waveDid", "0x1"},
      {"\"waveDid\":null", "waveDid", std::nullopt},
      {"\"waveDid\":  null", "waveDid", std::nullopt},
      {"\"waveDid\":\"null\"", "waveDid", "null"},
      {"\"waveDid\":nullish", "waveDid", std::nullopt},
      {"\"waveDid\":5", "waveDid", std::nullopt},
      {"\"waveDid\":true", "waveDid", std::nullopt},
      {"\"waveDid\":[\"1\"]", "waveDid", std::nullopt},
      {"\"waveDid\":\"unterminated", "waveDid", std::nullopt},
      {"\"waveDid\":", "waveDid", std::nullopt},
      {"\"k\":\"first\",\"k\":\"second\"", "k", "first"},
      {"\"k\":\"a\\\"b\"", "k", "a\\"},
      {"\"k\":\"\\u0041\"", "k", "\\u0041"},
      {"\"k\":\"\"", "k", ""},
      // Plain text search: a needle inside another value is found first.
      {"{\"note\":\"say \"k\":\"x\" \",\"k\":\"y\"}", "k", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line + " / " + c.key);
    EXPECT_EQ(extract_string_field(c.line, c.key), c.value);
  }
}

TEST(ExtractWaveDidU32, ParsesOneHexNumberWithOptionalPrefix) {
  struct Case {
    std::string value;
    std::optional<std::uint32_t> wave;
  } cases[] = {
      {"0x0A000262", 0x0A000262u},
      {"0XFF", 255u},
      {"ff", 255u},
      {"+1f", 31u},
      {"0x0a000262", 0x0A000262u},
      {"000000000001", 1u},
      {"0xFFFFFFFF", 0xFFFFFFFFu},
      {"0x0", 0u},
      {"", std::nullopt},
      {"0x", std::nullopt},
      {"0x0x1", std::nullopt},
      {"-1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"+", std::nullopt},
      {"++1", std::nullopt},
      {"0x100000000", std::nullopt},
      {"0xg", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.value + "\"");
    EXPECT_EQ(extract_wave_did_u32("{\"waveDid\":\"" + c.value + "\"}"),
              c.wave);
  }
  EXPECT_EQ(extract_wave_did_u32("{\"waveDid\":null}"), std::nullopt);
  EXPECT_EQ(extract_wave_did_u32("{\"waveDid\":167772770}"), std::nullopt);
  EXPECT_EQ(extract_wave_did_u32("{\"wave\":\"0x1\"}"), std::nullopt);
}

}  // namespace
}  // namespace parity
