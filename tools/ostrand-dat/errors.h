// Failures as the tool prints them, one line each: what the failure
// concerns, what is wrong in plain words and, when asked for, the library's
// debug form for bug reports:
//   error: ARCHIVE: <words>
//   error: ARCHIVE: 0xXXXXXXXX: <words> (<debug form>)
#ifndef OSTRAND_DAT_TOOL_ERRORS_H_
#define OSTRAND_DAT_TOOL_ERRORS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "ostrand_dat/error.h"

namespace ostrand_dat::tool {

struct Failure {
  std::string subject;  // "ARCHIVE", "ARCHIVE: 0xXXXXXXXX", an output path
  std::string words;    // "is a directory"
  std::string debug;    // the library's debug form of the error, one line
};

// "error: SUBJECT: WORDS" and, when `verbose`, " (DEBUG)", then a line feed.
std::string error_line(const Failure& failure, bool verbose);

// A name as a message shows it: as it is when every character shows as
// itself, else in the quoted form of debug_quote (control characters and
// bytes that are not UTF-8 as escapes), so that no name reaches the
// terminal raw.
std::string shown_name(std::string_view name);

// The library's debug form on one line: line feeds written as "\n", and
// the source locations of record contexts left out.
std::string debug_text(const DatError& error);
std::string debug_text(const IoError& error);

// What went wrong with a file the tool reads or writes: "does not exist",
// "permission denied", "no space left on the device", ...
std::string io_words(const IoError& error);

// A failure to open `archive` (the errors of DatDatabase::open). A file too
// short for the header is "not a portal archive", with its length.
Failure archive_failure(std::string_view archive, const DatError& error);

// What is wrong with an entry that could not be read. `damage` tells that
// the archive's bytes are at fault, rather than the system or the id asked
// for.
struct EntryProblem {
  bool damage = false;
  std::string words;  // "a block chain runs past the end of the file"
};
EntryProblem entry_problem(const DatError& error);

// A failure to read entry `id` of `archive`; damage reads "damaged: ...".
Failure entry_failure(std::string_view archive, std::uint32_t id,
                      const DatError& error);

// "warning: ARCHIVE: 0xXXXXXXXX: WORDS" and a line feed: contents that were
// written as they are although something about them is short.
std::string warning_line(std::string_view archive, std::uint32_t id,
                         std::string_view words);

// A failure of a file the tool itself reads or writes (pack's inputs and
// output, extract's files, standard output).
Failure file_failure(std::string_view path, const IoError& error);

// A failure to create the file `path` (written under a temporary name in
// its directory first).
Failure creation_failure(std::string_view path, const IoError& error);

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_ERRORS_H_
