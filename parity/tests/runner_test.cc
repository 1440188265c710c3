#include "runner/runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <source_location>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/thread.h"
#include "runner/check.h"
#include "runner/output.h"
#include "runner/utf8.h"

namespace parity {
namespace {

using namespace std::chrono_literals;

// Test cases are plain functions, so what they observe lives here. Each
// test resets what it reads.
std::atomic<int> g_runs{0};
std::source_location g_fail_where;

void passes() { ++g_runs; }

void prints_skip_notice() {
  ++g_runs;
  print_err("SKIP: no retail archive\n");
}

void fails_with_output() {
  ++g_runs;
  print_out("out 1\n");
  print_err("err 1\n");
  print_out("bad \xFF byte\n");
  g_fail_where = std::source_location::current();
  fail("values differ", g_fail_where);
}

void fails_quietly() {
  ++g_runs;
  fail("no output");
}

void throws_runtime_error() {
  ++g_runs;
  throw std::runtime_error("boom");
}

void throws_int() {
  ++g_runs;
  throw 7;
}

// A one-shot flag for case threads. The wait is bounded so that a broken
// runner fails the test instead of hanging it.
class Signal {
 public:
  void reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
  }
  void set() {
    std::lock_guard lock(mutex_);
    set_ = true;
    changed_.notify_all();
  }
  // False when the signal did not come within ten seconds.
  bool wait() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

std::string notice_location() {
  return "parity/tests/runner_test.cc:" + std::to_string(g_fail_where.line()) +
         ":" + std::to_string(g_fail_where.column());
}

// Runs cases over test sinks, a fake environment and a fake clock whose
// run lasts 1.234 s.
class Harness {
 public:
  Harness() {
    environment.out = [this](std::string_view text) {
      return append(out, text);
    };
    environment.err = [this](std::string_view text) {
      return append(err, text);
    };
    environment.get_env =
        [this](std::string_view name) -> std::optional<std::string> {
      auto found = vars.find(name);
      if (found == vars.end()) return std::nullopt;
      return found->second;
    };
    environment.processors = 2;
    environment.slow_threshold = 1h;
    environment.now = [calls = 0]() mutable {
      return std::chrono::steady_clock::time_point() + 1234ms * calls++;
    };
    environment.spawn = platform::spawn_thread;
    g_runs = 0;
  }
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;

  int run(std::span<const Case> cases, std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    return run_cases(cases, args, environment);
  }

  std::string out;
  std::string err;
  std::map<std::string, std::string, std::less<>> vars;
  RunEnvironment environment;

