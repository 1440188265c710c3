// A fault seam for tests: the system calls of the platform layers, replaced
// at link time. A test executable that links the CMake target
// ostrand_dat_fault_seam is linked with -Wl,--wrap=CALL for each call below,
// so that every reference to, say, preadv in the executable and in the
// static libraries it links goes to __wrap_preadv in fault_seam.cc. That
// forwards to __real_preadv (the C library's call, or a sanitizer's
// interceptor in front of it) unless a FaultScope is armed. Nothing else is
// built differently: the libraries and release builds pay nothing.
#ifndef OSTRAND_DAT_TESTS_SUPPORT_FAULT_SEAM_H_
#define OSTRAND_DAT_TESTS_SUPPORT_FAULT_SEAM_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrand_dat::testing {

// The calls the seam stands in front of, in families counted together.
enum class Call {
  kOpen,    // open
  kRead,    // preadv, pread, read
  kStat,    // fstat
  kWrite,   // write, pwrite
  kSync,    // fsync, fdatasync
  kClose,   // close
  kMemory,  // mmap, mremap, and operator new(size, std::nothrow)
};
inline constexpr Call kAllCalls[] = {Call::kOpen,  Call::kRead, Call::kStat,
                                     Call::kWrite, Call::kSync, Call::kClose,
                                     Call::kMemory};
const char* call_name(Call call);

// What happens to one call.
struct Fault {
  enum class Kind {
    kInterrupt,  // fails with EINTR
    kShort,      // a read or write moves at most one byte; others run as usual
    kNothing,    // a read finds the end of the file, a write writes nothing
    kError,      // fails with `error`; a memory request gets none
  };
  Call call;
  std::size_t index;  // among the armed calls of its family, from 0
  Kind kind;
  int error = 0;  // for kError, an errno value
};
// "EINTR on read 3" and the like, for traces.
std::string describe(const Fault& fault);

// A read or write that moved bytes.
struct Transfer {
  Call call;
  std::int64_t offset;  // -1 for a call at the file position
  std::size_t bytes;
  std::size_t sequence;  // of the call, among all armed calls
};

// Arms the seam for its lifetime and injects `fault` when its call comes. A
// failing call does nothing, as a real one that fails does, except close,
// which releases the descriptor first (Linux always does). Counts and
// records only calls on descriptors above 2, so that the standard streams,
// which GoogleTest writes to, never meet a fault; every open and memory
// request is counted. Only references from the executable's own objects and
// static libraries reach the seam (not those inside shared libraries such as
// libstdc++), so the memory family sees the library's map storage but not
// the standard allocator. One scope at a time; the calls may come from any
// thread.
class FaultScope {
 public:
  explicit FaultScope(std::optional<Fault> fault = std::nullopt);
  ~FaultScope();
  FaultScope(const FaultScope&) = delete;
  FaultScope& operator=(const FaultScope&) = delete;

  // Armed calls of a family so far.
  std::size_t calls(Call call) const;
  // The sequence number of the call that met the fault, if one did.
  std::optional<std::size_t> injected_at() const;
  // Every read and write that moved bytes, in call order.
  std::vector<Transfer> transfers() const;
};

}  // namespace ostrand_dat::testing

#endif  // OSTRAND_DAT_TESTS_SUPPORT_FAULT_SEAM_H_
