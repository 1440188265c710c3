// The commands of ostrand-dat over the archive library. Each writes its
// output to standard output and its failures, in the form of errors.h, to
// standard error, and returns the exit status.
#ifndef OSTRAND_DAT_TOOL_COMMANDS_H_
#define OSTRAND_DAT_TOOL_COMMANDS_H_

#include <optional>
#include <string>
#include <string_view>

#include "args.h"
#include "errors.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::tool {

// Runs `command`: 0 on success, 1 after a failure (verify: after damage,
// 3 when it cannot examine the archive).
int run_command(const Command& command);

// For the commands of extract.cc and verify.cc.
int extract(const ExtractCommand& command);
int verify(const VerifyCommand& command);
int sum(const SumCommand& command);

// Writes the failure's line to standard error.
void report(const Failure& failure);
// The open archive, or nullopt once the reason is reported.
std::optional<DatDatabase> open_archive(std::string_view archive);
// Writes `text` to standard output: 0, or 1 once a failure is reported. A
// reader that has gone away is not a failure: stopping is its choice.
int write_output(std::string_view text);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_COMMANDS_H_
