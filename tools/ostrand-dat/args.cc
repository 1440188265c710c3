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
  std::string_view alias = {};  // "-l" for "--long"
  bool optional_value = false;  // "--name=VALUE" only, else no value
};

// A command's arguments with its options taken out.
struct Scanned {
  std::vector<std::string_view> positional;
  std::map<std::string_view, std::string_view> options;  // by option name
  Verbosity verbosity;

  bool has(std::string_view name) const { return options.contains(name); }
};

using Parser = std::expected<Command, std::string> (*)(const Scanned&);

struct CommandForm {
  std::string_view name;
  std::string_view synopsis;   // the arguments after the name
  std::string_view summary;    // one line for the command list
  std::string_view details;    // what `help NAME` adds
  OptionForm options[6] = {};  // unused ones have no name
  Parser parse = nullptr;      // the scanned arguments as a Command
};

constexpr std::string_view kNumbers =
    "ID, TABLE_ID, KIND and N are u32 numbers, decimal or 0x-prefixed "
    "hexadecimal.\n";

constexpr std::string_view kSelectors =
    "SELECTOR is an ID, a range FIRST-LAST (0x20000000-0x2000FFFF) or a\n"
    "prefix of the eight hex digits of an id (0x2000* for 0x20000000 to\n"
    "0x2000FFFF).\n";

std::string quote(std::string_view text) {
  return "'" + std::string(text) + "'";
}

