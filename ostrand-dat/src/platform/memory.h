// Memory advice for large buffers the library fills once.
#ifndef OSTRAND_DAT_SRC_PLATFORM_MEMORY_H_
#define OSTRAND_DAT_SRC_PLATFORM_MEMORY_H_

#include <cstddef>

namespace ostrand_dat::platform {

// Asks the system to back the whole 2 MiB pages inside [data, data + size)
// with huge pages where it offers them on request: a large buffer written
// front to back then takes a page fault per 2 MiB instead of per 4 KiB.
// Pages are still only taken as they are touched. Advice only: contents
// are unchanged, and where it is not supported nothing happens.
void advise_huge_pages(void* data, std::size_t size);

}  // namespace ostrand_dat::platform

#endif  // OSTRAND_DAT_SRC_PLATFORM_MEMORY_H_
