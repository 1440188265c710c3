#include "platform/process_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <utility>
#include <vector>

extern char** environ;

namespace parity::platform {
namespace {

// An owned file descriptor, closed when released. Move-only.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// A pipe whose two ends are close-on-exec, so that no other child started
// at the same time inherits them. Both ends are kept above 2: the child's
// dup2() onto 0, 1 and 2 then always makes a fresh, inheritable descriptor.
// Returns 0 or the errno value.
int make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  read_end = Fd(fds[0]);
  write_end = Fd(fds[1]);
  for (Fd* end : {&read_end, &write_end}) {
    if (end->get() > 2) continue;
    int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return errno;
    *end = Fd(moved);
  }
  return 0;
}

// posix_spawn's two attribute objects, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actions_ready_) posix_spawn_file_actions_destroy(&actions_);
    if (attr_ready_) posix_spawnattr_destroy(&attr_);
  }

  // Routes the child's 0, 1 and 2 to the given pipe ends and resets SIGPIPE
  // and the signal mask. Returns 0 or the error number.
  int prepare(int stdin_fd, int stdout_fd, int stderr_fd) {
    if (int rc = posix_spawn_file_actions_init(&actions_); rc != 0) return rc;
    actions_ready_ = true;
    if (int rc = posix_spawnattr_init(&attr_); rc != 0) return rc;
    attr_ready_ = true;
    const std::array<std::pair<int, int>, 3> routes = {
        {{stdin_fd, 0}, {stdout_fd, 1}, {stderr_fd, 2}}};
    for (auto [from, to] : routes) {
      if (int rc = posix_spawn_file_actions_adddup2(&actions_, from, to);
          rc != 0) {
        return rc;
      }
    }
    sigset_t to_default;
    sigemptyset(&to_default);
    sigaddset(&to_default, SIGPIPE);
    sigset_t empty;
    sigemptyset(&empty);
    if (int rc = posix_spawnattr_setsigdefault(&attr_, &to_default); rc != 0) {
      return rc;
    }
    if (int rc = posix_spawnattr_setsigmask(&attr_, &empty); rc != 0) {
      return rc;
    }
    return posix_spawnattr_setflags(
        &attr_, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attr() const { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  bool actions_ready_ = false;
  bool attr_ready_ = false;
};

std::unexpected<ProcessError> failure(ProcessStep step, int code) {
  return std::unexpected(ProcessError{step, code});
}

// Reads what is available on `fd` into `sink`; closes `fd` at end of file.
// Returns 0 or the errno value of a failed read.
int drain_once(Fd& fd, std::span<char> buffer, std::string& sink) {
  ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
  if (n > 0) {
    sink.append(buffer.data(), static_cast<std::size_t>(n));
  } else if (n == 0) {
    fd.reset();
  } else if (errno != EINTR && errno != EAGAIN) {
    return errno;
  }
  return 0;
}

}  // namespace

std::expected<ProcessOutput, ProcessError> run_process(
    const std::string& program, std::span<const std::string> args,
    std::string_view input) {
  Fd stdin_read, stdin_write, stdout_read, stdout_write, stderr_read,
      stderr_write;
  for (auto [read_end, write_end] : {std::pair{&stdin_read, &stdin_write},
                                     std::pair{&stdout_read, &stdout_write},
                                     std::pair{&stderr_read, &stderr_write}}) {
    if (int rc = make_pipe(*read_end, *write_end); rc != 0) {
      return failure(ProcessStep::kSpawn, rc);
    }
  }

  SpawnSetup setup;
  if (int rc = setup.prepare(stdin_read.get(), stdout_write.get(),
                             stderr_write.get());
      rc != 0) {
    return failure(ProcessStep::kSpawn, rc);
  }
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (int rc = posix_spawnp(&pid, program.c_str(), setup.actions(),
                            setup.attr(), argv.data(), environ);
      rc != 0) {
    return failure(ProcessStep::kSpawn, rc);
  }
  // The child holds its own copies now; ours would keep the pipes open.
  stdin_read.reset();
  stdout_write.reset();
  stderr_write.reset();

  // A full pipe must not block the loop below: the write end goes
  // non-blocking and is written only as far as poll() says it has room.
  if (::fcntl(stdin_write.get(), F_SETFL, O_NONBLOCK) != 0) {
    return failure(ProcessStep::kWriteStdin, errno);
  }

  ProcessOutput output;
  std::vector<char> buffer(64 * 1024);
  std::size_t written = 0;
  if (input.empty()) stdin_write.reset();
  // Invariant: input[0, written) has reached the pipe; stdin_write is open
  // exactly while written < input.size(). Every pass either moves data or
  // closes a descriptor after end of file or an error, so the loop ends
  // once the input is written and both outputs have reached end of file.
  while (stdin_write.is_open() || stdout_read.is_open() ||
         stderr_read.is_open()) {
    std::array<pollfd, 3> fds{};
    std::array<Fd*, 3> owners{};
    nfds_t count = 0;
    if (stdin_write.is_open()) {
      fds[count] = {stdin_write.get(), POLLOUT, 0};
      owners[count++] = &stdin_write;
    }
    for (Fd* out : {&stdout_read, &stderr_read}) {
      if (!out->is_open()) continue;
      fds[count] = {out->get(), POLLIN, 0};
      owners[count++] = out;
    }
    if (::poll(fds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      return failure(ProcessStep::kWait, errno);
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents == 0) continue;
      if (owners[i] == &stdin_write) {
        // POLLERR here means the reader is gone: the write reports EPIPE.
        ssize_t n = ::write(stdin_write.get(), input.data() + written,
                            input.size() - written);
        if (n < 0) {
          if (errno == EINTR || errno == EAGAIN) continue;
          return failure(ProcessStep::kWriteStdin, errno);
        }
        written += static_cast<std::size_t>(n);
        if (written == input.size()) stdin_write.reset();
      } else {
        std::string& sink = owners[i] == &stdout_read ? output.out : output.err;
        if (int rc = drain_once(*owners[i], buffer, sink); rc != 0) {
          return failure(ProcessStep::kWait, rc);
        }
      }
    }
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return failure(ProcessStep::kWait, errno);
  }
  output.wait_status = status;
  return output;
}

}  // namespace parity::platform
