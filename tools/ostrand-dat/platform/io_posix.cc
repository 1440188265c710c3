#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>

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

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Renames `from` to `to` unless `to` exists, in one step where the file
// system offers it, else by a hard link (which fails on an existing name)
// and the removal of `from`.
int rename_no_replace(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (::link(from, to) != 0) return -1;
  ::unlink(from);
  return 0;
}

// The temporary files that exist now. A file is created and registered,
// and renamed or removed and forgotten, with the mutex held, so that the
// signal thread, which takes the mutex and never gives it back, finds every
// temporary file there is and no new one appears after it.
struct Temporaries {
  std::mutex mutex;
  std::unordered_set<std::string> paths;
};

Temporaries& temporaries() {
  static Temporaries registry;
  return registry;
}

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t cleanup_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kCleanupSignals) sigaddset(&set, signal);
  return set;
}

[[noreturn]] void remove_temporaries_and_die(int signal) {
  Temporaries& registry = temporaries();
  registry.mutex.lock();  // held until the process ends
  for (const std::string& path : registry.paths) ::unlink(path.c_str());
  std::signal(signal, SIG_DFL);
  const sigset_t set = cleanup_signals();
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);  // not reached: the default action ends the process
}

// Decimal digits as std::to_string writes them: no sign, no leading zero.
bool plain_number(std::string_view text) {
  return !text.empty() && (text.size() == 1 || text[0] != '0') &&
         std::all_of(text.begin(), text.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c)) != 0;
         });
}

// The process that made the temporary file `name`, when `name` is
// ".NAME.tmp-PID-N" (as PendingFile::create makes it) and `ours` accepts
// NAME; else 0.
pid_t temporary_owner(std::string_view name,
                      const std::function<bool(std::string_view name)>& ours) {
  const std::size_t dash = name.rfind('-');
  if (!name.starts_with('.') || dash == name.npos ||
      !plain_number(name.substr(dash + 1))) {
    return 0;
  }
  const std::string_view head = name.substr(0, dash);  // ".NAME.tmp-PID"
  const std::size_t tmp = head.rfind(".tmp-");
  if (tmp == head.npos || tmp < 2) return 0;  // NAME has a character at least
  const std::string_view pid = head.substr(tmp + 5);
  pid_t owner = 0;
  if (!plain_number(pid) ||
      std::from_chars(pid.data(), pid.data() + pid.size(), owner).ec !=
          std::errc() ||
      !ours(name.substr(1, tmp - 1))) {
    return 0;
  }
  return owner;
}

}  // namespace

void remove_stale_temporaries(
    const std::filesystem::path& dir,
    const std::function<bool(std::string_view name)>& ours) {
  DIR* listing = ::opendir(dir.empty() ? "." : dir.c_str());
  if (listing == nullptr) return;
  const int fd = ::dirfd(listing);
  // Ends at the end of the listing or at its first failure.
  while (const dirent* entry = ::readdir(listing)) {
    const pid_t owner = temporary_owner(entry->d_name, ours);
    // Signal 0 only asks whether the process exists; ESRCH: it does not.
    if (owner <= 0 || ::kill(owner, 0) == 0 || errno != ESRCH) continue;
    struct stat status;
    if (::fstatat(fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode)) {
      ::unlinkat(fd, entry->d_name, 0);
    }
  }
  ::closedir(listing);
}

void remove_stale_temporaries(const std::filesystem::path& target) {
  const std::string name = target.filename().string();
  remove_stale_temporaries(target.parent_path(),
                           [&](std::string_view ours) { return ours == name; });
}

