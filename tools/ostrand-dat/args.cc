#include "args.h"

#include <charconv>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <utility>

namespace ostrand_dat::tool {
namespace {

std::string quote(std::string_view text) {
  return "'" + std::string(text) + "'";
}

// `text` as a u32; the error names `what` and `text`, then `where` it stood.
std::expected<std::uint32_t, std::string> number_arg(
    std::string_view command, std::string_view what, std::string_view text,
    std::string_view where = "") {
  if (auto value = parse_u32(text)) return *value;
  return std::unexpected(std::string(command) + ": invalid " +
                         std::string(what) + " " + quote(text) +
                         std::string(where) +
                         ": not a decimal or 0x-prefixed hexadecimal u32");
}

// A subcommand's arguments with its options taken out.
struct Scanned {
  std::vector<std::string_view> positional;
  bool raw = false;
  bool dump = false;
  bool compress = false;
  std::uint32_t block_size = kDefaultBlockSize;
};

// An argument that starts with '-' is an option, unless it is "-" alone, a
// negative number (left for the number check to name), or follows "--".
bool is_option(std::string_view arg) {
  return arg.size() >= 2 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

std::expected<Scanned, std::string> scan(
    std::string_view command, std::span<const std::string_view> args) {
  Scanned scanned;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (options_ended || !is_option(arg)) {
      scanned.positional.push_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (command == "cat" && arg == "--raw") {
      scanned.raw = true;
    } else if (command == "sound" && arg == "--dump") {
      scanned.dump = true;
    } else if (command == "pack" && arg == "--compress") {
      scanned.compress = true;
    } else if (command == "pack" &&
               (arg == "--block-size" || arg.starts_with("--block-size="))) {
      std::string_view value;
      if (arg == "--block-size") {
        if (i + 1 == args.size()) {
          return std::unexpected("pack: --block-size needs a value");
        }
        value = args[++i];
      } else {
        value = arg.substr(arg.find('=') + 1);
      }
      auto size = number_arg(command, "block size", value);
      if (!size) return std::unexpected(std::move(size.error()));
      if (*size < kMinBlockSize) {
        return std::unexpected(
            "pack: block size " + quote(value) + " is below " +
            std::to_string(kMinBlockSize) +
            ": a block needs room for payload after its 4-byte pointer");
      }
      scanned.block_size = *size;
    } else {
      return std::unexpected(std::string(command) + ": unknown option " +
                             quote(arg));
    }
  }
  return scanned;
}

// Checks the number of positional arguments against `names` (the last name
// repeats when `variadic`): the first missing one or the first extra one is
// the error.
std::expected<void, std::string> check_arity(
    std::string_view command, std::span<const std::string_view> positional,
    std::initializer_list<std::string_view> names, bool variadic = false) {
  if (positional.size() < names.size()) {
    return std::unexpected(std::string(command) + ": missing " +
                           std::string(names.begin()[positional.size()]));
  }
  if (!variadic && positional.size() > names.size()) {
    return std::unexpected(std::string(command) + ": unexpected argument " +
                           quote(positional[names.size()]));
  }
  return {};
}

std::expected<PackInput, std::string> pack_input(std::string_view arg) {
  const std::size_t equals = arg.find('=');
  if (equals == std::string_view::npos) {
    return std::unexpected("pack: expected ID=FILE, got " + quote(arg));
  }
  auto id =
      number_arg("pack", "ID", arg.substr(0, equals), " in " + quote(arg));
  if (!id) return std::unexpected(std::move(id.error()));
  if (equals + 1 == arg.size()) {
    return std::unexpected("pack: missing FILE in " + quote(arg));
  }
  return PackInput{*id, std::string(arg.substr(equals + 1))};
}

std::expected<Command, std::string> pack_command(const Scanned& scanned) {
  PackCommand pack{std::string(scanned.positional[0]),
                   scanned.block_size,
                   scanned.compress,
                   {}};
  // The argument each id came from, to name both halves of a duplicate.
  std::map<std::uint32_t, std::string_view> sources;
  for (std::size_t i = 1; i < scanned.positional.size(); ++i) {
    const std::string_view arg = scanned.positional[i];
    auto input = pack_input(arg);
    if (!input) return std::unexpected(std::move(input.error()));
    auto [first, inserted] = sources.emplace(input->id, arg);
    if (!inserted) {
      // Storing one and dropping the other would lose a file silently.
      return std::unexpected("pack: id " + format_id(input->id) +
                             " given twice, in " + quote(first->second) +
                             " and " + quote(arg));
    }
    pack.inputs.push_back(std::move(*input));
  }
  return pack;
}

}  // namespace

std::string format_id(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(id));
  return text;
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  // from_chars takes no sign for unsigned types and no prefix, so every
  // character must be a digit of `base`; an empty text matches nothing.
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
  return value;
}

std::expected<Command, std::string> parse_args(
    std::span<const std::string_view> args) {
  for (std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") return HelpCommand{};
  }
  if (args.empty()) return std::unexpected("missing command");
  const std::string_view command = args[0];
  if (command != "info" && command != "ls" && command != "cat" &&
      command != "sound" && command != "pack") {
    return std::unexpected("unknown command " + quote(command));
  }
  auto scanned = scan(command, args.subspan(1));
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  const auto& positional = scanned->positional;

  if (command == "info" || command == "ls") {
    auto arity = check_arity(command, positional, {"ARCHIVE"});
    if (!arity) return std::unexpected(std::move(arity.error()));
    std::string archive(positional[0]);
    if (command == "info") return InfoCommand{std::move(archive)};
    return LsCommand{std::move(archive)};
  }
  if (command == "cat") {
    auto arity = check_arity(command, positional, {"ARCHIVE", "ID"});
    if (!arity) return std::unexpected(std::move(arity.error()));
    auto id = number_arg(command, "ID", positional[1]);
    if (!id) return std::unexpected(std::move(id.error()));
    return CatCommand{std::string(positional[0]), *id, scanned->raw};
  }
  if (command == "sound") {
    const bool dump = scanned->dump;
    auto arity = check_arity(command, positional, {"ARCHIVE", "TABLE_ID"},
                             /*variadic=*/!dump);
    if (!arity) return std::unexpected(std::move(arity.error()));
    auto table = number_arg(command, "TABLE_ID", positional[1]);
    if (!table) return std::unexpected(std::move(table.error()));
    SoundCommand sound{std::string(positional[0]), *table, {}, dump};
    for (std::size_t i = 2; i < positional.size(); ++i) {
      auto kind = number_arg(command, "KIND", positional[i]);
      if (!kind) return std::unexpected(std::move(kind.error()));
      sound.kinds.push_back(*kind);
    }
    if (sound.kinds.empty()) {
      for (std::uint32_t kind = 0; kind <= kLastDefaultKind; ++kind) {
        sound.kinds.push_back(kind);
      }
    }
    return sound;
  }
  auto arity =
      check_arity(command, positional, {"OUT", "ID=FILE"}, /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  return pack_command(*scanned);
}

std::string usage_text() {
  return R"usage(Usage: ostrand-dat COMMAND ARGS...
Look inside portal archives, and pack files into new ones.

Commands:
  info ARCHIVE                      print the header fields and the number of files
  ls ARCHIVE                        list the entries by id: id, bit_flags, offset, size, timestamp, version
  cat [--raw] ARCHIVE ID            write a file's contents (--raw: the stored bytes, not decompressed)
  sound ARCHIVE TABLE_ID [KIND...]  print each kind's wave as "0xKK None" or "0xKK Some(WAVE)" (default: kinds 0 to 204)
  sound --dump ARCHIVE TABLE_ID     print the whole decoded sound table (layout below)
  pack OUT [--block-size N] [--compress] ID=FILE...  write a new archive storing each FILE under ID (N: default 1024, at least 5)

ID, TABLE_ID, KIND and N are u32 numbers, decimal or 0x-prefixed hexadecimal.

sound --dump prints "id: 0xIIIIIIII", "hash_key: H", "hashes: N" and one line
"  0xKKKKKKKK: priority P probability P volume V" per hash key, then "sounds: N"
and per kind "  0xKK: unknown U, entries N" with one line per entry
"    0xWWWWWWWW (decimal): priority P probability P volume V". Keys ascend;
numbers are decimal, floats in the shortest form that reads back exactly.

Exit status: 0 success, 1 error, 2 usage error.
)usage";
}

}  // namespace ostrand_dat::tool
