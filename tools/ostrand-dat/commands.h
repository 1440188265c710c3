// The commands of ostrand-dat over the archive library. Each writes its
// output to standard output and its failures, in the form of errors.h, to
// standard error, and returns the exit status.
#ifndef OSTRAND_DAT_TOOL_COMMANDS_H_
#define OSTRAND_DAT_TOOL_COMMANDS_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "errors.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::tool {

// Runs the command: 0 on success, 1 after a failure (verify: after damage,
// 3 when it cannot examine the archive).
int run_command(const Command& command, Verbosity verbosity = {});

// The verbosity of the command being run.
const Verbosity& verbosity();

// The ids `selectors` name in `files`, ascending and distinct; every id
// when there are no selectors. A single id is kept even when `files` lacks
// it, for the command to report; a range or pattern that matches nothing is
// reported here, with `archive`, and makes `unmatched` true.
std::vector<std::uint32_t> selected_ids(std::string_view archive,
                                        const FileMap& files,
                                        std::span<const IdSelector> selectors,
                                        bool& unmatched);

// Each command's run, for the commands of extract.cc and verify.cc.
int run(const ExtractCommand& command);
int run(const VerifyCommand& command);
int run(const SumCommand& command);

// Writes the failure's line to standard error.
void report(const Failure& failure);
// The open archive, or nullopt once the reason is reported.
std::optional<DatDatabase> open_archive(std::string_view archive);
// Writes `text` to standard output: 0, or 1 once a failure is reported. A
// reader that has gone away is not a failure: stopping is its choice.
int write_output(std::string_view text);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_COMMANDS_H_
