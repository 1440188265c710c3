#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "checks/check_helpers.h"
#include "checks/cross_check.h"
#include "platform/process_posix.h"
#include "runner/output.h"

namespace parity::testing {

void write_file(const fs::path& path, std::string_view contents) {
  std::ofstream file(path, std::ios::binary);
  file << contents;
  ASSERT_TRUE(file.good()) << "cannot write " << path;
}

std::string read_file(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

TempDir::TempDir() {
  std::string pattern =
      (fs::temp_directory_path() / "parity-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed for " << pattern;
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

ScopedEnv::~ScopedEnv() {
  for (const auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

void ScopedEnv::set(const std::string& name, const std::string& value) {
  save(name);
  ::setenv(name.c_str(), value.c_str(), 1);
}

void ScopedEnv::unset(const std::string& name) {
  save(name);
  ::unsetenv(name.c_str());
}

void ScopedEnv::save(const std::string& name) {
  if (saved_.contains(name)) return;
  const char* value = ::getenv(name.c_str());
  saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
}

Outcome run_entry(void (*entry)()) {
  Outcome outcome;
  ScopedCapture capture(outcome.output);
  try {
    entry();
  } catch (const CheckFailure& failure) {
    outcome.failure = failure;
  }
  return outcome;
}

ostrand_dat::SoundTableRecords TestTable::records() const {
  ostrand_dat::SoundTableRecords table;
  table.id = id;
  for (const auto& [kind, waves] : sounds) {
    ostrand_dat::file_type::SoundData data;
    for (std::uint32_t wave : waves) data.entries.push_back({wave, 0, 1, 1});
    table.sounds.emplace_back(kind, std::move(data));
  }
  return table;
}

std::optional<std::uint32_t> TestTable::first_wave(std::uint32_t kind) const {
  std::optional<std::uint32_t> wave;
  for (const auto& [k, waves] : sounds) {
    if (k != kind) continue;
    wave = waves.empty() || waves[0] == 0
               ? std::nullopt
               : std::optional<std::uint32_t>(waves[0]);
  }
  return wave;
}

std::vector<TestTable> golden_tables() {
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

void write_archive(const fs::path& path, const std::vector<TestTable>& tables) {
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

std::string agreeing_answers(const std::vector<TestTable>& tables) {
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

ToolSetup::ToolSetup(const std::vector<TestTable>& tables,
                     std::string_view extra_behaviour) {
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

ProgramRun run_program(const std::string& program,
                       std::vector<std::string> args) {
  ScopedEnv env;
  env.unset("PARITY_TEST_THREADS");
  env.unset("PARITY_NOCAPTURE");
  auto run = platform::run_process(program, args, "");
  if (!run) {
    ADD_FAILURE() << "cannot run " << program << ": errno " << run.error().code;
    return {};
  }
  if (!WIFEXITED(run->wait_status)) {
    ADD_FAILURE() << program << " ended with wait status " << run->wait_status;
    return {-1, run->out, run->err};
  }
  return {WEXITSTATUS(run->wait_status), run->out, run->err};
}

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::istringstream stream{std::string(text)};
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

}  // namespace parity::testing
