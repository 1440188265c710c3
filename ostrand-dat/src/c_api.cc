// The C interface: thin wrappers over DatDatabase, decompress_lrs and
// SoundTable that turn every failure into a status and catch what the
// standard allocator throws, so that nothing unwinds into C.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "c_status.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/ostrand_dat_c.h"
#include "ostrand_dat/utils.h"
#include "ostrand_dat/version.h"

struct ostrand_dat_t {
  ostrand_dat::DatDatabase database;
};

struct ostrand_dat_reader_t {
  ostrand_dat::FileReader reader;
};

struct ostrand_dat_sound_table_t {
  ostrand_dat::file_type::SoundTable table;
  std::vector<std::uint32_t> kinds;  // ascending
  std::vector<std::uint32_t> hash_keys;  // ascending
};

namespace ostrand_dat::c_api {
namespace {

// Runs `body`, turning an allocation failure into OSTRAND_DAT_OUT_OF_MEMORY.
template <typename Body>
int guarded(ostrand_dat_status* status, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return out_of_memory(status);
  }
}

ostrand_dat_entry to_c(const DatFileEntry& e) {
  return {e.id, e.bit_flags, e.offset, e.size, e.timestamp, e.version};
}

// `bytes` copied into malloc'd memory (*data NULL when empty).
int hand_out(std::span<const std::byte> bytes, std::uint8_t** data,
             std::size_t* size, ostrand_dat_status* status) {
  *data = nullptr;
  *size = 0;
  if (!bytes.empty()) {
    *data = static_cast<std::uint8_t*>(std::malloc(bytes.size()));
    if (*data == nullptr) return out_of_memory(status);
    std::memcpy(*data, bytes.data(), bytes.size());
    *size = bytes.size();
  }
  return ok(status);
}

ReadOptions read_options(unsigned options) {
  return {.raw = (options & OSTRAND_DAT_READ_RAW) != 0,
          .strict = (options & OSTRAND_DAT_READ_STRICT) != 0};
}

std::span<const std::byte> as_bytes(const void* data, std::size_t size) {
  return {static_cast<const std::byte*>(data), size};
}

template <typename Map>
std::vector<std::uint32_t> sorted_keys(const Map& map) {
  std::vector<std::uint32_t> keys;
  keys.reserve(map.size());
  for (const auto& [key, value] : map) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

}  // namespace
}  // namespace ostrand_dat::c_api

using namespace ostrand_dat;
using namespace ostrand_dat::c_api;

