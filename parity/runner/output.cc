#include "runner/output.h"

#include <utility>

#include "platform/terminal.h"
#include "runner/check.h"

namespace parity {
namespace {

// The calling thread's capture buffer, or null when capture is off.
thread_local std::string* t_capture = nullptr;

void print_to(int fd, std::string_view stream, std::string_view text) {
  if (t_capture != nullptr) {
    t_capture->append(text);
    return;
  }
  auto written = platform::write_all(fd, text);
  if (!written) {
    fail("cannot write to " + std::string(stream) + ": " +
         platform::error_text(written.error()));
  }
}

}  // namespace

void print_out(std::string_view text) {
  print_to(platform::kStdoutFd, "standard output", text);
}

void print_err(std::string_view text) {
  print_to(platform::kStderrFd, "standard error", text);
}

ScopedCapture::ScopedCapture(std::string& buffer)
    : previous_(std::exchange(t_capture, &buffer)) {}

ScopedCapture::~ScopedCapture() { t_capture = previous_; }

}  // namespace parity
