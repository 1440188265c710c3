// What the tests over the generated sample share: its paths, the library's
// answers for it, and running a program as a child process.
#ifndef SAMPLES_TESTS_SAMPLE_SUPPORT_H_
#define SAMPLES_TESTS_SAMPLE_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "platform/process_posix.h"

namespace samples_test {

inline const std::string kSampleDat = SAMPLE_DAT;
inline const std::string kSampleDescription = SAMPLE_DESCRIPTION;
inline const std::string kAnswers = SAMPLE_ANSWERS;
inline const std::string kDriftAnswers = SAMPLE_DRIFT_ANSWERS;
inline const std::string kToolDir = SAMPLE_TOOL_DIR;
inline const std::string kDotnet = kToolDir + "/dotnet";

// A child that stops reading makes a write fail instead of ending the test.
inline const bool kSigpipeIgnored = [] {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}();

struct ChildRun {
  int exit_code = -1;  // -1 when the child did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `args` and `input`; a failure to run it fails the
// test and returns a ChildRun with exit_code -1.
inline ChildRun run(const std::string& program, std::vector<std::string> args,
                    std::string_view input = "") {
  auto result = parity::platform::run_process(program, args, input);
  if (!result) {
    ADD_FAILURE() << "cannot run " << program << ": errno "
                  << result.error().code;
    return {};
  }
  const int code =
      WIFEXITED(result->wait_status) ? WEXITSTATUS(result->wait_status) : -1;
  return {code, result->out, result->err};
}

// The sample's table `id`, decoded by the library.
inline ostrand_dat::file_type::SoundTable sample_table(
    const ostrand_dat::DatDatabase& db, std::uint32_t id) {
  auto bytes = db.get_file(id);
  EXPECT_TRUE(bytes) << ostrand_dat::debug_string(bytes.error());
  if (!bytes) return {};
  auto table = ostrand_dat::file_type::SoundTable::unpack(*bytes);
  EXPECT_TRUE(table) << ostrand_dat::debug_string(table.error());
  return table ? *table : ostrand_dat::file_type::SoundTable{};
}

// The generated sample archive; nullopt, with a test failure, when it does
// not open.
inline std::optional<ostrand_dat::DatDatabase> open_sample() {
  auto db = ostrand_dat::DatDatabase::open(kSampleDat);
  if (db) return std::move(*db);
  ADD_FAILURE() << ostrand_dat::debug_string(db.error());
  return std::nullopt;
}

}  // namespace samples_test

#endif  // SAMPLES_TESTS_SAMPLE_SUPPORT_H_
