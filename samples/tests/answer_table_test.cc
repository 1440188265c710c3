#include "gt-terminal-standin/answer_table.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace gt_standin {
namespace {

TEST(ParseNumbers, AcceptsOnlyWholeU32InTheirBase) {
  struct Case {
    std::string text;
    std::optional<std::uint32_t> u32;
    std::optional<std::uint32_t> hex;
  } cases[] = {
      {"88", 88u, 0x88u},
      {"0x58", 0x58u, 0x58u},
      {"0X0a000262", 0x0A000262u, 0x0A000262u},
      {"4294967295", 4294967295u, std::nullopt},
      {"0xFFFFFFFF", 0xFFFFFFFFu, 0xFFFFFFFFu},
      {"ff", std::nullopt, 0xFFu},
      {"000000000001", 1u, 1u},
      {"4294967296", std::nullopt, std::nullopt},
      {"0x100000000", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"0x", std::nullopt, std::nullopt},
      {"-1", std::nullopt, std::nullopt},
      {"+1", std::nullopt, std::nullopt},
      {" 1", std::nullopt, std::nullopt},
      {"1 ", std::nullopt, std::nullopt},
      {"0x0x1", std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("\"" + c.text + "\"");
    EXPECT_EQ(parse_u32(c.text), c.u32);
    EXPECT_EQ(parse_hex_u32(c.text), c.hex);
  }
}

TEST(ParseAnswerTable, ReadsRowsCommentsAndLaterRowsWin) {
  auto table = parse_answer_table(
      "# answers\n"
      "\n"
      "0x20000001 88 0x0A000111 first\n"
      "  20000001\t0x58\t0a000262   Tables\\Sound.cs:12\tv2  \r\n"
      "   # indented comment\n"
      "0x200000A8 70 null",
      "t.txt");
  ASSERT_TRUE(table) << table.error();
  const AnswerTable expected = {
      {{0x20000001, 88}, {0x0A000262, "Tables\\Sound.cs:12\tv2"}},
      {{0x200000A8, 70}, {std::nullopt, std::nullopt}},
  };
  EXPECT_EQ(*table, expected);
}

TEST(ParseAnswerTable, NamesTheLineAndTheFault) {
  struct Case {
    std::string line;
    std::string error;
  } cases[] = {
      {"0x2000000G 1 0x1", "table id \"0x2000000G\" is not a hexadecimal u32"},
      {"0x20000001", "sound kind missing"},
      {"0x20000001 -1 0x1",
       "sound kind \"-1\" is not a decimal or 0x-hexadecimal u32"},
      {"0x20000001 1", "wave missing"},
      {"0x20000001 1 0x1 say \"hi\"", "a source may not hold '\"'"},
      {"0x20000001 1 0x1 a\rb", "not a text line"},
      {std::string("0x20000001 1 0x1 a\0b", 20), "not a text line"},
      {"MZ\x90\x01 1 0x1",
       "table id \"MZ\\x90\\x01\" is not a hexadecimal u32"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    auto table = parse_answer_table("# head\n" + c.line + "\n", "a.txt");
    ASSERT_FALSE(table);
    EXPECT_EQ(table.error(), "a.txt:2: " + c.error);
  }
}

TEST(ParseAnswerTable, OffersOtherLinesToTheDirectiveHandler) {
  std::vector<std::string> seen;
  DirectiveHandler handler =
      [&](std::string_view word,
          std::string_view rest) -> std::expected<bool, std::string> {
    if (word == "bad") return std::unexpected(std::string("bad directive"));
    if (word != "flag" && word != "drop") return false;
    seen.push_back(std::string(word) + "|" + std::string(rest));
    return true;
  };
  auto table = parse_answer_table(
      "flag\ndrop   17 \n0x1 2 0x3\n# flag in a comment\n", "b.txt", handler);
  ASSERT_TRUE(table) << table.error();
  EXPECT_EQ(seen, (std::vector<std::string>{"flag|", "drop|17"}));
  EXPECT_EQ(table->size(), 1u);

  auto failed = parse_answer_table("0x1 2 0x3\nbad\n", "b.txt", handler);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "b.txt:2: bad directive");
}

TEST(FormatAnswerRow, ReadsBackAsTheSameAnswer) {
  const AnswerTable table = {
      {{0x20000001, 0}, {0x0A000001, "x.txt:1"}},
      {{0x20000001, 0xFFFFFFFF}, {std::nullopt, "x.txt:2 (note)"}},
      {{0x00000000, 5}, {0xFFFFFFFF, std::nullopt}},
  };
  std::string text;
  for (const auto& [key, answer] : table) {
    text += format_answer_row(key.first, key.second, answer) + "\n";
  }
  EXPECT_EQ(text,
            "0x00000000 5 0xFFFFFFFF\n"
            "0x20000001 0 0x0A000001 x.txt:1\n"
            "0x20000001 4294967295 null x.txt:2 (note)\n");
  auto read = parse_answer_table(text, "x");
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(*read, table);
}

TEST(ReadAnswerTable, SaysWhyAFileCannotBeRead) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  EXPECT_EQ(read_answer_table((dir / "no-such-answers.txt").string()).error(),
            "cannot read " + (dir / "no-such-answers.txt").string() +
                ": No such file or directory");
  EXPECT_EQ(read_answer_table(dir.string()).error(),
            "cannot read " + dir.string() + ": Is a directory");

  std::string path = (dir / "answers-XXXXXX").string();
  const int fd = ::mkstemp(path.data());
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path) << "0x20000001 88 0x0A000262 here\n";
  auto table = read_answer_table(path);
  std::filesystem::remove(path);
  ASSERT_TRUE(table) << table.error();
  EXPECT_EQ(table->at({0x20000001, 88}), (Answer{0x0A000262, "here"}));
}

TEST(QuoteForMessage, EscapesAndCuts) {
  EXPECT_EQ(quote_for_message("abc"), "\"abc\"");
  EXPECT_EQ(quote_for_message("a\"b\\c\n\xFF"), "\"a\\x22b\\x5Cc\\x0A\\xFF\"");
  EXPECT_EQ(quote_for_message(std::string(41, 'x')),
            "\"" + std::string(40, 'x') + "\"...");
}

}  // namespace
}  // namespace gt_standin
