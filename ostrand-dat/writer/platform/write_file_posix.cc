// The writer's only contact with the operating system.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/write_file.h"

namespace ostrand_dat::platform {

std::expected<void, IoError> write_whole_file(
    const std::filesystem::path& path, std::span<const std::byte> bytes) {
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(IoError::from_os(EINVAL));
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
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
  // A close that fails (EIO on a network or full file system) may have lost
  // written data; EINTR leaves the descriptor closed on Linux and says
  // nothing of the data.
  if (::close(fd) != 0 && errno != EINTR) {
    return std::unexpected(IoError::from_os(errno));
  }
  return {};
}

}  // namespace ostrand_dat::platform
