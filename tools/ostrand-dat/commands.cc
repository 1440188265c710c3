#include "commands.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "entry_read.h"
#include "json.h"
#include "ostrand_dat/error.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/version.h"
#include "ostrand_dat/writer.h"
#include "platform/io.h"

namespace ostrand_dat::tool {
namespace {

using file_type::SoundTable;

constexpr std::string_view kStandardOutputName = "standard output";

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

std::string version_string_hex(const DatHeader& header) {
  std::string hex;
  for (std::byte b : header.version_string) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", std::to_integer<unsigned>(b));
    hex += pair;
  }
  return hex;
}

int info(const InfoCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  const DatHeader& h = db->header();
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
  if (command.json) {
    JsonWriter json;
    json.begin_object();
    for (const auto& [name, value] : before_version) json.field(name, value);
    json.key("version_string").value(version_string_hex(h));
    json.field("version_minor", h.version_minor);
    json.field("files", db->files().size());
    return write_output(json.end_object().take() + "\n");
  }
  std::string out;
  for (const auto& [name, value] : before_version) {
    out += std::string(name) + ": " + std::to_string(value) + "\n";
  }
  out += "version_string: " + version_string_hex(h) + "\n";
  out += "version_minor: " + std::to_string(h.version_minor) + "\n";
  out += "files: " + std::to_string(db->files().size()) + "\n";
  return write_output(out);
}

int ls(const LsCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  std::string out;
  JsonWriter json;
  // The map iterates in ascending id order.
  for (const DatFileEntry& e : db->files()) {
    if (command.json) {
      json.begin_object()
          .field("id", e.id)
          .field("bit_flags", e.bit_flags)
          .field("offset", e.offset)
          .field("size", e.size)
          .field("timestamp", e.timestamp)
          .field("version", e.version)
          .end_object();
      out += json.take() + "\n";
      continue;
    }
    char line[96];
    std::snprintf(
        line, sizeof line, "0x%08X\t%u\t%u\t%u\t%u\t%u\n",
        static_cast<unsigned>(e.id), static_cast<unsigned>(e.bit_flags),
        static_cast<unsigned>(e.offset), static_cast<unsigned>(e.size),
        static_cast<unsigned>(e.timestamp), static_cast<unsigned>(e.version));
    out += line;
  }
  return write_output(out);
}

int cat(const CatCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  const DatFileEntry* entry = db->files().find(command.id);
  if (entry == nullptr) {
    report(entry_failure(command.archive, command.id,
                         DatError(DatError::NotFound{command.id})));
    return 1;
  }
  auto read = read_entry(
      *db, *entry, command.raw ? EntryForm::kStored : EntryForm::kContents,
      [](std::span<const std::byte> bytes) {
        return write_all(kStandardOutput, bytes);
      });
  if (read) {
    if (auto words = command.raw ? std::nullopt : short_contents(*entry, *read)) {
      const std::string line = warning_line(command.archive, command.id, *words);
      (void)write_all(kStandardError, std::as_bytes(std::span(line)));
    }
    return 0;
  }
  if (!read.error().in_sink) {
    report(entry_failure(command.archive, command.id, read.error().error));
    return 1;
  }
  const IoError& written = read.error().error.get_if<DatError::Io>()->error;
  if (written.kind() == IoErrorKind::BrokenPipe) return 0;
  report(file_failure(kStandardOutputName, written));
  return 1;
}

// Keys of an unordered map, ascending.
template <typename Map>
std::vector<std::uint32_t> sorted_keys(const Map& map) {
  std::vector<std::uint32_t> keys;
  keys.reserve(map.size());
  for (const auto& [key, value] : map) keys.push_back(key);
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::string dump_text(const SoundTable& table) {
  std::string out = "id: " + format_id(table.id) + "\n";
  out += "hash_key: " + std::to_string(table.hash_key) + "\n";
  out += "hashes: " + std::to_string(table.hashes.size()) + "\n";
  for (std::uint32_t key : sorted_keys(table.hashes)) {
    const auto& hash = table.hashes.at(key);
    out += "  " + format_id(key) + ": " +
           weights_text(hash.priority, hash.probability, hash.volume) + "\n";
  }
  out += "sounds: " + std::to_string(table.sounds.size()) + "\n";
  for (std::uint32_t kind : sorted_keys(table.sounds)) {
    const auto& data = table.sounds.at(kind);
    out += "  " + kind_text(kind) + ": unknown " +
           std::to_string(data.unknown) + ", entries " +
           std::to_string(data.entries.size()) + "\n";
    for (const auto& e : data.entries) {
      out += "    " + format_id(e.wave_did) + " (" +
             std::to_string(e.wave_did) +
             "): " + weights_text(e.priority, e.probability, e.volume) + "\n";
    }
  }
  return out;
}

std::string dump_json(const SoundTable& table) {
  JsonWriter json;
  json.begin_object().field("id", table.id).field("hash_key", table.hash_key);
  json.key("hashes").begin_array();
  for (std::uint32_t key : sorted_keys(table.hashes)) {
    const auto& hash = table.hashes.at(key);
    json.begin_object()
        .field("key", key)
        .field("priority", hash.priority)
        .field("probability", hash.probability)
        .field("volume", hash.volume)
        .end_object();
  }
  json.end_array().key("sounds").begin_array();
  for (std::uint32_t kind : sorted_keys(table.sounds)) {
    const auto& data = table.sounds.at(kind);
    json.begin_object().field("kind", kind).field("unknown", data.unknown);
    json.key("entries").begin_array();
    for (const auto& e : data.entries) {
      json.begin_object()
          .field("wave_did", e.wave_did)
          .field("priority", e.priority)
          .field("probability", e.probability)
          .field("volume", e.volume)
          .end_object();
    }
    json.end_array().end_object();
  }
  return json.end_array().end_object().take() + "\n";
}

int sound(const SoundCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  auto contents = db->get_file(command.table_id);
  if (!contents) {
    report(entry_failure(command.archive, command.table_id, contents.error()));
    return 1;
  }
  auto table = SoundTable::unpack(*contents);
  if (!table) {
    report({command.archive + ": " + format_id(command.table_id),
            "not a sound table: its data ends inside a record",
            debug_string(DatError(std::move(table.error())))});
    return 1;
  }
  if (command.dump) {
    return write_output(command.json ? dump_json(*table) : dump_text(*table));
  }
  std::string out;
  for (std::uint32_t kind : command.kinds) {
    const auto wave = table->resolve_sound(kind);
    out += kind_text(kind) + " " +
           (wave ? "Some(" + std::to_string(*wave) + ")" : "None") + "\n";
  }
  return write_output(out);
}

// The most a directory entry's 32-bit size can describe.
constexpr std::uint64_t kMaxStoredFile =
    std::numeric_limits<std::uint32_t>::max();

int pack(const PackCommand& command) {
  ArchiveWriter writer(command.block_size);
  // Every input is read before OUT is touched.
  for (const PackInput& input : command.inputs) {
    auto data = read_whole_file(input.path, kMaxStoredFile);
    if (!data) {
      Failure failure = file_failure(input.path, data.error());
      if (data.error().kind() == IoErrorKind::FileTooLarge &&
          !data.error().os_code()) {
        failure.words =
            "too large for an archive, whose entries hold at most " +
            std::to_string(kMaxStoredFile) + " bytes";
      }
      report(failure);
      return 1;
    }
    writer.add(StoredFile{.id = input.id,
                          .data = std::move(*data),
                          .compress = command.compress});
  }
  auto archive = writer.build();
  if (!archive) {
    report({command.out,
            "the files do not fit in one archive with 32-bit offsets",
            debug_string(archive.error())});
    return 1;
  }
  // A temporary file renamed over OUT once complete and on disk: whatever
  // fails, OUT keeps what it held.
  auto pending = PendingFile::create(command.out);
  if (!pending) {
    report(creation_failure(command.out, pending.error()));
    return 1;
  }
  auto done = pending->write(*archive);
  if (done) done = pending->commit(/*replace=*/true);
  if (!done) {
    report(file_failure(command.out, done.error()));
    return 1;
  }
  sync_directory(std::filesystem::path(command.out).parent_path());
  return 0;
}

}  // namespace

void report(const Failure& failure) {
  const std::string line = error_line(failure);
  (void)write_all(kStandardError, std::as_bytes(std::span(line)));
}

std::optional<DatDatabase> open_archive(std::string_view archive) {
  auto db = DatDatabase::open(archive);
  if (db) return std::move(*db);
  report(archive_failure(archive, db.error()));
  return std::nullopt;
}

int write_output(std::string_view text) {
  // One write of everything where the descriptor takes it.
  auto written = write_all(kStandardOutput, std::as_bytes(std::span(text)));
  if (written || written.error().kind() == IoErrorKind::BrokenPipe) return 0;
  report(file_failure(kStandardOutputName, written.error()));
  return 1;
}

int run_command(const Command& command) {
  return std::visit(
      [](const auto& c) -> int {
        using T = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<T, HelpCommand>) {
          return write_output(c.topic.empty() ? usage_text()
                                              : command_help(c.topic));
        } else if constexpr (std::is_same_v<T, VersionCommand>) {
          return write_output("ostrand-dat " + std::string(kVersionString) +
                              "\n");
        } else if constexpr (std::is_same_v<T, InfoCommand>) {
          return info(c);
        } else if constexpr (std::is_same_v<T, LsCommand>) {
          return ls(c);
        } else if constexpr (std::is_same_v<T, CatCommand>) {
          return cat(c);
        } else if constexpr (std::is_same_v<T, ExtractCommand>) {
          return extract(c);
        } else if constexpr (std::is_same_v<T, VerifyCommand>) {
          return verify(c);
        } else if constexpr (std::is_same_v<T, SumCommand>) {
          return sum(c);
        } else if constexpr (std::is_same_v<T, SoundCommand>) {
          return sound(c);
        } else {
          return pack(c);
        }
      },
      command);
}

}  // namespace ostrand_dat::tool