 private:
  static std::expected<void, std::string> append(std::string& to,
                                                 std::string_view text) {
    to += text;
    return {};
  }
};

const Case kMixed[] = {
    {"zeta_fails", fails_with_output},
    {"beta_passes", passes},
    {"alpha_throws", throws_runtime_error},
    {"gamma_notice", prints_skip_notice},
    {"delta_throws_int", throws_int},
    {"eta_ignored", passes, true, "needs retail data"},
    {"theta_ignored", passes, true},
};

std::string mixed_failures() {
  return "\nfailures:\n\n"
         "---- zeta_fails stdout ----\n"
         "out 1\nerr 1\nbad \xEF\xBF\xBD byte\n"
         "thread 'zeta_fails' failed at " +
         notice_location() +
         ":\nvalues differ\n\n"
         "---- alpha_throws stdout ----\n"
         "thread 'alpha_throws' failed with an exception:\nboom\n\n"
         "---- delta_throws_int stdout ----\n"
         "thread 'delta_throws_int' failed with an exception not derived "
         "from std::exception\n\n"
         "\nfailures:\n"
         "    alpha_throws\n    delta_throws_int\n    zeta_fails\n";
}

const std::string kMixedSummary =
    "\ntest result: FAILED. 2 passed; 3 failed; 2 ignored; 0 measured; 0 "
    "filtered out; finished in 1.23s\n\n";

TEST(RunCases, PrettyReportByteForByte) {
  Harness harness;
  EXPECT_EQ(harness.run(kMixed, {"--test-threads", "1"}), kExitFailure);
  EXPECT_EQ(harness.out,
            "\nrunning 7 tests\n"
            "test zeta_fails ... FAILED\n"
            "test beta_passes ... ok\n"
            "test alpha_throws ... FAILED\n"
            "test gamma_notice ... ok\n"
            "test delta_throws_int ... FAILED\n"
            "test eta_ignored ... ignored, needs retail data\n"
            "test theta_ignored ... ignored\n" +
                mixed_failures() + kMixedSummary);
  EXPECT_EQ(harness.err, "");
  EXPECT_EQ(g_runs, 5);
}

TEST(RunCases, ShowOutputAddsTheSuccessesSection) {
  Harness harness;
  EXPECT_EQ(harness.run(kMixed, {"--test-threads=1", "--show-output", "-q"}),
            kExitFailure);
  EXPECT_EQ(harness.out,
            "\nrunning 7 tests\n"
            "zeta_fails --- FAILED\n"
            ". 2/7\nalpha_throws --- FAILED\n"
            ". 4/7\ndelta_throws_int --- FAILED\n"
            "ii"
            "\nsuccesses:\n\n"
            "---- gamma_notice stdout ----\nSKIP: no retail archive\n\n"
            "\nsuccesses:\n    beta_passes\n    gamma_notice\n" +
                mixed_failures() + kMixedSummary);
}

TEST(RunCases, TerseLinesBreakAfter87MarksAndBeforeAFailure) {
  std::vector<std::string> names;
  for (int i = 0; i < 91; ++i) names.push_back("case_" + std::to_string(i));
  std::vector<Case> cases;
  for (const std::string& name : names) cases.push_back({name, passes});
  cases[88].entry = fails_quietly;
  cases[90].ignored = true;
  Harness harness;
  EXPECT_EQ(harness.run(cases, {"--format", "terse", "--test-threads", "1"}),
            kExitFailure);
  std::string notice_start = "\nfailures:\n\n---- case_88 stdout ----\n";
  EXPECT_EQ(harness.out.substr(0, harness.out.find(notice_start)),
            "\nrunning 91 tests\n" + std::string(87, '.') + " 87/91\n" +
                ". 88/91\ncase_88 --- FAILED\n.i");
}

Signal g_second_reported;

TEST(RunCases, PrettyLinesComeInOrderOfCompletion) {
  g_second_reported.reset();
  // The first case ends only once the report shows the second one ended.
  const Case cases[] = {{"first_waits",
                         [] {
                           if (!g_second_reported.wait()) fail("no report");
                         }},
                        {"second_ends", [] {}}};
  Harness harness;
  harness.environment.out = [&harness](std::string_view text) {
    harness.out += text;
    if (harness.out.find("second_ends ... ok") != std::string::npos) {
      g_second_reported.set();
    }
    return std::expected<void, std::string>();
  };
  EXPECT_EQ(harness.run(cases, {"--test-threads", "2"}), kExitSuccess);
  EXPECT_TRUE(harness.out.starts_with(
      "\nrunning 2 tests\ntest second_ends ... ok\ntest first_waits ... ok\n"))
      << harness.out;
}

TEST(RunCases, SelectionRules) {
  const Case cases[] = {
      {"js_body_native", passes},
      {"native_goldens", passes},
      {"native_vs_csharp", passes},
      {"zz_probe", passes, true, "needs hardware"},
  };
  struct Row {
    std::vector<std::string> args;
    std::string listed;  // indices into cases
    int passed;          // also the number of entries run
    int ignored;
    int filtered_out;
  };
  const std::vector<Row> rows = {
      {{}, "0123", 3, 1, 0},
      {{"native_"}, "12", 2, 0, 2},
      {{"native"}, "012", 3, 0, 1},
      {{"native", "--exact"}, "", 0, 0, 4},
      {{"--exact", "native_vs_csharp", "js_body_native"}, "02", 2, 0, 2},
      {{"--skip", "js_"}, "123", 2, 1, 1},
      {{"--skip", "native", "--exact"}, "0123", 3, 1, 0},
      {{"native_", "--skip", "csharp", "--skip", "probe"}, "1", 1, 0, 3},
      {{"--ignored"}, "3", 1, 0, 3},
      {{"--include-ignored"}, "0123", 4, 0, 0},
      {{"--bench"}, "0123", 0, 4, 0},
      {{"--bench", "--test"}, "0123", 3, 1, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    Harness lister;
    std::vector<std::string> list_args = row.args;
    list_args.insert(list_args.end(), {"--list", "-q"});
    EXPECT_EQ(lister.run(cases, list_args), kExitSuccess);
    std::string listed;
    for (char index : row.listed) {
      listed += std::string(cases[index - '0'].name) + ": test\n";
    }
    EXPECT_EQ(lister.out, listed);
    EXPECT_EQ(g_runs, 0);

    Harness runner;
    EXPECT_EQ(runner.run(cases, row.args), kExitSuccess);
    std::size_t count = row.listed.size();
    EXPECT_TRUE(runner.out.starts_with("\nrunning " + std::to_string(count) +
                                       (count == 1 ? " test\n" : " tests\n")));
    std::string summary = "test result: ok. " + std::to_string(row.passed) +
                          " passed; 0 failed; " + std::to_string(row.ignored) +
                          " ignored; 0 measured; " +
                          std::to_string(row.filtered_out) + " filtered out;";
    EXPECT_NE(runner.out.find(summary), std::string::npos) << runner.out;
    EXPECT_EQ(g_runs, row.passed);
  }
}

TEST(RunCases, ListModePrintsNamesAndCount) {
  const Case cases[] = {{"a", passes}, {"b", fails_quietly}};
  struct Row {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Row> rows = {
      {{"--list"}, "a: test\nb: test\n\n2 tests, 0 benchmarks\n"},
      {{"--list", "b"}, "b: test\n\n1 test, 0 benchmarks\n"},
      {{"--list", "c"}, "0 tests, 0 benchmarks\n"},
      {{"--list", "--quiet", "c"}, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    Harness harness;
    EXPECT_EQ(harness.run(cases, row.args), kExitSuccess);
    EXPECT_EQ(harness.out, row.out);
    EXPECT_EQ(g_runs, 0);
  }
}

TEST(RunCases, HelpAndCommandLineErrors) {
  const Case cases[] = {{"a", passes}};
  Harness help;
  EXPECT_EQ(help.run(cases, {"--help"}), kExitSuccess);
  EXPECT_EQ(help.out, help_text("prog"));
  EXPECT_EQ(g_runs, 0);
  // Without any argument, not even the program path, every case runs.
  Harness no_program;
  std::vector<std::string> no_args;
  EXPECT_EQ(run_cases(cases, no_args, no_program.environment), kExitSuccess);
  EXPECT_TRUE(no_program.out.starts_with("\nrunning 1 test\ntest a ... ok\n"));

  Harness bad;
  EXPECT_EQ(bad.run(cases, {"--test-threads=0"}), kExitFailure);
  EXPECT_EQ(bad.err, "error: argument for --test-threads must not be 0\n");
  EXPECT_EQ(bad.out, "");
  EXPECT_EQ(g_runs, 0);
}

TEST(RunCases, CaptureCanBeTurnedOff) {
  const Case cases[] = {{"loud_failure", fails_with_output}};
  struct Row {
    std::vector<std::string> args;
    std::optional<std::string> nocapture_variable;
    bool captured;
  };
  const std::vector<Row> rows = {
      {{}, std::nullopt, true},
      {{}, "0", true},
      {{"--no-capture"}, std::nullopt, false},
      {{"--nocapture"}, "0", false},
      {{}, "1", false},
      {{}, "", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args) + " PARITY_NOCAPTURE=" +
                 row.nocapture_variable.value_or("(unset)"));
    Harness harness;
    if (row.nocapture_variable) {
      harness.vars["PARITY_NOCAPTURE"] = *row.nocapture_variable;
    }
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(harness.run(cases, row.args), kExitFailure);
    std::string fd_out = testing::internal::GetCapturedStdout();
    std::string fd_err = testing::internal::GetCapturedStderr();
    std::string notice = "thread 'loud_failure' failed at " +
                         notice_location() + ":\nvalues differ\n";
    if (row.captured) {
      EXPECT_EQ(fd_out + fd_err, "");
      EXPECT_NE(
          harness.out.find("---- loud_failure stdout ----\nout 1\nerr 1\n"),
          std::string::npos);
    } else {
      EXPECT_EQ(fd_out, "out 1\nbad \xFF byte\n");
      EXPECT_EQ(fd_err, "err 1\n" + notice);
      EXPECT_NE(
          harness.out.find("\nfailures:\n\nfailures:\n    loud_failure\n"),
          std::string::npos)
          << harness.out;
    }
  }
}

TEST(RunCases, ColourOnlyOnResultWords) {
  const Case cases[] = {
      {"a", passes}, {"b", fails_quietly}, {"c", passes, true}};
  struct Row {
    std::vector<std::string> args;
    bool terminal;
    bool coloured;
  };
  const std::vector<Row> rows = {
      {{}, false, false},
      {{}, true, true},
      {{"--no-capture"}, true, false},
      {{"--color", "never"}, true, false},
      {{"--color", "always", "--no-capture"}, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args) +
                 (row.terminal ? " terminal" : " pipe"));
    Harness harness;
    harness.environment.stdout_is_terminal = row.terminal;
    std::vector<std::string> args = row.args;
    args.insert(args.end(), {"--test-threads", "1"});
    testing::internal::CaptureStderr();
    harness.run(cases, args);
    testing::internal::GetCapturedStderr();
    std::string lines =
        row.coloured
            ? "test a ... \x1b[32mok\x1b[0m\ntest b ... \x1b[31mFAILED\x1b[0m\n"
              "test c ... \x1b[33mignored\x1b[0m\n"
            : "test a ... ok\ntest b ... FAILED\ntest c ... ignored\n";
    std::string summary = row.coloured
                              ? "\ntest result: \x1b[31mFAILED\x1b[0m. "
                              : "\ntest result: FAILED. ";
    EXPECT_NE(harness.out.find(lines), std::string::npos) << harness.out;
    EXPECT_NE(harness.out.find(summary), std::string::npos) << harness.out;
    EXPECT_EQ(std::ranges::count(harness.out, '\x1b'), row.coloured ? 8 : 0);
  }
}

TEST(RunCases, LogFileGetsOneLinePerFinishedCase) {
  const Case cases[] = {
      {"a", passes}, {"b", fails_quietly}, {"c", passes, true}};
  std::string path = testing::TempDir() + "runner_test.log";
  {
    std::ofstream stale(path);
    stale << "left over from an earlier run\n";
  }
  Harness harness;
  EXPECT_EQ(harness.run(cases, {"--logfile", path, "--test-threads", "1"}),
            kExitFailure);
  EXPECT_EQ(harness.err, "warning: `--logfile` is deprecated\n");
  std::ifstream log(path);
  std::stringstream content;
  content << log.rdbuf();
  EXPECT_EQ(content.str(), "ok a\nfailed b\nignored c\n");

  struct Row {
    std::string path;
    std::string error;
    bool ran;
  };
  const std::vector<Row> rows = {
      {"/nonexistent-dir/run.log",
       "cannot create log file '/nonexistent-dir/run.log': No such file or "
       "directory (os error 2)",
       false},
      {"/dev/full",
       "cannot write log file '/dev/full': No space left on device (os error 28)",
       true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    Harness failing;
    EXPECT_EQ(failing.run(cases, {"--logfile=" + row.path}), kExitFailure);
    EXPECT_EQ(failing.err,
              "warning: `--logfile` is deprecated\n"
              "error: io error when listing tests: " +
                  row.error + "\n");
    EXPECT_EQ(failing.out.starts_with("\nrunning 3 tests\n"), row.ran);
    EXPECT_EQ(failing.out.find("test result"), std::string::npos);
  }
}

TEST(RunCases, ReportWriteErrorEndsTheRun) {
  const Case cases[] = {{"a", passes}};
  for (int failing_write : {0, 1, 2}) {
    SCOPED_TRACE(failing_write);
    Harness harness;
    harness.environment.out =
        [&harness, writes = 0, failing_write](
            std::string_view text) mutable -> std::expected<void, std::string> {
      if (writes++ == failing_write) return std::unexpected("Broken pipe");
      harness.out += text;
      return {};
    };
    EXPECT_EQ(harness.run(cases, {"--test-threads", "1"}), kExitFailure);
    EXPECT_EQ(harness.err, "error: io error when listing tests: Broken pipe\n");
    // The third write is the result word, after the case ran.
    EXPECT_EQ(g_runs, failing_write == 2 ? 1 : 0);
  }
  Harness list;
  list.environment.out =
      [](std::string_view) -> std::expected<void, std::string> {
    return std::unexpected("Bad file descriptor");
  };
  EXPECT_EQ(list.run(cases, {"--list"}), kExitFailure);
  EXPECT_EQ(list.err,
            "error: io error when listing tests: Bad file descriptor\n");
}

Signal g_warned;

TEST(RunCases, SlowCaseLineOncePerCase) {
  g_warned.reset();
  const Case cases[] = {
      {"slow_case", [] {
         if (!g_warned.wait()) fail("no slow-case line");
       }}};
  Harness harness;
  harness.environment.slow_threshold = 1ms;
  harness.environment.out =
      [&harness](std::string_view text) -> std::expected<void, std::string> {
    harness.out += text;
    if (harness.out.find("has been running") != std::string::npos) {
      g_warned.set();
    }
    return {};
  };
  EXPECT_EQ(harness.run(cases, {"--test-threads", "2"}), kExitSuccess);
  EXPECT_TRUE(harness.out.starts_with(
      "\nrunning 1 test\ntest slow_case has been running for over 0 "
      "seconds\ntest slow_case ... ok\n"))
      << harness.out;
  EXPECT_EQ(process_environment().slow_threshold, 60s);
}

// Cases that count how many of them run at once. A case waits until the
// limit is reached (or no further case can start), then gives a runner
// that ignores the limit time to start one more.
struct Concurrency {
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  int started = 0;
  int most = 0;
  int limit = 0;
  int total = 0;
} g_concurrency;

void counts_concurrency() {
  Concurrency& c = g_concurrency;
  std::unique_lock lock(c.mutex);
  c.most = std::max(c.most, ++c.running);
  ++c.started;
  c.changed.notify_all();
  c.changed.wait_for(
      lock, 10s, [&] { return c.running >= c.limit || c.started == c.total; });
  c.changed.wait_for(lock, 20ms, [&] { return c.running > c.limit; });
  --c.running;
  c.changed.notify_all();
}

TEST(RunCases, NeverRunsMoreThanTheThreadCount) {
  std::vector<Case> cases;
  for (const char* name : {"c1", "c2", "c3", "c4", "c5", "c6", "c7"}) {
    cases.push_back({name, counts_concurrency});
  }
  struct Row {
    std::vector<std::string> args;
    std::optional<std::string> threads_variable;
    std::optional<std::size_t> processors;
    int limit;
  };
  const std::vector<Row> rows = {
      {{"--test-threads", "3"}, "1", 2, 3}, {{}, "2", 4, 2},
      {{"--test-threads", "1"}, "3", 2, 1}, {{}, std::nullopt, 3, 3},
      {{}, std::nullopt, std::nullopt, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args) + " env " +
                 row.threads_variable.value_or("(unset)"));
    Concurrency& c = g_concurrency;
    c.running = c.started = c.most = 0;
    c.limit = row.limit;
    c.total = static_cast<int>(cases.size());
    Harness harness;
    if (row.threads_variable)
      harness.vars["PARITY_TEST_THREADS"] = *row.threads_variable;
    harness.environment.processors = row.processors;
    EXPECT_EQ(harness.run(cases, row.args), kExitSuccess);
    EXPECT_EQ(c.most, row.limit);
    EXPECT_EQ(c.started, c.total);
  }
}

TEST(RunCases, BadThreadCountVariableStopsBeforeAnyCase) {
  const Case cases[] = {{"a", passes}};
  for (std::string value : {"0", "many", "-2", ""}) {
    SCOPED_TRACE(value);
    Harness harness;
    harness.vars["PARITY_TEST_THREADS"] = value;
    EXPECT_EQ(harness.run(cases, {}), kExitFailure);
    EXPECT_EQ(harness.err,
              "error: environment variable PARITY_TEST_THREADS must be a "
              "positive integer (was '" +
                  value + "')\n");
    EXPECT_EQ(harness.out, "");
    EXPECT_EQ(g_runs, 0);
    Harness overridden;
    overridden.vars["PARITY_TEST_THREADS"] = value;
    EXPECT_EQ(overridden.run(cases, {"--test-threads", "1"}), kExitSuccess);
  }
}

std::thread::id g_case_thread;
std::string g_case_thread_name;

void records_thread() {
  ++g_runs;
  g_case_thread = std::this_thread::get_id();
  g_case_thread_name = platform::current_thread_name();
}

TEST(RunCases, CasesRunOnThreadsNamedAfterThem) {
  for (auto [name, thread_name] :
       std::vector<std::pair<std::string, std::string>>{
           {"native_resolve_sound_matches_pinned_goldens", "native_resolve_"},
           {"short", "short"},
           {"fourteen_bytes\xC3\xA9_more", "fourteen_bytes"}}) {
    SCOPED_TRACE(name);
    const Case cases[] = {{name, records_thread}};
    Harness harness;
    EXPECT_EQ(harness.run(cases, {}), kExitSuccess);
    EXPECT_NE(g_case_thread, std::this_thread::get_id());
    EXPECT_EQ(g_case_thread_name, thread_name);
  }
}

TEST(RunCases, CaseRunsInlineWhenNoThreadCanStartForNow) {
  const Case cases[] = {{"a", records_thread}, {"b", fails_quietly}};
  Harness harness;
  int attempts = 0;
  harness.environment.spawn = [&attempts](std::string, std::function<void()>)
      -> std::expected<platform::Thread, int> {
    ++attempts;
    return std::unexpected(EAGAIN);
  };
  EXPECT_EQ(harness.run(cases, {"--test-threads", "2"}), kExitFailure);
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(g_runs, 2);
  EXPECT_EQ(g_case_thread, std::this_thread::get_id());
  EXPECT_NE(harness.out.find("---- b stdout ----\nthread 'b' failed at "),
            std::string::npos)
      << harness.out;
  EXPECT_NE(harness.out.find("1 passed; 1 failed;"), std::string::npos);

  Harness refused;
  refused.environment.spawn =
      [](std::string,
         std::function<void()>) -> std::expected<platform::Thread, int> {
    return std::unexpected(EPERM);
  };
  EXPECT_EQ(refused.run(cases, {}), kExitFailure);
  EXPECT_EQ(refused.err,
            "error: failed to spawn thread to run test: Operation not "
            "permitted (os error 1)\n");
  EXPECT_EQ(refused.out, "\nrunning 2 tests\n");
  EXPECT_EQ(g_runs, 0);
}

TEST(CheckFailure, LocatesTheCaller) {
  std::source_location here = std::source_location::current();
  try {
    fail("mismatch");
  } catch (const CheckFailure& failure) {
    EXPECT_EQ(failure.message(), "mismatch");
    EXPECT_STREQ(failure.what(), "mismatch");
    EXPECT_STREQ(failure.where().file_name(), here.file_name());
    EXPECT_EQ(failure.where().line(), here.line() + 2);
  }
}

TEST(Utf8, LossyAndTruncated) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const std::vector<std::pair<std::string, std::string>> lossy = {
      {"plain \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
       "plain \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xFF\xFE", r + r},
      {"a\xE2\x82", "a" + r},               // cut short at the end
      {"\xE2\x82z", r + "z"},               // cut short mid-text
      {"\xC0\xAF", r + r},                  // overlong
      {"\xED\xA0\x80", r + r + r},          // surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      // Well-formed runs around ill-formed bytes are kept whole.
      {std::string("ab\xFF") + "cd\xC3\xA9\xE2\x82",
       "ab" + r + "cd\xC3\xA9" + r},
  };
  for (const auto& [bytes, text] : lossy) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    EXPECT_EQ(lossy_utf8(bytes), text);
  }
  EXPECT_EQ(truncate_utf8("abc", 15), "abc");
  EXPECT_EQ(truncate_utf8("ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(truncate_utf8("a\xF0\x9F\x98\x80", 4), "a");
  EXPECT_EQ(truncate_utf8("a\xF0\x9F\x98\x80", 5), "a\xF0\x9F\x98\x80");
}

TEST(Utf8, DecodesOneCharacterOrTheIllFormedSubpart) {
  struct Row {
    std::string text;
    bool valid;
    char32_t code_point;
    std::size_t length;
  };
  const std::vector<Row> rows = {
      {"a", true, U'a', 1},
      {"\xC2\x85", true, 0x85, 2},
      {"\xE3\x80\x80z", true, 0x3000, 3},
      {"\xF0\x9F\x98\x80", true, 0x1F600, 4},
      {"\xF4\x8F\xBF\xBF", true, 0x10FFFF, 4},
      {"\x80", false, 0, 1},              // stray continuation byte
      {"\xC1\xBF", false, 0, 1},          // overlong lead
      {"\xE0\x9F\xBF", false, 0, 1},      // overlong three-byte form
      {"\xED\xA0\x80", false, 0, 1},      // surrogate
      {"\xF4\x90\x80\x80", false, 0, 1},  // above U+10FFFF
      {"\xE2\x82z", false, 0, 2},         // cut short mid-text
      {"\xF0\x9F\x98", false, 0, 3},      // cut short at the end
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.text));
    Utf8Char c = decode_utf8(row.text, 0);
    EXPECT_EQ(c.valid, row.valid);
    EXPECT_EQ(c.code_point, row.code_point);
    EXPECT_EQ(c.length, row.length);
    EXPECT_EQ(is_valid_utf8(row.text), row.valid);
  }
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_FALSE(is_valid_utf8("ok\xC3"));
  // Decoding starts where it is told to.
  EXPECT_EQ(decode_utf8("a\xC3\xA9", 1).code_point, 0xE9u);

  const std::string text = "a\xC3\xA9\xE2\x82\xAC";  // a, U+00E9, U+20AC
  std::string boundaries;
  for (std::size_t at = 0; at <= text.size() + 1; ++at) {
    boundaries += is_char_boundary(text, at) ? 'y' : 'n';
  }
  EXPECT_EQ(boundaries, "yynynnyy");
}

TEST(FormatSeconds, TwoDecimals) {
  EXPECT_EQ(format_seconds(0ms), "0.00s");
  EXPECT_EQ(format_seconds(6ms), "0.01s");
  EXPECT_EQ(format_seconds(1234ms), "1.23s");
  EXPECT_EQ(format_seconds(61999ms), "62.00s");
}

}  // namespace
}  // namespace parity
