// The directory map's storage: large buffers straight from the system,
// aligned and advised for huge pages.
#include <sys/mman.h>

#include <cstdint>
#include <new>

#include "ostrand_dat/map_allocator.h"

namespace ostrand_dat::detail {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_to_huge_pages(std::size_t bytes) {
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

}  // namespace

void* allocate_map_storage(std::size_t bytes) {
  if (bytes < kLargeMapBytes) return ::operator new(bytes);
  if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
  // Mapped with a huge page to spare, then trimmed to the 2 MiB boundary
  // inside it: the kernel places mappings on page boundaries only.
  const std::size_t size = round_to_huge_pages(bytes);
  const std::size_t mapped = size + kHugePage;
  void* raw = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto begin = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::size_t head = aligned - begin;
  if (head != 0) ::munmap(raw, head);
  if (kHugePage - head != 0) {
    ::munmap(reinterpret_cast<void*>(aligned + size), kHugePage - head);
  }
#ifdef MADV_HUGEPAGE
  // Advice only: where it is refused the buffer stays on small pages.
  (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void free_map_storage(void* data, std::size_t bytes) noexcept {
  if (bytes < kLargeMapBytes) {
    ::operator delete(data);
    return;
  }
  ::munmap(data, round_to_huge_pages(bytes));
}

}  // namespace ostrand_dat::detail
