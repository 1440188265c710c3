// verify and sum: the archive checked as a whole (check_archive), then every
// entry read on several threads through read_entry, findings and sums
// reported in id order.
#include <algorithm>
#include <atomic>
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

EntryCheck check_entry(const DatDatabase& db, const DatFileEntry& entry,
                       bool structurally_damaged, const std::string* expected) {
  EntryCheck out;
  std::optional<Sha256> sum;
  if (expected != nullptr) sum.emplace();
  auto read = read_entry(db, entry, EntryForm::kContents,
                         [&](std::span<const std::byte> bytes) {
                           if (sum) sum->update(bytes);
                           return std::expected<void, IoError>();
                         });
  if (!read) {
    // The whole-archive check has already said why the chain fails.
    if (!structurally_damaged) {
      out.findings.push_back({entry.id, true, "ReadFailed",
                              entry_problem(read.error().error).words});
    }
    return out;
  }
  out.bytes = read->size;
  if (auto words = short_contents(entry, *read)) {
    out.findings.push_back({entry.id, false, "ShortStream", *words});
  }
  if (sum) {
    if (sum->hex_digest() != *expected) {
      out.findings.push_back({entry.id, true, "SumDiffers",
                              "its SHA-256 differs from the manifest's"});
    }
  }
  return out;
}

bool progress() {
  return progress_wanted(verbosity().quiet, std::getenv("NO_COLOR"),
                         std::getenv("TERM"));
}

}  // namespace

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
  auto check = check_archive(command.archive);
  if (!check) {
    report(archive_failure(command.archive, check.error()));
    return kCannotExamine;
  }
  // Archive-level findings first; those of each id go out with its entry.
  std::vector<Finding> archive_level;
  std::map<std::uint32_t, std::vector<Finding>> by_id;
  for (const CheckFinding& finding : check->findings) {
    if (finding.id) {
      by_id[*finding.id].push_back(of(finding));
    } else {
      archive_level.push_back(of(finding));
    }
  }
  std::optional<DatDatabase> db;
  if (check->findings.empty() ||
      check->findings.front().kind != CheckFinding::Kind::HeaderCutShort) {
    auto opened = DatDatabase::open(command.archive);
    if (opened) {
      db = std::move(*opened);
    } else if (category(opened.error()) != ErrorCategory::Damaged) {
      report(archive_failure(command.archive, opened.error()));
      return kCannotExamine;
    } else if (std::none_of(check->findings.begin(), check->findings.end(),
                            [](const CheckFinding& f) {
                              return f.severity ==
                                     CheckFinding::Severity::Damage;
                            })) {
      archive_level.push_back(
          {std::nullopt, true, "OpenFailed", message(opened.error())});
    }
  }

  std::atomic<std::size_t> damaged = 0, warnings = 0;
  auto count = [&](const std::vector<Finding>& findings, std::string& out) {
    for (const Finding& finding : findings) {
      ++(finding.damage ? damaged : warnings);
      out += finding_line(finding, command.json);
    }
  };
  std::string head;
  count(archive_level, head);
  if (!head.empty()) {
    if (write_output(head) != 0) return 1;
  }

  // Every id the archive (or the selectors) or the manifest names,
  // ascending.
  std::vector<std::uint32_t> ids;
  bool unmatched = false;
  if (db) {
    ids = selected_ids(command.archive, db->files(), command.selectors,
                       unmatched);
  } else {
    for (const auto& [id, findings] : by_id) ids.push_back(id);
  }
  for (const auto& [id, sum] : manifest) ids.push_back(id);
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

  const BatchTotals totals = run_batch(
      ids.size(), command.jobs, "verify", "damaged", progress(),
      [&](std::size_t i) {
        const std::uint32_t id = ids[i];
        std::vector<Finding> findings;
        if (auto structural = by_id.find(id); structural != by_id.end()) {
          findings = structural->second;
        }
        const bool structurally_damaged =
            std::any_of(findings.begin(), findings.end(),
                        [](const Finding& f) { return f.damage; });
        EntryOutcome outcome;
        const DatFileEntry* entry = db ? db->files().find(id) : nullptr;
        const auto expected = manifest.find(id);
        if (entry != nullptr) {
          try {
            EntryCheck read = check_entry(
                *db, *entry, structurally_damaged,
                expected == manifest.end() ? nullptr : &expected->second);
            outcome.bytes = read.bytes;
            findings.insert(findings.end(), read.findings.begin(),
                            read.findings.end());
          } catch (const std::bad_alloc&) {
            findings.push_back({id, true, "ReadFailed", "out of memory"});
          }
          if (!manifest.empty() && expected == manifest.end()) {
            findings.push_back(
                {id, false, "NotInManifest", "it is not in the manifest"});
          }
        } else if (db && expected != manifest.end()) {
          findings.push_back({id, true, "MissingFromArchive",
                              "it is in the manifest but not in the archive"});
        } else if (db) {
          findings.push_back({id, true, "NotFound", "no file with this id"});
        }
        count(findings, outcome.out);
        outcome.failed = std::any_of(findings.begin(), findings.end(),
                                     [](const Finding& f) { return f.damage; });
        return outcome;
      });
  const std::size_t files = db ? db->files().size() : 0;
  const bool bad =
      damaged != 0 || unmatched || (command.strict && warnings != 0);
  if (totals.out_error) {
    // A reader that went away chose to stop; the status still tells damage.
    if (totals.out_error->kind() == IoErrorKind::BrokenPipe) return bad ? 1 : 0;
    report(file_failure("standard output", *totals.out_error));
    return 1;
  }
  std::string last;
  if (command.json) {
    JsonWriter out;
    last = out.begin_object()
               .field("files", files)
               .field("damaged", damaged.load())
               .field("warnings", warnings.load())
               .end_object()
               .take() +
           "\n";
  } else {
    last = std::to_string(files) + " files checked, " +
           std::to_string(damaged.load()) + " damaged, " +
           std::to_string(warnings.load()) + " warnings\n";
  }
  const int written = write_output(last);
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
