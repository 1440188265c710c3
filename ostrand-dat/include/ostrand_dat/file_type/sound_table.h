// Sound tables: files that map a sound kind to a list of weighted wave
// choices. Decoding from bytes, and resolution of a kind to a wave id.
#ifndef OSTRAND_DAT_FILE_TYPE_SOUND_TABLE_H_
#define OSTRAND_DAT_FILE_TYPE_SOUND_TABLE_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "ostrand_dat/error.h"
#include "ostrand_dat/export.h"
#include "ostrand_dat/record_reader.h"

namespace ostrand_dat::file_type {

// 12 bytes: priority f32, probability f32, volume f32.
struct OSTRAND_DAT_EXPORT SoundHashData {
  float priority = 0;
  float probability = 0;
  float volume = 0;

  [[nodiscard]] static std::expected<SoundHashData, ReadError> read(
      RecordReader& reader);
  friend bool operator==(const SoundHashData&, const SoundHashData&) = default;
};

// 16 bytes: wave_did u32 (0: no wave), priority, probability, volume f32.
struct OSTRAND_DAT_EXPORT SoundEntry {
  std::uint32_t wave_did = 0;
  float priority = 0;
  float probability = 0;
  float volume = 0;

  [[nodiscard]] static std::expected<SoundEntry, ReadError> read(
      RecordReader& reader);
  friend bool operator==(const SoundEntry&, const SoundEntry&) = default;
};

// num_entries u32, the entries, then unknown i32.
struct OSTRAND_DAT_EXPORT SoundData {
  std::vector<SoundEntry> entries;
  std::int32_t unknown = 0;

  [[nodiscard]] static std::expected<SoundData, ReadError> read(
      RecordReader& reader);
  friend bool operator==(const SoundData&, const SoundData&) = default;
};

// A decoded sound table. Never changed after decoding, so any number of
// threads may resolve kinds in it at once.
struct OSTRAND_DAT_EXPORT SoundTable {
  std::uint32_t id = 0;
  std::int32_t hash_key = 0;
  std::unordered_map<std::uint32_t, SoundHashData> hashes;
  std::unordered_map<std::uint32_t, SoundData> sounds;

  // Decodes a table from the start of `data`; trailing bytes are ignored.
  // Data that ends inside any field fails with the short-read ReadError,
  // which has no context.
  [[nodiscard]] static std::expected<SoundTable, ReadError> unpack(
      std::span<const std::byte> data);
  [[nodiscard]] static std::expected<SoundTable, ReadError> read(
      RecordReader& reader);

  // The entry list held for `sound_enum`, possibly empty; nullopt when the
  // table has no such kind. Valid as long as the table is.
  [[nodiscard]] std::optional<std::span<const SoundEntry>> entries_for(
      std::uint32_t sound_enum) const;

  // The wave of the kind's first entry; nullopt when the kind is absent, its
  // list is empty, or the first wave_did is 0.
  [[nodiscard]] std::optional<std::uint32_t> resolve_sound(
      std::uint32_t sound_enum) const;

  friend bool operator==(const SoundTable&, const SoundTable&) = default;
};

}  // namespace ostrand_dat::file_type

#endif  // OSTRAND_DAT_FILE_TYPE_SOUND_TABLE_H_
