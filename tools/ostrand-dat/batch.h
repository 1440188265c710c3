// Work over many entries at once, for extract and verify: a task per entry
// on several threads, its output handed on in entry order as soon as every
// entry before it is done, and a progress line on a terminal.
#ifndef OSTRAND_DAT_TOOL_BATCH_H_
#define OSTRAND_DAT_TOOL_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ostrand_dat/error.h"

namespace ostrand_dat::tool {

// What one entry's task did.
struct EntryOutcome {
  std::uint64_t bytes = 0;  // read or written, for the progress line
  bool failed = false;
  // A failure that no later entry escapes (the destination is unwritable or
  // full): no task starts after it, and of the outcomes that say so only
  // the first is handed on.
  bool stop = false;
  std::string out;  // for standard output
  std::string err;  // for standard error
};

struct BatchTotals {
  std::size_t failed = 0;
  bool stopped = false;  // an outcome stopped the run
  // The first failure to write standard output; later output was dropped.
  std::optional<IoError> out_error;
};

// Runs `task` for 0 to count - 1 on up to `jobs` threads (0: one per
// processor), the calling thread among them. `task` must not throw and
// may run on several threads at once. When standard error is a terminal
// and progress is wanted it shows "VERB: done/count files, bytes, rate",
// redrawn in place, and a summary at the end that counts the failed
// outcomes as "N FAILED"; otherwise nothing but the tasks' own text.
BatchTotals run_batch(std::size_t count, unsigned jobs, std::string_view verb,
                      std::string_view failed, bool progress,
                      const std::function<EntryOutcome(std::size_t)>& task);

// Whether a progress line may be drawn: not when `quiet`, nor when the
// environment asks for plain output (NO_COLOR set, or TERM "dumb").
bool progress_wanted(bool quiet, const char* no_color, const char* term);

// "512 B", "1.5 KiB", "12.3 MiB", "2.0 GiB".
std::string byte_count_text(std::uint64_t bytes);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_BATCH_H_
