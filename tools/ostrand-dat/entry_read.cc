#include "entry_read.h"

#include <utility>
#include <vector>

#include "ostrand_dat/utils.h"

namespace ostrand_dat::tool {

std::expected<EntryRead, EntryReadError> read_entry(const DatDatabase& db,
                                                    const DatFileEntry& entry,
                                                    EntryForm form,
                                                    const ByteSink& sink) {
  auto stored = db.read_file_data(entry.offset, entry.size);
  if (!stored) {
    return std::unexpected(EntryReadError{false, std::move(stored.error())});
  }
  EntryRead read;
  std::vector<std::byte> contents;
  if (form == EntryForm::kContents && entry.is_compressed()) {
    // What get_file does with the entry in hand: fewer than 4 stored bytes
    // hold no size prefix and are handed over as they are.
    if (stored->size() >= 4) {
      read.declared_size = std::to_integer<std::uint32_t>((*stored)[0]) |
                           std::to_integer<std::uint32_t>((*stored)[1]) << 8 |
                           std::to_integer<std::uint32_t>((*stored)[2]) << 16 |
                           std::to_integer<std::uint32_t>((*stored)[3]) << 24;
    }
    contents = decompress_lrs(*stored);
    stored->clear();
    stored->shrink_to_fit();
  } else {
    contents = std::move(*stored);
  }
  read.size = contents.size();
  auto taken = sink(contents);
  if (!taken) {
    return std::unexpected(
        EntryReadError{true, DatError(std::move(taken.error()))});
  }
  return read;
}

}  // namespace ostrand_dat::tool
