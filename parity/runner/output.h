// The program's printing facility. Cases print only through print_out and
// print_err, so that the runner can capture what each case prints.

#ifndef PARITY_RUNNER_OUTPUT_H_
#define PARITY_RUNNER_OUTPUT_H_

#include <string>
#include <string_view>

namespace parity {

// Writes `text` to the case's standard output. While the calling thread has
// a capture buffer (see ScopedCapture) the text is appended to it; otherwise
// it is written to file descriptor 1 at once, unbuffered. Throws
// CheckFailure when that write fails, so a lost line fails the case.
void print_out(std::string_view text);

// The same for standard error (file descriptor 2). With capture on, both
// streams go to the one buffer in the order written.
void print_err(std::string_view text);

// Gives the calling thread a capture buffer for its lifetime. Not copyable;
// scopes nest, and the destructor restores the previous buffer.
class ScopedCapture {
 public:
  explicit ScopedCapture(std::string& buffer);
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;
  ~ScopedCapture();

 private:
  std::string* previous_;
};

}  // namespace parity

#endif  // PARITY_RUNNER_OUTPUT_H_
