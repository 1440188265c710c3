#include "runner/runner.h"

#include <algorithm>
#include <cassert>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/terminal.h"
#include "runner/check.h"
#include "runner/options.h"
#include "runner/output.h"
#include "runner/utf8.h"

namespace parity {
namespace {

using Clock = std::chrono::steady_clock;

// Linux keeps this many bytes of a thread's name.
constexpr std::size_t kThreadNameBytes = 15;

struct Completion {
  std::size_t index;  // into the case table
  Result result;
  std::string captured;
};

// Case threads push their completion; the runner's main thread pops them.
class CompletionQueue {
 public:
  void push(Completion completion) {
    {
      std::lock_guard lock(mutex_);
      completions_.push_back(std::move(completion));
    }
    ready_.notify_one();
  }

  // Waits for a completion until `deadline`, or without end when there is
  // none. Returns nothing when the deadline passed first.
  std::optional<Completion> pop(std::optional<Clock::time_point> deadline) {
    std::unique_lock lock(mutex_);
    auto ready = [this] { return !completions_.empty(); };
    if (!deadline) {
      ready_.wait(lock, ready);
    } else if (!ready_.wait_until(lock, *deadline, ready)) {
      return std::nullopt;
    }
    Completion completion = std::move(completions_.front());
    completions_.pop_front();
    return completion;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Completion> completions_;
};

std::string location(const std::source_location& where) {
  return std::string(where.file_name()) + ":" + std::to_string(where.line()) +
         ":" + std::to_string(where.column());
}

// Runs one case's entry on the calling thread, catching every exception.
// With `capture` on, what the case prints and its failure notice go to the
// completion; otherwise the notice goes to standard error.
Completion run_case(const Case& test_case, std::size_t index, bool capture) {
  assert(test_case.entry != nullptr);
  Completion completion{index, Result::kPassed, {}};
  std::string why;
  {
    std::optional<ScopedCapture> scope;
    if (capture) scope.emplace(completion.captured);
    try {
      test_case.entry();
      return completion;
    } catch (const CheckFailure& failure) {
      why =
          "failed at " + location(failure.where()) + ":\n" + failure.message();
    } catch (const std::exception& error) {
      why = "failed with an exception:\n" + std::string(error.what());
    } catch (...) {
      why = "failed with an exception not derived from std::exception";
    }
  }
  completion.result = Result::kFailed;
  std::string notice =
      "thread '" + std::string(test_case.name) + "' " + why + "\n";
  if (capture) {
    completion.captured += notice;
  } else {
    // The case is reported as failed whether or not its notice could be
    // written; there is nowhere else to say that standard error is gone.
    (void)platform::write_all(platform::kStderrFd, notice);
  }
  return completion;
}

// Ends the run: prints `line` on standard error and gives the failure
// status, which says the run failed even when standard error is gone too.
int end_run(const RunEnvironment& environment, const std::string& line) {
  (void)environment.err(line);
  return kExitFailure;
}

std::string io_error_line(std::string_view error) {
  return "error: io error when listing tests: " + std::string(error) + "\n";
}

bool matches(std::string_view name, std::string_view filter, bool exact) {
  return exact ? name == filter : name.find(filter) != std::string_view::npos;
}

bool matches_any(std::string_view name, const std::vector<std::string>& filters,
                 bool exact) {
  return std::ranges::any_of(filters, [&](const std::string& filter) {
    return matches(name, filter, exact);
  });
}

// The indices of the selected cases, in table order.
std::vector<std::size_t> select_cases(std::span<const Case> cases,
                                      const Options& options) {
  std::vector<std::size_t> selected;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& test_case = cases[i];
    if (!options.filters.empty() &&
        !matches_any(test_case.name, options.filters, options.exact)) {
      continue;
    }
    if (matches_any(test_case.name, options.skip, options.exact)) continue;
    if (options.ignored == IgnoredMode::kOnly && !test_case.ignored) continue;
    selected.push_back(i);
  }
  return selected;
}

// Settings of a run that the command line and the environment decide.
struct Plan {
  std::size_t threads = 1;
  bool capture = true;
  bool colour = false;
  bool show_output = false;
  bool run_ignored = false;  // --ignored or --include-ignored
  bool bench_only = false;   // --bench without --test: nothing runs
};

std::expected<std::size_t, std::string> thread_count(
    const Options& options, const RunEnvironment& environment) {
  if (options.test_threads) return *options.test_threads;
  if (auto value = environment.get_env(kThreadsVariable)) {
    auto count = parse_count(*value);
    if (!count) {
      return std::unexpected(
          "environment variable " + std::string(kThreadsVariable) +
          " must be a positive integer (was '" + *value + "')");
    }
    return *count;
  }
  return std::max<std::size_t>(environment.processors.value_or(1), 1);
}

// One run over the selected cases: starts them, at most plan.threads at
// once, and reports on the calling thread as they finish.
class Run {
 public:
  Run(std::span<const Case> cases, std::vector<std::size_t> selected,
      std::size_t filtered_out, const Plan& plan, Format format,
      std::optional<LogFile> log, const RunEnvironment& environment)
      : cases_(cases),
        selected_(std::move(selected)),
        plan_(plan),
        environment_(environment),
        reporter_(environment.out, format, plan.colour, selected_.size(),
                  plan.threads == 1),
        log_(std::move(log)) {
    counts_.filtered_out = filtered_out;
  }