void remove_temporaries_on_signals() {
  const sigset_t set = cleanup_signals();
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
  try {
    std::thread([set] {
      int signal = 0;
      while (::sigwait(&set, &signal) != 0) {
      }
      remove_temporaries_and_die(signal);
    }).detach();
  } catch (const std::system_error&) {
    // No thread to be had: the signals keep their default action.
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

void ignore_write_signals() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

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

std::expected<std::vector<std::byte>, IoError> read_whole_file(
    const std::filesystem::path& path, std::uint64_t limit) {
  const int fd = open_retrying(path.c_str(), O_RDONLY);
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

std::expected<InputFile, IoError> InputFile::open(
    const std::filesystem::path& path) {
  const int fd = open_retrying(path.c_str(), O_RDONLY);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  return InputFile(fd);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::uint64_t, IoError> InputFile::size() const {
  struct stat status;
  if (::fstat(fd_, &status) != 0) {
    return std::unexpected(IoError::from_os(errno));
  }
  return static_cast<std::uint64_t>(status.st_size);
}

std::expected<std::size_t, IoError> InputFile::read_at(
    std::uint64_t offset, std::span<std::byte> buffer) const {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t got =
        ::pread(fd_, buffer.data() + filled, buffer.size() - filled,
                static_cast<off_t>(offset + filled));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_os(errno));
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return filled;
}

std::expected<FileStatus, IoError> file_status(
    const std::filesystem::path& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) != 0) {
    return std::unexpected(IoError::from_os(errno));
  }
  return FileStatus{static_cast<std::uint64_t>(status.st_size),
                    S_ISREG(status.st_mode)};
}

std::expected<PendingFile, IoError> PendingFile::create(
    const std::filesystem::path& target) {
  // Hidden, and unique among this process's files and other processes'
  // by the process id; a name left by a dead process is skipped.
  static std::atomic<unsigned> counter{0};
  constexpr int kAttempts = 100;
  int code = EEXIST;
  for (int attempt = 0; attempt < kAttempts && code == EEXIST; ++attempt) {
    std::filesystem::path temporary =
        target.parent_path() /
        ("." + target.filename().string() + ".tmp-" +
         std::to_string(::getpid()) + "-" + std::to_string(counter++));
    Temporaries& registry = temporaries();
    const std::lock_guard lock(registry.mutex);
    const int fd =
        open_retrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd >= 0) {
      registry.paths.insert(temporary.string());
      return PendingFile(fd, std::move(temporary), target);
    }
    code = errno;
  }
  return std::unexpected(IoError::from_os(code));
}

PendingFile::PendingFile(PendingFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      temporary_(std::move(other.temporary_)),
      target_(std::move(other.target_)) {
  other.temporary_.clear();
}

PendingFile::~PendingFile() { discard(); }

void PendingFile::discard() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (temporary_.empty()) return;
  Temporaries& registry = temporaries();
  const std::lock_guard lock(registry.mutex);
  ::unlink(temporary_.c_str());
  registry.paths.erase(temporary_.string());
  temporary_.clear();
}

std::expected<void, IoError> PendingFile::write(
    std::span<const std::byte> bytes) {
  return write_all(fd_, bytes);
}

std::expected<void, IoError> PendingFile::write_at(
    std::uint64_t offset, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t written =
        ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_os(errno));
    }
    bytes = bytes.subspan(static_cast<std::size_t>(written));
    offset += static_cast<std::uint64_t>(written);
  }
  return {};
}

std::expected<void, IoError> PendingFile::resize(std::uint64_t size) {
  while (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return std::unexpected(IoError::from_os(errno));
  }
  return {};
}

std::expected<void, IoError> PendingFile::commit(bool replace) {
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) {
      const int code = errno;
      discard();
      return std::unexpected(IoError::from_os(code));
    }
  }
  auto closed = close();
  if (!closed) return closed;
  return place(replace);
}

std::expected<void, IoError> PendingFile::close() {
  // After a failed close the descriptor is gone all the same, and the
  // file's contents are in doubt: the file fails.
  if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) {
    const int code = errno;
    discard();
    return std::unexpected(IoError::from_os(code));
  }
  return {};
}

std::expected<void, IoError> PendingFile::place(bool replace) {
  int code = 0;
  {
    Temporaries& registry = temporaries();
    const std::lock_guard lock(registry.mutex);
    const int renamed =
        replace ? ::rename(temporary_.c_str(), target_.c_str())
                : rename_no_replace(temporary_.c_str(), target_.c_str());
    if (renamed == 0) {
      registry.paths.erase(temporary_.string());
      temporary_.clear();
      return {};
    }
    code = errno;
  }
  discard();
  return std::unexpected(IoError::from_os(code));
}

void sync_directory(const std::filesystem::path& dir) {
  const int fd =
      open_retrying(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  const Descriptor directory(fd);
  while (::fsync(fd) != 0 && errno == EINTR) {
  }
}

std::expected<void, IoError> sync_file_system(
    const std::filesystem::path& dir) {
  const int fd =
      open_retrying(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return std::unexpected(IoError::from_os(errno));
  const Descriptor directory(fd);
  if (::syncfs(fd) != 0) return std::unexpected(IoError::from_os(errno));
  return {};
}

}  // namespace ostrand_dat::tool
