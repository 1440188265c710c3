#include "runner/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace parity {
namespace {

std::expected<Options, std::string> parse(std::vector<std::string> args) {
  args.insert(args.begin(), "resolve_sound_parity");
  return parse_options(args);
}

TEST(ParseOptions, ErrorsNameTheOptionVerbatim) {
  struct Row {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Row> rows = {
      {{"--bogus"}, "Unrecognized option: 'bogus'"},
      {{"-x"}, "Unrecognized option: 'x'"},
      {{"-q\xC3\xA9"}, "Unrecognized option: '\xC3\xA9'"},
      {{"--skip"}, "Argument to option 'skip' missing"},
      {{"--logfile"}, "Argument to option 'logfile' missing"},
      {{"-Z"}, "Argument to option 'Z' missing"},
      {{"--exact", "--exact"}, "Option 'exact' given more than once"},
      {{"--test-threads", "2", "--test-threads=3"},
       "Option 'test-threads' given more than once"},
      {{"--list=yes"}, "Option 'list' does not take an argument"},
      {{"--include-ignored", "--ignored"},
       "the options --include-ignored and --ignored are mutually exclusive"},
      {{"--test-threads", "two"},
       "argument for --test-threads must be a number > 0 (error: invalid "
       "digit)"},
      {{"--test-threads="},
       "argument for --test-threads must be a number > 0 (error: empty "
       "string)"},
      {{"--test-threads", "-1"},
       "argument for --test-threads must be a number > 0 (error: invalid "
       "digit)"},
      {{"--test-threads", "99999999999999999999999"},
       "argument for --test-threads must be a number > 0 (error: number too "
       "large)"},
      {{"--test-threads", "0"}, "argument for --test-threads must not be 0"},
      {{"--color", "sometimes"},
       "argument for --color must be auto, always, or never (was sometimes)"},
      {{"--format", "xml"},
       "argument for --format must be pretty, terse, json or junit (was "
       "xml)"},
      {{"--format", "json"},
       "option 'format' with value 'json' is experimental and not supported "
       "by this program"},
      {{"--format=junit"},
       "option 'format' with value 'junit' is experimental and not "
       "supported by this program"},
      {{"-Z", "unstable-options"},
       "option 'Z' is experimental and not supported by this program"},
      {{"--exact", "--shuffle", "--fail-fast"},
       "option 'shuffle' is experimental and not supported by this program"},
      {{"--shuffle-seed", "7"},
       "option 'shuffle-seed' is experimental and not supported by this "
       "program"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    auto options = parse(row.args);
    ASSERT_FALSE(options.has_value());
    EXPECT_EQ(options.error(), row.message);
  }
  for (std::string experimental :
       {"fail-fast", "report-time", "ensure-time", "exclude-should-panic",
        "force-run-in-process"}) {
    SCOPED_TRACE(experimental);
    auto options = parse({"--" + experimental});
    ASSERT_FALSE(options.has_value());
    EXPECT_EQ(options.error(), "option '" + experimental +
                                   "' is experimental and not supported by "
                                   "this program");
  }
}

TEST(ParseOptions, ReadsEveryAcceptedForm) {
  auto options =
      parse({"golden", "--skip", "js_", "--skip=full", "--exact", "--list",
             "--include-ignored", "--test", "--bench", "--test-threads=4",
             "--nocapture", "--show-output", "--color", "never", "--logfile",
             "run.log", "-q", "--", "--list"});
  ASSERT_TRUE(options.has_value()) << options.error();
  EXPECT_FALSE(options->help);
  EXPECT_EQ(options->filters, (std::vector<std::string>{"golden", "--list"}));
  EXPECT_EQ(options->skip, (std::vector<std::string>{"js_", "full"}));
  EXPECT_TRUE(options->exact);
  EXPECT_TRUE(options->list);
  EXPECT_EQ(options->ignored, IgnoredMode::kInclude);
  EXPECT_TRUE(options->test);
  EXPECT_TRUE(options->bench);
  EXPECT_EQ(options->test_threads, 4u);
  EXPECT_TRUE(options->no_capture);
  EXPECT_TRUE(options->show_output);
  EXPECT_EQ(options->format, Format::kTerse);
  EXPECT_EQ(options->colour, ColourChoice::kNever);
  EXPECT_EQ(options->logfile, "run.log");
}

TEST(ParseOptions, FormatAndShortFlagsCombine) {
  struct Row {
    std::vector<std::string> args;
    Format format;
    bool help;
  };
  const std::vector<Row> rows = {
      {{"--quiet"}, Format::kTerse, false},
      {{"-q", "--format", "pretty"}, Format::kPretty, false},
      {{"--format", "terse"}, Format::kTerse, false},
      {{"-qh"}, Format::kPretty, true},
      // Help wins over values that would be refused.
      {{"--help", "--test-threads", "0", "--shuffle"}, Format::kPretty, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    auto options = parse(row.args);
    ASSERT_TRUE(options.has_value()) << options.error();
    EXPECT_EQ(options->help, row.help);
    if (!row.help) {
      EXPECT_EQ(options->format, row.format);
    }
  }
  auto only = parse({"--ignored", "-", "--no-capture"});
  ASSERT_TRUE(only.has_value());
  EXPECT_EQ(only->ignored, IgnoredMode::kOnly);
  EXPECT_EQ(only->filters, std::vector<std::string>{"-"});
  EXPECT_TRUE(only->no_capture);
}

TEST(HelpText, OpensWithTheUsageLineAndHidesNocapture) {
  std::string help = help_text("./resolve_sound_parity");
  EXPECT_TRUE(help.starts_with(
      "Usage: ./resolve_sound_parity [OPTIONS] [FILTERS...]\n"))
      << help;
  EXPECT_NE(help.find("--no-capture"), std::string::npos);
  EXPECT_EQ(help.find("--nocapture"), std::string::npos);
}

}  // namespace
}  // namespace parity
