#include "ostrand_dat/file_type/sound_table.h"

#include <algorithm>
#include <utility>

namespace ostrand_dat::file_type {
namespace {

// A declared count is taken at its word for decoding, but the reservation
// is bounded by what the remaining bytes can hold at `record_size` bytes a
// record; a count the bytes cannot satisfy fails with the short read anyway.
std::size_t bounded_reservation(std::uint64_t count, const RecordReader& reader,
                                std::size_t record_size) {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(count, reader.remaining() / record_size));
}

// A negative table-level count means no records.
std::uint32_t count_or_zero(std::int32_t count) {
  return count < 0 ? 0 : static_cast<std::uint32_t>(count);
}

}  // namespace

// priority f32, probability f32, volume f32.
std::expected<SoundHashData, ReadError> SoundHashData::read(RecordReader& reader) {
  auto priority = reader.read_f32();
  if (!priority) return std::unexpected(std::move(priority.error()));
  auto probability = reader.read_f32();
  if (!probability) return std::unexpected(std::move(probability.error()));
  auto volume = reader.read_f32();
  if (!volume) return std::unexpected(std::move(volume.error()));
  return SoundHashData{*priority, *probability, *volume};
}

// wave_did u32, priority f32, probability f32, volume f32.
std::expected<SoundEntry, ReadError> SoundEntry::read(RecordReader& reader) {
  auto wave_did = reader.read_u32();
  if (!wave_did) return std::unexpected(std::move(wave_did.error()));
  auto rest = SoundHashData::read(reader);
  if (!rest) return std::unexpected(std::move(rest.error()));
  return SoundEntry{*wave_did, rest->priority, rest->probability, rest->volume};
}

// num_entries u32 (unsigned, unlike the table's counts), the entries of 16
// bytes each, then unknown i32.
std::expected<SoundData, ReadError> SoundData::read(RecordReader& reader) {
  auto count = reader.read_u32();
  if (!count) return std::unexpected(std::move(count.error()));
  SoundData data;
  data.entries.reserve(bounded_reservation(*count, reader, 16));
  for (std::uint32_t i = 0; i < *count; ++i) {
    auto entry = SoundEntry::read(reader);
    if (!entry) return std::unexpected(std::move(entry.error()));
    data.entries.push_back(*entry);
  }
  auto unknown = reader.read_i32();
  if (!unknown) return std::unexpected(std::move(unknown.error()));
  data.unknown = *unknown;
  return data;
}

std::expected<SoundTable, ReadError> SoundTable::unpack(
    std::span<const std::byte> data) {
  RecordReader reader(data);
  return read(reader);
}

// Field        Width  Type
// id               4  u32
// hash_key         4  i32
// num_hashes       4  i32, negative = 0
// hash records    16  key u32 + SoundHashData, num_hashes of them
// num_sounds       4  i32, negative = 0
// sound records  12+  key u32 + SoundData, num_sounds of them
// The last record with a given key wins, in both maps. Trailing bytes are
// not looked at.
std::expected<SoundTable, ReadError> SoundTable::read(RecordReader& reader) {
  SoundTable table;
  auto id = reader.read_u32();
  if (!id) return std::unexpected(std::move(id.error()));
  auto hash_key = reader.read_i32();
  if (!hash_key) return std::unexpected(std::move(hash_key.error()));
  table.id = *id;
  table.hash_key = *hash_key;

  auto num_hashes = reader.read_i32();
  if (!num_hashes) return std::unexpected(std::move(num_hashes.error()));
  const std::uint32_t hash_count = count_or_zero(*num_hashes);
  table.hashes.reserve(bounded_reservation(hash_count, reader, 16));
  for (std::uint32_t i = 0; i < hash_count; ++i) {
    auto key = reader.read_u32();
    if (!key) return std::unexpected(std::move(key.error()));
    auto hash = SoundHashData::read(reader);
    if (!hash) return std::unexpected(std::move(hash.error()));
    table.hashes.insert_or_assign(*key, *hash);
  }

  auto num_sounds = reader.read_i32();
  if (!num_sounds) return std::unexpected(std::move(num_sounds.error()));
  const std::uint32_t sound_count = count_or_zero(*num_sounds);
  table.sounds.reserve(bounded_reservation(sound_count, reader, 12));
  for (std::uint32_t i = 0; i < sound_count; ++i) {
    auto key = reader.read_u32();
    if (!key) return std::unexpected(std::move(key.error()));
    auto sound = SoundData::read(reader);
    if (!sound) return std::unexpected(std::move(sound.error()));
    table.sounds.insert_or_assign(*key, std::move(*sound));
  }
  return table;
}

std::optional<std::span<const SoundEntry>> SoundTable::entries_for(
    std::uint32_t sound_enum) const {
  auto it = sounds.find(sound_enum);
  if (it == sounds.end()) return std::nullopt;
  return std::span<const SoundEntry>(it->second.entries);
}

// The first listed choice decides; weights, hashes and later entries do not
// take part.
std::optional<std::uint32_t> SoundTable::resolve_sound(
    std::uint32_t sound_enum) const {
  auto entries = entries_for(sound_enum);
  if (!entries || entries->empty() || entries->front().wave_did == 0) {
    return std::nullopt;
  }
  return entries->front().wave_did;
}

}  // namespace ostrand_dat::file_type
