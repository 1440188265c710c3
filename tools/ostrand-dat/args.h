// The command line of ostrand-dat: numbers as the user may write them, the
// parsed form of each command, and the help texts. Parsing only; nothing
// here touches an archive or the operating system.
#ifndef OSTRAND_DAT_TOOL_ARGS_H_
#define OSTRAND_DAT_TOOL_ARGS_H_

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ostrand_dat::tool {

// A u32 written in decimal or as 0x/0X-prefixed hexadecimal, nothing else:
// no sign, no spaces, no empty digits, no value above 4294967295.
std::optional<std::uint32_t> parse_u32(std::string_view text);

// A file id as the tool prints it: "0x" and eight upper-case hex digits.
std::string format_id(std::uint32_t id);
// The file name extract, mount and verify --manifest give entry `id`:
// eight upper-case hex digits and ".bin".
std::string entry_file_name(std::uint32_t id);

// Which ids an argument names: one id ("0x0A000001"), a range of ids
// ("0x20000000-0x2000FFFF", both ends included) or a prefix pattern of the
// eight-digit hex form ("0x2000*": 0x20000000 to 0x2000FFFF).
struct IdSelector {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  bool single = true;  // one id, which must then exist
  std::string text;    // as the user wrote it, for messages

  bool operator==(const IdSelector&) const = default;
};

// The selector `text` stands for, or nullopt when it is none of the forms.
std::optional<IdSelector> parse_selector(std::string_view text);

inline constexpr std::uint32_t kDefaultBlockSize = 1024;
// The smallest block that holds payload after its 4-byte next-block pointer.
inline constexpr std::uint32_t kMinBlockSize = 5;
// `sound` without kinds resolves 0 to kLastDefaultKind.
inline constexpr std::uint32_t kLastDefaultKind = 204;

struct HelpCommand {
  std::string topic;  // a command's name; empty: every command
};
struct VersionCommand {};
struct InfoCommand {
  std::string archive;
  bool json = false;
};
struct LsCommand {
  std::string archive;
  bool json = false;   // JSON Lines, one object per entry
  bool long_form = false;  // decoded size, ratio and a totals line
  std::vector<IdSelector> selectors;  // empty: every entry
};
struct CatCommand {
  std::string archive;
  std::vector<IdSelector> selectors;  // in the order given; never empty
  bool raw = false;  // the stored bytes, not decompressed
};
struct ExtractCommand {
  std::string archive;
  std::vector<IdSelector> selectors;  // empty: every entry
  std::string directory = ".";
  bool raw = false;    // the stored bytes, not decompressed
  bool force = false;  // replace existing files
  bool sync = true;    // flush the files to disk before they get their names
  unsigned jobs = 0;   // threads; 0: one per processor
};
struct VerifyCommand {
  std::string archive;
  unsigned jobs = 0;                  // threads; 0: one per processor
  std::vector<IdSelector> selectors;  // empty: every entry
  bool json = false;     // JSON Lines, one object per finding and the count
  bool strict = false;   // warnings count as damage in the exit status
  std::string manifest;  // a sum file to compare with; empty: none
};
struct SumCommand {
  std::string archive;
  std::vector<IdSelector> selectors;  // empty: every entry
  bool raw = false;                   // the stored bytes, not decompressed
  unsigned jobs = 0;                  // threads; 0: one per processor
};
struct SoundCommand {
  std::string archive;
  std::uint32_t table_id = 0;
  std::vector<std::uint32_t> kinds;  // in the order given; never empty
  bool dump = false;                 // the whole table; `kinds` unused
  bool json = false;                 // with dump: one JSON object
};
struct PackInput {
  std::uint32_t id = 0;
  std::string path;
};
struct PackCommand {
  std::string out;
  std::uint32_t block_size = kDefaultBlockSize;
  // Compress each file, and store it compressed when that makes it smaller
  // (always with `compress_always`).
  bool compress = false;
  std::vector<PackInput> inputs;  // ids distinct among themselves
  std::string directory;  // -C: every XXXXXXXX.bin in it; empty: none
  std::string list;       // -T: ID=FILE lines ("-": standard input)
  bool compress_always = false;
};

struct MountCommand {
  std::string archive;
  std::string mountpoint;
  bool raw = false;         // the stored bytes, as cat --raw gives them
  bool foreground = false;  // -f: serve in this process until unmounted
  std::vector<std::string> options;  // -o values, passed on to FUSE
};

using Command = std::variant<HelpCommand, VersionCommand, InfoCommand,
                             LsCommand, CatCommand, ExtractCommand,
                             VerifyCommand, SumCommand, SoundCommand,
                             PackCommand, MountCommand>;

// How much the tool tells besides its output, for every command.
struct Verbosity {
  bool quiet = false;    // -q/--quiet: no progress line, no summary
  bool verbose = false;  // -v/--verbose: errors add the library's debug form
};

struct Invocation {
  Command command;
  Verbosity verbosity;
};

// One "ID=FILE" of pack, from an operand or a line of a -T list.
std::expected<PackInput, std::string> parse_pack_input(std::string_view text);

// Parses the arguments after the program name. -h/--help anywhere before
// `--` asks for the command's help (every command's when none is named);
// `--version` stands alone. Options may stand anywhere among a command's
// arguments, and `--` ends them; -q and -v also before the command. A
// failure is one line naming what is wrong with which argument.
std::expected<Invocation, std::string> parse_args(
    std::span<const std::string_view> args);

// Every command in one line each, the number forms and the exit statuses.
std::string usage_text();
// One command's synopsis and what it does; empty for an unknown name.
std::string command_help(std::string_view command);

// The names of the commands, in the order the usage lists them.
std::vector<std::string_view> command_names();
// The options `command` takes besides -q and -v: each name, then its alias
// ("--long", "-l"), in the order of its help; empty for an unknown name.
std::vector<std::string_view> command_options(std::string_view command);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_ARGS_H_
