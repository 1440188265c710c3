#include "errors.h"

#include <cctype>
#include <filesystem>
#include <system_error>
#include <variant>

#include "args.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::tool {
namespace {

// The entry slots of a directory node.
constexpr int kNodeEntrySlots = 61;

// The library names these failures only in its Corruption texts; a text
// not listed here keeps the plain "damaged".
struct CorruptionWords {
  std::string_view marker;  // a part of the library's text
  std::string_view words;
};
constexpr CorruptionWords kCorruptionWords[] = {
    {"is its own ancestor", "its directory loops back on itself"},
    {"needs more blocks than the archive holds",
     "its directory needs more blocks than the file holds"},
    {"leaves no room for payload",
     "its block size leaves no room for data after the block pointer"},
    {"is larger than the archive", "its size is larger than the whole file"},
};

std::string corruption_words(const DatError::Corruption& corruption) {
  for (const auto& known : kCorruptionWords) {
    if (corruption.text.find(known.marker) != std::string::npos) {
      return std::string(known.words);
    }
  }
  return "its bytes do not describe a consistent archive";
}

// The words for the kinds that no read of this library raises today.
std::string other_kind_words(const DatError& error) {
  switch (error.kind()) {
    case DatError::Kind::DuplicateId:
    case DatError::Kind::DuplicateNamespacedId:
      return "an id occurs twice";
    case DatError::Kind::InvalidMagic:
      return "not a portal archive: its magic number is wrong";
    case DatError::Kind::UnsupportedVersion:
      return "its version is not supported";
    case DatError::Kind::InvalidNamespace:
      return "its namespace is not valid";
    case DatError::Kind::DecompressionFailed:
      return "its compressed data cannot be decoded";
    default:
      break;
  }
  if (const auto* other = error.get_if<DatError::Other>()) return other->text;
  return "failed";
}

constexpr std::string_view kNotAnArchiveOrDamaged =
    "not a portal archive, or damaged: ";

}  // namespace

std::string error_line(const Failure& failure, bool verbose) {
  std::string line = "error: " + failure.subject + ": " + failure.words;
  if (verbose && !failure.debug.empty()) line += " (" + failure.debug + ")";
  return line + "\n";
}

std::string shown_name(std::string_view name) {
  std::string quoted = debug_quote(name);
  // debug_quote adds only the quotes when nothing needs an escape.
  if (quoted.size() == name.size() + 2) return std::string(name);
  return quoted;
}

namespace {

// `text` on one line: each "\n     at FILE:LINE" of a record context is
// dropped, and any other line feed is written as "\n".
std::string one_line(std::string_view text) {
  constexpr std::string_view kLocation = "\n     at ";
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.substr(i).starts_with(kLocation)) {
      // FILE:LINE ends the line, or the debug form's closing parenthesis.
      i += kLocation.size();
      while (i < text.size() && text[i] != '\n' && text[i] != ')') ++i;
      continue;
    }
    if (text[i] == '\n') {
      out += "\\n";
    } else {
      out += text[i];
    }
    ++i;
  }
  return out;
}

}  // namespace

std::string debug_text(const DatError& error) {
  return one_line(debug_string(error));
}

std::string debug_text(const IoError& error) {
  return one_line(debug_string(error));
}

std::string io_words(const IoError& error) {
  switch (error.kind()) {
    case IoErrorKind::NotFound:
      return "does not exist";
    case IoErrorKind::PermissionDenied:
      return "permission denied";
    case IoErrorKind::IsADirectory:
      return "is a directory";
    case IoErrorKind::NotADirectory:
      return "a part of its path is not a directory";
    case IoErrorKind::AlreadyExists:
      return "already exists";
    case IoErrorKind::StorageFull:
      return "no space left on the device";
    case IoErrorKind::QuotaExceeded:
      return "the disk quota is exceeded";
    case IoErrorKind::ReadOnlyFilesystem:
      return "the file system is read-only";
    case IoErrorKind::InvalidFilename:
      return "its name is too long";
    case IoErrorKind::BrokenPipe:
      return "the reader has gone away";
    case IoErrorKind::UnexpectedEof:
      return "ends early";
    case IoErrorKind::FileTooLarge:
      if (error.os_code()) {
        return "too large: the limit on file size is reached";
      }
      break;
    default:
      break;
  }
  // The system's own message, as a clause: "input/output error".
  std::string words = error.message();
  if (!words.empty()) {
    words[0] =
        static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
  }
  return words;
}

