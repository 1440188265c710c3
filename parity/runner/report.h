// The runner's report: announce line, one result per case (pretty or terse),
// slow-case lines, the successes and failures sections and the summary; the
// case list; and the log file. Used on the runner's main thread only.

#ifndef PARITY_RUNNER_REPORT_H_
#define PARITY_RUNNER_REPORT_H_

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runner/options.h"

namespace parity {

// Where text goes. Returns the error text when a write fails.
using Sink = std::function<std::expected<void, std::string>(std::string_view)>;

// A sink over a file descriptor: every call is one unbuffered whole write.
Sink fd_sink(int fd);

enum class Result { kPassed, kFailed, kIgnored };

// A case whose result is known, with what it printed while captured.
struct Finished {
  std::string_view name;
  std::string captured;
};

struct Counts {
  std::size_t passed = 0;
  std::size_t failed = 0;
  std::size_t ignored = 0;
  std::size_t filtered_out = 0;
};

// Writes the report to `out`. The first failed write sticks: later writes
// are dropped and error() holds it, so the caller checks after each step.
class Reporter {
 public:
  // `selected` is the number of cases the run reports; `one_at_a_time`
  // says cases run one after another, so a pretty line opens when its case
  // starts.
  Reporter(Sink out, Format format, bool colour, std::size_t selected,
           bool one_at_a_time);

  // List mode: "NAME: test" lines and, in pretty format, the count line.
  void list(std::span<const std::string_view> names);

  void run_start();
  void case_start(std::string_view name);
  // `ignore_reason` is shown after an ignored result, when not empty.
  void case_result(std::string_view name, Result result,
                   std::string_view ignore_reason);
  void slow_case(std::string_view name, std::chrono::seconds threshold);
  // `successes` is shown only when not null; both in order of completion.
  void run_finish(const Counts& counts, const std::vector<Finished>* successes,
                  const std::vector<Finished>& failures,
                  std::chrono::steady_clock::duration elapsed);

  const std::optional<std::string>& error() const { return error_; }

 private:
  void write(std::string_view text);
  void write_word(std::string_view word, std::string_view colour);
  void terse_mark(std::string_view mark, std::string_view colour);
  void terse_progress();
  void section(std::string_view title, const std::vector<Finished>& cases);

  Sink out_;
  Format format_;
  bool colour_;
  std::size_t selected_;
  bool one_at_a_time_;
  std::size_t reported_ = 0;  // terse: results written so far
  std::size_t column_ = 0;    // terse: result marks on the current line
  std::optional<std::string> error_;
};

// "N.NNs": seconds with two decimals.
std::string format_seconds(std::chrono::steady_clock::duration elapsed);

// The log file: one "ok NAME", "failed NAME" or "ignored NAME" line per
// finished case, flushed at once. Move-only; owns the open file.
class LogFile {
 public:
  // Creates or truncates `path`.
  static std::expected<LogFile, std::string> create(const std::string& path);

  LogFile(LogFile&& other) noexcept;
  LogFile& operator=(LogFile&&) = delete;
  ~LogFile();

  std::expected<void, std::string> add(Result result, std::string_view name);
  // Closes the file; reports what the system says about the last writes.
  std::expected<void, std::string> close();

 private:
  LogFile(std::FILE* file, std::string path)
      : file_(file), path_(std::move(path)) {}
  std::string failure(std::string_view what) const;

  std::FILE* file_;
  std::string path_;
};

}  // namespace parity

#endif  // PARITY_RUNNER_REPORT_H_
