#include "fault_seam.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <new>

namespace ostrand_dat::testing {
namespace {

// What the seam does with one call.
struct Decision {
  bool counted = false;   // armed, and on a descriptor above 2
  bool fail = false;      // return -1 with `error`
  bool one_byte = false;  // move at most one byte
  bool nothing = false;   // move no byte: return 0
  int error = 0;
  std::size_t sequence = 0;
};

struct State {
  std::mutex mutex;
  std::optional<Fault> fault;
  std::array<std::size_t, std::size(kAllCalls)> calls{};
  std::size_t sequence = 0;
  std::optional<std::size_t> injected_at;
  std::vector<Transfer> transfers;
};

// Read without the lock on every call, so that an unarmed seam costs one
// load; the state behind it only under the lock.
std::atomic<bool> armed{false};

State& state() {
  static State instance;
  return instance;
}

Decision decide(Call call, int fd) {
  Decision decision;
  if (!armed.load(std::memory_order_acquire)) return decision;
  if (call != Call::kOpen && call != Call::kMemory && fd <= STDERR_FILENO) {
    return decision;
  }
  State& s = state();
  std::lock_guard lock(s.mutex);
  decision.counted = true;
  decision.sequence = s.sequence++;
  const std::size_t index = s.calls[static_cast<std::size_t>(call)]++;
  const std::optional<Fault>& fault = s.fault;
  if (!fault || fault->call != call || fault->index != index) return decision;
  s.injected_at = decision.sequence;
  switch (fault->kind) {
    case Fault::Kind::kInterrupt:
      decision.fail = true;
      decision.error = EINTR;
      break;
    case Fault::Kind::kShort:
      decision.one_byte = call == Call::kRead || call == Call::kWrite;
      break;
    case Fault::Kind::kNothing:
      decision.nothing = call == Call::kRead || call == Call::kWrite;
      break;
    case Fault::Kind::kError:
      decision.fail = true;
      decision.error = fault->error;
      break;
  }
  return decision;
}

// Notes what a counted read or write moved; keeps errno as the call set it.
void record(const Decision& decision, Call call, std::int64_t offset,
            ssize_t moved) {
  if (!decision.counted || moved <= 0) return;
  const int saved = errno;
  State& s = state();
  {
    std::lock_guard lock(s.mutex);
    s.transfers.push_back(Transfer{
        call, offset, static_cast<std::size_t>(moved), decision.sequence});
  }
  errno = saved;
}

// The first byte of `parts`, as one part: a request cut short.
int first_byte(const iovec* parts, int count, iovec& one) {
  for (int i = 0; i < count; ++i) {
    if (parts[i].iov_len != 0) {
      one = {parts[i].iov_base, 1};
      return 1;
    }
  }
  return 0;
}

int fail_with(int error) {
  errno = error;
  return -1;
}

}  // namespace

const char* call_name(Call call) {
  switch (call) {
    case Call::kOpen:
      return "open";
    case Call::kRead:
      return "read";
    case Call::kStat:
      return "stat";
    case Call::kWrite:
      return "write";
    case Call::kSync:
      return "sync";
    case Call::kClose:
      return "close";
    case Call::kMemory:
      return "memory";
  }
  return "?";
}

std::string describe(const Fault& fault) {
  std::string what;
  switch (fault.kind) {
    case Fault::Kind::kInterrupt:
      what = "EINTR";
      break;
    case Fault::Kind::kShort:
      what = "one byte";
      break;
    case Fault::Kind::kNothing:
      what = "nothing";
      break;
    case Fault::Kind::kError:
      what = strerrorname_np(fault.error);
      break;
  }
  return what + " on " + call_name(fault.call) + " " +
         std::to_string(fault.index);
}

FaultScope::FaultScope(std::optional<Fault> fault) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  assert(!armed.load() && "one FaultScope at a time");
  s.fault = fault;
  s.calls.fill(0);
  s.sequence = 0;
  s.injected_at.reset();
  s.transfers.clear();
  armed.store(true, std::memory_order_release);
}

FaultScope::~FaultScope() { armed.store(false, std::memory_order_release); }

std::size_t FaultScope::calls(Call call) const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.calls[static_cast<std::size_t>(call)];
}

std::optional<std::size_t> FaultScope::injected_at() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.injected_at;
}

std::vector<Transfer> FaultScope::transfers() const {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.transfers;
}

}  // namespace ostrand_dat::testing

using ostrand_dat::testing::Call;
using ostrand_dat::testing::decide;
using ostrand_dat::testing::Decision;
using ostrand_dat::testing::fail_with;
using ostrand_dat::testing::record;

