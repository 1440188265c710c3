// Storage for the directory map, which holds 24 bytes per entry and fills
// tens of megabytes front to back on a large archive.
#ifndef OSTRAND_DAT_MAP_ALLOCATOR_H_
#define OSTRAND_DAT_MAP_ALLOCATOR_H_

#include <cstddef>
#include <limits>
#include <new>

namespace ostrand_dat::detail {

// Buffers of kLargeMapBytes or more are mapped from the system on a 2 MiB
// boundary, rounded up to whole 2 MiB, and advised to use huge pages where
// the system offers them on request: filling a million entries then takes
// a dozen page faults instead of six thousand. Pages are only taken as they
// are touched. Smaller buffers come from operator new. Both throw
// std::bad_alloc on failure.
inline constexpr std::size_t kLargeMapBytes = std::size_t{4} << 20;
void* allocate_map_storage(std::size_t bytes);
void free_map_storage(void* data, std::size_t bytes) noexcept;

template <class T>
struct MapAllocator {
  using value_type = T;

  MapAllocator() = default;
  template <class U>
  constexpr MapAllocator(const MapAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
      throw std::bad_array_new_length();
    }
    return static_cast<T*>(allocate_map_storage(n * sizeof(T)));
  }
  void deallocate(T* data, std::size_t n) noexcept {
    free_map_storage(data, n * sizeof(T));
  }

  template <class U>
  friend bool operator==(const MapAllocator&, const MapAllocator<U>&) {
    return true;
  }
};

}  // namespace ostrand_dat::detail

#endif  // OSTRAND_DAT_MAP_ALLOCATOR_H_
