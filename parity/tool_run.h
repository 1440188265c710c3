// The program's side of the reference tool's line protocol: one run of the
// tool over a whole batch of requests, and the scanners that read fields
// out of its answer lines.

#ifndef PARITY_TOOL_RUN_H_
#define PARITY_TOOL_RUN_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace parity {

// The request that ends a run; run_gt_terminal appends it to every batch.
inline constexpr std::string_view kQuitRequest = "{\"command\":\"quit\"}";

// Runs `dotnet dll --stdin` once: writes every command followed by "\n" and
// then the quit request, closes the input, collects the output and waits.
// Returns the tool's non-empty, trimmed output lines in order, or an error
// text ("spawn GT.Terminal: ...", "write stdin: ...", "wait GT.Terminal:
// ...", or "GT.Terminal non-zero exit: ExitStatus(unix_wait_status(N))
// \nstderr: ..."). Blocks the calling thread until the tool has exited;
// prints nothing. The process must ignore SIGPIPE (main does).
std::expected<std::vector<std::string>, std::string> run_gt_terminal(
    const std::string& dotnet, const std::string& dll,
    std::span<const std::string> commands);

// The tool's standard output as answer lines: decoded as UTF-8 with U+FFFD
// for each maximal ill-formed sequence, split at "\n" (a "\r" before it
// belongs to the line end; a last line without "\n" counts), each line
// trimmed of Unicode White_Space at both ends, empty lines dropped.
std::vector<std::string> answer_lines(std::string_view output);

// The string value of the first `"key":` in `line` (no space before the
// colon; spaces after it are skipped), copied without decoding escapes.
// Nothing when the key is missing or its value is null or not a string.
std::optional<std::string> extract_string_field(std::string_view line,
                                                std::string_view key);

// The waveDid field read as hexadecimal: one optional "0x" or "0X" prefix,
// an optional "+", one or more hex digits of either case, at most
// 0xFFFFFFFF. Nothing for anything else.
std::optional<std::uint32_t> extract_wave_did_u32(std::string_view line);

}  // namespace parity

#endif  // PARITY_TOOL_RUN_H_
