// run_timed RUNS -- COMMAND ARGS... [-- COMMAND ARGS...]...
// Runs each command RUNS times, the commands taking turns so that they see
// the same machine state, with standard output sent to /dev/null. Prints
// one line per command: "median_ms MIN_MS peak_kib COMMAND", the median and
// the least wall time of its runs and the largest peak resident memory of
// any run (from the child's own resource usage). Exits 1 if a run fails.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Command {
  std::vector<char*> argv;  // null-terminated
  std::vector<double> millis;
  long peak_kib = 0;
};

// Runs `command` once; false if it cannot start or does not exit with 0.
bool run_once(Command& command) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
    ::execvp(command.argv[0], command.argv.data());
    std::_Exit(127);
  }
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) return false;
  const std::chrono::duration<double, std::milli> took =
      std::chrono::steady_clock::now() - start;
  command.millis.push_back(took.count());
  command.peak_kib = std::max(command.peak_kib, usage.ru_maxrss);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 0;
  std::vector<Command> commands;
  for (int i = 2; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--") {
      commands.emplace_back();
    } else if (!commands.empty()) {
      commands.back().argv.push_back(argv[i]);
    }
  }
  const bool usable = runs > 0 && !commands.empty() &&
                      std::none_of(commands.begin(), commands.end(),
                                   [](const Command& c) { return c.argv.empty(); });
  if (!usable) {
    std::fprintf(stderr, "usage: %s RUNS -- COMMAND ARGS... [-- COMMAND ARGS...]...\n",
                 argv[0]);
    return 2;
  }
  for (auto& command : commands) command.argv.push_back(nullptr);
  for (int run = 0; run < runs; ++run) {
    for (auto& command : commands) {
      if (!run_once(command)) {
        std::fprintf(stderr, "run_timed: %s failed\n", command.argv[0]);
        return 1;
      }
    }
  }
  for (auto& command : commands) {
    auto& t = command.millis;
    std::sort(t.begin(), t.end());
    const double median =
        t.size() % 2 ? t[t.size() / 2] : (t[t.size() / 2 - 1] + t[t.size() / 2]) / 2;
    std::string line;
    for (char* arg : command.argv) {
      if (arg != nullptr) line += std::string(" ") + arg;
    }
    std::printf("%.2f %.2f %ld%s\n", median, t.front(), command.peak_kib, line.c_str());
  }
  return 0;
}