// The id the user most likely meant by `text`: eight hex digits without
// "0x", as extract names its files ("0A000001" or "0A000001.bin").
std::optional<std::string> id_suggestion(std::string_view text) {
  if (text.ends_with(".bin")) text.remove_suffix(4);
  if (text.size() != 8 ||
      !std::all_of(text.begin(), text.end(), [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  return "0x" + std::string(text);
}

std::string with_suggestion(std::string message, std::string_view text) {
  if (auto id = id_suggestion(text)) message += " (did you mean " + *id + "?)";
  return message;
}

// `text` as a u32; the error names `what` and `text`, then `where` it stood.
std::expected<std::uint32_t, std::string> number_arg(
    std::string_view command, std::string_view what, std::string_view text,
    std::string_view where = "") {
  if (auto value = parse_u32(text)) return *value;
  return std::unexpected(with_suggestion(
      std::string(command) + ": invalid " + std::string(what) + " " +
          quote(text) + std::string(where) +
          ": not a decimal or 0x-prefixed hexadecimal u32",
      text));
}

// Every positional argument from `from` on as a selector.
std::expected<std::vector<IdSelector>, std::string> selectors_arg(
    std::string_view command, const Scanned& scanned, std::size_t from) {
  std::vector<IdSelector> selectors;
  for (std::size_t i = from; i < scanned.positional.size(); ++i) {
    const std::string_view text = scanned.positional[i];
    auto selector = parse_selector(text);
    if (!selector) {
      return std::unexpected(with_suggestion(
          std::string(command) + ": invalid ID " + quote(text) +
              ": not an id (decimal or 0x-prefixed hexadecimal u32), a range "
              "FIRST-LAST or a pattern 0xHHHH*",
          text));
    }
    selectors.push_back(std::move(*selector));
  }
  return selectors;
}

// An argument that starts with '-' is an option, unless it is "-" alone, a
// negative number (left for the number check to name), or follows "--".
bool is_option(std::string_view arg) {
  return arg.size() >= 2 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9');
}

// Sets `verbosity` when `arg` is one of the options every command takes,
// before or after its name.
bool common_option(std::string_view arg, Verbosity& verbosity) {
  if (arg == "-q" || arg == "--quiet") {
    verbosity.quiet = true;
    return true;
  }
  if (arg == "-v" || arg == "--verbose") {
    verbosity.verbose = true;
    return true;
  }
  return false;
}

std::expected<Scanned, std::string> scan(
    const CommandForm& command, std::span<const std::string_view> args,
    Verbosity verbosity) {
  const std::string name(command.name);
  Scanned scanned;
  scanned.verbosity = verbosity;
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
    if (common_option(arg, scanned.verbosity)) continue;
    // "--name=VALUE" for long options that take a value.
    const std::size_t equals = arg.starts_with("--") ? arg.find('=') : arg.npos;
    const std::string_view option = arg.substr(0, equals);
    const auto form =
        std::find_if(std::begin(command.options), std::end(command.options),
                     [&](const OptionForm& o) {
                       return !o.name.empty() &&
                              (o.name == option || o.alias == option);
                     });
    if (form == std::end(command.options) ||
        (equals != arg.npos && !form->takes_value && !form->optional_value)) {
      return std::unexpected(name + ": unknown option " + quote(arg));
    }
    std::string_view value;
    if (form->optional_value) {
      if (equals != arg.npos) value = arg.substr(equals + 1);
    } else if (form->takes_value) {
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
  const bool other_inputs = scanned.has("-C") || scanned.has("-T");
  auto arity = check_arity(
      "pack", scanned.positional,
      other_inputs ? std::initializer_list<std::string_view>{"OUT"}
                   : std::initializer_list<std::string_view>{"OUT", "ID=FILE"},
      /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  PackCommand pack;
  pack.out = std::string(scanned.positional[0]);
  if (scanned.has("--compress")) {
    const std::string_view how = scanned.options.at("--compress");
    if (!how.empty() && how != "always") {
      return std::unexpected("pack: --compress takes no value but 'always', "
                             "got " + quote(how));
    }
    pack.compress = true;
    pack.compress_always = how == "always";
  }
  for (const auto& [option, field] :
       {std::pair{"-C", &pack.directory}, std::pair{"-T", &pack.list}}) {
    if (!scanned.has(option)) continue;
    *field = std::string(scanned.options.at(option));
    if (field->empty()) {
      return std::unexpected("pack: " + std::string(option) +
                             " needs a non-empty value");
    }
  }
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
  auto selectors = selectors_arg("extract", scanned, 1);
  if (!selectors) return std::unexpected(std::move(selectors.error()));
  extract.selectors = std::move(*selectors);
  if (scanned.has("-C")) {
    extract.directory = std::string(scanned.options.at("-C"));
    if (extract.directory.empty()) {
      return std::unexpected("extract: -C needs a directory");
    }
  }
  extract.raw = scanned.has("--raw");
  extract.force = scanned.has("--force");
  extract.sync = !scanned.has("--no-sync");
  auto jobs = jobs_option("extract", scanned);
  if (!jobs) return std::unexpected(std::move(jobs.error()));
  extract.jobs = *jobs;
  return extract;
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

std::expected<Command, std::string> info_command(const Scanned& scanned) {
  auto arity = check_arity("info", scanned.positional, {"ARCHIVE"});
  if (!arity) return std::unexpected(std::move(arity.error()));
  return InfoCommand{std::string(scanned.positional[0]), scanned.has("--json")};
}

std::expected<Command, std::string> ls_command(const Scanned& scanned) {
  auto arity = check_arity("ls", scanned.positional, {"ARCHIVE"},
                           /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  auto selectors = selectors_arg("ls", scanned, 1);
  if (!selectors) return std::unexpected(std::move(selectors.error()));
  return LsCommand{std::string(scanned.positional[0]), scanned.has("--json"),
                   scanned.has("--long"), std::move(*selectors)};
}

std::expected<Command, std::string> cat_command(const Scanned& scanned) {
  auto arity = check_arity("cat", scanned.positional, {"ARCHIVE", "ID"},
                           /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  auto selectors = selectors_arg("cat", scanned, 1);
  if (!selectors) return std::unexpected(std::move(selectors.error()));
  return CatCommand{std::string(scanned.positional[0]), std::move(*selectors),
                    scanned.has("--raw")};
}

std::expected<Command, std::string> verify_command(const Scanned& scanned) {
  auto arity = check_arity("verify", scanned.positional, {"ARCHIVE"},
                           /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  auto jobs = jobs_option("verify", scanned);
  if (!jobs) return std::unexpected(std::move(jobs.error()));
  auto selectors = selectors_arg("verify", scanned, 1);
  if (!selectors) return std::unexpected(std::move(selectors.error()));
  VerifyCommand verify{std::string(scanned.positional[0]), *jobs,
                       std::move(*selectors), scanned.has("--json"),
                       scanned.has("--strict"), ""};
  if (scanned.has("--manifest")) {
    verify.manifest = std::string(scanned.options.at("--manifest"));
    if (verify.manifest.empty()) {
      return std::unexpected("verify: --manifest needs a file");
    }
  }
  return verify;
}

std::expected<Command, std::string> sum_command(const Scanned& scanned) {
  auto arity = check_arity("sum", scanned.positional, {"ARCHIVE"},
                           /*variadic=*/true);
  if (!arity) return std::unexpected(std::move(arity.error()));
  auto selectors = selectors_arg("sum", scanned, 1);
  if (!selectors) return std::unexpected(std::move(selectors.error()));
  auto jobs = jobs_option("sum", scanned);
  if (!jobs) return std::unexpected(std::move(jobs.error()));
  return SumCommand{std::string(scanned.positional[0]), std::move(*selectors),
                    scanned.has("--raw"), *jobs};
}

std::expected<Command, std::string> mount_command(const Scanned& scanned) {
  auto arity =
      check_arity("mount", scanned.positional, {"ARCHIVE", "MOUNTPOINT"});
  if (!arity) return std::unexpected(std::move(arity.error()));
  MountCommand mount{std::string(scanned.positional[0]),
                     std::string(scanned.positional[1]), scanned.has("--raw"),
                     scanned.has("-f"), {}};
  if (scanned.has("-o")) {
    const std::string_view options = scanned.options.at("-o");
    if (options.empty()) return std::unexpected("mount: -o needs OPTIONS");
    mount.options.emplace_back(options);
  }
  return mount;
}

std::expected<Command, std::string> help_command(const Scanned& scanned);

const CommandForm kCommands[] = {
    {"info",
     "[--json] ARCHIVE",
     "the header fields and the number of files",
     "Prints the header's seventeen fields, one \"name: value\" line each\n"
     "(version_string as 32 hex digits), then \"files: N\".\n"
     "  --json  one JSON object with the same names and numbers\n",
     {{"--json"}},
     info_command},
    {"ls",
     "[-l] [--json] ARCHIVE [SELECTOR...]",
     "list the entries by id",
     "Prints one line per entry (those SELECTOR names, else every one) in\n"
     "ascending id order: id (0xXXXXXXXX), bit_flags, offset, size,\n"
     "timestamp and version, separated by tabs.\n"
     "  -l, --long  add the decoded size (a compressed entry's size prefix)\n"
     "              and the ratio of stored to decoded size, and end with a\n"
     "              line \"total: N files, S stored, D decoded, R\"\n"
     "  --json      JSON Lines: one object per entry with id, bit_flags,\n"
     "              offset, size, timestamp and version, all numbers; with\n"
     "              -l also decoded_size and ratio (null when unknown)\n",
     {{"--json"}, {"--long", false, "-l"}},
     ls_command},
    {"cat",
     "[--raw] ARCHIVE SELECTOR...",
     "write files' contents to standard output",
     "Writes the contents of each file SELECTOR names, one after the other\n"
     "in the order given (a range or pattern in ascending id order),\n"
     "decompressed when stored compressed.\n"
     "  --raw  the stored bytes as they are\n",
     {{"--raw"}},
     cat_command},
    {"extract",
     "[--raw] [--force] [--no-sync] [--jobs N] [-C DIR] ARCHIVE "
     "[SELECTOR...]",
     "write files into a directory as XXXXXXXX.bin",
     "Writes each entry SELECTOR names (every entry when none is given) into\n"
     "DIR as XXXXXXXX.bin, the id in eight upper-case hex digits, with the\n"
     "contents cat gives. A file appears only when complete. A damaged entry\n"
     "is reported and the others are still extracted; the exit status is\n"
     "then 1. A failure of DIR itself (unwritable, full) ends the run.\n"
     "  --raw      the stored bytes as they are\n"
     "  --force    replace existing files (else an existing file is an error)\n"
     "  --no-sync  do not flush the files to disk before naming them (faster;\n"
     "             a crash may then leave empty or partial files)\n"
     "  --jobs N   read with N threads (default: one per processor)\n"
     "  -C DIR     the directory to write into (default: the current one)\n"
     "On a terminal, standard error shows the progress and a summary.\n",
     {{"--raw"}, {"--force"}, {"--no-sync"}, {"--jobs", true}, {"-C", true}},
     extract_command},
    {"verify",
     "[--json] [--strict] [--manifest FILE] [--jobs N] ARCHIVE [SELECTOR...]",
     "check the archive as a whole and every entry",
     "Checks the header, that every directory node and file chain lies in\n"
     "the file and loops nowhere, that no block is in two chains, the free\n"
     "list, the blocks nothing reaches, and that every entry (those SELECTOR\n"
     "names, else all) reads and decodes. Prints one line per finding,\n"
     "archive-level ones first, then by id: \"0xXXXXXXXX: damaged: ...\" or\n"
     "\"warning: ...\", then \"N files checked, M damaged, W warnings\".\n"
     "  --json           JSON Lines: one object per finding, then the counts\n"
     "  --strict         warnings count as damage\n"
     "  --manifest FILE  compare with a file of sums from 'ostrand-dat sum':\n"
     "                   a different sum or an entry missing from the archive\n"
     "                   is damage, an entry not in FILE a warning\n"
     "  --jobs N         read with N threads (default: one per processor)\n"
     "Exit status: 0 nothing damaged (warnings allowed), 1 damage found, 2\n"
     "usage error, 3 the archive could not be examined.\n",
     {{"--json"}, {"--strict"}, {"--manifest", true}, {"--jobs", true}},
     verify_command},
    {"sum",
     "[--raw] [--jobs N] ARCHIVE [SELECTOR...]",
     "print the SHA-256 of each entry, as sha256sum does",
     "Prints one line per entry SELECTOR names (every entry when none is\n"
     "given), in id order: the SHA-256 of the contents cat gives, two spaces\n"
     "and XXXXXXXX.bin, the name extract gives the file; 'sha256sum -c'\n"
     "checks extracted files.\n"
     "  --raw     the SHA-256 of the stored bytes\n"
     "  --jobs N  read with N threads (default: one per processor)\n",
     {{"--raw"}, {"--jobs", true}},
     sum_command},
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
     {{"--dump"}, {"--json"}},
     sound_command},
    {"pack",
     "[--block-size N] [--compress[=always]] [-C DIR] [-T LIST] OUT "
     "[ID=FILE...]",
     "write a new archive storing each FILE under ID",
     "Writes a new archive to OUT. It replaces OUT only once complete and\n"
     "flushed to disk; on any failure OUT stays as it was. An id may be\n"
     "given once only, by whichever input.\n"
     "  --block-size N     bytes per block, at least 5 (default 1024)\n"
     "  --compress         store a file compressed when that makes it\n"
     "                     smaller\n"
     "  --compress=always  store every file compressed\n"
     "  -C DIR             every XXXXXXXX.bin in DIR under its id (the names\n"
     "                     extract writes)\n"
     "  -T LIST            ID=FILE lines from LIST (\"-\": standard input)\n",
     {{"--block-size", true},
      {"--compress", false, {}, true},
      {"-C", true},
      {"-T", true}},
     pack_command},
    {"mount",
     "[--raw] [-f] [-o OPTIONS] ARCHIVE MOUNTPOINT",
     "show the archive as a read-only folder (FUSE)",
     "Mounts the archive read-only on MOUNTPOINT, an existing folder: one\n"
     "file per entry, XXXXXXXX.bin, holding what cat gives. Returns once the\n"
     "mount is ready; 'fusermount3 -u MOUNTPOINT' unmounts it. A file's size\n"
     "is what the archive declares until a read reaches its end; a damaged\n"
     "entry's reads fail with EIO while every other file stays readable.\n"
     "  --raw       the stored bytes, as cat --raw gives them\n"
     "  -f          stay in the foreground, report damage on standard error,\n"
     "              and unmount on SIGINT or SIGTERM\n"
     "  -o OPTIONS  mount options for FUSE, comma-separated (allow_other, ...)\n",
     {{"--raw"}, {"-f"}, {"-o", true}},
     mount_command},
    {"help",
     "[COMMAND]",
     "every command, or one command's help",
     "",
     {},
     help_command},
};

const CommandForm* find_command(std::string_view name) {
  for (const CommandForm& form : kCommands) {
    if (form.name == name) return &form;
  }
  return nullptr;
}

// Edits (insertions, deletions, substitutions) between `a` and `b`.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1,
                         diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " (did you mean 'extract'?)" for a name that starts one command's name
// or is within two edits of one; empty when none or several fit.
std::string command_suggestion(std::string_view typed) {
  std::vector<std::string_view> prefixed, near;
  for (const CommandForm& form : kCommands) {
    if (!typed.empty() && form.name.starts_with(typed)) {
      prefixed.push_back(form.name);
    }
    if (edit_distance(typed, form.name) <= 2) near.push_back(form.name);
  }
  const auto& fits = prefixed.empty() ? near : prefixed;
  if (fits.size() != 1) {
    if (auto id = id_suggestion(typed)) {
      return " (did you mean 'cat ARCHIVE " + *id + "'?)";
    }
    return "";
  }
  return " (did you mean " + quote(fits.front()) + "?)";
}

std::expected<Command, std::string> help_command(const Scanned& scanned) {
  const auto& positional = scanned.positional;
  if (positional.size() > 1) {
    return std::unexpected("help: unexpected argument " + quote(positional[1]));
  }
  if (positional.empty()) return HelpCommand{};
  if (find_command(positional[0]) == nullptr) {
    return std::unexpected("help: unknown command " + quote(positional[0]) +
                           command_suggestion(positional[0]));
  }
  return HelpCommand{std::string(positional[0])};
}

}  // namespace

std::string format_id(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(id));
  return text;
}

std::string entry_file_name(std::uint32_t id) {
  return format_id(id).substr(2) + ".bin";
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

std::expected<PackInput, std::string> parse_pack_input(
    std::string_view text) {
  return pack_input(text);
}

std::optional<IdSelector> parse_selector(std::string_view text) {
  if (auto id = parse_u32(text)) return IdSelector{*id, *id, true, std::string(text)};
  if (text.size() >= 3 && (text.starts_with("0x") || text.starts_with("0X")) &&
      text.ends_with('*')) {
    // The digits given are the id's leading hex digits; the rest is any.
    const std::string_view digits = text.substr(2, text.size() - 3);
    if (digits.size() > 8 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) {
          return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        })) {
      return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : digits) {
      value = value * 16 + static_cast<std::uint64_t>(
                               std::isdigit(static_cast<unsigned char>(c))
                                   ? c - '0'
                                   : std::tolower(c) - 'a' + 10);
    }
    const unsigned free_bits = 4 * static_cast<unsigned>(8 - digits.size());
    const std::uint64_t first = value << free_bits;
    const std::uint64_t last = first | ((std::uint64_t{1} << free_bits) - 1);
    return IdSelector{static_cast<std::uint32_t>(first),
                      static_cast<std::uint32_t>(last), false,
                      std::string(text)};
  }
  const std::size_t dash = text.find('-', 1);
  if (dash == std::string_view::npos) return std::nullopt;
  const auto first = parse_u32(text.substr(0, dash));
  const auto last = parse_u32(text.substr(dash + 1));
  if (!first || !last || *first > *last) return std::nullopt;
  return IdSelector{*first, *last, false, std::string(text)};
}

std::expected<Invocation, std::string> parse_args(
    std::span<const std::string_view> args) {
  // The common options may come before the command's name.
  Verbosity verbosity;
  while (!args.empty() && common_option(args[0], verbosity)) {
    args = args.subspan(1);
  }
  if (args.size() == 1 && args[0] == "--version") {
    return Invocation{VersionCommand{}, verbosity};
  }
  const CommandForm* form = args.empty() ? nullptr : find_command(args[0]);
  for (std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      // `help -h` is help on help, which is the usage.
      if (form == nullptr || form->name == "help") {
        return Invocation{HelpCommand{}, verbosity};
      }
      return Invocation{HelpCommand{std::string(form->name)}, verbosity};
    }
  }
  if (args.empty()) return std::unexpected("missing command");
  if (form == nullptr) {
    return std::unexpected("unknown command " + quote(args[0]) +
                           command_suggestion(args[0]));
  }
  auto scanned = scan(*form, args.subspan(1), verbosity);
  if (!scanned) return std::unexpected(std::move(scanned.error()));
  auto command = form->parse(*scanned);
  if (!command) return std::unexpected(std::move(command.error()));
  return Invocation{std::move(*command), scanned->verbosity};
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
      "\nEvery command takes:\n"
      "  -q, --quiet    no progress line and no summary on standard error\n"
      "  -v, --verbose  errors end with the library's own form of the error\n"
      "\n'ostrand-dat help COMMAND' or 'ostrand-dat COMMAND --help' shows a\n"
      "command's options; 'ostrand-dat --version' prints the version.\n";
  text += kNumbers;
  text += kSelectors;
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
         std::string(form->details) + "\n" + std::string(kNumbers) +
         (form->synopsis.find("SELECTOR") != std::string_view::npos
              ? std::string(kSelectors)
              : std::string());
}

std::vector<std::string_view> command_names() {
  std::vector<std::string_view> names;
  for (const CommandForm& form : kCommands) names.push_back(form.name);
  return names;
}

std::vector<std::string_view> command_options(std::string_view command) {
  std::vector<std::string_view> names;
  const CommandForm* form = find_command(command);
  if (form == nullptr) return names;
  for (const OptionForm& option : form->options) {
    if (option.name.empty()) continue;
    names.push_back(option.name);
    if (!option.alias.empty()) names.push_back(option.alias);
  }
  return names;
}

}  // namespace ostrand_dat::tool
