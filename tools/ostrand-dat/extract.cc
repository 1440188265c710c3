// extract: every entry (or those asked for) read on several
// threads through read_entry, outcomes reported in id order.
#include <cstdio>
#include <cstdlib>
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

EntryOutcome failed(const Failure& failure) {
  return {.bytes = 0,
          .failed = true,
          .stop = false,
          .out = {},
          .err = error_line(failure, verbosity().verbose)};
}

EntryOutcome out_of_memory(std::string_view archive, std::uint32_t id) {
  return failed({shown_name(archive) + ": " + format_id(id),
                 "out of memory while reading it", "std::bad_alloc"});
}

// A failure of the directory written into rather than of one file: every
// later file would fail the same way.
bool concerns_directory(const IoError& error, bool creating) {
  switch (error.kind()) {
    case IoErrorKind::StorageFull:
    case IoErrorKind::QuotaExceeded:
    case IoErrorKind::ReadOnlyFilesystem:
      return true;
    case IoErrorKind::PermissionDenied:
    case IoErrorKind::NotFound:
    case IoErrorKind::NotADirectory:
      return creating;  // the directory cannot take new names
    default:
      return false;
  }
}

// Ends the run: the directory `dir` cannot take the files.
EntryOutcome directory_failure(const fs::path& dir, const IoError& error) {
  EntryOutcome outcome =
      failed({shown_name(dir.string()),
              "cannot write files into this directory: " + io_words(error),
              debug_text(error)});
  outcome.stop = true;
  return outcome;
}

// Writes one entry to `dir` under a temporary name, closed but neither
// flushed nor renamed: `written` takes it, for the run to put in place.
EntryOutcome extract_one(const ExtractCommand& command, const DatDatabase& db,
                         const DatFileEntry& entry, const fs::path& dir,
                         std::optional<PendingFile>& written) {
  const fs::path target = dir / entry_file_name(entry.id);
  const std::string target_name = target.string();
  std::error_code ignored;
  if (!command.force && fs::exists(fs::symlink_status(target, ignored))) {
    Failure exists = file_failure(target_name, IoError::from_os(EEXIST));
    exists.words += "; --force replaces it";
    return failed(exists);
  }
  auto pending = PendingFile::create(target);
  if (!pending) {
    if (concerns_directory(pending.error(), /*creating=*/true)) {
      return directory_failure(dir, pending.error());
    }
    return failed(creation_failure(target_name, pending.error()));
  }
  auto read = read_entry(
      db, entry, command.raw ? EntryForm::kStored : EntryForm::kContents,
      [&](std::span<const std::byte> bytes) { return pending->write(bytes); });
  if (!read) {
    if (!read.error().in_sink) {
      return failed(
          entry_failure(command.archive, entry.id, read.error().error));
    }
    const IoError& written = read.error().error.get_if<DatError::Io>()->error;
    if (concerns_directory(written, /*creating=*/false)) {
      return directory_failure(dir, written);
    }
    return failed(file_failure(target_name, written));
  }
  auto closed = pending->close();
  if (!closed) {
    if (concerns_directory(closed.error(), /*creating=*/false)) {
      return directory_failure(dir, closed.error());
    }
    return failed(file_failure(target_name, closed.error()));
  }
  written.emplace(std::move(*pending));
  EntryOutcome done{.bytes = read->size,
                    .failed = false,
                    .stop = false,
                    .out = {},
                    .err = {}};
  if (!command.raw) {
    if (auto words = short_contents(entry, *read)) {
      done.err = warning_line(command.archive, entry.id, *words);
    }
  }
  return done;
}

// Whether `name` is one extract gives an entry's file: XXXXXXXX.bin.
bool entry_file(std::string_view name) {
  const auto id = parse_u32("0x" + std::string(name.substr(0, 8)));
  return id && name == entry_file_name(*id);
}

bool progress() {
  return progress_wanted(verbosity().quiet, std::getenv("NO_COLOR"),
                         std::getenv("TERM"));
}

}  // namespace

int run(const ExtractCommand& command) {
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
  // What runs killed before their cleanup (SIGKILL, a crash) left here.
  remove_stale_temporaries(dir, entry_file);
  // The entries to write in ascending id order; an id not in the archive is
  // reported in its place among them.
  bool unmatched = false;
  const std::vector<std::uint32_t> ids =
      selected_ids(command.archive, db->files(), command.selectors, unmatched);
  // Durability is paid once per run, not per file: every file is written
  // under its temporary name, then one flush of the file system, then the
  // renames, then one flush of the directory. A file thus appears under
  // its name only complete and on disk.
  std::vector<std::optional<PendingFile>> written(ids.size());
  const BatchTotals totals = run_batch(
      ids.size(), command.jobs, "extract", "failed", progress(),
      [&](std::size_t i) {
        const DatFileEntry* entry = db->files().find(ids[i]);
        if (entry == nullptr) {
          return failed(entry_failure(command.archive, ids[i],
                                      DatError(DatError::NotFound{ids[i]})));
        }
        try {
          return extract_one(command, *db, *entry, dir, written[i]);
        } catch (const std::bad_alloc&) {
          return out_of_memory(command.archive, ids[i]);
        }
      });
  if (command.sync) {
    auto synced = sync_file_system(dir);
    if (!synced) {
      report({shown_name(command.directory),
              "cannot flush the files to disk: " + io_words(synced.error()),
              debug_text(synced.error())});
      return 1;  // `written` removes every temporary file
    }
  }
  std::size_t not_placed = 0;
  for (std::optional<PendingFile>& file : written) {
    if (!file) continue;
    auto placed = file->place(command.force);
    if (!placed) {
      Failure failure = file_failure(file->target().string(), placed.error());
      if (placed.error().kind() == IoErrorKind::AlreadyExists) {
        failure.words += "; --force replaces it";
      }
      report(failure);
      ++not_placed;
    }
  }
  // The new names, on disk with the files.
  if (command.sync) sync_directory(dir);
  return totals.failed == 0 && not_placed == 0 && !unmatched ? 0 : 1;
}

}  // namespace ostrand_dat::tool
