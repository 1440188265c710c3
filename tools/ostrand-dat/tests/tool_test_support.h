// Helpers for the tool's tests: running a program as a child process,
// archives made by the library's writer (damaged ones by editing its
// bytes), and a small JSON reader to parse the tool's output back.
#ifndef OSTRAND_DAT_TOOL_TESTS_TOOL_TEST_SUPPORT_H_
#define OSTRAND_DAT_TOOL_TESTS_TOOL_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/writer.h"

namespace ostrand_dat::tool::testing {

namespace fs = std::filesystem;
using Bytes = std::vector<std::byte>;

Bytes bytes(std::string_view text);
std::string text(const Bytes& data);
std::string read_text(const fs::path& path);
void write_bytes(const fs::path& path, const Bytes& data);
// The names in `dir`, sorted.
std::vector<std::string> names_in(const fs::path& dir);

struct ToolRun {
  int status = -1;  // the exit status; -1 when the program did not exit
  int signal = 0;   // the signal that ended it, if one did
  std::string out, err;
};

struct RunOptions {
  std::optional<int> stdout_fd;  // else a file, read back into `out`
  std::optional<std::uint64_t> file_size_limit;  // RLIMIT_FSIZE, bytes
  bool stderr_on_terminal = false;               // a pseudo-terminal, read back
  std::optional<std::uint64_t> address_space_limit;  // RLIMIT_AS, bytes

  static RunOptions stdout_to(int fd) { return {fd, {}, false, {}}; }
  static RunOptions size_limit(std::uint64_t bytes) {
    return {{}, bytes, false, {}};
  }
  static RunOptions on_terminal() { return {{}, {}, true, {}}; }
  static RunOptions memory_limit(std::uint64_t bytes) {
    return {{}, {}, false, bytes};
  }
};

// Runs `argv` (argv[0] is the program's path) with SIGPIPE at its default
// action, capturing through files in `scratch`.
ToolRun run_program(const std::vector<std::string>& argv,
                    const fs::path& scratch, const RunOptions& options = {});

// Ids of test_archive().
inline constexpr std::uint32_t kPlain = 0x01000001, kCompressed = 0x01000002,
                               kMultiBlock = 0x01000003, kEmpty = 0x01000004,
                               kTable = 0x0A000001, kBadTable = 0x0A000002;
Bytes multi_block_data();  // four blocks of 60 payload bytes
Bytes compressible_data();
// Block size 64; ids added out of order, header fields all distinct.
ArchiveWriter test_archive();

// Archive bytes with entry `id`'s directory record changed: `field` is the
// byte offset of a u32 in the 24-byte entry (8 offset, 12 size, ...).
Bytes with_entry_field(Bytes archive, std::uint32_t id, std::size_t field,
                       std::uint32_t value);
// The entry `id` of an archive's bytes, as its directory lists it.
DatFileEntry entry_of(const Bytes& archive, std::uint32_t id);
void put_u32(Bytes& data, std::size_t at, std::uint32_t value);
// The archive with the next-block pointer of `id`'s first block set.
Bytes with_next_pointer(Bytes archive, std::uint32_t id, std::uint32_t next);

// A JSON value; numbers keep their text, to be read back exactly.
struct Json {
  struct Number {
    std::string text;
  };
  using Array = std::vector<Json>;
  using Object = std::map<std::string, Json>;
  std::variant<std::nullptr_t, bool, Number, std::string, Array, Object> value;

  const Json& operator[](const std::string& key) const;
  const Json& operator[](std::size_t index) const;
  std::uint64_t u64() const;
  std::int64_t i64() const;
  float f32() const;  // a number, or "NaN", "Infinity", "-Infinity"
  const std::string& str() const;
  std::size_t size() const;  // of an array or object
};
// The one JSON value of `text` (whitespace around it allowed), or nullopt
// when `text` is not valid JSON.
std::optional<Json> parse_json(std::string_view text);

// Runs the built tool in a directory of its own, which holds test_archive()
// as test.dat.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override { fs::remove_all(dir_); }

  ToolRun run(const std::vector<std::string>& args,
              const RunOptions& options = {});
  // Runs a command that must succeed quietly and returns its output.
  std::string output_of(const std::vector<std::string>& args);
  // Writes `data` as `name` in the test's directory; returns its path.
  std::string file(const std::string& name, const Bytes& data);

  fs::path dir_;
  Bytes image_;  // test_archive()'s bytes
  std::string archive_;
};

}  // namespace ostrand_dat::tool::testing

#endif  // OSTRAND_DAT_TOOL_TESTS_TOOL_TEST_SUPPORT_H_
