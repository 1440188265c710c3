// The directory map's storage: large buffers straight from the system,
// aligned and advised for huge pages, grown by remapping.
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "platform/map_memory.h"

namespace ostrand_dat {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_to_huge_pages(std::size_t bytes) {
  return (bytes + kHugePage - 1) & ~(kHugePage - 1);
}

// `size` bytes (a multiple of kHugePage) of fresh address space that start
// on a 2 MiB boundary, with `protection`; nullptr when there is none. The
// kernel places mappings on page boundaries only, so one huge page more is
// mapped and the ends outside the boundary are given back.
void* map_aligned(std::size_t size, int protection) {
  if (size > SIZE_MAX - kHugePage) return nullptr;
  const std::size_t mapped = size + kHugePage;
  void* raw =
      ::mmap(nullptr, mapped, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::size_t head = aligned - begin;
  if (head != 0) ::munmap(raw, head);
  // head < kHugePage: there is always a tail to give back.
  ::munmap(reinterpret_cast<void*>(aligned + size), kHugePage - head);
  return reinterpret_cast<void*>(aligned);
}

void advise_huge_pages(void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
  // Advice only: where it is refused the buffer stays on small pages.
  (void)::madvise(data, size, MADV_HUGEPAGE);
#else
  (void)data, (void)size;
#endif
}

// Grows a mapped buffer of `old_size` to `new_size` (multiples of
// kHugePage) by moving its pages, not their contents: in place when the
// address space after it is free, else to a fresh range on a 2 MiB
// boundary, so that its huge pages stay whole.
void* remap_larger(void* data, std::size_t old_size, std::size_t new_size) {
  if (::mremap(data, old_size, new_size, 0) != MAP_FAILED) return data;
  void* target = map_aligned(new_size, PROT_NONE);
  if (target == nullptr) return nullptr;
  void* moved =
      ::mremap(data, old_size, new_size, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (moved == MAP_FAILED) {
    ::munmap(target, new_size);
    return nullptr;
  }
  return moved;
}

}  // namespace

void* allocate_map_storage(std::size_t bytes) noexcept {
  if (bytes < kLargeMapBytes) return ::operator new(bytes, std::nothrow);
  const std::size_t size = round_to_huge_pages(bytes);
  if (size < bytes) return nullptr;  // rounding wrapped
  void* data = map_aligned(size, PROT_READ | PROT_WRITE);
  if (data != nullptr) advise_huge_pages(data, size);
  return data;
}

void* grow_map_storage(void* data, std::size_t old_bytes,
                       std::size_t new_bytes) noexcept {
  if (old_bytes >= kLargeMapBytes) {
    const std::size_t old_size = round_to_huge_pages(old_bytes);
    const std::size_t new_size = round_to_huge_pages(new_bytes);
    if (new_size < new_bytes) return nullptr;
    if (new_size == old_size) return data;
    void* grown = remap_larger(data, old_size, new_size);
    // The range that joined may not have the advice yet.
    if (grown != nullptr) advise_huge_pages(grown, new_size);
    return grown;
  }
  void* grown = allocate_map_storage(new_bytes);
  if (grown == nullptr) return nullptr;
  if (old_bytes != 0) std::memcpy(grown, data, old_bytes);
  free_map_storage(data, old_bytes);
  return grown;
}

void free_map_storage(void* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  if (bytes < kLargeMapBytes) {
    ::operator delete(data);
    return;
  }
  ::munmap(data, round_to_huge_pages(bytes));
}

}  // namespace ostrand_dat
