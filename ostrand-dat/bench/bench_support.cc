#include "bench_support.h"

#include <unistd.h>

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

std::vector<std::byte> real_data(std::size_t limit) {
  static const std::vector<std::byte> tar = [] {
    if (const char* given = std::getenv("OSTRAND_BENCH_TAR")) {
      return read_file(given);
    }
    const auto path = scratch_dir() / "include.tar";
    const std::string command =
        "tar -cf '" + path.string() + "' -C / usr/include 2>/dev/null";
    // tar reports files that vanish or cannot be read; what it wrote is
    // still good data.
    (void)std::system(command.c_str());
    return read_file(path);
  }();
  if (tar.empty()) die("no data in the tar of /usr/include");
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
