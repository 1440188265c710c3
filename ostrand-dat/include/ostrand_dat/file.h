// The archive file as the library sees it: a read-only handle that is read
// with positional reads only, so one handle serves any number of threads.
#ifndef OSTRAND_DAT_FILE_H_
#define OSTRAND_DAT_FILE_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>

#include "ostrand_dat/error.h"

namespace ostrand_dat {

// A file opened read-only. Move-only; closes the descriptor when released.
// Keeps no file position: every read names its offset, so const methods may
// run on several threads at once.
class File {
 public:
  static std::expected<File, IoError> open_read_only(
      const std::filesystem::path& path);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // One positional read of at most `buffer.size()` bytes at `offset`. Returns
  // the number of bytes read, 0 at or past the end of the file. A read
  // interrupted by a signal is reported as kind Interrupted; callers retry.
  std::expected<std::size_t, IoError> read_at_some(
      std::uint64_t offset, std::span<std::byte> buffer) const;

  // One positional read that fills `head` and then `tail` from consecutive
  // file bytes starting at `offset` (a vectored read). Same results as
  // read_at_some, counting the bytes of both buffers together.
  std::expected<std::size_t, IoError> read_at_some(
      std::uint64_t offset, std::span<std::byte> head,
      std::span<std::byte> tail) const;

  // Fills all of `head` and then `tail` from consecutive file bytes starting
  // at `offset`: one vectored read where one suffices, short and interrupted
  // reads continued where they stopped. A read that returns nothing before
  // both are full fails with UnexpectedEof ("failed to fill whole buffer").
  std::expected<void, IoError> read_exact_at(std::uint64_t offset,
                                             std::span<std::byte> head,
                                             std::span<std::byte> tail) const;

  // The file's current length in bytes.
  std::expected<std::uint64_t, IoError> length() const;

  // The operating system's descriptor, for the library's own read paths.
  // Stays owned by the File.
  int native_handle() const { return fd_; }

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Creates or truncates `path` and writes `bytes` to it, retrying short and
// interrupted writes.
std::expected<void, IoError> write_whole_file(const std::filesystem::path& path,
                                              std::span<const std::byte> bytes);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_FILE_H_