  int execute();

 private:
  struct Running {
    std::size_t index;
    Clock::time_point started;
    bool warned;
    platform::Thread thread;
  };

  bool reported_ignored(const Case& test_case) const {
    return plan_.bench_only || (test_case.ignored && !plan_.run_ignored);
  }
  std::optional<std::string> start(std::size_t index);
  void finish(Completion completion);
  std::optional<Clock::time_point> next_slow_deadline() const;
  void report_slow_cases();
  std::optional<int> output_failure();

  std::span<const Case> cases_;
  std::vector<std::size_t> selected_;
  Plan plan_;
  const RunEnvironment& environment_;
  Reporter reporter_;
  std::optional<LogFile> log_;
  std::optional<std::string> log_error_;
  Counts counts_;
  std::vector<Finished> successes_;
  std::vector<Finished> failures_;
  // Declared before running_: destroying running_ joins the case threads,
  // which push to queue_ until they end.
  CompletionQueue queue_;
  std::vector<Running> running_;
};

int Run::execute() {
  reporter_.run_start();
  if (auto status = output_failure()) return *status;
  Clock::time_point begun = environment_.now();
  std::size_t next = 0;
  // Invariant: selected_[0, next) have been started or reported, and
  // running_ holds those started on a thread and not yet reported. Each
  // round starts a case or takes one completion or passes a slow deadline.
  while (next < selected_.size() || !running_.empty()) {
    while (next < selected_.size() && running_.size() < plan_.threads) {
      std::size_t index = selected_[next++];
      reporter_.case_start(cases_[index].name);
      if (auto status = output_failure()) return *status;
      if (reported_ignored(cases_[index])) {
        finish({index, Result::kIgnored, {}});
      } else if (auto error = start(index)) {
        return end_run(
            environment_,
            "error: failed to spawn thread to run test: " + *error + "\n");
      }
      if (auto status = output_failure()) return *status;
    }
    if (running_.empty()) continue;
    auto completion = queue_.pop(next_slow_deadline());
    if (completion) {
      auto done =
          std::ranges::find(running_, completion->index, &Running::index);
      assert(done != running_.end());
      done->thread.join();
      running_.erase(done);
      finish(std::move(*completion));
    } else {
      report_slow_cases();
    }
    if (auto status = output_failure()) return *status;
  }
  reporter_.run_finish(counts_, plan_.show_output ? &successes_ : nullptr,
                       failures_, environment_.now() - begun);
  if (log_) {
    auto closed = log_->close();
    log_.reset();
    if (!closed) log_error_ = std::move(closed.error());
  }
  if (auto status = output_failure()) return *status;
  return counts_.failed == 0 ? kExitSuccess : kExitFailure;
}

// Starts cases_[index] on a thread of its own. When the system cannot start
// another thread for now, runs it on this thread instead. Returns the error
// text of any other failure to start.
std::optional<std::string> Run::start(std::size_t index) {
  const Case& test_case = cases_[index];
  bool capture = plan_.capture;
  auto thread = environment_.spawn(
      std::string(truncate_utf8(test_case.name, kThreadNameBytes)),
      [this, &test_case, index, capture] {
        queue_.push(run_case(test_case, index, capture));
      });
  if (thread) {
    running_.push_back({index, Clock::now(), false, std::move(*thread)});
    return std::nullopt;
  }
  if (thread.error() == EAGAIN || thread.error() == EWOULDBLOCK) {
    finish(run_case(test_case, index, capture));
    return std::nullopt;
  }
  return platform::error_text(thread.error());
}

void Run::finish(Completion completion) {
  const Case& test_case = cases_[completion.index];
  switch (completion.result) {
    case Result::kPassed:
      ++counts_.passed;
      break;
    case Result::kFailed:
      ++counts_.failed;
      break;
    case Result::kIgnored:
      ++counts_.ignored;
      break;
  }
  reporter_.case_result(test_case.name, completion.result,
                        test_case.ignore_reason);
  if (log_ && !log_error_) {
    auto added = log_->add(completion.result, test_case.name);
    if (!added) log_error_ = std::move(added.error());
  }
  if (completion.result == Result::kPassed) {
    successes_.push_back({test_case.name, std::move(completion.captured)});
  } else if (completion.result == Result::kFailed) {
    failures_.push_back({test_case.name, std::move(completion.captured)});
  }
}

// The earliest moment a running case becomes slow and has not been said to
// be; nothing when cases run one at a time.
std::optional<Clock::time_point> Run::next_slow_deadline() const {
  std::optional<Clock::time_point> deadline;
  if (plan_.threads == 1) return deadline;
  for (const Running& running : running_) {
    if (running.warned) continue;
    Clock::time_point slow = running.started + environment_.slow_threshold;
    if (!deadline || slow < *deadline) deadline = slow;
  }
  return deadline;
}

void Run::report_slow_cases() {
  Clock::time_point now = Clock::now();
  for (Running& running : running_) {
    if (running.warned || now - running.started < environment_.slow_threshold) {
      continue;
    }
    running.warned = true;
    reporter_.slow_case(cases_[running.index].name,
                        std::chrono::duration_cast<std::chrono::seconds>(
                            environment_.slow_threshold));
  }
}

// The exit status when the report or the log file could not be written.
std::optional<int> Run::output_failure() {
  const std::optional<std::string>& error =
      reporter_.error() ? reporter_.error() : log_error_;
  if (!error) return std::nullopt;
  return end_run(environment_, io_error_line(*error));
}

}  // namespace

RunEnvironment process_environment() {
  RunEnvironment environment;
  environment.out = fd_sink(platform::kStdoutFd);
  environment.err = fd_sink(platform::kStderrFd);
  environment.get_env =
      [](std::string_view name) -> std::optional<std::string> {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return value;
  };
  environment.stdout_is_terminal = platform::is_terminal(platform::kStdoutFd);
  environment.processors = platform::available_processors();
  environment.now = [] { return Clock::now(); };
  environment.spawn = platform::spawn_thread;
  return environment;
}

int run_cases(std::span<const Case> cases, std::span<const std::string> args,
              const RunEnvironment& environment) {
  auto options = parse_options(args);
  if (!options) return end_run(environment, "error: " + options.error() + "\n");
  if (options->logfile) {
    (void)environment.err("warning: `--logfile` is deprecated\n");
  }
  if (options->help) {
    std::string program = args.empty() ? "..." : args[0];
    auto written = environment.out(help_text(program));
    if (!written) {
      return end_run(environment, io_error_line(written.error()));
    }
    return kExitSuccess;
  }

  std::vector<std::size_t> selected = select_cases(cases, *options);
  std::size_t filtered_out = cases.size() - selected.size();
  std::optional<LogFile> log;
  if (options->logfile) {
    auto created = LogFile::create(*options->logfile);
    if (!created) {
      return end_run(environment, io_error_line(created.error()));
    }
    log.emplace(std::move(*created));
  }

  if (options->list) {
    std::vector<std::string_view> names;
    for (std::size_t index : selected) names.push_back(cases[index].name);
    Reporter reporter(environment.out, options->format, false, names.size(),
                      true);
    reporter.list(names);
    if (reporter.error()) {
      return end_run(environment, io_error_line(*reporter.error()));
    }
    return kExitSuccess;
  }

  auto threads = thread_count(*options, environment);
  if (!threads) return end_run(environment, "error: " + threads.error() + "\n");
  Plan plan;
  plan.threads = *threads;
  auto no_capture = environment.get_env(kNoCaptureVariable);
  plan.capture = !options->no_capture && !(no_capture && *no_capture != "0");
  plan.colour = options->colour == ColourChoice::kAlways ||
                (options->colour == ColourChoice::kAuto &&
                 environment.stdout_is_terminal && plan.capture);
  plan.show_output = options->show_output;
  plan.run_ignored = options->ignored != IgnoredMode::kSkip;
  plan.bench_only = options->bench && !options->test;
  Run run(cases, std::move(selected), filtered_out, plan, options->format,
          std::move(log), environment);
  return run.execute();
}

int run_cases(std::span<const Case> cases, std::span<const std::string> args) {
  return run_cases(cases, args, process_environment());
}

}  // namespace parity
