#include "commands.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "entry_read.h"
#include "json.h"
#include "mount.h"
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

int run(const InfoCommand& command) {
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

// The size a compressed entry's contents declare in their 4-byte prefix,
// read without decoding; the stored size for an entry stored as it is.
std::expected<std::uint32_t, DatError> decoded_size(const DatDatabase& db,
                                                    const DatFileEntry& e) {
  if (!e.is_compressed()) return e.size;
  if (e.size < 4) {
    return std::unexpected(DatError(DatError::Corruption{
        "stored compressed, but its " + std::to_string(e.size) +
        " stored bytes are too few for the 4-byte size prefix"}));
  }
  auto info = db.file_info(e.id);
  if (!info) return std::unexpected(std::move(info.error()));
  return info->size();
}

// Stored size over decoded size as a percentage, "37.5%"; "-" for nothing
// decoded.
std::string ratio_text(std::uint64_t stored, std::uint64_t decoded) {
  if (decoded == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%",
                100.0 * static_cast<double>(stored) /
                    static_cast<double>(decoded));
  return text;
}

int run(const LsCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  bool failed = false;
  const std::vector<std::uint32_t> ids =
      selected_ids(command.archive, db->files(), command.selectors, failed);
  std::string out;
  JsonWriter json;
  std::uint64_t listed = 0, stored_total = 0, decoded_total = 0;
  for (std::uint32_t id : ids) {
    const DatFileEntry* e = db->files().find(id);
    if (e == nullptr) {
      report(entry_failure(command.archive, id,
                           DatError(DatError::NotFound{id})));
      failed = true;
      continue;
    }
    std::optional<std::uint32_t> decoded;
    if (command.long_form) {
      auto size = decoded_size(*db, *e);
      if (size) {
        decoded = *size;
      } else {
        report(entry_failure(command.archive, id, size.error()));
        failed = true;
      }
      ++listed;
      stored_total += e->size;
      decoded_total += decoded.value_or(0);
    }
    if (command.json) {
      json.begin_object()
          .field("id", e->id)
          .field("bit_flags", e->bit_flags)
          .field("offset", e->offset)
          .field("size", e->size)
          .field("timestamp", e->timestamp)
          .field("version", e->version);
      if (command.long_form) {
        json.key("decoded_size");
        if (decoded) {
          json.value(std::uint64_t{*decoded});
        } else {
          json.null();
        }
        json.key("ratio");
        if (decoded && *decoded != 0) {
          json.value(static_cast<float>(e->size) /
                     static_cast<float>(*decoded));
        } else {
          json.null();
        }
      }
      out += json.end_object().take() + "\n";
      continue;
    }
    char line[96];
    std::snprintf(
        line, sizeof line, "0x%08X\t%u\t%u\t%u\t%u\t%u",
        static_cast<unsigned>(e->id), static_cast<unsigned>(e->bit_flags),
        static_cast<unsigned>(e->offset), static_cast<unsigned>(e->size),
        static_cast<unsigned>(e->timestamp), static_cast<unsigned>(e->version));
    out += line;
    if (command.long_form) {
      out += "\t" + (decoded ? std::to_string(*decoded) : std::string("?")) +
             "\t" + (decoded ? ratio_text(e->size, *decoded) : "?");
    }
    out += "\n";
  }
  if (command.long_form && !command.json) {
    out += "total: " + std::to_string(listed) + " files, " +
           std::to_string(stored_total) + " stored, " +
           std::to_string(decoded_total) + " decoded, " +
           ratio_text(stored_total, decoded_total) + "\n";
  }
  return write_output(out) != 0 || failed ? 1 : 0;
}

// Writes entry `id` to standard output: 0, or 1 once the failure is
// reported. Sets `stop` when standard output can take no more.
int cat_one(const CatCommand& command, const DatDatabase& db,
            std::uint32_t id, bool& stop) {
  const DatFileEntry* entry = db.files().find(id);
  if (entry == nullptr) {
    report(entry_failure(command.archive, id,
                         DatError(DatError::NotFound{id})));
    return 1;
  }
  auto read = read_entry(
      db, *entry, command.raw ? EntryForm::kStored : EntryForm::kContents,
      [](std::span<const std::byte> bytes) {
        return write_all(kStandardOutput, bytes);
      });
  if (read) {
    if (auto words = command.raw ? std::nullopt : short_contents(*entry, *read)) {
      const std::string line = warning_line(command.archive, id, *words);
      (void)write_all(kStandardError, std::as_bytes(std::span(line)));
    }
    return 0;
  }
  if (!read.error().in_sink) {
    report(entry_failure(command.archive, id, read.error().error));
    return 1;
  }
  stop = true;
  const IoError& written = read.error().error.get_if<DatError::Io>()->error;
  if (written.kind() == IoErrorKind::BrokenPipe) return 0;
  report(file_failure(kStandardOutputName, written));
  return 1;
}

// Each selector's entries in turn, as `cat` does with its files: a missing
// or damaged one is reported and the next is still written.
int run(const CatCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  int status = 0;
  bool stop = false;
  for (const IdSelector& selector : command.selectors) {
    bool unmatched = false;
    const std::vector<std::uint32_t> ids = selected_ids(
        command.archive, db->files(), std::span(&selector, 1), unmatched);
    if (unmatched) status = 1;
    for (std::size_t i = 0; i < ids.size() && !stop; ++i) {
      status |= cat_one(command, *db, ids[i], stop);
    }
  }
  return status;
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

int run(const SoundCommand& command) {
  auto db = open_archive(command.archive);
  if (!db) return 1;
  auto contents = db->get_file(command.table_id);
  if (!contents) {
    report(entry_failure(command.archive, command.table_id, contents.error()));
    return 1;
  }
  auto table = SoundTable::unpack(*contents);
  if (!table) {
    report({shown_name(command.archive) + ": " + format_id(command.table_id),
            "not a sound table: its data ends inside a record",
            debug_text(DatError(std::move(table.error())))});
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

namespace fs = std::filesystem;

// bit_flags bit 0: the stored bytes are compressed.
constexpr std::uint32_t kCompressedFlag = 0x1;

// A directory node's bytes, stored as a chain like a file.
constexpr std::uint64_t kNodeBytes = 1716;

// The most a directory entry's 32-bit size can describe.
constexpr std::uint64_t kMaxStoredFile =
    std::numeric_limits<std::uint32_t>::max();

// An input and where it was named, for messages.
struct NamedInput {
  PackInput input;
  std::string source;  // "ID=FILE", "DIR/NAME" or "LIST:LINE"
};

// Every XXXXXXXX.bin of `dir` (eight hex digits), by name.
std::expected<void, Failure> add_directory_inputs(
    const std::string& dir, std::vector<NamedInput>& inputs) {
  std::error_code error;
  std::vector<NamedInput> found;
  for (fs::directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() != 12 || !name.ends_with(".bin")) continue;
    auto id = parse_u32("0x" + name.substr(0, 8));
    if (!id) continue;
    found.push_back({{*id, it->path().string()}, it->path().string()});
  }
  if (error) {
    return std::unexpected(
        file_failure(dir, IoError::from_os(error.value())));
  }
  std::sort(found.begin(), found.end(),
            [](const NamedInput& a, const NamedInput& b) {
              return a.input.id < b.input.id;
            });
  inputs.insert(inputs.end(), found.begin(), found.end());
  return {};
}

// The ID=FILE lines of `list`; blank lines are skipped.
std::expected<void, Failure> add_list_inputs(const std::string& list,
                                             std::vector<NamedInput>& inputs) {
  const std::string shown = list == "-" ? "standard input" : list;
  auto text = read_whole_file(list == "-" ? "/dev/stdin" : list,
                              std::uint64_t{1} << 32);
  if (!text) return std::unexpected(file_failure(shown, text.error()));
  const std::string_view all(reinterpret_cast<const char*>(text->data()),
                             text->size());
  std::size_t number = 0;
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\n', start);
    if (end == std::string_view::npos) end = all.size();
    std::string_view line = all.substr(start, end - start);
    start = end + 1;
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) continue;
    const std::string where = shown + ":" + std::to_string(number);
    auto input = parse_pack_input(line);
    if (!input) {
      std::string words = input.error();
      if (words.starts_with("pack: ")) words.erase(0, 6);
      return std::unexpected(Failure{shown_name(where), words, ""});
    }
    inputs.push_back({std::move(*input), where});
  }
  return {};
}

// The inputs from the operands, -C and -T, or the failure to report. An id
// named twice is refused: storing one and dropping the other would lose a
// file silently.
std::expected<std::vector<NamedInput>, Failure> pack_inputs(
    const PackCommand& command) {
  std::vector<NamedInput> inputs;
  for (const PackInput& input : command.inputs) {
    inputs.push_back({input, format_id(input.id) + "=" + input.path});
  }
  if (!command.directory.empty()) {
    auto added = add_directory_inputs(command.directory, inputs);
    if (!added) return std::unexpected(std::move(added.error()));
  }
  if (!command.list.empty()) {
    auto added = add_list_inputs(command.list, inputs);
    if (!added) return std::unexpected(std::move(added.error()));
  }
  std::map<std::uint32_t, const NamedInput*> by_id;
  for (const NamedInput& named : inputs) {
    auto [first, inserted] = by_id.emplace(named.input.id, &named);
    if (!inserted) {
      return std::unexpected(Failure{
          format_id(named.input.id),
          "given twice, in " + shown_name(first->second->source) + " and " +
              shown_name(named.source),
          ""});
    }
  }
  if (inputs.empty()) {
    return std::unexpected(Failure{shown_name(command.out),
                                   "no file to pack: the inputs name none",
                                   ""});
  }
  return inputs;
}

// Inputs are read, and compressed, in pieces of this size.
constexpr std::size_t kPackPiece = std::size_t{1} << 20;

// The largest archive that files of `sizes` can make with `block_size`:
// each file in whole blocks (compressed always: the encoder's worst, the
// 4-byte prefix and a control byte per 8 literals; else never more than
// the file), at most one directory node per entry (each lists one at
// least), and the 400 header bytes. Anything past 32-bit offsets is
// kMaxStoredFile + 1.
std::uint64_t worst_archive_size(std::span<const std::uint64_t> sizes,
                                 std::uint32_t block_size,
                                 bool compress_always) {
  constexpr std::uint64_t kPast = kMaxStoredFile + 1;
  const std::uint64_t payload = block_size - 4;
  const auto chain_bytes = [&](std::uint64_t stored) {
    const std::uint64_t blocks = (stored + payload - 1) / payload;
    return blocks > kPast / block_size ? kPast : blocks * block_size;
  };
  std::uint64_t total = DatHeader::kFileOffset + DatHeader::kSize;
  for (const std::uint64_t size : sizes) {
    total += chain_bytes(compress_always ? 4 + size + (size + 7) / 8 : size);
    if (total > kMaxStoredFile) return kPast;
  }
  const std::uint64_t node = chain_bytes(kNodeBytes);
  if (sizes.size() > (kPast - total) / node) return kPast;
  total += sizes.size() * node;
  return std::min(total, kPast);
}

// A failure of the archive writer while it stores `input`: the output's
// write, the 32-bit offsets, or memory.
Failure writer_failure(const PackCommand& command, std::string_view input,
                       const DatError& error) {
  const auto* io_kind = std::get_if<DatError::Io>(&error.payload());
  const IoError* io = io_kind != nullptr ? &io_kind->error : nullptr;
  if (io != nullptr && io->kind() == IoErrorKind::OutOfMemory) {
    return {shown_name(std::string(input)),
            "out of memory while storing it in " + shown_name(command.out),
            debug_text(error)};
  }
  if (io != nullptr) return file_failure(command.out, *io);
  return {shown_name(command.out),
          "the files do not fit in one archive with 32-bit offsets",
          debug_text(error)};
}

// Stores one input, read in pieces into `buffer`: compressed when asked
// (and, without `always`, only when that is smaller: the compressed file is
// abandoned as soon as it reaches the input's size, and the input is read
// again), else as it is. `size` is the input's size when it was looked at;
// a file of another size now, or when read to its end, fails.
std::expected<void, Failure> pack_one(const PackCommand& command,
                                      ArchiveStreamWriter& writer,
                                      const NamedInput& named,
                                      std::uint64_t size,
                                      std::span<std::byte> buffer) {
  const std::string& path = named.input.path;
  auto file = InputFile::open(path);
  if (!file) return std::unexpected(file_failure(path, file.error()));
  const auto changed = [&] {
    return Failure{shown_name(path),
                   "changed size while being packed (it had " +
                       std::to_string(size) + " bytes)",
                   ""};
  };
  auto now = file->size();
  if (!now) return std::unexpected(file_failure(path, now.error()));
  if (*now != size) return std::unexpected(changed());
  const auto stored = [&](const DatError& error) {
    return std::unexpected(writer_failure(command, named.source, error));
  };
  // Reads the whole input in pieces, handing each to `take`, which says
  // whether to go on. Returns whether every piece was taken.
  const auto read_all = [&](auto take) -> std::expected<bool, Failure> {
    for (std::uint64_t offset = 0;;) {
      auto got = file->read_at(offset, buffer);
      if (!got) return std::unexpected(file_failure(path, got.error()));
      if (offset + *got > size) return std::unexpected(changed());
      offset += *got;
      auto more = take(buffer.first(*got));
      if (!more) return std::unexpected(std::move(more.error()));
      if (!*more) return false;
      if (*got < buffer.size()) {
        if (offset != size) return std::unexpected(changed());
        return true;
      }
    }
  };

  if (command.compress || command.compress_always) {
    writer.begin_file({.bit_flags = kCompressedFlag, .id = named.input.id});
    std::optional<ParallelLrsEncoder> encoder;
    try {
      encoder.emplace(static_cast<std::uint32_t>(size));
    } catch (const std::bad_alloc&) {
      return std::unexpected(Failure{shown_name(named.source),
                                     "out of memory while compressing it",
                                     "std::bad_alloc"});
    }
    auto kept = read_all(
        [&](std::span<const std::byte> piece) -> std::expected<bool, Failure> {
          try {
            encoder->add(piece);
          } catch (const std::bad_alloc&) {
            return std::unexpected(Failure{shown_name(named.source),
                                           "out of memory while compressing it",
                                           "std::bad_alloc"});
          }
          const auto out = encoder->output();
          if (!command.compress_always &&
              writer.written() + out.size() >= size) {
            return false;  // no smaller than the input: stored as it is
          }
          auto written = writer.write(out);
          if (!written) return stored(written.error());
          encoder->clear_output();
          return true;
        });
    if (!kept) return std::unexpected(std::move(kept.error()));
    if (*kept) {
      auto ended = writer.end_file();
      if (!ended) return stored(ended.error());
      return {};
    }
    writer.abandon();
  }
  writer.begin_file({.id = named.input.id});
  auto read = read_all(
      [&](std::span<const std::byte> piece) -> std::expected<bool, Failure> {
        auto written = writer.write(piece);
        if (!written) return stored(written.error());
        return true;
      });
  if (!read) return std::unexpected(std::move(read.error()));
  auto ended = writer.end_file();
  if (!ended) return stored(ended.error());
  return {};
}

// Writes the archive as the inputs are read: memory stays within a few
// buffers of kPackPiece and the directory's entries, whatever the inputs'
// sizes. Every input is looked at, and the archive's size bounded, before
// OUT is touched.
int run(const PackCommand& command) {
  auto inputs = pack_inputs(command);
  if (!inputs) {
    report(inputs.error());
    return 1;
  }
  // In id order, as ArchiveWriter lays files out (the ids are distinct).
  std::sort(inputs->begin(), inputs->end(),
            [](const NamedInput& a, const NamedInput& b) {
              return a.input.id < b.input.id;
            });
  std::vector<std::uint64_t> sizes;
  sizes.reserve(inputs->size());
  for (const NamedInput& named : *inputs) {
    const std::string& path = named.input.path;
    auto status = file_status(path);
    if (!status) {
      report(file_failure(path, status.error()));
      return 1;
    }
    if (!status->regular) {
      report({shown_name(path),
              "not a regular file: pack reads an input knowing its size, "
              "and compressed ones twice at most",
              ""});
      return 1;
    }
    if (status->size > kMaxStoredFile) {
      report({shown_name(path),
              "too large for an archive, whose entries hold at most " +
                  std::to_string(kMaxStoredFile) + " bytes",
              ""});
      return 1;
    }
    sizes.push_back(status->size);
  }
  const std::uint64_t worst =
      worst_archive_size(sizes, command.block_size, command.compress_always);
  if (worst > kMaxStoredFile) {
    report({shown_name(command.out),
            "block size " + std::to_string(command.block_size) +
                " cannot hold these inputs within 32-bit offsets: the "
                "archive could take more than " +
                std::to_string(kMaxStoredFile) + " bytes",
            ""});
    return 1;
  }

  remove_stale_temporaries(command.out);  // of runs killed before cleanup
  // A temporary file renamed over OUT once complete and on disk: whatever
  // fails, OUT keeps what it held.
  auto pending = PendingFile::create(command.out);
  if (!pending) {
    report(creation_failure(command.out, pending.error()));
    return 1;
  }
  auto writer = ArchiveStreamWriter::create(
      command.block_size,
      [&pending](std::uint64_t offset, std::span<const std::byte> bytes) {
        return pending->write_at(offset, bytes);
      });
  std::vector<std::byte> buffer;
  try {
    buffer.resize(kPackPiece);
  } catch (const std::bad_alloc&) {
    report({shown_name(command.out), "out of memory for the input buffer",
            "std::bad_alloc"});
    return 1;
  }
  if (!writer) {
    report(writer_failure(command, command.out, writer.error()));
    return 1;
  }
  for (std::size_t i = 0; i < inputs->size(); ++i) {
    auto stored = pack_one(command, *writer, (*inputs)[i], sizes[i], buffer);
    if (!stored) {
      report(stored.error());
      return 1;
    }
  }
  auto size = writer->finish();
  if (!size) {
    Failure failure = writer_failure(command, command.out, size.error());
    if (failure.words.starts_with("out of memory")) {
      failure.words = "out of memory for the directory of " +
                      std::to_string(inputs->size()) + " entries";
    }
    report(failure);
    return 1;
  }
  auto done = pending->resize(*size);
  if (done) done = pending->commit(/*replace=*/true);
  if (!done) {
    report(file_failure(command.out, done.error()));
    return 1;
  }
  sync_directory(std::filesystem::path(command.out).parent_path());
  return 0;
}

// Set once by run_command, before any thread starts.
Verbosity current_verbosity;

int run(const MountCommand& command) { return mount(command); }

int run(const HelpCommand& c) {
  return write_output(c.topic.empty() ? usage_text() : command_help(c.topic));
}

int run(const VersionCommand&) {
  return write_output("ostrand-dat " + std::string(kVersionString) + "\n");
}

}  // namespace

