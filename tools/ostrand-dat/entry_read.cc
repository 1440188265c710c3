#include "entry_read.h"

#include <optional>
#include <string>
#include <utility>

namespace ostrand_dat::tool {

std::optional<std::string> short_contents(const DatFileEntry& entry,
                                          const EntryRead& read) {
  if (!entry.is_compressed()) return std::nullopt;
  if (!read.declared_size) {
    return "stored compressed, but its " + std::to_string(entry.size) +
           " stored bytes are too few for the 4-byte size prefix";
  }
  if (read.size < *read.declared_size) {
    return "its compressed stream ends early: it decodes to " +
           std::to_string(read.size) + " of the " +
           std::to_string(*read.declared_size) + " bytes its prefix declares";
  }
  return std::nullopt;
}

// The library streams the entry in bounded memory; the sink's failure
// stops the read and is kept to tell it from the library's.
std::expected<EntryRead, EntryReadError> read_entry(const DatDatabase& db,
                                                    const DatFileEntry& entry,
                                                    EntryForm form,
                                                    const ByteSink& sink) {
  std::optional<IoError> sink_failure;
  const FileSink take = [&](std::span<const std::byte> piece) {
    auto taken = sink(piece);
    if (!taken) sink_failure = std::move(taken.error());
    return taken.has_value();
  };
  auto read = form == EntryForm::kContents
                  ? db.read_file(entry.id, take)
                  : db.read_file_data(entry.offset, entry.size, take);
  if (!read) {
    return std::unexpected(EntryReadError{false, std::move(read.error())});
  }
  if (sink_failure) {
    return std::unexpected(
        EntryReadError{true, DatError(std::move(*sink_failure))});
  }
  return EntryRead{.size = read->size, .declared_size = read->declared_size};
}

}  // namespace ostrand_dat::tool
