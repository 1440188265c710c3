#include "runner/options.h"

#include <array>
#include <charconv>
#include <initializer_list>
#include <system_error>
#include <utility>

#include "runner/utf8.h"

namespace parity {
namespace {

enum class Id {
  kHelp,
  kList,
  kExact,
  kSkip,
  kIncludeIgnored,
  kIgnored,
  kTest,
  kBench,
  kTestThreads,
  kNoCapture,
  kNocapture,
  kShowOutput,
  kQuiet,
  kFormat,
  kColor,
  kLogfile,
  kUnstable,
  kFailFast,
  kShuffle,
  kShuffleSeed,
  kReportTime,
  kEnsureTime,
  kExcludeShouldPanic,
  kForceRunInProcess,
  kCount,
};

struct OptionInfo {
  Id id;
  std::string_view long_name;  // empty for a short-only option
  char short_name;             // '\0' for a long-only option
  bool takes_value;
  bool repeatable;
  bool experimental;
};

constexpr std::array<OptionInfo, static_cast<std::size_t>(Id::kCount)>
    kOptions = {{
        {Id::kHelp, "help", 'h', false, false, false},
        {Id::kList, "list", '\0', false, false, false},
        {Id::kExact, "exact", '\0', false, false, false},
        {Id::kSkip, "skip", '\0', true, true, false},
        {Id::kIncludeIgnored, "include-ignored", '\0', false, false, false},
        {Id::kIgnored, "ignored", '\0', false, false, false},
        {Id::kTest, "test", '\0', false, false, false},
        {Id::kBench, "bench", '\0', false, false, false},
        {Id::kTestThreads, "test-threads", '\0', true, false, false},
        {Id::kNoCapture, "no-capture", '\0', false, false, false},
        {Id::kNocapture, "nocapture", '\0', false, false, false},
        {Id::kShowOutput, "show-output", '\0', false, false, false},
        {Id::kQuiet, "quiet", 'q', false, false, false},
        {Id::kFormat, "format", '\0', true, false, false},
        {Id::kColor, "color", '\0', true, false, false},
        {Id::kLogfile, "logfile", '\0', true, false, false},
        {Id::kUnstable, "", 'Z', true, true, true},
        {Id::kFailFast, "fail-fast", '\0', false, false, true},
        {Id::kShuffle, "shuffle", '\0', false, false, true},
        {Id::kShuffleSeed, "shuffle-seed", '\0', true, false, true},
        {Id::kReportTime, "report-time", '\0', false, false, true},
        {Id::kEnsureTime, "ensure-time", '\0', false, false, true},
        {Id::kExcludeShouldPanic, "exclude-should-panic", '\0', false, false,
         true},
        {Id::kForceRunInProcess, "force-run-in-process", '\0', false, false,
         true},
    }};

const OptionInfo* find_long(std::string_view name) {
  for (const OptionInfo& info : kOptions) {
    if (!info.long_name.empty() && info.long_name == name) return &info;
  }
  return nullptr;
}

const OptionInfo* find_short(char name) {
  for (const OptionInfo& info : kOptions) {
    if (info.short_name != '\0' && info.short_name == name) return &info;
  }
  return nullptr;
}

// The error for an option this program recognises but does not support.
std::string refusal(std::string_view what) {
  return std::string(what) +
         " is experimental and not supported by this program";
}

// The value that `text` names among `choices`, or nothing.
template <typename T>
std::optional<T> choose(
    std::string_view text,
    std::initializer_list<std::pair<std::string_view, T>> choices) {
  for (const auto& [name, value] : choices) {
    if (name == text) return value;
  }
  return std::nullopt;
}

// What one pass over the arguments found, before any value is checked.
struct Occurrences {
  std::array<std::vector<std::string>, kOptions.size()> values;
  std::array<bool, kOptions.size()> given = {};
  std::optional<std::string> first_experimental;  // as the user wrote it
  std::vector<std::string> filters;

  bool has(Id id) const { return given[static_cast<std::size_t>(id)]; }
  const std::vector<std::string>& of(Id id) const {
    return values[static_cast<std::size_t>(id)];
  }
};

class Scanner {
 public:
  explicit Scanner(std::span<const std::string> args) : args_(args) {}

