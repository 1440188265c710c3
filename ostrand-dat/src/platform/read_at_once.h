// The single positional read behind every exact read, inline, so that the
// directory walk's read per block goes to the system with nothing between.
#ifndef OSTRAND_DAT_SRC_PLATFORM_READ_AT_ONCE_H_
#define OSTRAND_DAT_SRC_PLATFORM_READ_AT_ONCE_H_

#include <sys/types.h>
#include <sys/uio.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ostrand_dat::platform {

// One read never asks for more than the kernel returns at once.
inline constexpr std::size_t kMaxRead = 0x7FFFF000;

// One vectored positional read into `head` and then `tail`: what the system
// returned, the bytes read (0 at the end of the file) or -1 with errno set.
// For requests the system takes whole: 1 to kMaxRead bytes at an offset
// off_t can name.
inline ssize_t read_at_once(int fd, std::uint64_t offset,
                            std::span<std::byte> head,
                            std::span<std::byte> tail) {
  iovec parts[2] = {{head.data(), head.size()}, {tail.data(), tail.size()}};
  return ::preadv(fd, parts, tail.empty() ? 1 : 2, static_cast<off_t>(offset));
}

// Whether the request is one read_at_once takes.
inline bool fits_one_read(std::uint64_t offset, std::size_t wanted) {
  return wanted != 0 && wanted <= kMaxRead &&
         offset <= static_cast<std::uint64_t>(LLONG_MAX);
}

}  // namespace ostrand_dat::platform

#endif  // OSTRAND_DAT_SRC_PLATFORM_READ_AT_ONCE_H_
