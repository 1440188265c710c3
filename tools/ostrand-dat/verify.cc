// verify and sum: verify checks the archive as a whole and reads every
// entry once through the same checker, on several threads, findings
// reported in id order at the end; sum hashes every entry as cat gives it.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "digest.h"
#include "entry_read.h"
#include "json.h"
#include "ostrand_dat/check.h"
#include "platform/io.h"

namespace ostrand_dat::tool {
namespace {

// verify's exit statuses beyond 0 and 1.
constexpr int kCannotExamine = 3;
constexpr int kUsage = 2;

// One finding as verify prints it.
struct Finding {
  std::optional<std::uint32_t> id;  // nullopt: the archive as a whole
  bool damage = false;
  std::string kind;  // CrossLinked, ReadFailed, ShortStream, ...
  std::string text;
};

// "0xXXXXXXXX: damaged: TEXT" or "warning: TEXT", or the same as one JSON
// object with id (or null), severity, kind and message.
std::string finding_line(const Finding& finding, bool json) {
  if (json) {
    JsonWriter out;
    out.begin_object();
    if (finding.id) {
      out.field("id", *finding.id);
    } else {
      out.key("id").null();
    }
    out.key("severity").value(finding.damage ? "damaged" : "warning");
    out.key("kind").value(finding.kind);
    out.key("message").value(finding.text);
    return out.end_object().take() + "\n";
  }
  return (finding.id ? format_id(*finding.id) + ": " : std::string()) +
         (finding.damage ? "damaged: " : "warning: ") + finding.text + "\n";
}

Finding of(const CheckFinding& finding) {
  return {finding.id, finding.severity == CheckFinding::Severity::Damage,
          std::string(kind_name(finding.kind)), finding.text};
}

// A file of lines "HEX  XXXXXXXX.bin" (or "HEX *NAME", sha256sum's binary
// mode), by id.
std::expected<std::map<std::uint32_t, std::string>, std::string> read_manifest(
    const std::string& path) {
  auto bytes = read_whole_file(path, std::uint64_t{1} << 30);
  if (!bytes) return std::unexpected(path + ": " + io_words(bytes.error()));
  const std::string text(reinterpret_cast<const char*>(bytes->data()),
                         bytes->size());
  std::map<std::uint32_t, std::string> sums;
  std::size_t line_number = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    at = end + 1;
    ++line_number;
    if (line.empty()) continue;
    const bool well_formed =
        line.size() == 64 + 2 + 12 && line[64] == ' ' &&
        (line[65] == ' ' || line[65] == '*') && line.ends_with(".bin") &&
        std::all_of(line.begin(), line.begin() + 64, [](char c) {
          return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
                 (c >= 'A' && c <= 'F');
        });
    const auto id = well_formed ? parse_u32("0x" + std::string(line.substr(66, 8)))
                                : std::nullopt;
    if (!id) {
      return std::unexpected(path + ": line " + std::to_string(line_number) +
                             " is not \"SHA256  XXXXXXXX.bin\"");
    }
    std::string sum(line.substr(0, 64));
    for (char& c : sum) c = static_cast<char>(std::tolower(c));
    sums[*id] = std::move(sum);
  }
  return sums;
}

// What reading one entry says: the findings about it and, with a manifest,
// its sum.
struct EntryCheck {
  std::vector<Finding> findings;
  std::uint64_t bytes = 0;
};

// Reads `entry` through the checker, which checks its chain on the way.
// A failed read is damage, which the check may explain better (then
// `merge` drops it).
EntryCheck check_entry(const ArchiveChecker& checker, const DatFileEntry& entry,
                       const std::string* expected) {
  EntryCheck out;
  std::optional<Sha256> sum;
  if (expected != nullptr) sum.emplace();
  auto read = checker.read_file(entry, [&](std::span<const std::byte> bytes) {
    if (sum) sum->update(bytes);
    return true;
  });
  if (!read) {
    out.findings.push_back({entry.id, true, "ReadFailed",
                            entry_problem(read.error()).words});
    return out;
  }
  out.bytes = read->size;
  const EntryRead contents{.size = read->size,
                           .declared_size = read->declared_size};
  if (auto words = short_contents(entry, contents)) {
    out.findings.push_back({entry.id, false, "ShortStream", *words});
  }
  if (sum && sum->hex_digest() != *expected) {
    out.findings.push_back({entry.id, true, "SumDiffers",
                            "its SHA-256 differs from the manifest's"});
  }
  return out;
}

bool progress() {
  return progress_wanted(verbosity().quiet, std::getenv("NO_COLOR"),
                         std::getenv("TERM"));
}

bool is_damage(const Finding& finding) { return finding.damage; }

}  // namespace

