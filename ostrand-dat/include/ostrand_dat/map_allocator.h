// Storage for the directory map, which holds 24 bytes per entry and fills
// tens of megabytes front to back on a large archive.
#ifndef OSTRAND_DAT_MAP_ALLOCATOR_H_
#define OSTRAND_DAT_MAP_ALLOCATOR_H_

#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace ostrand_dat::detail {

// Buffers of kLargeMapBytes or more are mapped from the system on a 2 MiB
// boundary, rounded up to whole 2 MiB, and advised to use huge pages where
// the system offers them on request: filling a million entries (24 MB)
// then takes a dozen page faults instead of six thousand. Pages are only taken as they
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

  // Growing by resize() leaves the new elements' bytes as they are instead
  // of zeroing them: the map's one grower copies every new entry in whole
  // right after, and a second pass over tens of megabytes is what it saves.
  // Only for trivially copyable types, whose objects a copy of their bytes
  // brings into being. Every other construction is the usual one.
  template <class U>
  void construct(U*) noexcept {
    static_assert(std::is_trivially_copyable_v<U> &&
                  std::is_trivially_destructible_v<U>);
  }
  template <class U, class... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }

  template <class U>
  friend bool operator==(const MapAllocator&, const MapAllocator<U>&) {
    return true;
  }
};

}  // namespace ostrand_dat::detail

#endif  // OSTRAND_DAT_MAP_ALLOCATOR_H_
