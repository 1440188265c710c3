// The case runner: parses the command line, selects cases by name, runs
// each on a thread of its own with its printed output captured, reports,
// and returns the exit status. It knows no particular case.

#ifndef PARITY_RUNNER_RUNNER_H_
#define PARITY_RUNNER_RUNNER_H_

#include <chrono>
#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/thread.h"
#include "runner/report.h"

namespace parity {

// One entry of a case table. A case passes when `entry` returns and fails
// when it throws (CheckFailure, through fail() and the check helpers).
struct Case {
  std::string_view name;
  void (*entry)();
  bool ignored = false;
  std::string_view ignore_reason = {};
};

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 101;

// The environment variables the runner reads.
inline constexpr std::string_view kThreadsVariable = "PARITY_TEST_THREADS";
inline constexpr std::string_view kNoCaptureVariable = "PARITY_NOCAPTURE";

// Starts a named thread; the errno value on failure (see spawn_thread).
using SpawnThread = std::function<std::expected<platform::Thread, int>(
    std::string name, std::function<void()> body)>;

// What the runner takes from the process. process_environment() gives the
// real one; tests replace parts of it. Every member must be set.
struct RunEnvironment {
  Sink out;  // the report
  Sink err;  // error and warning lines
  std::function<std::optional<std::string>(std::string_view)> get_env;
  bool stdout_is_terminal = false;
  std::optional<std::size_t> processors;
  // A case still running this long after it started gets a line saying so,
  // when several cases run at once.
  std::chrono::steady_clock::duration slow_threshold = std::chrono::seconds(60);
  // Measures the run for the summary's elapsed time.
  std::function<std::chrono::steady_clock::time_point()> now;
  SpawnThread spawn;
};

RunEnvironment process_environment();

// Runs the whole command line (args[0] is the program path, may be absent)
// over `cases` and returns the exit status: 0, or 101 when a case failed or
// the run could not be carried out.
int run_cases(std::span<const Case> cases, std::span<const std::string> args,
              const RunEnvironment& environment);
int run_cases(std::span<const Case> cases, std::span<const std::string> args);

}  // namespace parity

#endif  // PARITY_RUNNER_RUNNER_H_
