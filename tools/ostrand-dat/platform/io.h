// The tool's only contact with the operating system besides the library:
// whole writes to a descriptor, whole reads of an input file, and the
// broken-pipe signal.
#ifndef OSTRAND_DAT_TOOL_PLATFORM_IO_H_
#define OSTRAND_DAT_TOOL_PLATFORM_IO_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <vector>

#include "ostrand_dat/error.h"

namespace ostrand_dat::tool {

inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Makes a write to a pipe without reader fail with BrokenPipe instead of
// ending the process.
void ignore_broken_pipe_signal();

// Writes all of `bytes` to `fd`, retrying short and interrupted writes: one
// write(2) when the descriptor takes everything at once.
std::expected<void, IoError> write_all(int fd,
                                       std::span<const std::byte> bytes);

// Creates or truncates `path` and writes all of `bytes` to it.
std::expected<void, IoError> write_whole_file(const std::filesystem::path& path,
                                              std::span<const std::byte> bytes);

// The whole contents of the file at `path`, read to its end (pipes and
// other unsized files included). A file of more than `limit` bytes fails
// with FileTooLarge once the limit is passed, so an endless source ends.
std::expected<std::vector<std::byte>, IoError> read_whole_file(
    const std::filesystem::path& path, std::uint64_t limit);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_PLATFORM_IO_H_
