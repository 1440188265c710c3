// ostrand-dat: looks inside portal archives and packs files into new ones.
// Exit status 0 on success, 1 when the library or a file fails, 2 for a
// usage error.
#include <cstddef>
#include <expected>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "commands.h"
#include "platform/io.h"

namespace {

using namespace ostrand_dat::tool;

// Nothing is left to tell if standard error fails too.
void print_error(const std::string& message, const std::string& after = "") {
  const std::string text = "error: " + message + "\n" + after;
  (void)write_all(kStandardError, std::as_bytes(std::span(text)));
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away makes the write fail with BrokenPipe, which
  // ends the program quietly below, instead of killing it with a signal.
  ignore_broken_pipe_signal();

  const std::vector<std::string_view> args(argc > 0 ? argv + 1 : argv,
                                           argv + argc);
  auto command = parse_args(args);
  if (!command) {
    print_error(command.error(), usage_text());
    return 2;
  }
  std::expected<Output, std::string> output;
  try {
    output = run_command(*command);
  } catch (const std::bad_alloc&) {
    // An input or an archive's declared sizes too large for this machine.
    print_error("out of memory");
    return 1;
  }
  if (!output) {
    print_error(output.error());
    return 1;
  }
  // One write of everything, so that `cat` hands a file over in one piece.
  auto written = write_all(kStandardOutput, *output);
  if (!written) {
    if (written.error().kind() == ostrand_dat::IoErrorKind::BrokenPipe) {
      return 0;  // the reader stopped reading; that is its choice
    }
    print_error("write to standard output: " + written.error().message());
    return 1;
  }
  return 0;
}
