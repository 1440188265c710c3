// The runner's command line: options, filters and the help text.

#ifndef PARITY_RUNNER_OPTIONS_H_
#define PARITY_RUNNER_OPTIONS_H_

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace parity {

enum class IgnoredMode { kSkip, kInclude, kOnly };
enum class Format { kPretty, kTerse };
enum class ColourChoice { kAuto, kAlways, kNever };

// Run settings as the command line gives them; what the environment adds
// (thread count, capture) is settled by the runner.
struct Options {
  bool help = false;
  std::vector<std::string> filters;
  std::vector<std::string> skip;
  bool exact = false;
  bool list = false;
  IgnoredMode ignored = IgnoredMode::kSkip;
  bool test = false;
  bool bench = false;
  std::optional<std::size_t> test_threads;
  bool no_capture = false;
  bool show_output = false;
  Format format = Format::kPretty;
  ColourChoice colour = ColourChoice::kAuto;
  std::optional<std::string> logfile;
};

// Parses `args` (args[0], the program path, is skipped). On an error
// returns the message to print after "error: ". An option is named without
// its dashes. With -h or --help the rest of the line is not checked further.
std::expected<Options, std::string> parse_options(
    std::span<const std::string> args);

// Why a count such as a thread count was refused.
enum class CountError { kEmpty, kInvalidDigit, kTooLarge, kZero };

// Parses a positive decimal count: digits only, no sign or spaces.
std::expected<std::size_t, CountError> parse_count(std::string_view text);

// The full help: usage line for `program`, option table, paragraphs.
std::string help_text(std::string_view program);

}  // namespace parity

#endif  // PARITY_RUNNER_OPTIONS_H_
