// gt-terminal-standin: a stand-in for the reference tool that answers
// resolve requests from an answer table. Started as `dotnet TABLE --stdin`
// through a `dotnet` link to it, it takes the table for the DLL.
// Exit status 0 after the quit request or the end of input, 1 when the
// answers cannot be written, 2 for a usage error or an unreadable table.
#include <csignal>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "gt-terminal-standin/answer_table.h"
#include "gt-terminal-standin/protocol.h"

#ifndef GT_STANDIN_VERSION
#error "the build defines GT_STANDIN_VERSION, the project's version"
#endif

namespace {

constexpr std::string_view kVersionLine =
    "gt-terminal-standin " GT_STANDIN_VERSION "\n";

constexpr std::string_view kUsage =
    "usage: gt-terminal-standin ANSWER_TABLE [--stdin]\n"
    "       dotnet ANSWER_TABLE --stdin   (through a link named dotnet)\n"
    "       gt-terminal-standin --help | --version\n"
    "\n"
    "Reads requests, one JSON object per line, from standard input:\n"
    "  {\"command\":\"quillon-resolve-sound\",\"soundTableDid\":\"0x20000001\","
    "\"sound\":88}\n"
    "  {\"command\":\"quit\"}\n"
    "and writes one answer line per resolve request, in order:\n"
    "  {\"command\":\"quillon-resolve-sound\",\"soundTableDid\":\"0x20000001\","
    "\"sound\":88,\"waveDid\":\"0x0A000262\",\"source\":\"...\"}\n"
    "waveDid is null for a pair the table does not resolve. A line that is\n"
    "not a request gets {\"error\":\"...\"}. Stops at the quit request or the\n"
    "end of input.\n"
    "\n"
    "ANSWER_TABLE lines: TABLE KIND WAVE|null [SOURCE], for example\n"
    "  0x20000001 88 0x0A000262 client_portal.txt:40\n"
    "with '#' comments. --stdin is accepted and changes nothing.\n"
    "--version prints the program's name and version.\n"
    "\n"
    "Exit status: 0 done, 1 answers could not be written, 2 usage error or\n"
    "unreadable answer table.\n";

// The answer table's path, or nullopt after printing help, the version or
// an error.
std::optional<std::string> parse_args(int argc, char** argv, int& status) {
  std::optional<std::string> table;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_done && (arg == "-h" || arg == "--help")) {
      std::cout << kUsage;
      status = 0;
      return std::nullopt;
    }
    if (!options_done && arg == "--version") {
      std::cout << kVersionLine;
      status = 0;
      return std::nullopt;
    }
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && arg == "--stdin") {
      // The only way the reference tool is run; nothing to switch.
    } else if (!options_done && arg.starts_with('-') && arg.size() > 1) {
      std::cerr << "gt-terminal-standin: unknown option " << arg << "\n"
                << kUsage;
      status = 2;
      return std::nullopt;
    } else if (table) {
      std::cerr << "gt-terminal-standin: more than one answer table: " << *table
                << ", " << arg << "\n"
                << kUsage;
      status = 2;
      return std::nullopt;
    } else {
      table = std::string(arg);
    }
  }
  if (!table) {
    std::cerr << "gt-terminal-standin: no answer table given\n" << kUsage;
    status = 2;
  }
  return table;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away makes writes fail, reported below, instead of
  // killing the process.
  std::signal(SIGPIPE, SIG_IGN);
  std::ios::sync_with_stdio(false);

  int status = 0;
  auto path = parse_args(argc, argv, status);
  if (!path) return status;
  auto answers = gt_standin::read_answer_table(*path);
  if (!answers) {
    std::cerr << "gt-terminal-standin: " << answers.error() << "\n";
    return 2;
  }
  gt_standin::serve(std::cin, std::cout, *answers);
  if (!std::cout) {
    std::cerr << "gt-terminal-standin: cannot write the answers to standard "
                 "output\n";
    return 1;
  }
  return 0;
}
