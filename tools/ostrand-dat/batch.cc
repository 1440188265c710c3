#include "batch.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/io.h"

namespace ostrand_dat::tool {
namespace {

using Clock = std::chrono::steady_clock;

// At most this often the progress line is drawn again.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

// Standard error is for messages; a failure to write it leaves nothing to
// tell.
void write_err(std::string_view text) {
  (void)write_all(kStandardError, std::as_bytes(std::span(text)));
}

// Outcomes arrive in any order and leave in entry order. All members are
// guarded by mutex_.
class Reporter {
 public:
  Reporter(std::size_t count, std::string_view verb, std::string_view failed,
           bool progress)
      : verb_(verb),
        failed_(failed),
        finished_(count, false),
        terminal_(progress && is_terminal(kStandardError)),
        start_(Clock::now()),
        last_drawn_(start_) {}

  void complete(std::size_t index, EntryOutcome outcome) {
    const std::lock_guard lock(mutex_);
    ++done_;
    bytes_ += outcome.bytes;
    finished_[index] = true;
    if (outcome.failed || !outcome.out.empty() || !outcome.err.empty()) {
      held_.emplace(index, std::move(outcome));
    }
    // Invariant: every entry before next_ has been handed on.
    bool cleared = false;
    for (; next_ < finished_.size() && finished_[next_]; ++next_) {
      hand_on(next_, cleared);
    }
    const Clock::time_point now = Clock::now();
    if (terminal_ && (cleared || now - last_drawn_ >= kRedrawInterval)) {
      last_drawn_ = now;
      write_err("\r\x1b[K" + line(now, false));
    }
  }

  BatchTotals finish() {
    const std::lock_guard lock(mutex_);
    // After a stop, entries that never ran leave gaps: the outcomes past
    // them are handed on now, in order.
    bool cleared = false;
    for (; next_ < finished_.size(); ++next_) hand_on(next_, cleared);
    if (terminal_) write_err("\r\x1b[K" + line(Clock::now(), true) + "\n");
    return std::move(totals_);
  }

 private:
  // Writes the held outcome of entry `index`, if any, and forgets it.
  void hand_on(std::size_t index, bool& cleared) {
    const auto held = held_.find(index);
    if (held == held_.end()) return;
    const EntryOutcome& ready = held->second;
    // The same stopping failure from the entries already under way is
    // told once.
    const bool repeated = ready.stop && totals_.stopped;
    totals_.stopped = totals_.stopped || ready.stop;
    if (ready.failed && !repeated) ++totals_.failed;
    // Text goes below a progress line cleared first: standard output may
    // share the terminal.
    if (terminal_ && !cleared && !repeated &&
        !(ready.out.empty() && ready.err.empty())) {
      write_err("\r\x1b[K");
      cleared = true;
    }
    if (!repeated && !ready.out.empty() && !totals_.out_error) {
      auto written =
          write_all(kStandardOutput, std::as_bytes(std::span(ready.out)));
      if (!written) totals_.out_error = std::move(written.error());
    }
    if (!repeated && !ready.err.empty()) write_err(ready.err);
    held_.erase(held);
  }

  // "extract: 12/40 files, 1.5 MiB, 3.0 MiB/s", or the summary "extract: 40
  // files, 5.0 MiB in 1.2 s (4.2 MiB/s), 1 failed".
  std::string line(Clock::time_point now, bool summary) const {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const auto rate = static_cast<std::uint64_t>(
        seconds > 0 ? static_cast<double>(bytes_) / seconds : 0);
    std::string text = std::string(verb_) + ": ";
    if (!summary) {
      return text + std::to_string(done_) + "/" +
             std::to_string(finished_.size()) + " files, " +
             byte_count_text(bytes_) + ", " + byte_count_text(rate) + "/s";
    }
    char time[32];
    std::snprintf(time, sizeof time, "%.2f s", seconds);
    text += std::to_string(done_) + " files, " + byte_count_text(bytes_) +
            " in " + time + " (" + byte_count_text(rate) + "/s)";
    if (totals_.failed != 0) {
      text +=
          ", " + std::to_string(totals_.failed) + " " + std::string(failed_);
    }
    return text;
  }

  std::mutex mutex_;
  const std::string_view verb_;
  const std::string_view failed_;
  // Which entries are done, and the outcomes that have something to hand
  // on; a plain success, the common case, takes no more than its flag.
  std::vector<bool> finished_;
  std::unordered_map<std::size_t, EntryOutcome> held_;
  std::size_t next_ = 0;
  std::size_t done_ = 0;
  std::uint64_t bytes_ = 0;
  BatchTotals totals_;
  const bool terminal_;
  const Clock::time_point start_;
  Clock::time_point last_drawn_;
};

}  // namespace

std::string byte_count_text(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

bool progress_wanted(bool quiet, const char* no_color, const char* term) {
  if (quiet) return false;
  if (no_color != nullptr && *no_color != '\0') return false;
  return term == nullptr || std::string_view(term) != "dumb";
}

BatchTotals run_batch(std::size_t count, unsigned jobs, std::string_view verb,
                      std::string_view failed, bool progress,
                      const std::function<EntryOutcome(std::size_t)>& task) {
  Reporter reporter(count, verb, failed, progress);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stopped{false};
  auto work = [&] {
    for (std::size_t i;
         !stopped.load(std::memory_order_relaxed) &&
         (i = next.fetch_add(1)) < count;) {
      EntryOutcome outcome = task(i);
      if (outcome.stop) stopped.store(true, std::memory_order_relaxed);
      reporter.complete(i, std::move(outcome));
    }
  };
  if (jobs == 0) jobs = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t threads_wanted =
      std::min<std::size_t>(jobs, std::max<std::size_t>(count, 1)) - 1;
  std::vector<std::thread> threads;
  threads.reserve(threads_wanted);
  for (std::size_t k = 0; k < threads_wanted; ++k) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: go on with those there are
    }
  }
  work();
  for (std::thread& thread : threads) thread.join();
  return reporter.finish();
}

}  // namespace ostrand_dat::tool
