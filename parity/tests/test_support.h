// Helpers shared by the checks' tests: temporary directories, scoped
// environment changes, running a case entry with its output captured, and
// archives plus a fake reference tool laid out on disk.

#ifndef PARITY_TESTS_TEST_SUPPORT_H_
#define PARITY_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "checks/check_helpers.h"
#include "checks/cross_check.h"
#include "ostrand_dat/writer.h"
#include "runner/check.h"
#include "runner/output.h"

namespace parity::testing {

namespace fs = std::filesystem;

// The program ignores SIGPIPE before anything runs; so do the tests, so
// that a tool closing its input early makes a write fail with EPIPE.
inline const bool kSigpipeIgnored = [] {
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}();

inline void write_file(const fs::path& path, std::string_view contents) {
  std::ofstream file(path, std::ios::binary);
  file << contents;
  ASSERT_TRUE(file.good()) << "cannot write " << path;
}

inline std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// A fresh directory under the system's temporary directory, removed with
// everything in it when released.
class TempDir {
 public:
  TempDir() {
    std::string pattern =
        (fs::temp_directory_path() / "parity-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed for " << pattern;
    }
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

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
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }

  void set(const std::string& name, const std::string& value) {
    save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) {
    save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void save(const std::string& name) {
    if (saved_.contains(name)) return;
    const char* value = ::getenv(name.c_str());
    saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }

  std::map<std::string, std::optional<std::string>> saved_;
};

// What a case entry printed, and its failure if it failed.
struct Outcome {
  std::string output;
  std::optional<CheckFailure> failure;
};

inline Outcome run_entry(void (*entry)()) {
  Outcome outcome;
  ScopedCapture capture(outcome.output);
  try {
    entry();
  } catch (const CheckFailure& failure) {
    outcome.failure = failure;
  }
  return outcome;
}

// A sound table for tests: each kind with its wave ids in order (priority
// and weights are fixed).
struct TestTable {
  std::uint32_t id;
  std::vector<std::pair<std::uint32_t, std::vector<std::uint32_t>>> sounds;
  bool compress = false;

  ostrand_dat::SoundTableRecords records() const {
    ostrand_dat::SoundTableRecords table;
    table.id = id;
    for (const auto& [kind, waves] : sounds) {
      ostrand_dat::file_type::SoundData data;
      for (std::uint32_t wave : waves) data.entries.push_back({wave, 0, 1, 1});
      table.sounds.emplace_back(kind, std::move(data));
    }
    return table;
  }
  // The wave of `kind`'s first entry, the library aside; the last record of
  // a kind wins.
  std::optional<std::uint32_t> first_wave(std::uint32_t kind) const {
    std::optional<std::uint32_t> wave;
    for (const auto& [k, waves] : sounds) {
      if (k != kind) continue;
      wave = waves.empty() || waves[0] == 0
                 ? std::nullopt
                 : std::optional<std::uint32_t>(waves[0]);
    }
    return wave;
  }
};

// Two tables that give the six golden answers, with a few more kinds in
// the cross-check's range: 6 kinds resolve to a wave, 404 to nothing.
inline std::vector<TestTable> golden_tables() {
  return {
      {0x20000001,
       {{0x00, {0x0A000001}},
        {0x0E, {0, 0x0A000300}},
        {0x46, {}},
        {0x58, {0x0A000262, 0x0A000263}},
        {0x5B, {0x0A000274}},
        {0xCC, {0x0A0000CC}},
        {0xCD, {0x0A0000CD}},
        {0xFFFFFFFE, {0x0A0000FE}}}},
      {0x200000A8,
       {{0x1F, {0x0A000519}}, {0x46, {0, 0x0A000520}}, {0x64, {0x0A000600}}},
       /*compress=*/true},
  };
}

inline void write_archive(const fs::path& path,
                          const std::vector<TestTable>& tables) {
  ostrand_dat::ArchiveWriter writer;
  for (const TestTable& table : tables) {
    writer.add({.id = table.id,
                .data = ostrand_dat::encode_sound_table(table.records()),
                .compress = table.compress});
  }
  auto written = writer.write(path);
  ASSERT_TRUE(written.has_value())
      << ostrand_dat::debug_string(written.error());
}

// Behaviour lines for the fake tool that answer every pair of the
// cross-check as `tables` resolve it.
inline std::string agreeing_answers(const std::vector<TestTable>& tables) {
  std::string lines;
  for (const TestTable& table : tables) {
    for (std::uint32_t kind = 0; kind <= kLastSoundKind; ++kind) {
      if (auto wave = table.first_wave(kind)) {
        lines += table_hex(table.id) + " " + std::to_string(kind) + " " +
                 table_hex(*wave) + "\n";
      }
    }
  }
  return lines;
}

// A complete setup for the cross-check: an archive, a `dotnet` that is the
// fake tool, and its behaviour file, named by the environment; HOME and
// PATH point at an empty directory so that nothing else is found.
class ToolSetup {
 public:
  explicit ToolSetup(const std::vector<TestTable>& tables = golden_tables(),
                     std::string_view extra_behaviour = "") {
    fs::create_directory(dir_.path() / "empty");
    fs::create_directory(dir_.path() / "dotnet-root");
    fs::create_symlink(FAKE_GT_TERMINAL, dir_ / "dotnet-root/dotnet");
    write_archive(dat_path(), tables);
    write_behaviour(agreeing_answers(tables) + std::string(extra_behaviour));
    env_.set("AC_BASE_PORTAL_DAT", dat_path());
    env_.set("DOTNET_ROOT", dir_ / "dotnet-root");
    env_.set("GT_TERMINAL_DLL", dll_path());
    env_.set("HOME", dir_ / "empty");
    env_.set("PATH", dir_ / "empty");
  }

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

}  // namespace parity::testing

#endif  // PARITY_TESTS_TEST_SUPPORT_H_
