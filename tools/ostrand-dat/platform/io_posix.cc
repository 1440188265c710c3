#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string>

#include "platform/io.h"

namespace ostrand_dat::tool {
namespace {

// Closes the descriptor when the read is done, whichever way it ends.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { ::close(fd_); }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

void ignore_broken_pipe_signal() { std::signal(SIGPIPE, SIG_IGN); }

std::expected<void, IoError> write_all(int fd,
                                       std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_os(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return {};
}

std::expected<void, IoError> write_whole_file(const std::filesystem::path& path,
                                              std::span<const std::byte> bytes) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  auto written = write_all(fd, bytes);
  if (::close(fd) != 0 && errno != EINTR && written) {
    return std::unexpected(IoError::from_os(errno));
  }
  return written;
}

std::expected<std::vector<std::byte>, IoError> read_whole_file(
    const std::filesystem::path& path, std::uint64_t limit) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  const Descriptor file(fd);
  const auto too_large = [limit] {
    return IoError(IoErrorKind::FileTooLarge,
                   "file is larger than " + std::to_string(limit) + " bytes");
  };

  // A regular file is read into room for its size and one byte more, so
  // that the read which finds its end needs no growth.
  constexpr std::size_t kChunk = 65536;
  std::size_t room = kChunk;
  struct stat status;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
    if (static_cast<std::uint64_t>(status.st_size) > limit) {
      return std::unexpected(too_large());
    }
    room = static_cast<std::size_t>(status.st_size) + 1;
  }
  std::vector<std::byte> contents(room);
  // Invariant: the first `filled` bytes of contents are the file's. Ends at
  // the first read that returns nothing.
  std::size_t filled = 0;
  while (true) {
    if (filled == contents.size()) {  // grow, but not far past the limit
      const std::uint64_t grown =
          contents.size() + std::max(contents.size(), kChunk);
      contents.resize(
          static_cast<std::size_t>(std::min<std::uint64_t>(grown, limit + 1)));
    }
    const ssize_t got =
        ::read(fd, contents.data() + filled, contents.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_os(errno));
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
    if (filled > limit) return std::unexpected(too_large());
  }
  contents.resize(filled);
  return contents;
}

}  // namespace ostrand_dat::tool
