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
  EXPECT_EQ(cat.error(), "cat: unexpected argument '--help'");
}

}  // namespace
}  // namespace ostrand_dat::tool
