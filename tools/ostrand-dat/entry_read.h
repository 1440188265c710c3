// Reading one directory entry's bytes, for cat, extract and verify: the one
// place that knows how the library hands an entry over, so that a read in
// pieces can take the place of the whole-file read here alone.
#ifndef OSTRAND_DAT_TOOL_ENTRY_READ_H_
#define OSTRAND_DAT_TOOL_ENTRY_READ_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::tool {

enum class EntryForm {
  kContents,  // decompressed when the entry says so, as get_file gives it
  kStored,    // the stored bytes as they are
};

// Takes an entry's bytes in order, in one or more pieces; a failure ends the
// read.
using ByteSink =
    std::function<std::expected<void, IoError>(std::span<const std::byte>)>;

struct EntryRead {
  std::uint64_t size = 0;  // bytes handed to the sink
  // A compressed entry read as contents: the size its 4-byte prefix
  // declares, or nullopt when its stored bytes are too few to hold one.
  // Compressed contents shorter than declared end early in the stream.
  std::optional<std::uint32_t> declared_size;
};

struct EntryReadError {
  bool in_sink = false;  // the sink failed (error is then of kind Io)
  DatError error;
};

// What is short about contents that read without error, in words, or
// nothing: a compressed stream that ends before its declared size (or holds
// too few bytes for the size). Readers cope, so cat and extract write such
// contents with a warning, and verify counts a warning.
std::optional<std::string> short_contents(const DatFileEntry& entry,
                                          const EntryRead& read);

// Reads `entry` of `db` in `form` into `sink`. Safe on several threads at
// once over one database.
std::expected<EntryRead, EntryReadError> read_entry(const DatDatabase& db,
                                                    const DatFileEntry& entry,
                                                    EntryForm form,
                                                    const ByteSink& sink);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_ENTRY_READ_H_
