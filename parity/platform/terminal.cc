#include "platform/terminal.h"

#include <unistd.h>

#include <cerrno>

#include "ostrand_dat/error.h"

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

// The same text as every other system error the program shows.
std::string error_text(int code) {
  return ostrand_dat::display_string(ostrand_dat::IoError::from_os(code));
}

}  // namespace parity::platform
