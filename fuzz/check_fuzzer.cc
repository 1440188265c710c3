// Any bytes as an archive, checked. The check in steps (start_and_open,
// read_file for each listed file, finish) gives exactly the findings of
// check_archive() and reads each file exactly as DatDatabase::read_file()
// does. And the check misses no damage a reader meets: when it finds no
// damage, the archive opens and every listed file's stored bytes read.
//
// The input is the archive from its header on, as for the archive target.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "ostrand_dat/check.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat.h"

namespace {

using ostrand_dat::CheckFinding;
using ostrand_dat::DatError;
using ostrand_dat::FileReadSummary;
using ostrand_fuzz::check;

constexpr std::size_t kMaxFilesRead = 256;

struct Read {
  std::expected<FileReadSummary, DatError> summary;
  std::vector<std::byte> bytes;
};

template <class ReadInto>
Read read_with(ReadInto read_into) {
  std::vector<std::byte> bytes;
  auto summary = read_into([&bytes](std::span<const std::byte> piece) {
    bytes.insert(bytes.end(), piece.begin(), piece.end());
    return true;
  });
  return {std::move(summary), std::move(bytes)};
}

// The same result: equal summaries, or errors that print the same.
bool same(const Read& a, const Read& b) {
  if (a.bytes != b.bytes || a.summary.has_value() != b.summary.has_value()) {
    return false;
  }
  return a.summary ? *a.summary == *b.summary
                   : ostrand_dat::debug_string(a.summary.error()) ==
                         ostrand_dat::debug_string(b.summary.error());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const ostrand_fuzz::ScratchFile file =
      ostrand_fuzz::archive_from_header(ostrand_fuzz::as_bytes(data, size));

  auto whole = ostrand_dat::check_archive(file.path());
  check(whole.has_value(), "a readable file can always be checked");
  bool damaged = false;
  for (const auto& finding : whole->findings) {
    check(!finding.text.empty(), "every finding says what is wrong");
    damaged |= finding.severity == CheckFinding::Severity::Damage;
  }

  auto checker = ostrand_dat::ArchiveChecker::start_and_open(file.path());
  check(checker.has_value(), "the check in steps starts where the whole one ran");
  auto db = checker->take_database();
  check(db.has_value() || damaged, "an archive that fails to open is damaged");
  if (db) {
    std::size_t read = 0;
    for (const auto& entry : db->files()) {
      if (read++ == kMaxFilesRead) break;
      const Read stepwise = read_with(
          [&](const auto& sink) { return checker->read_file(entry, sink); });
      const Read plain = read_with(
          [&](const auto& sink) { return db->read_file(entry.id, sink); });
      check(same(stepwise, plain), "the checker reads a file as the database does");
      if (!damaged) {
        const Read stored = read_with([&](const auto& sink) {
          return db->read_file(entry.id, sink, {.raw = true});
        });
        check(stored.summary.has_value(),
              "a file of an archive without damage reads");
      }
    }
  }
  auto steps = checker->finish();
  check(steps.has_value(), "the check in steps finishes");
  check(steps->findings == whole->findings && steps->entries == whole->entries &&
            steps->blocks == whole->blocks &&
            steps->unaccounted == whole->unaccounted,
        "the check in steps finds what the whole check finds");
  return 0;
}
