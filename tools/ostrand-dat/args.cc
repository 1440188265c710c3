#include "args.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <map>
#include <utility>

namespace ostrand_dat::tool {
namespace {

struct OptionForm {
  std::string_view name;  // "--json", "-C"
  bool takes_value = false;
};

struct CommandForm {
  std::string_view name;
  std::string_view synopsis;   // the arguments after the name
  std::string_view summary;    // one line for the command list
  std::string_view details;    // what `help NAME` adds
  OptionForm options[4] = {};  // unused ones have no name
};

constexpr std::string_view kNumbers =
    "ID, TABLE_ID, KIND and N are u32 numbers, decimal or 0x-prefixed "
    "hexadecimal.\n";

const CommandForm kCommands[] = {
    {"info",
     "[--json] ARCHIVE",
     "the header fields and the number of files",
     "Prints the header's seventeen fields, one \"name: value\" line each\n"
     "(version_string as 32 hex digits), then \"files: N\".\n"
     "  --json  one JSON object with the same names and numbers\n",
     {{"--json"}}},
    {"ls",
     "[--json] ARCHIVE",
     "list the entries by id",
     "Prints one line per entry in ascending id order: id (0xXXXXXXXX),\n"
     "bit_flags, offset, size, timestamp and version, separated by tabs.\n"
     "  --json  JSON Lines: one object per entry with id, bit_flags, offset,\n"
     "          size, timestamp and version, all numbers\n",
     {{"--json"}}},
    {"cat",
     "[--raw] ARCHIVE ID",
     "write a file's contents to standard output",
     "Writes the contents of file ID, decompressed when stored compressed.\n"
     "  --raw  the stored bytes as they are\n",
     {{"--raw"}}},
    {"extract",
     "[--raw] [--force] [--jobs N] [-C DIR] ARCHIVE [ID...]",
     "write files into a directory as XXXXXXXX.bin",
     "Writes each ID (every entry when none is given) into DIR as\n"
     "XXXXXXXX.bin, the id in eight upper-case hex digits, with the contents\n"
     "cat gives. A file appears only when complete. A damaged entry is\n"
     "reported and the others are still extracted; the exit status is then 1.\n"
     "  --raw      the stored bytes as they are\n"
     "  --force    replace existing files (else an existing file is an error)\n"
     "  --jobs N   read with N threads (default: one per processor)\n"
     "  -C DIR     the directory to write into (default: the current one)\n"
     "On a terminal, standard error shows the progress and a summary.\n",
     {{"--raw"}, {"--force"}, {"--jobs", true}, {"-C", true}}},
    {"verify",
     "[--json] [--strict] [--manifest FILE] [--jobs N] ARCHIVE",
     "check the archive as a whole and every entry",
     "Checks the header, that every directory node and file chain lies in\n"
     "the file and loops nowhere, that no block is in two chains, the free\n"
     "list, the blocks nothing reaches, and that every entry reads and\n"
     "decodes. Prints one line per finding, archive-level ones first, then by\n"
     "id: \"0xXXXXXXXX: damaged: ...\" or \"warning: ...\", then\n"
     "\"N files checked, M damaged, W warnings\".\n"
     "  --json           JSON Lines: one object per finding, then the counts\n"
     "  --strict         warnings count as damage\n"
     "  --manifest FILE  compare with a file of sums from 'ostrand-dat sum':\n"
     "                   a different sum or an entry missing from the archive\n"
     "                   is damage, an entry not in FILE a warning\n"
     "  --jobs N         read with N threads (default: one per processor)\n"
     "Exit status: 0 nothing damaged (warnings allowed), 1 damage found, 2\n"
     "usage error, 3 the archive could not be examined.\n",
     {{"--json"}, {"--strict"}, {"--manifest", true}, {"--jobs", true}}},
    {"sum",
     "[--raw] [--jobs N] ARCHIVE [ID...]",
     "print the SHA-256 of each entry, as sha256sum does",
     "Prints one line per ID (every entry when none is given), in id order:\n"
     "the SHA-256 of the contents cat gives, two spaces and XXXXXXXX.bin, the\n"
     "name extract gives the file; 'sha256sum -c' checks extracted files.\n"
     "  --raw     the SHA-256 of the stored bytes\n"
     "  --jobs N  read with N threads (default: one per processor)\n",
     {{"--raw"}, {"--jobs", true}}},
    {"sound",
     "[--dump [--json]] ARCHIVE TABLE_ID [KIND...]",
     "resolve sound kinds to waves, or print a whole sound table",
     "Prints each KIND (default: 0 to 204) as \"0xKK None\" or\n"
     "\"0xKK Some(WAVE)\": the wave of the kind's first entry.\n"
     "  --dump  the whole table, no KIND: \"id: 0xIIIIIIII\", \"hash_key: "
     "H\",\n"
     "          \"hashes: N\" and one line \"  0xKKKKKKKK: priority P\n"
     "          probability P volume V\" per hash key, then \"sounds: N\" and\n"
     "          per kind \"  0xKK: unknown U, entries N\" with one line per\n"
     "          entry \"    0xWWWWWWWW (decimal): priority P probability P\n"
     "          volume V\". Keys ascend; floats in the shortest form that\n"
     "          reads back exactly.\n"
     "  --json  with --dump: one object with id, hash_key, hashes (key,\n"
     "          priority, probability, volume) and sounds (kind, unknown,\n"
     "          entries of wave_did, priority, probability, volume); NaN and\n"
     "          infinities as the strings \"NaN\", \"Infinity\", "
     "\"-Infinity\"\n",
     {{"--dump"}, {"--json"}}},
    {"pack",
     "[--block-size N] [--compress] OUT ID=FILE...",
     "write a new archive storing each FILE under ID",
     "Writes a new archive to OUT. It replaces OUT only once complete and\n"
     "flushed to disk; on any failure OUT stays as it was.\n"
     "  --block-size N  bytes per block, at least 5 (default 1024)\n"
     "  --compress      store every file compressed\n",
     {{"--block-size", true}, {"--compress"}}},
    {"help", "[COMMAND]", "every command, or one command's help", "", {}},
};

const CommandForm* find_command(std::string_view name) {
  for (const CommandForm& form : kCommands) {
    if (form.name == name) return &form;
  }
  return nullptr;
}

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

// A command's arguments with its options taken out.
struct Scanned {
  std::vector<std::string_view> positional;
  std::map<std::string_view, std::string_view> options;  // by option name

