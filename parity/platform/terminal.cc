#include "platform/terminal.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace parity::platform {
namespace {

// strerror_r comes in two shapes: the GNU one returns the text, which may
// or may not be `buffer`; the POSIX one fills `buffer` and returns 0. The
// C library offers one of them, so the other overload goes unused.
[[maybe_unused]] const char* strerror_text(const char* text,
                                           const char* /*buffer*/) {
  return text;
}
[[maybe_unused]] const char* strerror_text(int rc, const char* buffer) {
  return rc == 0 ? buffer : nullptr;
}

}  // namespace

std::expected<void, int> write_all(int fd, std::string_view text) {
  // Invariant: text holds what is still to be written. Exits when it is
  // empty or on an error other than EINTR.
  while (!text.empty()) {
    ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

std::string error_text(int code) {
  char buffer[256] = {};
  const char* text =
      strerror_text(::strerror_r(code, buffer, sizeof buffer), buffer);
  std::string number = std::to_string(code);
  std::string message =
      text != nullptr ? std::string(text) : "Unknown error " + number;
  return message + " (os error " + number + ")";
}

}  // namespace parity::platform