namespace {

// A read or write of `size` bytes through `real(size)`, as the armed
// fault has it: failed, moving nothing, moving one byte, or as asked.
template <class Real>
ssize_t transfer(Call call, int fd, off_t offset, size_t size, Real real) {
  const Decision d = decide(call, fd);
  if (d.fail) return fail_with(d.error);
  if (d.nothing) return 0;
  const ssize_t n = real(d.one_byte ? std::min<size_t>(size, 1) : size);
  record(d, call, offset, n);
  return n;
}

// Any other call: failed as the fault says, else `real()`.
template <class Real>
int other(Call call, int fd, Real real) {
  const Decision d = decide(call, fd);
  if (d.fail) return fail_with(d.error);
  return real();
}

}  // namespace

// The wrapped calls. Each asks decide(), then fails or moves nothing as the
// fault says, or forwards to the real call (cut to one byte for a short
// transfer) and records what moved.
extern "C" {
int __real_open(const char* path, int flags, ...);
ssize_t __real_preadv(int fd, const iovec* parts, int count, off_t offset);
ssize_t __real_pread(int fd, void* data, size_t size, off_t offset);
ssize_t __real_read(int fd, void* data, size_t size);
int __real_fstat(int fd, struct stat* status);
ssize_t __real_write(int fd, const void* data, size_t size);
ssize_t __real_pwrite(int fd, const void* data, size_t size, off_t offset);
int __real_fsync(int fd);
int __real_fdatasync(int fd);
int __real_close(int fd);
void* __real_mmap(void* at, size_t size, int protection, int flags, int fd,
                  off_t offset);
void* __real_mremap(void* old, size_t old_size, size_t new_size, int flags,
                    ...);
// operator new(std::size_t, const std::nothrow_t&), by its LP64 name.
void* __real__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag);

int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  const Decision d = decide(Call::kOpen, -1);
  if (d.fail) return fail_with(d.error);
  return __real_open(path, flags, mode);
}

ssize_t __wrap_preadv(int fd, const iovec* parts, int count, off_t offset) {
  const Decision d = decide(Call::kRead, fd);
  if (d.fail) return fail_with(d.error);
  if (d.nothing) return 0;
  iovec one;
  if (d.one_byte) {
    count = ostrand_dat::testing::first_byte(parts, count, one);
    parts = &one;
  }
  const ssize_t n = __real_preadv(fd, parts, count, offset);
  record(d, Call::kRead, offset, n);
  return n;
}

ssize_t __wrap_pread(int fd, void* data, size_t size, off_t offset) {
  return transfer(Call::kRead, fd, offset, size,
                  [&](size_t n) { return __real_pread(fd, data, n, offset); });
}

ssize_t __wrap_read(int fd, void* data, size_t size) {
  return transfer(Call::kRead, fd, -1, size,
                  [&](size_t n) { return __real_read(fd, data, n); });
}

int __wrap_fstat(int fd, struct stat* status) {
  return other(Call::kStat, fd, [&] { return __real_fstat(fd, status); });
}

ssize_t __wrap_write(int fd, const void* data, size_t size) {
  return transfer(Call::kWrite, fd, -1, size,
                  [&](size_t n) { return __real_write(fd, data, n); });
}

ssize_t __wrap_pwrite(int fd, const void* data, size_t size, off_t offset) {
  return transfer(Call::kWrite, fd, offset, size,
                  [&](size_t n) { return __real_pwrite(fd, data, n, offset); });
}

int __wrap_fsync(int fd) {
  return other(Call::kSync, fd, [&] { return __real_fsync(fd); });
}

int __wrap_fdatasync(int fd) {
  return other(Call::kSync, fd, [&] { return __real_fdatasync(fd); });
}

int __wrap_close(int fd) {
  const Decision d = decide(Call::kClose, fd);
  const int result = __real_close(fd);
  if (d.fail) return fail_with(d.error);
  return result;
}

void* __wrap_mmap(void* at, size_t size, int protection, int flags, int fd,
                  off_t offset) {
  const Decision d = decide(Call::kMemory, fd);
  if (d.fail) {
    errno = d.error;
    return MAP_FAILED;
  }
  return __real_mmap(at, size, protection, flags, fd, offset);
}

void* __wrap_mremap(void* old, size_t old_size, size_t new_size, int flags,
                    ...) {
  void* target = nullptr;
  if ((flags & MREMAP_FIXED) != 0) {
    va_list arguments;
    va_start(arguments, flags);
    target = va_arg(arguments, void*);
    va_end(arguments);
  }
  const Decision d = decide(Call::kMemory, -1);
  if (d.fail) {
    errno = d.error;
    return MAP_FAILED;
  }
  return __real_mremap(old, old_size, new_size, flags, target);
}

void* __wrap__ZnwmRKSt9nothrow_t(std::size_t size, const std::nothrow_t& tag) {
  const Decision d = decide(Call::kMemory, -1);
  if (d.fail) return nullptr;
  return __real__ZnwmRKSt9nothrow_t(size, tag);
}
}