extern "C" {

// The library's own version, whatever headers its caller was built with.
const char* ostrand_dat_version(void) { return OSTRAND_DAT_VERSION_STRING; }

void ostrand_dat_free(void* memory) { std::free(memory); }

int ostrand_dat_open(const char* path, ostrand_dat_t** archive,
                     ostrand_dat_status* status) {
  if (archive == nullptr) return null_argument(status, "archive");
  *archive = nullptr;
  if (path == nullptr) return null_argument(status, "path");
  return guarded(status, [&] {
    auto database = DatDatabase::open(path);
    if (!database) return fail(status, database.error());
    *archive = new ostrand_dat_t{std::move(*database)};
    return ok(status);
  });
}

void ostrand_dat_close(ostrand_dat_t* archive) { delete archive; }

int ostrand_dat_header_get(const ostrand_dat_t* archive,
                           ostrand_dat_header* header) {
  if (archive == nullptr || header == nullptr) return OSTRAND_DAT_INVALID_ARGUMENT;
  const DatHeader& h = archive->database.header();
  *header = {h.magic,         h.block_size,     h.file_size,   h.dataset,
             h.subset,        h.free_head,      h.free_tail,   h.free_count,
             h.root_offset,   h.new_lru,        h.old_lru,     h.use_lru,
             h.master_map_id, h.engine_version, h.game_version, {},
             h.version_minor};
  std::memcpy(header->version_string, h.version_string.data(), 16);
  return OSTRAND_DAT_OK;
}

size_t ostrand_dat_count(const ostrand_dat_t* archive) {
  return archive == nullptr ? 0 : archive->database.files().size();
}

size_t ostrand_dat_entries(const ostrand_dat_t* archive, size_t first,
                           ostrand_dat_entry* entries, size_t capacity) {
  if (archive == nullptr || entries == nullptr) return 0;
  auto all = archive->database.files().entries();
  if (first >= all.size()) return 0;
  std::size_t n = std::min(capacity, all.size() - first);
  for (std::size_t i = 0; i < n; ++i) entries[i] = to_c(all[first + i]);
  return n;
}

int ostrand_dat_contains(const ostrand_dat_t* archive, uint32_t id) {
  return archive != nullptr && archive->database.files().contains(id);
}

int ostrand_dat_find(const ostrand_dat_t* archive, uint32_t id,
                     ostrand_dat_entry* entry, ostrand_dat_status* status) {
  if (archive == nullptr) return null_argument(status, "archive");
  if (entry == nullptr) return null_argument(status, "entry");
  return guarded(status, [&] {
    const DatFileEntry* found = archive->database.files().find(id);
    if (found == nullptr) return fail(status, DatError(DatError::NotFound{id}));
    *entry = to_c(*found);
    return ok(status);
  });
}

int ostrand_dat_file_info_get(const ostrand_dat_t* archive, uint32_t id,
                              ostrand_dat_file_info* info,
                              ostrand_dat_status* status) {
  if (archive == nullptr) return null_argument(status, "archive");
  if (info == nullptr) return null_argument(status, "info");
  return guarded(status, [&] {
    auto found = archive->database.file_info(id);
    if (!found) return fail(status, found.error());
    info->entry = to_c(found->entry);
    info->has_declared_size = found->declared_size.has_value();
    info->declared_size = found->declared_size.value_or(0);
    info->size = found->size();
    info->capacity = info->size;
    if (found->declared_size) {
      // Each stream token yields at most 17 bytes, from 2 stored bytes at
      // least.
      info->capacity = std::min<std::uint64_t>(
          info->size, (std::uint64_t{found->entry.size} - 4) / 2 * 17 + 17);
    }
    return ok(status);
  });
}

int ostrand_dat_get_file(const ostrand_dat_t* archive, uint32_t id,
                         unsigned options, uint8_t** data, size_t* size,
                         ostrand_dat_status* status) {
  if (archive == nullptr) return null_argument(status, "archive");
  if (data == nullptr || size == nullptr) return null_argument(status, "data");
  *data = nullptr;
  *size = 0;
  return guarded(status, [&] {
    auto contents = archive->database.get_file(id, read_options(options));
    if (!contents) return fail(status, contents.error());
    return hand_out(*contents, data, size, status);
  });
}

int ostrand_dat_read_into(const ostrand_dat_t* archive, uint32_t id,
                          unsigned options, void* buffer, size_t capacity,
                          size_t* size, ostrand_dat_status* status) {
  if (archive == nullptr) return null_argument(status, "archive");
  if (size == nullptr) return null_argument(status, "size");
  if (buffer == nullptr && capacity > 0) return null_argument(status, "buffer");
  *size = 0;
  return guarded(status, [&] {
    auto* out = static_cast<std::byte*>(buffer);
    bool overflow = false;
    auto read = archive->database.read_file(
        id,
        [&](std::span<const std::byte> piece) {
          if (piece.size() > capacity - *size) return !(overflow = true);
          std::memcpy(out + *size, piece.data(), piece.size());
          *size += piece.size();
          return true;
        },
        read_options(options));
    if (!read) return fail(status, read.error());
    if (overflow) {
      return fail(status, OSTRAND_DAT_INVALID_ARGUMENT,
                  "InvalidArgument(\"the contents are longer than the "
                  "buffer\")");
    }
    return ok(status);
  });
}

int ostrand_dat_read_file(const ostrand_dat_t* archive, uint32_t id,
                          unsigned options, ostrand_dat_sink sink,
                          void* context,
                          uint64_t* handed, ostrand_dat_status* status) {
  if (handed != nullptr) *handed = 0;
  if (archive == nullptr) return null_argument(status, "archive");
  if (sink == nullptr) return null_argument(status, "sink");
  return guarded(status, [&] {
    auto read = archive->database.read_file(
        id, [&](std::span<const std::byte> piece) {
          if (handed != nullptr) *handed += piece.size();
          return sink(context, reinterpret_cast<const uint8_t*>(piece.data()),
                      piece.size()) != 0;
        },
        read_options(options));
    if (!read) return fail(status, read.error());
    return ok(status);
  });
}

int ostrand_dat_open_file(const ostrand_dat_t* archive, uint32_t id,
                          unsigned options, ostrand_dat_reader_t** reader,
                          ostrand_dat_status* status) {
  if (reader == nullptr) return null_argument(status, "reader");
  *reader = nullptr;
  if (archive == nullptr) return null_argument(status, "archive");
  return guarded(status, [&] {
    auto opened = archive->database.open_file(id, read_options(options));
    if (!opened) return fail(status, opened.error());
    *reader = new ostrand_dat_reader_t{std::move(*opened)};
    return ok(status);
  });
}

int ostrand_dat_reader_read(ostrand_dat_reader_t* reader, void* buffer,
                            size_t capacity, size_t* size,
                            ostrand_dat_status* status) {
  if (reader == nullptr) return null_argument(status, "reader");
  if (size == nullptr) return null_argument(status, "size");
  if (buffer == nullptr && capacity > 0) return null_argument(status, "buffer");
  *size = 0;
  return guarded(status, [&] {
    auto read = reader->reader.read({static_cast<std::byte*>(buffer), capacity});
    if (!read) return fail(status, read.error());
    *size = *read;
    return ok(status);
  });
}

void ostrand_dat_reader_close(ostrand_dat_reader_t* reader) { delete reader; }

int ostrand_dat_read_file_data(const ostrand_dat_t* archive, uint32_t offset,
                               uint32_t size, uint8_t** data,
                               size_t* data_size, ostrand_dat_status* status) {
  if (archive == nullptr) return null_argument(status, "archive");
  if (data == nullptr || data_size == nullptr) {
    return null_argument(status, "data");
  }
  *data = nullptr;
  *data_size = 0;
  return guarded(status, [&] {
    auto stored = archive->database.read_file_data(offset, size);
    if (!stored) return fail(status, stored.error());
    return hand_out(*stored, data, data_size, status);
  });
}

int ostrand_dat_decompress_lrs(const uint8_t* input, size_t input_size,
                               uint8_t** output, size_t* output_size,
                               ostrand_dat_status* status) {
  if (output == nullptr || output_size == nullptr) {
    return null_argument(status, "output");
  }
  *output = nullptr;
  *output_size = 0;
  if (input == nullptr && input_size > 0) return null_argument(status, "input");
  return guarded(status, [&] {
    auto decoded = decompress_lrs(as_bytes(input, input_size));
    return hand_out(decoded, output, output_size, status);
  });
}

int ostrand_dat_sound_table_unpack(const uint8_t* data, size_t size,
                                   ostrand_dat_sound_table_t** table,
                                   ostrand_dat_status* status) {
  if (table == nullptr) return null_argument(status, "table");
  *table = nullptr;
  if (data == nullptr && size > 0) return null_argument(status, "data");
  return guarded(status, [&] {
    auto unpacked = file_type::SoundTable::unpack(as_bytes(data, size));
    if (!unpacked) return fail(status, DatError(std::move(unpacked.error())));
    auto kinds = sorted_keys(unpacked->sounds);
    auto hash_keys = sorted_keys(unpacked->hashes);
    *table = new ostrand_dat_sound_table_t{std::move(*unpacked),
                                           std::move(kinds),
                                           std::move(hash_keys)};
    return ok(status);
  });
}

void ostrand_dat_sound_table_free(ostrand_dat_sound_table_t* table) {
  delete table;
}

uint32_t ostrand_dat_sound_table_id(const ostrand_dat_sound_table_t* table) {
  return table == nullptr ? 0 : table->table.id;
}

int32_t ostrand_dat_sound_table_hash_key(
    const ostrand_dat_sound_table_t* table) {
  return table == nullptr ? 0 : table->table.hash_key;
}

int ostrand_dat_sound_table_resolve(const ostrand_dat_sound_table_t* table,
                                    uint32_t kind, uint32_t* wave) {
  if (table == nullptr || wave == nullptr) return 0;
  auto resolved = table->table.resolve_sound(kind);
  if (!resolved) return 0;
  *wave = *resolved;
  return 1;
}

size_t ostrand_dat_sound_table_kinds(const ostrand_dat_sound_table_t* table,
                                     uint32_t* kinds, size_t capacity) {
  if (table == nullptr) return 0;
  if (kinds != nullptr) {
    std::copy_n(table->kinds.begin(), std::min(capacity, table->kinds.size()),
                kinds);
  }
  return table->kinds.size();
}

int ostrand_dat_sound_table_entries(const ostrand_dat_sound_table_t* table,
                                    uint32_t kind,
                                    ostrand_dat_sound_entry* entries,
                                    size_t capacity, size_t* count,
                                    int32_t* unknown) {
  if (table == nullptr || count == nullptr) return OSTRAND_DAT_INVALID_ARGUMENT;
  *count = 0;
  auto found = table->table.sounds.find(kind);
  if (found == table->table.sounds.end()) return OSTRAND_DAT_NOT_FOUND;
  const auto& list = found->second.entries;
  *count = list.size();
  if (unknown != nullptr) *unknown = found->second.unknown;
  if (entries == nullptr) return OSTRAND_DAT_OK;
  for (std::size_t i = 0; i < std::min(capacity, list.size()); ++i) {
    entries[i] = {list[i].wave_did, list[i].priority, list[i].probability,
                  list[i].volume};
  }
  return OSTRAND_DAT_OK;
}

size_t ostrand_dat_sound_table_hashes(const ostrand_dat_sound_table_t* table,
                                      ostrand_dat_sound_hash* hashes,
                                      size_t capacity) {
  if (table == nullptr) return 0;
  if (hashes != nullptr) {
    for (std::size_t i = 0; i < std::min(capacity, table->hash_keys.size());
         ++i) {
      std::uint32_t key = table->hash_keys[i];
      const auto& h = table->table.hashes.at(key);
      hashes[i] = {key, h.priority, h.probability, h.volume};
    }
  }
  return table->hash_keys.size();
}

}  // extern "C"
