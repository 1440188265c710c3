// Any bytes as an archive: open it, fetch every listed file, and decode each
// as a sound table. Opening may fail only with the errors of reading
// (Io, BinRead, Corruption); a fetched file is exactly as long as its entry
// says, or, compressed, at most what its stored bytes can expand to.
//
// The input is the archive from its header on: the 320 bytes before the
// header, which nothing reads, are zeros, so no mutation is spent on them.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_support.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"

namespace {

using ostrand_dat::DatDatabase;
using ostrand_dat::DatError;
using ostrand_fuzz::check;

// Work per input stays far below the 10 s timeout however many entries a
// hostile directory lists.
constexpr std::size_t kMaxFilesFetched = 256;
constexpr std::uint64_t kMaxBytesFetched = 64ull << 20;

void check_printable(const DatError& error) {
  check(!ostrand_dat::debug_string(error).empty(), "every error has a printed form");
}

void decode_as_sound_table(std::span<const std::byte> bytes) {
  auto table = ostrand_dat::file_type::SoundTable::unpack(bytes);
  if (!table) {
    check(table.error().cause == ostrand_dat::IoError::unexpected_eof(),
          "a sound table fails only by running out of bytes");
    return;
  }
  for (const auto& [kind, data] : table->sounds) {
    const auto wave = table->resolve_sound(kind);
    check(wave.has_value() ==
              (!data.entries.empty() && data.entries.front().wave_did != 0),
          "a kind resolves exactly when its first wave is not 0");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const ostrand_fuzz::ScratchFile file =
      ostrand_fuzz::archive_from_header(ostrand_fuzz::as_bytes(data, size));

  auto db = DatDatabase::open(file.path());
  if (!db) {
    const auto kind = db.error().kind();
    check(kind == DatError::Kind::Io || kind == DatError::Kind::BinRead ||
              kind == DatError::Kind::Corruption,
          "opening fails only with Io, BinRead or Corruption");
    check_printable(db.error());
    return 0;
  }

  if (!db->files().contains(0)) {
    auto missing = db->get_file(0);
    check(!missing && missing.error().kind() == DatError::Kind::NotFound,
          "an id that is not listed is NotFound");
  }

  std::size_t fetched = 0;
  std::uint64_t bytes_fetched = 0;
  for (const auto& entry : db->files()) {
    if (fetched++ == kMaxFilesFetched || bytes_fetched > kMaxBytesFetched) break;
    auto contents = db->get_file(entry.id);
    if (!contents) {
      const auto kind = contents.error().kind();
      check(kind == DatError::Kind::Io || kind == DatError::Kind::Corruption,
            "fetching a listed file fails only with Io or Corruption");
      check_printable(contents.error());
      continue;
    }
    bytes_fetched += contents->size();
    if (!entry.is_compressed() || entry.size < 4) {
      check(contents->size() == entry.size, "stored bytes come back in full");
    } else {
      // Eight 2-byte back-references of 17 bytes per control byte: at most
      // 8 output bytes per stored byte.
      check(contents->size() <= 8ull * entry.size,
            "decoded size bounded by the stored size");
    }
    decode_as_sound_table(*contents);
  }
  return 0;
}
