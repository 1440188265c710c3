// portal_sample_gen: turns the description of the synthetic sample into
// the archive and the stand-in reference tool's two answer tables. Each
// output is written beside its place and renamed into it, so a failed run
// leaves no half-written file behind. Exit status 0 on success, 1 when the
// description is wrong or a file cannot be read or written, 2 for a usage
// error.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "portal/description.h"
#include "portal/sample_outputs.h"

namespace {

namespace fs = std::filesystem;
using portal_sample::answer_table_text;

constexpr std::string_view kUsage =
    "usage: portal_sample_gen DESCRIPTION ARCHIVE ANSWERS DRIFT_ANSWERS\n"
    "Reads the sample description and writes the archive (ARCHIVE), the\n"
    "stand-in's answer table (ANSWERS) and the same table with the\n"
    "description's deliberate drifts (DRIFT_ANSWERS).\n";

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::expected<std::string, std::string> read_file(const std::string& path) {
  File file(std::fopen(path.c_str(), "rb"), &std::fclose);
  std::string text;
  char buffer[8192];
  std::size_t got = 0;
  while (file && (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    text.append(buffer, got);
  }
  if (!file || std::ferror(file.get())) {
    return std::unexpected("cannot read " + path + ": " + std::strerror(errno));
  }
  return text;
}

// Writes `path` + ".tmp" and renames it to `path`.
std::expected<void, std::string> write_file(const std::string& path,
                                            std::span<const std::byte> bytes) {
  const std::string temporary = path + ".tmp";
  auto failure = [&](const std::string& why) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    return std::unexpected("cannot write " + path + ": " + why);
  };
  File file(std::fopen(temporary.c_str(), "wb"), &std::fclose);
  if (!file) return failure(std::strerror(errno));
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
      std::fclose(file.release()) != 0) {
    return failure(std::strerror(errno));
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  if (error) return failure(error.message());
  return {};
}

std::expected<void, std::string> write_text(const std::string& path,
                                            std::string_view text) {
  return write_file(path, std::as_bytes(std::span(text)));
}

std::expected<void, std::string> generate(const std::string& description_path,
                                          const std::string& archive_path,
                                          const std::string& answers_path,
                                          const std::string& drift_path) {
  auto text = read_file(description_path);
  if (!text) return std::unexpected(text.error());
  // Sources and errors name the description by its file name alone, so the
  // answer tables read the same wherever the tree is.
  const std::string name = fs::path(description_path).filename().string();
  auto description = portal_sample::parse_description(*text, name);
  if (!description) return std::unexpected(description.error());
  auto drifted = portal_sample::drift_answers(*description, name);
  if (!drifted) return std::unexpected(drifted.error());
  auto archive = portal_sample::build_archive(*description);
  if (!archive) {
    return std::unexpected("cannot build the archive: " +
                           ostrand_dat::debug_string(archive.error()));
  }

  const std::string origin = "Generated from " + name +
                             " by portal_sample_gen; edit that file, not "
                             "this one.\n";
  const std::string layout = "TABLE KIND WAVE|null SOURCE";
  if (auto w = write_file(archive_path, *archive); !w) return w;
  if (auto w = write_text(
          answers_path,
          answer_table_text(
              portal_sample::sample_answers(*description, name),
              "The stand-in reference tool's answers for the synthetic "
              "sample archive.\n" +
                  origin + layout));
      !w) {
    return w;
  }
  return write_text(
      drift_path,
      answer_table_text(*drifted,
                        "The sample's answers with " +
                            std::to_string(description->drifts.size()) +
                            " deliberate drifts, which the cross-check must "
                            "report.\n" +
                            origin + layout));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::string_view(argv[1]) == "-h" ||
                    std::string_view(argv[1]) == "--help")) {
    std::fputs(kUsage.data(), stdout);
    return 0;
  }
  if (argc != 5) {
    std::fprintf(stderr, "portal_sample_gen: expected 4 arguments, got %d\n%s",
                 argc - 1, kUsage.data());
    return 2;
  }
  if (auto done = generate(argv[1], argv[2], argv[3], argv[4]); !done) {
    std::fprintf(stderr, "portal_sample_gen: %s\n", done.error().c_str());
    return 1;
  }
  return 0;
}
