// Running a child process over pipes: start it with piped standard streams,
// feed it its whole input, collect both of its outputs and wait for it. The
// only code of the program that starts processes.

#ifndef PARITY_PLATFORM_PROCESS_POSIX_H_
#define PARITY_PLATFORM_PROCESS_POSIX_H_

#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace parity::platform {

// What a child left behind: its raw wait status (as waitpid() gives it: the
// exit code times 256, or the signal number plus 128 for a core dump) and
// the bytes it wrote to its standard output and standard error.
struct ProcessOutput {
  int wait_status = 0;
  std::string out;
  std::string err;
};

// The step at which a run failed, with the errno value.
enum class ProcessStep {
  kSpawn,       // creating the pipes or starting the program
  kWriteStdin,  // writing the input
  kWait,        // reading the outputs or waiting for the exit
};
struct ProcessError {
  ProcessStep step;
  int code;
};

// Starts `program` with `args` (argv[0] is `program` itself; a program
// without '/' is searched on PATH), with the environment and working
// directory inherited, SIGPIPE at its default action and an empty signal
// mask. Writes all of `input` to the child's standard input while draining
// its standard output and error, so no batch size can deadlock; closes the
// input, reads both outputs to their ends and waits for the exit.
//
// Blocks the calling thread; calls share nothing. The calling process must
// ignore SIGPIPE, so that a child that stops reading makes the write fail
// with EPIPE. When the write or a read fails, the pipes are closed and the
// child is left to finish by itself, unwaited.
std::expected<ProcessOutput, ProcessError> run_process(
    const std::string& program, std::span<const std::string> args,
    std::string_view input);

}  // namespace parity::platform

#endif  // PARITY_PLATFORM_PROCESS_POSIX_H_