  bool has(std::string_view name) const { return options.contains(name); }
};

// An argument that starts with '-' is an option, unless it is "-" alone, a
// negative number (left for the number check to name), or follows "--".
bool is_option(std::string_view arg) {
  return arg.size() >= 2 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

std::expected<Scanned, std::string> scan(
    const CommandForm& command, std::span<const std::string_view> args) {
  const std::string name(command.name);
  Scanned scanned;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (options_ended || !is_option(arg)) {
      scanned.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    // "--name=VALUE" for long options that take a value.
    const std::size_t equals = arg.starts_with("--") ? arg.find('=') : arg.npos;
    const std::string_view option = arg.substr(0, equals);
    const auto form =
        std::find_if(std::begin(command.options), std::end(command.options),
                     [&](const OptionForm& o) {
                       return !o.name.empty() && o.name == option;
                     });
    if (form == std::end(command.options) ||
        (equals != arg.npos && !form->takes_value)) {
      return std::unexpected(name + ": unknown option " + quote(arg));
    }
    std::string_view value;
    if (form->takes_value) {
      if (equals != arg.npos) {
        value = arg.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return std::unexpected(name + ": " + std::string(option) +
                               " needs a value");
      }
    }
    scanned.options[form->name] = value;
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

// --jobs N: at least one thread.
std::expected<unsigned, std::string> jobs_option(std::string_view command,
                                                 const Scanned& scanned) {
  if (!scanned.has("--jobs")) return 0u;
  const std::string_view text = scanned.options.at("--jobs");
  auto jobs = number_arg(command, "--jobs value", text);
  if (!jobs) return std::unexpected(std::move(jobs.error()));
  if (*jobs == 0) {
    return std::unexpected(std::string(command) +
                           ": --jobs needs at least 1 thread");
  }
  return *jobs;
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
  auto arity = check_arity("pack", scanned.positional, {"OUT", "ID=FILE"},
                           /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  PackCommand pack{std::string(scanned.positional[0]),
                   kDefaultBlockSize,
                   scanned.has("--compress"),
                   {}};
  if (scanned.has("--block-size")) {
    const std::string_view value = scanned.options.at("--block-size");
    auto size = number_arg("pack", "block size", value);
    if (!size) return std::unexpected(std::move(size.error()));
    if (*size < kMinBlockSize) {
      return std::unexpected(
          "pack: block size " + quote(value) + " is below " +
          std::to_string(kMinBlockSize) +
          ": a block needs room for payload after its 4-byte pointer");
    }
    pack.block_size = *size;
  }
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

std::expected<Command, std::string> extract_command(const Scanned& scanned) {
  auto arity = check_arity("extract", scanned.positional, {"ARCHIVE"},
                           /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  ExtractCommand extract;
  extract.archive = std::string(scanned.positional[0]);
  for (std::size_t i = 1; i < scanned.positional.size(); ++i) {
    auto id = number_arg("extract", "ID", scanned.positional[i]);
    if (!id) return std::unexpected(std::move(id.error()));
    extract.ids.push_back(*id);
  }
  // Each file is written once, however often its id is named.
  std::sort(extract.ids.begin(), extract.ids.end());
  extract.ids.erase(std::unique(extract.ids.begin(), extract.ids.end()),
                    extract.ids.end());
  if (scanned.has("-C")) {
    extract.directory = std::string(scanned.options.at("-C"));
    if (extract.directory.empty()) {
      return std::unexpected("extract: -C needs a directory");
    }
  }
  extract.raw = scanned.has("--raw");
  extract.force = scanned.has("--force");
  auto jobs = jobs_option("extract", scanned);
  if (!jobs) return std::unexpected(std::move(jobs.error()));
  extract.jobs = *jobs;
  return extract;
}

// ARCHIVE [ID...] of extract and sum: the ids ascending, each once.
std::expected<std::vector<std::uint32_t>, std::string> id_list(
    std::string_view command, const Scanned& scanned) {
  std::vector<std::uint32_t> ids;
  for (std::size_t i = 1; i < scanned.positional.size(); ++i) {
    auto id = number_arg(command, "ID", scanned.positional[i]);
    if (!id) return std::unexpected(std::move(id.error()));
    ids.push_back(*id);
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

std::expected<Command, std::string> sum_command(const Scanned& scanned) {
  auto arity = check_arity("sum", scanned.positional, {"ARCHIVE"},
                           /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  auto ids = id_list("sum", scanned);
  if (!ids) return std::unexpected(std::move(ids.error()));
  auto jobs = jobs_option("sum", scanned);
  if (!jobs) return std::unexpected(std::move(jobs.error()));
  return SumCommand{std::string(scanned.positional[0]), std::move(*ids),
                    scanned.has("--raw"), *jobs};
}

std::expected<Command, std::string> sound_command(const Scanned& scanned) {
  const bool dump = scanned.has("--dump");
  const bool json = scanned.has("--json");
  if (json && !dump) {
    return std::unexpected("sound: --json needs --dump");
  }
  auto arity = check_arity("sound", scanned.positional, {"ARCHIVE", "TABLE_ID"},
                           /*variadic=*/!dump);
  if (!arity) return std::unexpected(std::move(arity.error()));
  auto table = number_arg("sound", "TABLE_ID", scanned.positional[1]);
  if (!table) return std::unexpected(std::move(table.error()));
  SoundCommand sound{
      std::string(scanned.positional[0]), *table, {}, dump, json};
  for (std::size_t i = 2; i < scanned.positional.size(); ++i) {
    auto kind = number_arg("sound", "KIND", scanned.positional[i]);
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

std::expected<Command, std::string> command_of(const CommandForm& form,
                                               const Scanned& scanned) {
  const std::string_view name = form.name;
  const auto& positional = scanned.positional;
  if (name == "help") {
    if (positional.size() > 1) {
      return std::unexpected("help: unexpected argument " +
                             quote(positional[1]));
    }
    if (positional.empty()) return HelpCommand{};
    if (find_command(positional[0]) == nullptr) {
      return std::unexpected("help: unknown command " + quote(positional[0]));
    }
    return HelpCommand{std::string(positional[0])};
  }
  if (name == "sum") return sum_command(scanned);
  if (name == "info" || name == "ls" || name == "verify") {
    auto arity = check_arity(name, positional, {"ARCHIVE"});
    if (!arity) return std::unexpected(std::move(arity.error()));
    std::string archive(positional[0]);
    if (name == "info") return InfoCommand{archive, scanned.has("--json")};
    if (name == "ls") return LsCommand{archive, scanned.has("--json")};
    auto jobs = jobs_option(name, scanned);
    if (!jobs) return std::unexpected(std::move(jobs.error()));
    VerifyCommand verify{archive, *jobs, scanned.has("--json"),
                         scanned.has("--strict"), ""};
    if (scanned.has("--manifest")) {
      verify.manifest = std::string(scanned.options.at("--manifest"));
      if (verify.manifest.empty()) {
        return std::unexpected("verify: --manifest needs a file");
      }
    }
    return verify;
  }
  if (name == "cat") {
    auto arity = check_arity(name, positional, {"ARCHIVE", "ID"});
    if (!arity) return std::unexpected(std::move(arity.error()));
    auto id = number_arg(name, "ID", positional[1]);
    if (!id) return std::unexpected(std::move(id.error()));
    return CatCommand{std::string(positional[0]), *id, scanned.has("--raw")};
  }
  if (name == "extract") return extract_command(scanned);
  if (name == "sound") return sound_command(scanned);
  return pack_command(scanned);
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
  if (args.size() == 1 && args[0] == "--version") return VersionCommand{};
  const CommandForm* form = args.empty() ? nullptr : find_command(args[0]);
  for (std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      // `help -h` is help on help, which is the usage.
      if (form == nullptr || form->name == "help") return HelpCommand{};
      return HelpCommand{std::string(form->name)};
    }
  }
  if (args.empty()) return std::unexpected("missing command");
  if (form == nullptr) {
    return std::unexpected("unknown command " + quote(args[0]));
  }
  auto scanned = scan(*form, args.subspan(1));
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  return command_of(*form, *scanned);
}

std::string usage_text() {
  std::string text =
      "Usage: ostrand-dat COMMAND [OPTIONS] ARGS...\n"
      "Look inside portal archives, extract and check their files, and pack\n"
      "new ones.\n\nCommands:\n";
  for (const CommandForm& form : kCommands) {
    text += "  " + std::string(form.name) + " " + std::string(form.synopsis) +
            "\n      " + std::string(form.summary) + "\n";
  }
  text +=
      "\n'ostrand-dat help COMMAND' or 'ostrand-dat COMMAND --help' shows a\n"
      "command's options; 'ostrand-dat --version' prints the version.\n";
  text += kNumbers;
  text +=
      "Exit status: 0 success, 1 error (or damage found by verify), 2 usage "
      "error,\n3 verify could not examine the archive.\n";
  return text;
}

std::string command_help(std::string_view command) {
  const CommandForm* form = find_command(command);
  if (form == nullptr) return "";
  if (form->name == "help") return usage_text();
  std::string summary(form->summary);
  summary[0] =
      static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
  return "Usage: ostrand-dat " + std::string(form->name) + " " +
         std::string(form->synopsis) + "\n" + summary + ".\n\n" +
         std::string(form->details) + "\n" + std::string(kNumbers);
}

std::vector<std::string_view> command_names() {
  std::vector<std::string_view> names;
  for (const CommandForm& form : kCommands) names.push_back(form.name);
  return names;
}

}  // namespace ostrand_dat::tool
