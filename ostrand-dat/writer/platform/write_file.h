// Whole-file writes, for the writer library and the tests' fixtures.
#ifndef OSTRAND_DAT_SRC_PLATFORM_WRITE_FILE_H_
#define OSTRAND_DAT_SRC_PLATFORM_WRITE_FILE_H_

#include <cstddef>
#include <expected>
#include <filesystem>
#include <span>

#include "ostrand_dat/error.h"

namespace ostrand_dat::platform {

// Creates or truncates `path` and writes `bytes` to it, continuing short
// and interrupted writes; the close is checked too. A failure part way
// leaves the file partly written.
std::expected<void, IoError> write_whole_file(const std::filesystem::path& path,
                                              std::span<const std::byte> bytes);

}  // namespace ostrand_dat::platform

#endif  // OSTRAND_DAT_SRC_PLATFORM_WRITE_FILE_H_
