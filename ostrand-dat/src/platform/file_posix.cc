// The library's only contact with the operating system: opening, positional
// reads, the file length, whole-file writes and errno translation.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file.h"
#include "read_at_once.h"

namespace ostrand_dat {
namespace {

IoErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::NotFound;
    case EPERM:
    case EACCES: return IoErrorKind::PermissionDenied;
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case EHOSTUNREACH: return IoErrorKind::HostUnreachable;
    case ENETUNREACH: return IoErrorKind::NetworkUnreachable;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    case ENOTCONN: return IoErrorKind::NotConnected;
    case EADDRINUSE: return IoErrorKind::AddrInUse;
    case EADDRNOTAVAIL: return IoErrorKind::AddrNotAvailable;
    case ENETDOWN: return IoErrorKind::NetworkDown;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case ENOTDIR: return IoErrorKind::NotADirectory;
    case EISDIR: return IoErrorKind::IsADirectory;
    case ENOTEMPTY: return IoErrorKind::DirectoryNotEmpty;
    case EROFS: return IoErrorKind::ReadOnlyFilesystem;
    case ESTALE: return IoErrorKind::StaleNetworkFileHandle;
    case EINVAL: return IoErrorKind::InvalidInput;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case ENOSPC: return IoErrorKind::StorageFull;
    case ESPIPE: return IoErrorKind::NotSeekable;
    case EDQUOT: return IoErrorKind::QuotaExceeded;
    case EFBIG: return IoErrorKind::FileTooLarge;
    case EBUSY: return IoErrorKind::ResourceBusy;
    case ETXTBSY: return IoErrorKind::ExecutableFileBusy;
    case EDEADLK: return IoErrorKind::Deadlock;
    case EXDEV: return IoErrorKind::CrossesDevices;
    case EMLINK: return IoErrorKind::TooManyLinks;
    case ENAMETOOLONG: return IoErrorKind::InvalidFilename;
    case E2BIG: return IoErrorKind::ArgumentListTooLong;
    case EINTR: return IoErrorKind::Interrupted;
    case ENOSYS: return IoErrorKind::Unsupported;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    default: return IoErrorKind::Uncategorized;
  }
}

// The system's description of `code`, without locale decoration.
std::string describe_errno(int code) {
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be `buffer`.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text != nullptr ? std::string(text) : "Unknown error " + std::to_string(code);
}

}  // namespace

IoError IoError::from_os(int code) {
  IoError error(kind_of_errno(code), describe_errno(code));
  error.os_code_ = code;
  return error;
}

std::expected<File, IoError> File::open_read_only(
    const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  return File(fd);
}

File::File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::size_t, IoError> File::read_at_some(
    std::uint64_t offset, std::span<std::byte> buffer) const {
  return read_at_some(offset, buffer, {});
}

std::expected<std::size_t, IoError> File::read_at_some(
    std::uint64_t offset, std::span<std::byte> head,
    std::span<std::byte> tail) const {
  // Offsets beyond what off_t holds lie past any file: nothing to read.
  if (offset > static_cast<std::uint64_t>(LLONG_MAX)) return 0;
  if (head.size() > platform::kMaxRead) {
    head = head.first(platform::kMaxRead), tail = {};
  }
  if (tail.size() > platform::kMaxRead - head.size()) {
    tail = tail.first(platform::kMaxRead - head.size());
  }
  const ssize_t n = platform::read_at_once(fd_, offset, head, tail);
  if (n < 0) return std::unexpected(IoError::from_os(errno));
  return static_cast<std::size_t>(n);
}

namespace {

// The rest of an exact read whose first read, of `first` bytes or failing
// with `first_error`, did not fill both buffers. Invariant: the bytes
// before `head` (and before `tail` once head is empty) are filled, and
// `offset` is the file position of head's first byte. Kept out of line so
// that the one-read path stays a plain call.
[[gnu::noinline]] std::expected<void, IoError> finish_exact_read(
    const File& file, std::uint64_t offset, std::span<std::byte> head,
    std::span<std::byte> tail, ssize_t first, int first_error) {
  if (first == 0) return std::unexpected(IoError::unexpected_eof());
  if (first < 0 && first_error != EINTR) {
    return std::unexpected(IoError::from_os(first_error));
  }
  if (first > 0) {
    const auto done = static_cast<std::size_t>(first);
    const std::size_t from_head = std::min(done, head.size());
    tail = tail.subspan(done - from_head);
    head = head.subspan(from_head);
    offset += done;
  }
  while (!head.empty() || !tail.empty()) {
    if (head.empty()) std::swap(head, tail);
    auto n = file.read_at_some(offset, head, tail);
    if (!n) {
      if (n.error().kind() == IoErrorKind::Interrupted) continue;
      return std::unexpected(std::move(n.error()));
    }
    if (*n == 0) return std::unexpected(IoError::unexpected_eof());
    offset += *n;
    const std::size_t from_head = std::min(*n, head.size());
    head = head.subspan(from_head);
    tail = tail.subspan(*n - from_head);
  }
  return {};
}

}  // namespace

std::expected<void, IoError> File::read_exact_at(
    std::uint64_t offset, std::span<std::byte> head,
    std::span<std::byte> tail) const {
  // The common case straight to the system: one read fills both. The
  // directory walk makes one such read per block.
  const std::size_t wanted = head.size() + tail.size();
  if (wanted == 0) return {};
  if (!platform::fits_one_read(offset, wanted)) {
    // Taken as a first read that was interrupted: the loop starts from the
    // beginning with read_at_some, which reads such a request in parts, or
    // finds nothing past what an offset can name.
    return finish_exact_read(*this, offset, head, tail, -1, EINTR);
  }
  const ssize_t n = platform::read_at_once(fd_, offset, head, tail);
  if (n == static_cast<ssize_t>(wanted)) [[likely]] return {};
  return finish_exact_read(*this, offset, head, tail, n, n < 0 ? errno : 0);
}

std::expected<std::uint64_t, IoError> File::length() const {
  struct stat status;
  if (::fstat(fd_, &status) != 0) {
    return std::unexpected(IoError::from_os(errno));
  }
  return static_cast<std::uint64_t>(status.st_size);
}

std::expected<void, IoError> write_whole_file(const std::filesystem::path& path,
                                              std::span<const std::byte> bytes) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      ::close(fd);
      return std::unexpected(IoError::from_os(code));
    }
    if (n == 0) {
      ::close(fd);
      return std::unexpected(
          IoError(IoErrorKind::WriteZero, "failed to write whole buffer"));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  if (::close(fd) != 0 && errno != EINTR) {
    return std::unexpected(IoError::from_os(errno));
  }
  return {};
}

}  // namespace ostrand_dat
