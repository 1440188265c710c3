// ostrand-dat: looks inside portal archives, extracts and checks their
// files, and packs files into new ones. Exit status 0 on success, 1 when
// the library or a file fails (or verify finds damage), 2 for a usage error.
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "args.h"
#include "commands.h"
#include "platform/io.h"

namespace {

using namespace ostrand_dat::tool;

// Nothing is left to tell if standard error fails too.
void print_error(const std::string& message) {
  const std::string text = "error: " + message + "\n";
  (void)write_all(kStandardError, std::as_bytes(std::span(text)));
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away, or a full file size limit, makes a write fail
  // with an error that the commands report, instead of killing the process
  // half-way through a file.
  ignore_write_signals();

  const std::vector<std::string_view> args(argc > 0 ? argv + 1 : argv,
                                           argv + argc);
  auto invocation = parse_args(args);
  if (!invocation) {
    print_error(invocation.error() + ". Try 'ostrand-dat --help'.");
    return 2;
  }
  // Ctrl-C, a hang-up or a kill during extract or pack leaves no
  // temporary file behind. Before any other thread starts. mount handles
  // the signals itself: they unmount.
  if (!std::holds_alternative<MountCommand>(invocation->command)) {
    remove_temporaries_on_signals();
  }
  try {
    return run_command(invocation->command, invocation->verbosity);
  } catch (const std::bad_alloc&) {
    // An input or an archive's declared sizes too large for this machine.
    print_error("out of memory");
    return 1;
  }
}
