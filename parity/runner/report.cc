#include "runner/report.h"

#include <algorithm>
#include <cerrno>

#include "platform/terminal.h"
#include "runner/utf8.h"

namespace parity {
namespace {

constexpr std::string_view kGreen = "\x1b[32m";
constexpr std::string_view kRed = "\x1b[31m";
constexpr std::string_view kYellow = "\x1b[33m";
constexpr std::string_view kReset = "\x1b[0m";

// A terse line holds at most this many result marks before its progress.
constexpr std::size_t kTerseLineMarks = 87;

std::string plural_tests(std::size_t count) {
  return std::to_string(count) + (count == 1 ? " test" : " tests");
}

}  // namespace

Sink fd_sink(int fd) {
  return [fd](std::string_view text) -> std::expected<void, std::string> {
    auto written = platform::write_all(fd, text);
    if (!written) return std::unexpected(platform::error_text(written.error()));
    return {};
  };
}

Reporter::Reporter(Sink out, Format format, bool colour, std::size_t selected,
                   bool one_at_a_time)
    : out_(std::move(out)),
      format_(format),
      colour_(colour),
      selected_(selected),
      one_at_a_time_(one_at_a_time) {}

void Reporter::write(std::string_view text) {
  if (error_) return;
  auto written = out_(text);
  if (!written) error_ = std::move(written.error());
}

void Reporter::write_word(std::string_view word, std::string_view colour) {
  if (!colour_) return write(word);
  write(std::string(colour) + std::string(word) + std::string(kReset));
}

void Reporter::list(std::span<const std::string_view> names) {
  for (std::string_view name : names) write(std::string(name) + ": test\n");
  if (format_ == Format::kTerse) return;
  if (!names.empty()) write("\n");
  write(plural_tests(names.size()) + ", 0 benchmarks\n");
}

void Reporter::run_start() {
  write("\nrunning " + plural_tests(selected_) + "\n");
}

void Reporter::case_start(std::string_view name) {
  if (format_ == Format::kPretty && one_at_a_time_) {
    write("test " + std::string(name) + " ... ");
  }
}

void Reporter::case_result(std::string_view name, Result result,
                           std::string_view ignore_reason) {
  if (format_ == Format::kTerse) {
    switch (result) {
      case Result::kPassed:
        return terse_mark(".", kGreen);
      case Result::kIgnored:
        return terse_mark("i", kYellow);
      case Result::kFailed:
        // A failure gets a line of its own, after the progress of any
        // marks already on the current line.
        if (column_ > 0) terse_progress();
        ++reported_;
        write(std::string(name) + " --- ");
        write_word("FAILED", kRed);
        return write("\n");
    }
  }
  if (!one_at_a_time_) write("test " + std::string(name) + " ... ");
  switch (result) {
    case Result::kPassed:
      write_word("ok", kGreen);
      break;
    case Result::kFailed:
      write_word("FAILED", kRed);
      break;
    case Result::kIgnored:
      write_word(ignore_reason.empty()
                     ? std::string("ignored")
                     : "ignored, " + std::string(ignore_reason),
                 kYellow);
      break;
  }
  write("\n");
}

void Reporter::terse_mark(std::string_view mark, std::string_view colour) {
  write_word(mark, colour);
  ++reported_;
  if (++column_ == kTerseLineMarks) terse_progress();
}

void Reporter::terse_progress() {
  write(" " + std::to_string(reported_) + "/" + std::to_string(selected_) +
        "\n");
  column_ = 0;
}

void Reporter::slow_case(std::string_view name,
                         std::chrono::seconds threshold) {
  write("test " + std::string(name) + " has been running for over " +
        std::to_string(threshold.count()) + " seconds\n");
}

void Reporter::section(std::string_view title,
                       const std::vector<Finished>& cases) {
  std::string heading = "\n" + std::string(title) + ":\n";
  write(heading);
  std::string outputs;
  for (const Finished& finished : cases) {
    if (finished.captured.empty()) continue;
    outputs += "---- " + std::string(finished.name) + " stdout ----\n" +
               lossy_utf8(finished.captured) + "\n";
  }
  if (!outputs.empty()) write("\n" + outputs);
  write(heading);
  std::vector<std::string_view> names;
  for (const Finished& finished : cases) names.push_back(finished.name);
  std::ranges::sort(names);
  for (std::string_view name : names) write("    " + std::string(name) + "\n");
}

void Reporter::run_finish(const Counts& counts,
                          const std::vector<Finished>* successes,
                          const std::vector<Finished>& failures,
                          std::chrono::steady_clock::duration elapsed) {
  if (successes != nullptr) section("successes", *successes);
  if (!failures.empty()) section("failures", failures);
  write("\ntest result: ");
  if (counts.failed == 0) {
    write_word("ok", kGreen);
  } else {
    write_word("FAILED", kRed);
  }
  write(". " + std::to_string(counts.passed) + " passed; " +
        std::to_string(counts.failed) + " failed; " +
        std::to_string(counts.ignored) + " ignored; 0 measured; " +
        std::to_string(counts.filtered_out) + " filtered out; finished in " +
        format_seconds(elapsed) + "\n\n");
}

std::string format_seconds(std::chrono::steady_clock::duration elapsed) {
  auto centis =
      std::chrono::round<std::chrono::duration<long long, std::centi>>(elapsed)
          .count();
  std::string fraction = std::to_string(centis % 100);
  if (fraction.size() < 2) fraction.insert(0, "0");
  return std::to_string(centis / 100) + "." + fraction + "s";
}

std::expected<LogFile, std::string> LogFile::create(const std::string& path) {
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return std::unexpected("cannot create log file '" + path +
                           "': " + platform::error_text(errno));
  }
  return LogFile(file, path);
}

LogFile::LogFile(LogFile&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      path_(std::move(other.path_)) {}

LogFile::~LogFile() {
  // A file not closed through close() is one whose run already failed;
  // its own error was reported then.
  if (file_ != nullptr) std::fclose(file_);
}

std::string LogFile::failure(std::string_view what) const {
  return "cannot " + std::string(what) + " log file '" + path_ +
         "': " + platform::error_text(errno);
}

std::expected<void, std::string> LogFile::add(Result result,
                                              std::string_view name) {
  std::string_view word = result == Result::kPassed   ? "ok"
                          : result == Result::kFailed ? "failed"
                                                      : "ignored";
  std::string line = std::string(word) + " " + std::string(name) + "\n";
  errno = 0;
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
      std::fflush(file_) != 0) {
    return std::unexpected(failure("write"));
  }
  return {};
}

std::expected<void, std::string> LogFile::close() {
  errno = 0;
  int rc = std::fclose(std::exchange(file_, nullptr));
  if (rc != 0) return std::unexpected(failure("close"));
  return {};
}

}  // namespace parity
