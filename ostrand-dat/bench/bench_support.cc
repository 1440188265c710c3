#include "bench_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "ostrand_dat/error.h"
#include "ostrand_dat/writer.h"
#include "platform/write_file.h"

namespace ostrand_dat::bench {
namespace {

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "bench: %s\n", message.c_str());
  std::exit(1);
}

// Removes the scratch directory when the process ends normally.
struct ScratchDir {
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ostrand-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) die("cannot make " + pattern);
    path = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::filesystem::path path;
};

std::vector<std::byte> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) die("cannot read " + path.string());
  std::vector<char> chars((std::istreambuf_iterator<char>(in)),
                          std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  for (std::size_t i = 0; i < chars.size(); ++i) {
    bytes[i] = static_cast<std::byte>(chars[i]);
  }
  return bytes;
}

}  // namespace

const std::filesystem::path& scratch_dir() {
  static ScratchDir dir;
  return dir.path;
}

std::vector<std::byte> real_data(std::size_t limit, DataKind kind) {
  struct Source {
    const char* variable;
    const char* name;
    // Shell commands that write the data to standard output; tar reports
    // files that vanish or cannot be read, and what it wrote is still good.
    std::vector<std::string> commands;
  };
  static const Source kSources[] = {
      {"OSTRAND_BENCH_TAR", "text.tar", {"tar -cf - -C / usr/include"}},
      {"OSTRAND_BENCH_EXE_TAR", "executables.tar", {"tar -cf - -C / usr/bin"}},
      {"OSTRAND_BENCH_MIXED_TAR",
       "mixed.tar",
       {"tar -cf - -C / usr/share/locale | head -c 4194304",
        "tar -cf - -C / usr/share/icons | head -c 4194304",
        "tar -cf - -C / usr/lib/python3 | head -c 4194304",
        "tar -cf - -C / usr/share/man | head -c 4194304"}},
  };
  static std::vector<std::byte> made[std::size(kSources)];
  const auto index = static_cast<std::size_t>(kind);
  std::vector<std::byte>& tar = made[index];
  if (tar.empty()) {
    const Source& source = kSources[index];
    if (const char* given = std::getenv(source.variable)) {
      tar = read_file(given);
    } else {
      const auto path = scratch_dir() / source.name;
      for (const auto& command : source.commands) {
        const std::string line =
            "(" + command + ") 2>/dev/null >>'" + path.string() + "'";
        (void)std::system(line.c_str());
      }
      tar = read_file(path);
    }
    if (tar.empty()) die(std::string("no data for ") + source.name);
  }
  std::vector<std::byte> out;
  out.reserve(limit);
  while (out.size() < limit) {
    const std::size_t take = std::min(limit - out.size(), tar.size());
    out.insert(out.end(), tar.begin(), tar.begin() + static_cast<long>(take));
  }
  return out;
}

std::vector<std::byte> directory_archive(std::uint32_t entries,
                                         std::uint32_t block_size) {
  ArchiveWriter writer(block_size);
  for (std::uint32_t i = 0; i < entries; ++i) {
    writer.add(StoredFile{.id = spread_id(i), .data = {}, .timestamp = i, .version = 1});
  }
  auto bytes = writer.build();
  if (!bytes) die(debug_string(bytes.error()));
  return std::move(*bytes);
}

DatDatabase open_or_die(const std::filesystem::path& path) {
  auto db = DatDatabase::open(path);
  if (!db) die(path.string() + ": " + debug_string(db.error()));
  return std::move(*db);
}

void write_or_die(const std::filesystem::path& path,
                  const std::vector<std::byte>& bytes) {
  auto written = platform::write_whole_file(path, bytes);
  if (!written) die(path.string() + ": " + display_string(written.error()));
}

}  // namespace ostrand_dat::bench
