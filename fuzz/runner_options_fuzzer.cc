// Any command line for the case runner: the input split at NUL bytes gives
// the arguments after the program path. Parsing either yields settings made
// of the arguments given, or one of the runner's documented error messages.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "runner/options.h"

namespace {

using ostrand_fuzz::check;

// The messages a command-line error may start with; everything after the
// prefix names what the user wrote.
constexpr std::string_view kErrorPrefixes[] = {
    "Unrecognized option: '",
    "Argument to option '",
    "Option '",
    "the options --include-ignored and --ignored are mutually exclusive",
    "argument for --test-threads must be a number > 0 (error: ",
    "argument for --test-threads must not be 0",
    "argument for --color must be auto, always, or never (was ",
    "argument for --format must be pretty, terse, json or junit (was ",
    "option '",  // an experimental option, refused
};

bool contains(const std::vector<std::string>& args, const std::string& value) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i].find(value) != std::string::npos) return true;
  }
  return false;
}

// A count is accepted exactly when it is decimal digits naming a value
// above 0, and it reads back as those digits without leading zeros.
void check_count(const std::string& text) {
  auto count = parity::parse_count(text);
  if (!count) return;
  check(*count > 0, "a parsed count is positive");
  const std::size_t first = text.find_first_not_of('0');
  check(first != std::string::npos && std::to_string(*count) == text.substr(first),
        "a parsed count is the decimal number written");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::vector<std::string> args{"resolve_sound_parity"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0) args.push_back(std::move(current));

  for (std::size_t i = 1; i < args.size(); ++i) check_count(args[i]);

  auto options = parity::parse_options(args);
  if (!options) {
    const std::string& message = options.error();
    bool known = false;
    for (std::string_view prefix : kErrorPrefixes) known |= message.starts_with(prefix);
    check(known, "a command-line error is one of the documented messages");
    return 0;
  }
  if (options->help) {
    const std::string help = parity::help_text(args[0]);
    check(help.starts_with("Usage: resolve_sound_parity [OPTIONS] [FILTERS...]\n"),
          "the help starts with the usage line");
    return 0;
  }
  check(options->filters.size() + options->skip.size() < args.size(),
        "each filter and skip filter is one argument");
  for (const auto& filter : options->filters) {
    check(contains(args, filter), "a filter is an argument as given");
  }
  for (const auto& skip : options->skip) {
    check(contains(args, skip), "a skip filter is an argument's value");
  }
  if (options->test_threads) {
    check(*options->test_threads > 0, "a thread count is positive");
  }
  if (options->logfile) {
    check(contains(args, *options->logfile), "the log file is an argument's value");
  }
  return 0;
}