  std::expected<Occurrences, std::string> scan() {
    bool options_ended = false;
    // Invariant: args_[0, next_) have been consumed; each step consumes at
    // least one argument.
    while (next_ < args_.size()) {
      const std::string& arg = args_[next_++];
      if (options_ended || arg == "-" || !arg.starts_with('-')) {
        found_.filters.push_back(arg);
      } else if (arg == "--") {
        options_ended = true;
      } else if (arg.starts_with("--")) {
        if (auto error = long_option(std::string_view(arg).substr(2))) {
          return std::unexpected(*error);
        }
      } else if (auto error = short_options(std::string_view(arg).substr(1))) {
        return std::unexpected(*error);
      }
    }
    return std::move(found_);
  }

 private:
  // "--name" or "--name=value".
  std::optional<std::string> long_option(std::string_view body) {
    std::size_t equals = body.find('=');
    std::string name(body.substr(0, equals));
    const OptionInfo* info = find_long(name);
    if (info == nullptr) return "Unrecognized option: '" + name + "'";
    std::optional<std::string> value;
    if (equals != std::string_view::npos) {
      if (!info->takes_value) {
        return "Option '" + name + "' does not take an argument";
      }
      value = std::string(body.substr(equals + 1));
    }
    return record(*info, name, std::move(value));
  }

  // "-abc": flags grouped; an option with a value takes the rest of the
  // argument, or the next argument when nothing is left.
  std::optional<std::string> short_options(std::string_view body) {
    for (std::size_t i = 0; i < body.size(); ++i) {
      const OptionInfo* info = find_short(body[i]);
      if (info == nullptr) {
        return "Unrecognized option: '" + std::string(character_at(body, i)) +
               "'";
      }
      std::string name(1, body[i]);
      if (info->takes_value && i + 1 < body.size()) {
        return record(*info, name, std::string(body.substr(i + 1)));
      }
      if (auto error = record(*info, name, std::nullopt)) return error;
    }
    return std::nullopt;
  }

  // Stores one occurrence; takes the next argument as the value when the
  // option needs one and `value` is empty.
  std::optional<std::string> record(const OptionInfo& info,
                                    const std::string& name,
                                    std::optional<std::string> value) {
    auto index = static_cast<std::size_t>(info.id);
    if (info.takes_value && !value) {
      if (next_ >= args_.size()) {
        return "Argument to option '" + name + "' missing";
      }
      value = args_[next_++];
    }
    if (found_.given[index] && !info.repeatable) {
      return "Option '" + name + "' given more than once";
    }
    found_.given[index] = true;
    if (value) found_.values[index].push_back(std::move(*value));
    if (info.experimental && !found_.first_experimental) {
      found_.first_experimental = name;
    }
    return std::nullopt;
  }

  // The whole UTF-8 character that starts at text[at], so an error never
  // names half a character.
  static std::string_view character_at(std::string_view text, std::size_t at) {
    std::size_t end = at + 1;
    while (!is_char_boundary(text, end)) ++end;
    return text.substr(at, end - at);
  }

