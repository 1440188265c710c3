// resolve_sound_parity: checks the archive library's sound resolution
// against pinned goldens, the reference tool and the web bundle's source.

#include <csignal>
#include <string>
#include <vector>

#include "checks/cross_check.h"
#include "checks/golden_case.h"
#include "checks/web_bundle.h"
#include "runner/runner.h"

int main(int argc, char** argv) {
  // First of all: a write to a pipe whose reader has gone (the reference
  // tool stopping early) must fail with EPIPE, not end the process.
  std::signal(SIGPIPE, SIG_IGN);

  // In ascending byte order of the names, which is also the run order.
  static constexpr parity::Case kCases[] = {
      {"js_resolve_sound_first_body_matches_native",
       &parity::js_resolve_sound_first_body_matches_native},
      {"native_resolve_sound_matches_pinned_goldens",
       &parity::native_resolve_sound_matches_pinned_goldens},
      {"native_vs_csharp_full_enum_cardinality",
       &parity::native_vs_csharp_full_enum_cardinality},
  };
  std::vector<std::string> args(argv, argv + argc);
  return parity::run_cases(kCases, args);
}
