// A check of an archive as a whole, as a file-system checker makes one: the
// header, every directory node and file chain, the free list, and the blocks
// that nothing reaches. Findings come back as data; reading the files'
// contents is left to the caller.
#ifndef OSTRAND_DAT_CHECK_H_
#define OSTRAND_DAT_CHECK_H_

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ostrand_dat/error.h"
#include "ostrand_dat/export.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat {

// One thing the check found wrong or odd.
struct CheckFinding {
  enum class Severity {
    Warning,  // readers cope, but the archive is not as a writer leaves it
    Damage,   // data is lost or a reader goes astray
  };
  enum class Kind {
    HeaderCutShort,    // damage: the file ends inside the header
    BlockSizeNoRoom,   // damage with a directory, else a warning
    FileSizeMismatch,  // warning: file_size differs from the real size
    ChainOutOfRange,   // damage: a block before the first block or past the
                       // end of the file, or off the block grid
    ChainLoop,         // damage: a chain visits one of its blocks again
    CrossLinked,       // damage: a block belongs to two chains
    SharedNode,        // warning: two slots name one directory node
    BadNode,           // damage: a node counts more entries than it holds
    FreeList,          // damage: the free list loops, leaves the file, or
                       // disagrees with free_count or free_tail
    FreeBlockInUse,    // damage: a block on the free list belongs to a chain
    Unaccounted,       // warning: blocks that nothing reaches
  };

  Severity severity = Severity::Damage;
  Kind kind = Kind::ChainOutOfRange;
  // The file the finding concerns; nullopt for the archive as a whole
  // (header, directory nodes, free list).
  std::optional<std::uint32_t> id;
  std::string text;  // plain words, one line: "its chain visits ... again"

  friend bool operator==(const CheckFinding&, const CheckFinding&) = default;
};

// The kind's name in upper camel case, `CrossLinked`.
[[nodiscard]] OSTRAND_DAT_EXPORT std::string_view kind_name(
    CheckFinding::Kind kind);

struct ArchiveCheck {
  // Archive-level findings first, then by id; for one id in the order found.
  std::vector<CheckFinding> findings;
  std::uint64_t entries = 0;      // directory entries seen, duplicates too
  std::uint64_t blocks = 0;       // blocks the file has room for
  std::uint64_t unaccounted = 0;  // of those, reached by nothing
};

// The check in steps, for a caller that reads every file anyway (to hash
// it, say), so that each block is read once: start() checks the header, the
// directory's nodes and the free list; read_file() reads a file's contents
// and checks its chain on the way; finish() reads the chains no read_file()
// read and gives the findings, exactly those of check_archive(). Memory: a
// few bits per block of the file and 17 bytes per directory entry.
// read_file() may run on several threads at once, and nothing else with it.
class OSTRAND_DAT_EXPORT ArchiveChecker {
 public:
  // Fails only when the archive cannot be examined: PathError when it
  // cannot be opened, Io when a read fails for another reason than its end.
  [[nodiscard]] static std::expected<ArchiveChecker, DatError> start(
      const std::filesystem::path& path);
  // start(), and the archive opened as DatDatabase::open() opens it, from
  // the same reads: the check takes the directory's nodes from the open
  // (up to 64 MiB of them) rather than reading them again. The open's
  // result, the database or its failure, from take_database().
  [[nodiscard]] static std::expected<ArchiveChecker, DatError> start_and_open(
      const std::filesystem::path& path);
  // What start_and_open() opened, once.
  [[nodiscard]] std::expected<DatDatabase, DatError> take_database();

  ArchiveChecker(ArchiveChecker&&) noexcept;
  ArchiveChecker& operator=(ArchiveChecker&&) noexcept;
  ~ArchiveChecker();

  // Hands `sink` the contents of `entry`, a directory entry of the archive,
  // exactly as DatDatabase::read_file() does, with its failures. The whole
  // chain is read even when the sink stops, so that it is checked.
  [[nodiscard]] std::expected<FileReadSummary, DatError> read_file(
      const DatFileEntry& entry, const FileSink& sink) const;

  // The findings, after reading the chains of the entries no read_file()
  // has read. Call it once. When chains cross, the whole archive's chains
  // are walked again to name each shared block's owners.
  [[nodiscard]] std::expected<ArchiveCheck, DatError> finish();

 private:
  class State;
  explicit ArchiveChecker(std::unique_ptr<State> state);
  static std::expected<ArchiveChecker, DatError> start(
      const std::filesystem::path& path, bool open_database);
  std::unique_ptr<State> state_;
};

// Checks the archive at `path`: ArchiveChecker's three steps, with no file
// read by the caller. Memory and failures as there. Safe to run beside
// readers.
[[nodiscard]] OSTRAND_DAT_EXPORT std::expected<ArchiveCheck, DatError>
check_archive(const std::filesystem::path& path);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_CHECK_H_
