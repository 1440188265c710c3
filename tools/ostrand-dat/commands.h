// The subcommands of ostrand-dat over the archive library. A command hands
// back what it has for standard output, or the text of its failure, which
// the caller prints after "error: "; nothing here prints or exits.
#ifndef OSTRAND_DAT_TOOL_COMMANDS_H_
#define OSTRAND_DAT_TOOL_COMMANDS_H_

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "args.h"

namespace ostrand_dat::tool {

// Bytes for standard output: text lines, or a file's raw contents.
using Output = std::vector<std::byte>;

// Runs `command`. Failures are library errors in their debug form (a sound
// table that does not decode: the read error's printed form), and for
// `pack` a PathError naming the input or output file that failed.
std::expected<Output, std::string> run_command(const Command& command);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_COMMANDS_H_