  std::span<const std::string> args_;
  std::size_t next_ = 1;  // args_[0] is the program path
  Occurrences found_;
};

std::expected<std::size_t, std::string> parse_thread_count(
    std::string_view text) {
  auto count = parse_count(text);
  if (count) return *count;
  std::string_view reason;
  switch (count.error()) {
    case CountError::kZero:
      return std::unexpected("argument for --test-threads must not be 0");
    case CountError::kEmpty:
      reason = "empty string";
      break;
    case CountError::kInvalidDigit:
      reason = "invalid digit";
      break;
    case CountError::kTooLarge:
      reason = "number too large";
      break;
  }
  return std::unexpected(
      "argument for --test-threads must be a number > 0 (error: " +
      std::string(reason) + ")");
}

}  // namespace

std::expected<Options, std::string> parse_options(
    std::span<const std::string> args) {
  auto scanned = Scanner(args).scan();
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  const Occurrences& found = *scanned;

  Options options;
  if (found.has(Id::kHelp)) {
    options.help = true;
    return options;
  }
  if (found.first_experimental) {
    return std::unexpected(
        refusal("option '" + *found.first_experimental + "'"));
  }
  if (found.has(Id::kIncludeIgnored) && found.has(Id::kIgnored)) {
    return std::unexpected(
        "the options --include-ignored and --ignored are mutually exclusive");
  }
  if (found.has(Id::kTestThreads)) {
    auto count = parse_thread_count(found.of(Id::kTestThreads).front());
    if (!count) return std::unexpected(std::move(count.error()));
    options.test_threads = *count;
  }
  if (found.has(Id::kColor)) {
    const std::string& value = found.of(Id::kColor).front();
    auto colour =
        choose<ColourChoice>(value, {{"auto", ColourChoice::kAuto},
                                     {"always", ColourChoice::kAlways},
                                     {"never", ColourChoice::kNever}});
    if (!colour) {
      return std::unexpected(
          "argument for --color must be auto, always, or never (was " + value +
          ")");
    }
    options.colour = *colour;
  }
  if (found.has(Id::kQuiet)) options.format = Format::kTerse;
  if (found.has(Id::kFormat)) {
    const std::string& value = found.of(Id::kFormat).front();
    if (value == "json" || value == "junit") {
      return std::unexpected(
          refusal("option 'format' with value '" + value + "'"));
    }
    auto format = choose<Format>(
        value, {{"pretty", Format::kPretty}, {"terse", Format::kTerse}});
    if (!format) {
      return std::unexpected(
          "argument for --format must be pretty, terse, json or junit (was " +
          value + ")");
    }
    options.format = *format;
  }

  options.filters = found.filters;
  options.skip = found.of(Id::kSkip);
  options.exact = found.has(Id::kExact);
  options.list = found.has(Id::kList);
  if (found.has(Id::kIncludeIgnored)) options.ignored = IgnoredMode::kInclude;
  if (found.has(Id::kIgnored)) options.ignored = IgnoredMode::kOnly;
  options.test = found.has(Id::kTest);
  options.bench = found.has(Id::kBench);
  options.no_capture = found.has(Id::kNoCapture) || found.has(Id::kNocapture);
  options.show_output = found.has(Id::kShowOutput);
  if (found.has(Id::kLogfile)) options.logfile = found.of(Id::kLogfile).front();
  return options;
}

std::expected<std::size_t, CountError> parse_count(std::string_view text) {
  if (text.empty()) return std::unexpected(CountError::kEmpty);
  std::size_t count = 0;
  const char* last = text.data() + text.size();
  auto [end, error] = std::from_chars(text.data(), last, count);
  if (error == std::errc::result_out_of_range) {
    return std::unexpected(CountError::kTooLarge);
  }
  if (error != std::errc() || end != last) {
    return std::unexpected(CountError::kInvalidDigit);
  }
  if (count == 0) return std::unexpected(CountError::kZero);
  return count;
}

std::string help_text(std::string_view program) {
  std::string text =
      "Usage: " + std::string(program) + " [OPTIONS] [FILTERS...]\n";
  text += R"(
Runs the program's parity cases, each on a thread of its own, and prints one
result line per case and a summary. Exits with status 0 when no case failed,
101 otherwise.

Options:
    -h, --help          Print this text and run nothing.
        --list          Print the names of the selected cases instead of
                        running them.
        --exact         A filter or skip filter must equal a case name
                        instead of occurring in it.
        --skip FILTER   Leave out the cases that FILTER matches. May be
                        given several times.
        --include-ignored
                        Run the ignored cases too.
        --ignored       Run only the ignored cases.
        --test          Run the cases (what happens anyway).
        --bench         Run benchmarks; this program has none, so every
                        selected case is reported as ignored unless --test
                        is given as well.
        --test-threads N
                        Run at most N cases at the same time (N > 0).
        --no-capture    Let the cases print straight to the terminal
                        instead of keeping their output.
        --show-output   Also print the kept output of the cases that
                        passed.
    -q, --quiet         Short for --format terse.
        --format pretty|terse
                        pretty: one line per case (the default); terse: one
                        character per case and a line per failure.
        --color auto|always|never
                        Colour the results: auto colours when standard
                        output is a terminal and output is kept.
        --logfile PATH  Also write one line per finished case to PATH
                        (deprecated).

Filters: with none, every case is selected. A case is selected when its name
contains one of the filters, or equals one of them with --exact.

Thread count: taken from --test-threads, else from the environment variable
PARITY_TEST_THREADS (a positive integer), else the number of processors.
Setting PARITY_NOCAPTURE to anything but 0 has the effect of --no-capture.

Output: what a case prints is kept and shown only when the case fails, or
with --show-output. A failing case's output ends with where and why it
failed.

Not supported: -Z, --fail-fast, --shuffle, --shuffle-seed, --report-time,
--ensure-time, --exclude-should-panic, --force-run-in-process and the json
and junit formats are recognised but refused.
)";
  return text;
}

}  // namespace parity
