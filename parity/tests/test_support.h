// Helpers shared by the parity tests (target parity_test_support):
// temporary directories, scoped environment changes, running a case entry
// with its output captured, archives plus a fake reference tool laid out on
// disk, and running a built program.

#ifndef PARITY_TESTS_TEST_SUPPORT_H_
#define PARITY_TESTS_TEST_SUPPORT_H_

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ostrand_dat/writer.h"
#include "runner/check.h"

namespace parity::testing {

namespace fs = std::filesystem;

// The program ignores SIGPIPE before anything runs; so do the tests, so
// that a tool closing its input early makes a write fail with EPIPE.
inline const bool kSigpipeIgnored = [] {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}();

// Writes `contents` to `path`; a failure fails the running test.
void write_file(const fs::path& path, std::string_view contents);
// The bytes of `path`, or "" when it cannot be read.
std::string read_file(const fs::path& path);

// A fresh directory under the system's temporary directory, removed with
// everything in it when released.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const fs::path& path() const { return path_; }
  // `name` inside the directory, as text.
  std::string operator/(std::string_view name) const {
    return (path_ / name).string();
  }

 private:
  fs::path path_;
};

// Sets and unsets environment variables, restoring every variable it
// touched when released.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv();

  void set(const std::string& name, const std::string& value);
  void unset(const std::string& name);

 private:
  void save(const std::string& name);

  std::map<std::string, std::optional<std::string>> saved_;
};

// What a case entry printed, and its failure if it failed.
struct Outcome {
  std::string output;
  std::optional<CheckFailure> failure;
};

Outcome run_entry(void (*entry)());

// A sound table for tests: each kind with its wave ids in order (priority
// and weights are fixed).
struct TestTable {
  std::uint32_t id;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> sounds;
  bool compress = false;

  ostrand_dat::SoundTableRecords records() const;
  // The wave of `kind`'s first entry, the library aside; the last record of
  // a kind wins.
  std::optional<std::uint32_t> first_wave(std::uint32_t kind) const;
};

// Two tables that give the six golden answers, with a few more kinds in
// the cross-check's range: 6 kinds resolve to a wave, 404 to nothing.
std::vector<TestTable> golden_tables();

// Writes an archive of `tables` to `path`; a failure fails the running test.
void write_archive(const fs::path& path, const std::vector<TestTable>& tables);

// Behaviour lines for the fake tool that answer every pair of the
// cross-check as `tables` resolve it.
std::string agreeing_answers(const std::vector<TestTable>& tables);

// A complete setup for the cross-check: an archive, a `dotnet` that is the
// fake tool, and its behaviour file, named by the environment; HOME and
// PATH point at an empty directory so that nothing else is found.
class ToolSetup {
 public:
  explicit ToolSetup(const std::vector<TestTable>& tables = golden_tables(),
                     std::string_view extra_behaviour = "");

  std::string dat_path() const { return dir_ / "client_portal.dat"; }
  std::string dll_path() const { return dir_ / "Gantrel.Terminal.dll"; }
  std::string dotnet_path() const { return dir_ / "dotnet-root/dotnet"; }
  std::string path(std::string_view name) const { return dir_ / name; }
  void write_behaviour(std::string_view text) { write_file(dll_path(), text); }
  ScopedEnv& env() { return env_; }

 private:
  TempDir dir_;
  ScopedEnv env_;
};

// How a built program ended and what it wrote.
struct ProgramRun {
  int exit_code = -1;  // -1 when it did not exit normally or did not start
  std::string out;
  std::string err;
};

// Runs `program` with `args` and no input, in this process's environment
// without the runner's own settings (PARITY_TEST_THREADS,
// PARITY_NOCAPTURE). A program that cannot be started, or that does not
// exit normally, fails the running test.
ProgramRun run_program(const std::string& program,
                       std::vector<std::string> args);

// The lines of `text`, without their "\n".
std::vector<std::string> lines_of(std::string_view text);

}  // namespace parity::testing

#endif  // PARITY_TESTS_TEST_SUPPORT_H_
