// Any bytes as a sound table. A decoded table must resolve every kind as
// its first entry says, and survive encoding and decoding again unchanged;
// the encoding of the decoded table is never longer than the bytes the
// decoder consumed, and exactly as long when no key was repeated.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "fuzz_support.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/record_reader.h"
#include "ostrand_dat/writer.h"

namespace {

using ostrand_dat::RecordReader;
using ostrand_dat::file_type::SoundTable;
using ostrand_fuzz::check;

// The table-level count at `position`, negative counts read as 0, or
// nullopt when the bytes end first.
std::optional<std::uint32_t> count_at(std::span<const std::byte> input,
                                      std::size_t position) {
  if (position > input.size()) return std::nullopt;
  RecordReader reader(input.subspan(position));
  auto count = reader.read_i32();
  if (!count) return std::nullopt;
  return *count < 0 ? 0u : static_cast<std::uint32_t>(*count);
}

void check_resolution(const SoundTable& table) {
  for (const auto& [kind, data] : table.sounds) {
    const auto wave = table.resolve_sound(kind);
    const auto entries = table.entries_for(kind);
    check(entries.has_value() && entries->size() == data.entries.size(),
          "entries_for views the kind's list");
    if (data.entries.empty() || data.entries.front().wave_did == 0) {
      check(!wave.has_value(), "no first wave resolves to nothing");
    } else {
      check(wave == data.entries.front().wave_did, "the first wave decides");
    }
  }
  for (std::uint32_t kind : {0u, 0x58u, 0xFFFFFFFFu}) {
    if (!table.sounds.contains(kind)) {
      check(!table.resolve_sound(kind) && !table.entries_for(kind),
            "an absent kind resolves to nothing");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const auto input = ostrand_fuzz::as_bytes(data, size);
  RecordReader reader(input);
  auto table = SoundTable::read(reader);
  auto unpacked = SoundTable::unpack(input);
  check(table.has_value() == unpacked.has_value(), "unpack is read from the start");
  if (!table) {
    check(table.error() == unpacked.error(), "unpack fails as read does");
    check(table.error().contexts.empty(), "sound-table errors carry no context");
    return 0;
  }
  const std::size_t consumed = reader.position();
  check_resolution(*table);

  // Floats are compared through their encoding, bit for bit (NaN included).
  const auto encoded = ostrand_dat::encode_sound_table(*table);
  auto again = SoundTable::unpack(encoded);
  check(again.has_value(), "an encoded table decodes");
  check(ostrand_dat::encode_sound_table(*again) == encoded,
        "decode(encode(table)) encodes alike");
  check(again->sounds.size() == table->sounds.size() &&
            again->hashes.size() == table->hashes.size(),
        "decode(encode(table)) keeps every key");
  check(encoded.size() <= consumed, "the decoded table is no longer than its bytes");

  const auto hashes = count_at(input, 8);
  const auto sounds = hashes ? count_at(input, 12 + 16 * std::size_t{*hashes})
                             : std::nullopt;
  check(hashes && sounds, "a decoded table has both counts");
  if (table->hashes.size() == *hashes && table->sounds.size() == *sounds) {
    check(encoded.size() == consumed,
          "without repeated keys the encoding is as long as the input");
  }
  return 0;
}