// One pass over the archive: the checker walks the directory's nodes and
// the free list, the entries are read through it on several threads (each
// block once, its chain checked as it is read), and its findings come at
// the end, when every chain has been seen. Nothing is printed before that:
// a chain read late may name one read early.
int run(const VerifyCommand& command) {
  std::map<std::uint32_t, std::string> manifest;
  if (!command.manifest.empty()) {
    auto read = read_manifest(command.manifest);
    if (!read) {
      const std::string line = "error: " + read.error() + "\n";
      (void)write_all(kStandardError, std::as_bytes(std::span(line)));
      return kUsage;
    }
    manifest = std::move(*read);
  }
  // The open and the check share the directory's reads.
  auto checker = ArchiveChecker::start_and_open(command.archive);
  if (!checker) {
    report(archive_failure(command.archive, checker.error()));
    return kCannotExamine;
  }
  std::optional<DatDatabase> db;
  std::optional<Finding> open_failed;
  auto opened = checker->take_database();
  if (opened) {
    db = std::move(*opened);
  } else if (category(opened.error()) != ErrorCategory::Damaged) {
    report(archive_failure(command.archive, opened.error()));
    return kCannotExamine;
  } else {
    open_failed = {std::nullopt, true, "OpenFailed", message(opened.error())};
  }

  // Every id the archive (or the selectors) or the manifest names,
  // ascending; without a directory, those the check names.
  std::vector<std::uint32_t> ids;
  bool unmatched = false;
  if (db) {
    ids = selected_ids(command.archive, db->files(), command.selectors,
                       unmatched);
  }
  for (const auto& [id, sum] : manifest) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

  std::vector<EntryCheck> reads(db ? ids.size() : 0);
  run_batch(reads.size(), command.jobs, "verify", "damaged", progress(),
            [&](std::size_t i) {
              EntryOutcome outcome;
              const DatFileEntry* entry = db->files().find(ids[i]);
              if (entry == nullptr) return outcome;
              const auto expected = manifest.find(ids[i]);
              try {
                reads[i] = check_entry(
                    *checker, *entry,
                    expected == manifest.end() ? nullptr : &expected->second);
              } catch (const std::bad_alloc&) {
                reads[i].findings = {
                    {ids[i], true, "ReadFailed", "out of memory"}};
              }
              outcome.bytes = reads[i].bytes;
              outcome.failed = std::any_of(reads[i].findings.begin(),
                                           reads[i].findings.end(), is_damage);
              return outcome;
            });
  auto check = checker->finish();
  if (!check) {
    report(archive_failure(command.archive, check.error()));
    return kCannotExamine;
  }

  // Archive-level findings first, then each id's: the check's, then what
  // reading it found.
  std::vector<Finding> archive_level;
  std::map<std::uint32_t, std::vector<Finding>> by_id;
  for (const CheckFinding& finding : check->findings) {
    if (finding.id) {
      by_id[*finding.id].push_back(of(finding));
    } else {
      archive_level.push_back(of(finding));
    }
  }
  if (open_failed && std::none_of(check->findings.begin(),
                                  check->findings.end(),
                                  [](const CheckFinding& f) {
                                    return f.severity ==
                                           CheckFinding::Severity::Damage;
                                  })) {
    archive_level.push_back(*open_failed);
  }
  if (!db) {
    for (const auto& [id, findings] : by_id) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  }

  std::size_t damaged = 0, warnings = 0;
  std::string out;
  int written = 0;
  auto emit = [&](const std::vector<Finding>& findings) {
    for (const Finding& finding : findings) {
      ++(finding.damage ? damaged : warnings);
      out += finding_line(finding, command.json);
    }
    if (out.size() >= (std::size_t{64} << 10)) {
      written |= write_output(out);
      out.clear();
    }
  };
  emit(archive_level);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    const std::uint32_t id = ids[i];
    std::vector<Finding> findings;
    if (auto structural = by_id.find(id); structural != by_id.end()) {
      findings = std::move(structural->second);
    }
    const bool structurally_damaged =
        std::any_of(findings.begin(), findings.end(), is_damage);
    const DatFileEntry* entry = db ? db->files().find(id) : nullptr;
    const bool in_manifest = manifest.contains(id);
    if (entry != nullptr) {
      // The check has already said why a damaged chain fails to read.
      for (Finding& finding : reads[i].findings) {
        if (structurally_damaged && finding.kind == "ReadFailed") continue;
        findings.push_back(std::move(finding));
      }
      if (!manifest.empty() && !in_manifest) {
        findings.push_back(
            {id, false, "NotInManifest", "it is not in the manifest"});
      }
    } else if (db && in_manifest) {
      findings.push_back({id, true, "MissingFromArchive",
                          "it is in the manifest but not in the archive"});
    } else if (db) {
      findings.push_back({id, true, "NotFound", "no file with this id"});
    }
    emit(findings);
  }
  const std::size_t files = db ? db->files().size() : 0;
  if (command.json) {
    JsonWriter line;
    out += line.begin_object()
               .field("files", files)
               .field("damaged", damaged)
               .field("warnings", warnings)
               .end_object()
               .take() +
           "\n";
  } else {
    out += std::to_string(files) + " files checked, " +
           std::to_string(damaged) + " damaged, " +
           std::to_string(warnings) + " warnings\n";
  }
  written |= write_output(out);
  const bool bad =
      damaged != 0 || unmatched || (command.strict && warnings != 0);
  return written != 0 || bad ? 1 : 0;
}

