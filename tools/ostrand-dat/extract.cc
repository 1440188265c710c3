// extract: every entry (or those asked for) read on several threads
// through read_entry, outcomes reported in id order.
#include <cstdio>
#include <filesystem>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "entry_read.h"
#include "platform/io.h"

namespace ostrand_dat::tool {
namespace {

namespace fs = std::filesystem;

// extract's file name for `id`: eight upper-case hex digits and ".bin".
std::string file_name(std::uint32_t id) {
  char name[16];
  std::snprintf(name, sizeof name, "%08X.bin", static_cast<unsigned>(id));
  return name;
}

EntryOutcome failed(const Failure& failure) {
  return {.bytes = 0, .failed = true, .out = {}, .err = error_line(failure)};
}

EntryOutcome out_of_memory(std::string_view archive, std::uint32_t id) {
  return failed({std::string(archive) + ": " + format_id(id), "out of memory",
                 "std::bad_alloc"});
}

// Writes one entry to `dir`, under a temporary name until complete.
EntryOutcome extract_one(const ExtractCommand& command, const DatDatabase& db,
                         const DatFileEntry& entry, const fs::path& dir) {
  const fs::path target = dir / file_name(entry.id);
  const std::string target_name = target.string();
  std::error_code ignored;
  if (!command.force && fs::exists(fs::symlink_status(target, ignored))) {
    Failure exists = file_failure(target_name, IoError::from_os(EEXIST));
    exists.words += "; --force replaces it";
    return failed(exists);
  }
  auto pending = PendingFile::create(target);
  if (!pending) return failed(creation_failure(target_name, pending.error()));
  auto read = read_entry(
      db, entry, command.raw ? EntryForm::kStored : EntryForm::kContents,
      [&](std::span<const std::byte> bytes) { return pending->write(bytes); });
  if (!read) {
    if (!read.error().in_sink) {
      return failed(
          entry_failure(command.archive, entry.id, read.error().error));
    }
    return failed(file_failure(
        target_name, read.error().error.get_if<DatError::Io>()->error));
  }
  auto committed = pending->commit(command.force);
  if (!committed) return failed(file_failure(target_name, committed.error()));
  EntryOutcome done{.bytes = read->size, .failed = false, .out = {}, .err = {}};
  if (!command.raw) {
    if (auto words = short_contents(entry, *read)) {
      done.err = warning_line(command.archive, entry.id, *words);
    }
  }
  return done;
}

}  // namespace

int extract(const ExtractCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  const fs::path dir = command.directory;
  std::error_code error;
  if (!fs::is_directory(dir, error)) {
    Failure failure = file_failure(
        command.directory, IoError::from_os(error ? error.value() : ENOTDIR));
    if (!error) failure.words = "is not a directory";
    report(failure);
    return 1;
  }
  // The entries to write in ascending id order; an id not in the archive is
  // reported in its place among them.
  std::vector<std::uint32_t> ids = command.ids;
  if (ids.empty()) {
    for (const DatFileEntry& entry : db->files()) ids.push_back(entry.id);
  }
  const BatchTotals totals = run_batch(
      ids.size(), command.jobs, "extract", "failed", [&](std::size_t i) {
        const DatFileEntry* entry = db->files().find(ids[i]);
        if (entry == nullptr) {
          return failed(entry_failure(command.archive, ids[i],
                                      DatError(DatError::NotFound{ids[i]})));
        }
        try {
          return extract_one(command, *db, *entry, dir);
        } catch (const std::bad_alloc&) {
          return out_of_memory(command.archive, ids[i]);
        }
      });
  // The new names, on disk with the files.
  sync_directory(dir);
  return totals.failed == 0 ? 0 : 1;
}

}  // namespace ostrand_dat::tool