const Verbosity& verbosity() { return current_verbosity; }

void report(const Failure& failure) {
  const std::string line = error_line(failure, current_verbosity.verbose);
  (void)write_all(kStandardError, std::as_bytes(std::span(line)));
}

std::vector<std::uint32_t> selected_ids(std::string_view archive,
                                        const FileMap& files,
                                        std::span<const IdSelector> selectors,
                                        bool& unmatched) {
  std::vector<std::uint32_t> ids;
  if (selectors.empty()) {
    ids.reserve(files.size());
    for (const DatFileEntry& entry : files) ids.push_back(entry.id);
    return ids;
  }
  for (const IdSelector& selector : selectors) {
    if (selector.single) {
      ids.push_back(selector.first);
      continue;
    }
    // The map's entries ascend by id: the range is one run of them.
    auto it = std::lower_bound(
        files.begin(), files.end(), selector.first,
        [](const DatFileEntry& e, std::uint32_t id) { return e.id < id; });
    const std::size_t before = ids.size();
    for (; it != files.end() && it->id <= selector.last; ++it) {
      ids.push_back(it->id);
    }
    if (ids.size() == before) {
      report({shown_name(archive) + ": " + shown_name(selector.text),
              "no entry matches", ""});
      unmatched = true;
    }
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
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

int run_command(const Command& command, Verbosity verbosity) {
  current_verbosity = verbosity;
  return std::visit([](const auto& c) { return run(c); }, command);
}

}  // namespace ostrand_dat::tool
