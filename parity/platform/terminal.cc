#include "platform/terminal.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace parity::platform {

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
  // The GNU strerror_r returns the text, which may or may not be `buffer`.
  const char* text = ::strerror_r(code, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

}  // namespace parity::platform
