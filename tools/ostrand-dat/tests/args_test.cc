#include "args.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tool_test_support.h"

namespace ostrand_dat::tool {
namespace {

TEST(ParseU32, AcceptsDecimalAndPrefixedHexOnly) {
  const struct {
    std::string_view text;
    std::optional<std::uint32_t> value;
  } cases[] = {
      {"0", 0},
      {"007", 7},
      {"4294967295", 4294967295u},
      {"0Xff", 0xFF},
      {"0x0A000123", 0x0A000123u},
      {"4294967296", {}},
      {"0x100000000", {}},
      {"", {}},
      {"0x", {}},
      {"-1", {}},
      {"+1", {}},
      {" 1", {}},
      {"1 ", {}},
      {"12a", {}},
      {"ff", {}},
      {"0x-1", {}},
      {"0x0x1", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(parse_u32(c.text), c.value);
  }
}

TEST(ParseArgs, OptionsStandAnywhereUntilDoubleDash) {
  const std::vector<std::string_view> args{"pack", "--", "--out",
                                           "--block-size=7", "1=x=y"};
  auto pack = parse_args(args);
  ASSERT_FALSE(pack);  // after "--" the option is an ID=FILE, and a bad one
  EXPECT_EQ(pack.error(),
            "pack: invalid ID '--block-size' in '--block-size=7': not a "
            "decimal or 0x-prefixed hexadecimal u32");

  const std::vector<std::string_view> cat_args{"cat",   "a",  "1",
                                               "--raw", "--", "--help"};
  auto cat = parse_args(cat_args);
  ASSERT_FALSE(cat);  // "--help" after "--" asks for no help
  EXPECT_EQ(cat.error(),
            "cat: invalid ID '--help': not an id (decimal or 0x-prefixed "
            "hexadecimal u32), a range FIRST-LAST or a pattern 0xHHHH*");
}

TEST(ParseSelector, IdsRangesAndPrefixPatterns) {
  const struct {
    std::string_view text;
    std::optional<IdSelector> selector;
  } cases[] = {
      {"0x0A000001", IdSelector{0x0A000001, 0x0A000001, true, "0x0A000001"}},
      {"7", IdSelector{7, 7, true, "7"}},
      {"0x20000000-0x2000FFFF",
       IdSelector{0x20000000, 0x2000FFFF, false, "0x20000000-0x2000FFFF"}},
      {"5-5", IdSelector{5, 5, false, "5-5"}},
      {"0x2000*", IdSelector{0x20000000, 0x2000FFFF, false, "0x2000*"}},
      {"0xa*", IdSelector{0xA0000000, 0xAFFFFFFF, false, "0xa*"}},
      {"0x*", IdSelector{0, 0xFFFFFFFF, false, "0x*"}},
      {"0x0A000001*", IdSelector{0x0A000001, 0x0A000001, false, "0x0A000001*"}},
      {"0x0A0000012*", {}},
      {"0x20*0", {}},
      {"20*", {}},
      {"6-5", {}},
      {"-5", {}},
      {"5-", {}},
      {"0x1-0x100000000", {}},
      {"0xg*", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(parse_selector(c.text), c.selector);
  }
}

TEST(ParseArgs, QuietAndVerboseStandBeforeOrAfterTheCommand) {
  const struct {
    std::vector<std::string_view> args;
    Verbosity verbosity;
  } cases[] = {
      {{"ls", "a"}, {false, false}},
      {{"-q", "ls", "a"}, {true, false}},
      {{"ls", "a", "--verbose"}, {false, true}},
      {{"--quiet", "-v", "ls", "a"}, {true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.size());
    auto parsed = parse_args(c.args);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->verbosity.quiet, c.verbosity.quiet);
    EXPECT_EQ(parsed->verbosity.verbose, c.verbosity.verbose);
  }
  const std::vector<std::string_view> after_dashes{"ls", "--", "a", "-v"};
  EXPECT_FALSE(parse_args(after_dashes));  // "-v" is then an ID
}

// The option names a help text lists: the leading words of its lines that
// start "  -" ("  -l, --long  ...", "  -C DIR  ..."), each up to an '='.
std::set<std::string> help_options(std::string_view help) {
  std::set<std::string> names;
  std::istringstream lines{std::string(help)};
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("  -")) continue;
    std::istringstream words(line);
    for (std::string word; words >> word && word.starts_with('-');) {
      names.insert(word.substr(0, word.find_first_of(",=")));
    }
  }
  return names;
}

// The options a manual page documents, by section: a command's ".SS NAME"
// under COMMANDS, and "" for OPTIONS. An option is a word of a .TP tag that
// starts with '-', once roff's font changes and escapes are taken out.
std::map<std::string, std::set<std::string>> man_page_options(
    const std::string& page) {
  std::map<std::string, std::set<std::string>> sections;
  std::string heading;                       // of the .SH we are in
  std::set<std::string>* section = nullptr;  // null outside those sections
  bool tag = false;                          // the line after a .TP
  std::istringstream lines(page);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(".SH ")) {
      heading = line.substr(4);
      section = heading == "OPTIONS" ? &sections[""] : nullptr;
    } else if (line.starts_with(".SS ")) {
      section = heading == "COMMANDS" ? &sections[line.substr(4)] : nullptr;
    } else if (tag && section != nullptr) {
      // A macro's name, font changes ("\fB") and quotes go; "\-" is '-'.
      static const std::regex kRoff(R"(^\.[A-Z]+ |\\f.|")");
      std::istringstream words(std::regex_replace(
          std::regex_replace(line, kRoff, " "), std::regex(R"(\\-)"), "-"));
      for (std::string word; words >> word;) {
        if (word[0] != '-') continue;
        section->insert(word.substr(0, word.find_first_of(",=[")));
      }
    }
    tag = line == ".TP";
  }
  return sections;
}

TEST(ManPage, DocumentsEveryCommandWithTheOptionsOfItsHelp) {
  std::ifstream file(OSTRAND_DAT_MAN_PAGE);
  ASSERT_TRUE(file) << OSTRAND_DAT_MAN_PAGE;
  std::ostringstream page;
  page << file.rdbuf();
  auto sections = man_page_options(page.str());

  std::set<std::string> documented, commands;
  for (const auto& [name, options] : sections) documented.insert(name);
  documented.erase("");
  for (std::string_view name : command_names()) {
    SCOPED_TRACE(name);
    commands.insert(std::string(name));
    const std::vector<std::string_view> table = command_options(name);
    const std::set<std::string> options(table.begin(), table.end());
    if (name != "help") {  // whose help is the usage
      EXPECT_EQ(help_options(command_help(name)), options);
    }
    EXPECT_EQ(sections[std::string(name)], options);
  }
  EXPECT_EQ(documented, commands);
  EXPECT_EQ(sections[""], help_options(usage_text()));
}

TEST(ManPage, RendersWithoutWarnings) {
  if (::access("/usr/bin/groff", X_OK) != 0) GTEST_SKIP() << "no groff";
  const testing::ToolRun r = testing::run_program(
      {"/usr/bin/groff", "-man", "-Tutf8", "-ww", "-z", OSTRAND_DAT_MAN_PAGE},
      std::filesystem::temp_directory_path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace ostrand_dat::tool
