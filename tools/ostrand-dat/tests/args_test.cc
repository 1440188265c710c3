#include "args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace ostrand_dat::tool
