// The library's file access, for its own code only: the handle behind File,
// the one read path every read of the archive takes, and the file's length.
// Only the platform layer makes system calls; the inline fast path below
// lets the block loop issue its read per block with nothing in between.
#ifndef OSTRAND_DAT_SRC_PLATFORM_FILE_H_
#define OSTRAND_DAT_SRC_PLATFORM_FILE_H_

#include <sys/types.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file.h"

namespace ostrand_dat {

struct File::Handle {
  int fd = -1;
};

// Reaches into File for the platform layer.
struct FileAccess {
  static int descriptor(const File& file) { return file.handle_->fd; }
  static File adopt(int fd) {
    return File(std::unique_ptr<File::Handle>(new File::Handle{fd}));
  }
};

namespace platform {

// One read never asks for more than the kernel returns at once.
inline constexpr std::size_t kMaxRead = 0x7FFFF000;

// Whether one vectored read can take the whole request: 1 to kMaxRead bytes
// at an offset that off_t can name.
inline bool fits_one_read(std::uint64_t offset, std::size_t wanted) {
  return wanted != 0 && wanted <= kMaxRead &&
         offset <= static_cast<std::uint64_t>(LLONG_MAX);
}

// What a read did: the bytes in place from the front of the buffers, and
// the failure that stopped it before they were full, if one did. No failure
// and fewer bytes than asked for: the file ended first.
struct ReadResult {
  std::size_t filled = 0;
  std::optional<IoError> failure;
};

// The most buffers one read of read_fully takes: what Linux takes in one
// vectored read (IOV_MAX).
inline constexpr std::size_t kMaxReadParts = 1024;

// Reads the file's consecutive bytes from `offset` into `parts`, one after
// the other, until all are full or the file ends. An interrupted read is
// issued again, a short one continues where it stopped, and any other
// failure ends the read at once: nothing is read twice. The first `done`
// bytes are already in place (an earlier read of the caller's) and are not
// read again. At most kMaxReadParts parts.
ReadResult read_fully(const File& file, std::uint64_t offset,
                      std::span<const std::span<std::byte>> parts,
                      std::size_t done = 0);
// The same into `head` and then `tail`.
inline ReadResult read_fully(const File& file, std::uint64_t offset,
                             std::span<std::byte> head,
                             std::span<std::byte> tail, std::size_t done = 0) {
  const std::span<std::byte> parts[2] = {head, tail};
  return read_fully(file, offset, parts, done);
}

// The rest of read_exact after a first read that returned `first` (bytes,
// 0 at the end of the file, or -1 with `first_errno`). Out of line, so
// that the common path stays small.
std::expected<void, IoError> finish_exact_read(const File& file,
                                               std::uint64_t offset,
                                               std::span<std::byte> head,
                                               std::span<std::byte> tail,
                                               ssize_t first, int first_errno);

// A file's read path resolved once, for loops that read many times.
// Borrows the file.
class Reader {
 public:
  // How the first read of an exact read ended when it did not fill the
  // buffers: the bytes it read, or -1 with the system's error number.
  struct FirstRead {
    std::int64_t got = -1;
    int error = EINTR;
  };

  explicit Reader(const File& file)
      : file_(&file), fd_(FileAccess::descriptor(file)) {}

  // Fills all of `head` and then `tail` from consecutive file bytes at
  // `offset`, or fails: UnexpectedEof ("failed to fill whole buffer") when
  // the file ends first, else the failure of the read, as read_fully reads.
  std::expected<void, IoError> read_exact(std::uint64_t offset,
                                          std::span<std::byte> head,
                                          std::span<std::byte> tail) const {
    FirstRead first;
    if (try_read_exact(offset, head, tail, first)) [[likely]]
      return {};
    return finish(offset, head, tail, first);
  }

  // read_exact in two steps, for the hottest loop: one vectored system call
  // issued right here, true when it filled both buffers, as it does for
  // every block of a well-formed archive. Otherwise finish() must be called
  // with `first`: it continues the read where it stopped, reading no byte
  // twice, and says how it ended.
  bool try_read_exact(std::uint64_t offset, std::span<std::byte> head,
                      std::span<std::byte> tail, FirstRead& first) const {
    const std::size_t wanted = head.size() + tail.size();
    // Only a tail, or a request too large for one read: left to finish()
    // as if a first read had been interrupted.
    if (head.empty() || !fits_one_read(offset, wanted)) [[unlikely]] {
      return wanted == 0;
    }
    iovec parts[2] = {{head.data(), head.size()}, {tail.data(), tail.size()}};
    const ssize_t got =
        ::preadv(fd_, parts, tail.empty() ? 1 : 2, static_cast<off_t>(offset));
    if (got == static_cast<ssize_t>(wanted)) [[likely]]
      return true;
    first.got = got;
    first.error = got < 0 ? errno : 0;
    return false;
  }
  std::expected<void, IoError> finish(std::uint64_t offset,
                                      std::span<std::byte> head,
                                      std::span<std::byte> tail,
                                      const FirstRead& first) const {
    if (head.empty()) std::swap(head, tail);
    return finish_exact_read(*file_, offset, head, tail, first.got,
                             first.error);
  }

 private:
  const File* file_;
  int fd_;
};

// Reader(file).read_exact(offset, head, tail).
inline std::expected<void, IoError> read_exact(const File& file,
                                               std::uint64_t offset,
                                               std::span<std::byte> head,
                                               std::span<std::byte> tail) {
  return Reader(file).read_exact(offset, head, tail);
}

// The file's current length in bytes.
std::expected<std::uint64_t, IoError> file_length(const File& file);

}  // namespace platform
}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_PLATFORM_FILE_H_