int run(const SumCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  bool unmatched = false;
  const std::vector<std::uint32_t> ids =
      selected_ids(command.archive, db->files(), command.selectors, unmatched);
  const BatchTotals totals = run_batch(
      ids.size(), command.jobs, "sum", "failed", progress(),
      [&](std::size_t i) {
        const DatFileEntry* entry = db->files().find(ids[i]);
        EntryOutcome outcome;
        auto fail = [&](const DatError& error) {
          outcome.failed = true;
          outcome.err = error_line(entry_failure(command.archive, ids[i], error),
                                   verbosity().verbose);
          return outcome;
        };
        if (entry == nullptr) return fail(DatError(DatError::NotFound{ids[i]}));
        try {
          Sha256 sha;
          auto read = read_entry(
              *db, *entry,
              command.raw ? EntryForm::kStored : EntryForm::kContents,
              [&](std::span<const std::byte> bytes) {
                sha.update(bytes);
                return std::expected<void, IoError>();
              });
          if (!read) return fail(read.error().error);
          outcome.bytes = read->size;
          outcome.out = sha.hex_digest() + "  " + entry_file_name(entry->id) + "\n";
          if (!command.raw) {
            if (auto words = short_contents(*entry, *read)) {
              outcome.err = warning_line(command.archive, entry->id, *words);
            }
          }
        } catch (const std::bad_alloc&) {
          outcome.failed = true;
          outcome.err = error_line({command.archive + ": " + format_id(ids[i]),
                                    "out of memory", "std::bad_alloc"},
                                   verbosity().verbose);
        }
        return outcome;
      });
  if (totals.out_error &&
      totals.out_error->kind() != IoErrorKind::BrokenPipe) {
    report(file_failure("standard output", *totals.out_error));
    return 1;
  }
  return totals.failed == 0 && !unmatched ? 0 : 1;
}

}  // namespace ostrand_dat::tool
