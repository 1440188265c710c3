// The library's only contact with the operating system for reading:
// opening, positional reads, the file's length and errno translation.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file.h"
#include "platform/file.h"

namespace ostrand_dat {
namespace {

IoErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT:
      return IoErrorKind::NotFound;
    case EPERM:
    case EACCES:
      return IoErrorKind::PermissionDenied;
    case ECONNREFUSED:
      return IoErrorKind::ConnectionRefused;
    case ECONNRESET:
      return IoErrorKind::ConnectionReset;
    case EHOSTUNREACH:
      return IoErrorKind::HostUnreachable;
    case ENETUNREACH:
      return IoErrorKind::NetworkUnreachable;
    case ECONNABORTED:
      return IoErrorKind::ConnectionAborted;
    case ENOTCONN:
      return IoErrorKind::NotConnected;
    case EADDRINUSE:
      return IoErrorKind::AddrInUse;
    case EADDRNOTAVAIL:
      return IoErrorKind::AddrNotAvailable;
    case ENETDOWN:
      return IoErrorKind::NetworkDown;
    case EPIPE:
      return IoErrorKind::BrokenPipe;
    case EEXIST:
      return IoErrorKind::AlreadyExists;
    case EAGAIN:
      return IoErrorKind::WouldBlock;
    case ENOTDIR:
      return IoErrorKind::NotADirectory;
    case EISDIR:
      return IoErrorKind::IsADirectory;
    case ENOTEMPTY:
      return IoErrorKind::DirectoryNotEmpty;
    case EROFS:
      return IoErrorKind::ReadOnlyFilesystem;
    case ESTALE:
      return IoErrorKind::StaleNetworkFileHandle;
    case EINVAL:
      return IoErrorKind::InvalidInput;
    case ETIMEDOUT:
      return IoErrorKind::TimedOut;
    case ENOSPC:
      return IoErrorKind::StorageFull;
    case ESPIPE:
      return IoErrorKind::NotSeekable;
    case EDQUOT:
      return IoErrorKind::QuotaExceeded;
    case EFBIG:
      return IoErrorKind::FileTooLarge;
    case EBUSY:
      return IoErrorKind::ResourceBusy;
    case ETXTBSY:
      return IoErrorKind::ExecutableFileBusy;
    case EDEADLK:
      return IoErrorKind::Deadlock;
    case EXDEV:
      return IoErrorKind::CrossesDevices;
    case EMLINK:
      return IoErrorKind::TooManyLinks;
    case ENAMETOOLONG:
      return IoErrorKind::InvalidFilename;
    case E2BIG:
      return IoErrorKind::ArgumentListTooLong;
    case EINTR:
      return IoErrorKind::Interrupted;
    case ENOSYS:
      return IoErrorKind::Unsupported;
    case ENOMEM:
      return IoErrorKind::OutOfMemory;
    default:
      return IoErrorKind::Uncategorized;
  }
}

// The system's description of `code`, without locale decoration.
std::string describe_errno(int code) {
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be `buffer`,
  // never null: a number it does not know is "Unknown error N".
  return strerror_r(code, buffer, sizeof buffer);
}

}  // namespace

IoError IoError::from_os(int code) {
  IoError error(kind_of_errno(code), describe_errno(code));
  error.os_code_ = code;
  return error;
}

std::expected<File, IoError> File::open_read_only(
    const std::filesystem::path& path) {
  // The system would take the path only up to a NUL byte and open another
  // file than the one named.
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(IoError::from_os(EINVAL));
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  return FileAccess::adopt(fd);
}

File::File(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
File::File(File&& other) noexcept = default;

File& File::operator=(File&& other) noexcept {
  // The file replaced is released here, as its destructor would release it;
  // letting the handle go alone would leak the descriptor.
  if (this != &other) {
    File replaced(std::move(*this));
    handle_ = std::move(other.handle_);
  }
  return *this;
}

File::~File() {
  // A read-only descriptor has nothing to flush: whatever close says, the
  // file is released.
  if (handle_) ::close(handle_->fd);
}

namespace platform {

ReadResult read_fully(const File& file, std::uint64_t offset,
                      std::span<const std::span<std::byte>> parts,
                      std::size_t done) {
  const int fd = FileAccess::descriptor(file);
  ReadResult result{done, std::nullopt};
  // The parts still to fill, the first one cut where the next byte goes.
  iovec vectors[kMaxReadParts];
  std::size_t count = 0;
  for (std::span<std::byte> part :
       parts.first(std::min(parts.size(), kMaxReadParts))) {
    if (!part.empty()) vectors[count++] = {part.data(), part.size()};
  }
  iovec* next = vectors;
  iovec* const end = vectors + count;
  // Drops the first `n` bytes of the parts still to fill.
  auto skip = [&](std::size_t n) {
    while (next != end && n >= next->iov_len) n -= next++->iov_len;
    if (n != 0) {
      next->iov_base = static_cast<std::byte*>(next->iov_base) + n;
      next->iov_len -= n;
    }
  };
  skip(done);
  // Invariant: result.filled bytes are in place, and `next` starts at the
  // next byte to read, file position offset + result.filled. Exits: all
  // parts full, the end of the file (a read of 0 bytes), or a failure
  // other than an interruption.
  while (next != end) {
    const std::uint64_t at = offset + result.filled;
    // Nothing lies at offsets that off_t cannot name.
    if (at > static_cast<std::uint64_t>(LLONG_MAX)) break;
    // One read asks for at most kMaxRead bytes: a longer first part is
    // taken in pieces, and later parts wait for a read of their own.
    iovec* last = next;
    std::size_t asked = std::min(next->iov_len, kMaxRead);
    const iovec first_whole = *next;
    next->iov_len = asked;
    while (last + 1 != end && last[1].iov_len <= kMaxRead - asked) {
      asked += (++last)->iov_len;
    }
    const ssize_t n = ::preadv(fd, next, static_cast<int>(last + 1 - next),
                               static_cast<off_t>(at));
    next->iov_len = first_whole.iov_len;
    if (n < 0) {
      if (errno == EINTR) continue;
      result.failure = IoError::from_os(errno);
      break;
    }
    if (n == 0) break;
    result.filled += static_cast<std::size_t>(n);
    skip(static_cast<std::size_t>(n));
  }
  return result;
}

std::expected<void, IoError> finish_exact_read(const File& file,
                                               std::uint64_t offset,
                                               std::span<std::byte> head,
                                               std::span<std::byte> tail,
                                               ssize_t first, int first_errno) {
  if (first == 0) return std::unexpected(IoError::unexpected_eof());
  if (first < 0 && first_errno != EINTR) {
    return std::unexpected(IoError::from_os(first_errno));
  }
  const std::size_t done = first < 0 ? 0 : static_cast<std::size_t>(first);
  ReadResult result = read_fully(file, offset, head, tail, done);
  if (result.failure) return std::unexpected(std::move(*result.failure));
  if (result.filled < head.size() + tail.size()) {
    return std::unexpected(IoError::unexpected_eof());
  }
  return {};
}

std::expected<std::uint64_t, IoError> file_length(const File& file) {
  struct stat status;
  if (::fstat(FileAccess::descriptor(file), &status) != 0) {
    return std::unexpected(IoError::from_os(errno));
  }
  return static_cast<std::uint64_t>(status.st_size);
}

}  // namespace platform
}  // namespace ostrand_dat
