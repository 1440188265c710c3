// How a case fails: it throws CheckFailure, the one failure type the runner
// catches on the case's thread, carrying a message and where the check was.

#ifndef PARITY_RUNNER_CHECK_H_
#define PARITY_RUNNER_CHECK_H_

#include <exception>
#include <source_location>
#include <string>

namespace parity {

class CheckFailure : public std::exception {
 public:
  explicit CheckFailure(
      std::string message,
      std::source_location where = std::source_location::current());

  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  std::source_location where_;
};

// Fails the running case with `message`, located at the caller.
[[noreturn]] void fail(
    std::string message,
    std::source_location where = std::source_location::current());

}  // namespace parity

#endif  // PARITY_RUNNER_CHECK_H_
