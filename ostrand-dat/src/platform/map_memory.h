// Memory for the directory map and the directory walk's buffers, which
// hold 24 bytes per entry and fill tens of megabytes front to back on a
// large archive. Each platform supplies these three functions.
#ifndef OSTRAND_DAT_SRC_PLATFORM_MAP_MEMORY_H_
#define OSTRAND_DAT_SRC_PLATFORM_MAP_MEMORY_H_

#include <cstddef>

namespace ostrand_dat {

// Buffers of kLargeMapBytes or more are mapped from the system on a 2 MiB
// boundary, rounded up to whole 2 MiB, and advised to use huge pages where
// the system offers them on request: filling a million entries (24 MB) then
// takes a dozen page faults instead of six thousand. Pages are only taken as
// they are touched, and a large buffer grows by remapping its pages, not by
// copying them. Smaller buffers come from operator new. Nothing here
// throws: every failure is a null result.
inline constexpr std::size_t kLargeMapBytes = std::size_t{4} << 20;

// `bytes` of storage (not zeroed), or nullptr when the system has none.
void* allocate_map_storage(std::size_t bytes) noexcept;
// Storage of `new_bytes` holding the first `old_bytes` of `data`, which it
// replaces; nullptr when there is none, and `data` is then as it was.
void* grow_map_storage(void* data, std::size_t old_bytes,
                       std::size_t new_bytes) noexcept;
// Releases storage of `bytes`, the size it was allocated or grown to.
// Null `data` is ignored.
void free_map_storage(void* data, std::size_t bytes) noexcept;

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_PLATFORM_MAP_MEMORY_H_
