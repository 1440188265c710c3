#include "errors.h"

#include <cctype>
#include <filesystem>
#include <system_error>
#include <variant>

#include "args.h"
#include "ostrand_dat/ostrand_dat.h"

namespace ostrand_dat::tool {
namespace {

// The system's failure inside `error`, for an error of category Io.
const IoError* io_cause(const DatError& error) {
  if (const auto* io = error.get_if<DatError::Io>()) return &io->error;
  if (const auto* read = error.get_if<DatError::BinRead>()) {
    return &read->error.cause;
  }
  if (const auto* path = error.get_if<DatError::PathError>()) {
    return &path->source;
  }
  return nullptr;
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
  const IoError* io = io_cause(error);
  switch (category(error)) {
    case ErrorCategory::Io:
      failure.words = io != nullptr ? io_words(*io) : message(error);
      return failure;
    case ErrorCategory::Damaged:
      break;
    default:
      failure.words = message(error);
      return failure;
  }
  // A file too short for the header is no archive at all.
  const std::uint64_t header_end = DatHeader::kFileOffset + DatHeader::kSize;
  std::error_code unknown;
  const auto length = std::filesystem::file_size(archive, unknown);
  if (error.get_if<DatError::BinRead>() != nullptr && !unknown &&
      length < header_end) {
    failure.words = "not a portal archive: the file is " +
                    std::to_string(length) + " bytes, its header ends at byte " +
                    std::to_string(header_end);
  } else {
    failure.words = std::string(kNotAnArchiveOrDamaged) + message(error);
  }
  return failure;
}

EntryProblem entry_problem(const DatError& error) {
  const ErrorCategory kind = category(error);
  const IoError* io = io_cause(error);
  if (kind == ErrorCategory::Io && io != nullptr) {
    return {false, "cannot be read: " + io_words(*io)};
  }
  return {kind == ErrorCategory::Damaged, message(error)};
}

Failure entry_failure(std::string_view archive, std::uint32_t id,
                      const DatError& error) {
  EntryProblem problem = entry_problem(error);
  return {shown_name(archive) + ": " + format_id(id),
          problem.damage ? "damaged: " + problem.words : problem.words,
          debug_text(error)};
}

std::string warning_line(std::string_view archive, std::uint32_t id,
                         std::string_view words) {
  return "warning: " + shown_name(archive) + ": " + format_id(id) + ": " +
         std::string(words) + "\n";
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
