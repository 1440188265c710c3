#include <sys/mman.h>

#include <cstdint>

#include "memory.h"

namespace ostrand_dat::platform {

void advise_huge_pages(void* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + size) & ~(kHugePage - 1);
  if (first >= last) return;
  // Failure (a kernel without transparent huge pages) leaves the buffer as
  // it was, which is all the advice could change.
  (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace ostrand_dat::platform