Failure archive_failure(std::string_view archive, const DatError& error) {
  Failure failure{shown_name(archive), "", debug_text(error)};
  if (const auto* path = error.get_if<DatError::PathError>()) {
    failure.words = io_words(path->source);
  } else if (const auto* read = error.get_if<DatError::BinRead>()) {
    const ReadError& cause = read->error;
    const bool in_header =
        !cause.contexts.empty() &&
        cause.contexts.front().message.ends_with(" in DatHeader");
    if (cause.cause.kind() != IoErrorKind::UnexpectedEof) {
      failure.words = io_words(cause.cause);  // "is a directory"
    } else if (in_header) {
      const std::uint64_t header_end =
          DatHeader::kFileOffset + DatHeader::kSize;
      std::error_code unknown;
      const auto length = std::filesystem::file_size(archive, unknown);
      failure.words =
          unknown
              ? "not a portal archive: the file ends before its header "
                "does, at byte " +
                    std::to_string(header_end)
              : "not a portal archive: the file is " + std::to_string(length) +
                    " bytes, its header ends at byte " +
                    std::to_string(header_end);
    } else {
      failure.words = std::string(kNotAnArchiveOrDamaged) +
                      "a directory node counts more than " +
                      std::to_string(kNodeEntrySlots) + " entries";
    }
  } else if (const auto* io = error.get_if<DatError::Io>()) {
    failure.words = io->error.kind() == IoErrorKind::UnexpectedEof
                        ? std::string(kNotAnArchiveOrDamaged) +
                              "its directory runs past the end of the file"
                        : io_words(io->error);
  } else if (const auto* corruption = error.get_if<DatError::Corruption>()) {
    failure.words =
        std::string(kNotAnArchiveOrDamaged) + corruption_words(*corruption);
  } else {
    failure.words = other_kind_words(error);
  }
  return failure;
}

EntryProblem entry_problem(const DatError& error) {
  if (error.get_if<DatError::NotFound>()) {
    return {false, "no file with this id"};
  }
  if (const auto* io = error.get_if<DatError::Io>()) {
    if (io->error.kind() == IoErrorKind::UnexpectedEof) {
      return {true, "its block chain runs past the end of the file"};
    }
    return {false, "cannot be read: " + io_words(io->error)};
  }
  if (const auto* corruption = error.get_if<DatError::Corruption>()) {
    return {true, corruption_words(*corruption)};
  }
  if (error.get_if<DatError::BinRead>()) {
    return {true, "its data ends inside a record"};
  }
  if (const auto* path = error.get_if<DatError::PathError>()) {
    return {false, "cannot be read: " + io_words(path->source)};
  }
  return {true, other_kind_words(error)};
}

Failure entry_failure(std::string_view archive, std::uint32_t id,
                      const DatError& error) {
  EntryProblem problem = entry_problem(error);
  return {shown_name(archive) + ": " + format_id(id),
          problem.damage ? "damaged: " + problem.words : problem.words,
          debug_text(error)};
}

Failure file_failure(std::string_view path, const IoError& error) {
  return {shown_name(path), io_words(error), debug_text(error)};
}

Failure creation_failure(std::string_view path, const IoError& error) {
  Failure failure = file_failure(path, error);
  failure.words = error.kind() == IoErrorKind::NotFound
                      ? "its directory does not exist"
                      : "cannot be created: " + failure.words;
  return failure;
}

}  // namespace ostrand_dat::tool
