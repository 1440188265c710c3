// The process's standard streams as file descriptors: whole writes that
// survive interruption, whether a stream is a terminal, and errno texts.

#ifndef PARITY_PLATFORM_TERMINAL_H_
#define PARITY_PLATFORM_TERMINAL_H_

#include <expected>
#include <string>
#include <string_view>

namespace parity::platform {

inline constexpr int kStdoutFd = 1;
inline constexpr int kStderrFd = 2;

// Writes all of `text` to `fd` unbuffered, retrying on EINTR and after short
// writes. On failure returns the errno value; part of `text` may be written.
std::expected<void, int> write_all(int fd, std::string_view text);

// Whether `fd` refers to a terminal.
bool is_terminal(int fd);

// The system's text for an errno value followed by its number, such as
// "Broken pipe (os error 32)": the form the archive library gives a system
// error too, so that every system error the program shows reads alike.
std::string error_text(int code);

}  // namespace parity::platform

#endif  // PARITY_PLATFORM_TERMINAL_H_
