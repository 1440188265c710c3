#include "commands.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/writer.h"
#include "platform/io.h"

namespace ostrand_dat::tool {
namespace {

using file_type::SoundTable;

void append(Output& out, std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  out.insert(out.end(), bytes, bytes + text.size());
}

void append_field(Output& out, std::string_view name, std::uint32_t value) {
  append(out, name);
  append(out, ": ");
  append(out, std::to_string(value));
  append(out, "\n");
}

// "0x" and at least two upper-case hex digits, the form of sound kinds.
std::string kind_text(std::uint32_t kind) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(kind));
  return text;
}

// The shortest text that reads back to the same float.
std::string float_text(float value) {
  char text[32];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string weights_text(float priority, float probability, float volume) {
  return "priority " + float_text(priority) + " probability " +
         float_text(probability) + " volume " + float_text(volume);
}

std::unexpected<std::string> failure(const DatError& error) {
  return std::unexpected(debug_string(error));
}

std::unexpected<std::string> path_failure(const std::string& path,
                                          IoError error) {
  return failure(DatError(DatError::PathError{path, std::move(error)}));
}

std::expected<Output, std::string> info(const InfoCommand& command) {
  auto db = DatDatabase::open(command.archive);
  if (!db) return failure(db.error());
  const DatHeader& h = db->header();
  Output out;
  const std::pair<std::string_view, std::uint32_t> before_version[] = {
      {"magic", h.magic},
      {"block_size", h.block_size},
      {"file_size", h.file_size},
      {"dataset", h.dataset},
      {"subset", h.subset},
      {"free_head", h.free_head},
      {"free_tail", h.free_tail},
      {"free_count", h.free_count},
      {"root_offset", h.root_offset},
      {"new_lru", h.new_lru},
      {"old_lru", h.old_lru},
      {"use_lru", h.use_lru},
      {"master_map_id", h.master_map_id},
      {"engine_version", h.engine_version},
      {"game_version", h.game_version}};
  for (const auto& [name, value] : before_version) {
    append_field(out, name, value);
  }
  append(out, "version_string: ");
  for (std::byte b : h.version_string) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", std::to_integer<unsigned>(b));
    append(out, pair);
  }
  append(out, "\n");
  append_field(out, "version_minor", h.version_minor);
  append(out, "files: " + std::to_string(db->files().size()) + "\n");
  return out;
}

std::expected<Output, std::string> ls(const LsCommand& command) {
  auto db = DatDatabase::open(command.archive);
  if (!db) return failure(db.error());
  Output out;
  // The map iterates in ascending id order.
  for (const DatFileEntry& e : db->files()) {
    char line[96];
    std::snprintf(
        line, sizeof line, "0x%08X\t%u\t%u\t%u\t%u\t%u\n",
        static_cast<unsigned>(e.id), static_cast<unsigned>(e.bit_flags),
        static_cast<unsigned>(e.offset), static_cast<unsigned>(e.size),
        static_cast<unsigned>(e.timestamp), static_cast<unsigned>(e.version));
    append(out, line);
  }
  return out;
}

std::expected<Output, std::string> cat(const CatCommand& command) {
  auto db = DatDatabase::open(command.archive);
  if (!db) return failure(db.error());
  if (!command.raw) {
    auto contents = db->get_file(command.id);
    if (!contents) return failure(contents.error());
    return std::move(*contents);
  }
  const DatFileEntry* entry = db->files().find(command.id);
  if (entry == nullptr) {
    return failure(DatError(DatError::NotFound{command.id}));
  }
  auto stored = db->read_file_data(entry->offset, entry->size);
  if (!stored) return failure(stored.error());
  return std::move(*stored);
}

void append_dump(Output& out, const SoundTable& table) {
  append(out, "id: " + format_id(table.id) + "\n");
  append(out, "hash_key: " + std::to_string(table.hash_key) + "\n");
  append(out, "hashes: " + std::to_string(table.hashes.size()) + "\n");
  std::vector<std::uint32_t> keys;
  for (const auto& [key, hash] : table.hashes) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  for (std::uint32_t key : keys) {
    const auto& hash = table.hashes.at(key);
    append(out, "  " + format_id(key) + ": " +
                    weights_text(hash.priority, hash.probability, hash.volume) +
                    "\n");
  }
  append(out, "sounds: " + std::to_string(table.sounds.size()) + "\n");
  keys.clear();
  for (const auto& [kind, data] : table.sounds) keys.push_back(kind);
  std::sort(keys.begin(), keys.end());
  for (std::uint32_t kind : keys) {
    const auto& data = table.sounds.at(kind);
    append(out, "  " + kind_text(kind) + ": unknown " +
                    std::to_string(data.unknown) + ", entries " +
                    std::to_string(data.entries.size()) + "\n");
    for (const auto& e : data.entries) {
      append(out, "    " + format_id(e.wave_did) + " (" +
                      std::to_string(e.wave_did) + "): " +
                      weights_text(e.priority, e.probability, e.volume) + "\n");
    }
  }
}

std::expected<Output, std::string> sound(const SoundCommand& command) {
  auto db = DatDatabase::open(command.archive);
  if (!db) return failure(db.error());
  auto contents = db->get_file(command.table_id);
  if (!contents) return failure(contents.error());
  auto table = SoundTable::unpack(*contents);
  if (!table) return std::unexpected(debug_string(table.error()));
  Output out;
  if (command.dump) {
    append_dump(out, *table);
    return out;
  }
  for (std::uint32_t kind : command.kinds) {
    const auto wave = table->resolve_sound(kind);
    append(out, kind_text(kind) + " " +
                    (wave ? "Some(" + std::to_string(*wave) + ")" : "None") +
                    "\n");
  }
  return out;
}

// The most a directory entry's 32-bit size can describe.
constexpr std::uint64_t kMaxStoredFile =
    std::numeric_limits<std::uint32_t>::max();

std::expected<Output, std::string> pack(const PackCommand& command) {
  ArchiveWriter writer(command.block_size);
  // Every input is read before OUT is touched, so a missing input leaves an
  // existing OUT as it was.
  for (const PackInput& input : command.inputs) {
    auto data = read_whole_file(input.path, kMaxStoredFile);
    if (!data) return path_failure(input.path, std::move(data.error()));
    writer.add(StoredFile{.id = input.id,
                          .data = std::move(*data),
                          .compress = command.compress});
  }
  auto archive = writer.build();
  if (!archive) return failure(archive.error());
  auto written = write_whole_file(command.out, *archive);
  if (!written) return path_failure(command.out, std::move(written.error()));
  return Output{};
}

}  // namespace

std::expected<Output, std::string> run_command(const Command& command) {
  return std::visit(
      [](const auto& c) -> std::expected<Output, std::string> {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, HelpCommand>) {
          Output out;
          append(out, usage_text());
          return out;
        } else if constexpr (std::is_same_v<T, InfoCommand>) {
          return info(c);
        } else if constexpr (std::is_same_v<T, LsCommand>) {
          return ls(c);
        } else if constexpr (std::is_same_v<T, CatCommand>) {
          return cat(c);
        } else if constexpr (std::is_same_v<T, SoundCommand>) {
          return sound(c);
        } else {
          return pack(c);
        }
      },
      command);
}

}  // namespace ostrand_dat::tool
