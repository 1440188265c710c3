#include "ostrand_dat/error.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <type_traits>
#include <utility>

#include "hex.h"

namespace ostrand_dat {
namespace {

// Length of the valid UTF-8 sequence at the start of `text` and its code
// point, or 0 when the first byte does not start one.
std::size_t decode_utf8(std::string_view text, std::uint32_t& code_point) {
  auto byte = [&](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i]));
  };
  std::uint32_t b0 = byte(0);
  if (b0 < 0x80) {
    code_point = b0;
    return 1;
  }
  std::size_t length;
  std::uint32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, min = 0x80, code_point = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, min = 0x800, code_point = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, code_point = b0 & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code_point = code_point << 6 | (byte(i) & 0x3F);
  }
  if (code_point < min || code_point > 0x10FFFF ||
      (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return 0;
  }
  return length;
}

// Code points that a terminal does not show as themselves, beyond the
// controls (U+0000 to U+001F, U+007F to U+009F): the format characters
// (invisible, or steering how the text around them is shown), the line and
// paragraph separators, private use (no agreed glyph), and the planes in
// which nothing is assigned. Spaces other than U+0020 are kept: a no-break
// or ideographic space shows as space. Ranges are inclusive and ascending;
// the noncharacters U+xFFFE and U+xFFFF of every plane are tested apart.
constexpr std::pair<std::uint32_t, std::uint32_t> kNotShown[] = {
    {0x00AD, 0x00AD},    // soft hyphen
    {0x0600, 0x0605},    // Arabic number signs
    {0x061C, 0x061C},    // Arabic letter mark
    {0x06DD, 0x06DD},    // Arabic end of ayah
    {0x070F, 0x070F},    // Syriac abbreviation mark
    {0x0890, 0x0891},    // Arabic pound and piastre marks above
    {0x08E2, 0x08E2},    // Arabic disputed end of ayah
    {0x180E, 0x180E},    // Mongolian vowel separator
    {0x200B, 0x200F},    // zero-width space and joiners, direction marks
    {0x2028, 0x202E},    // line and paragraph separators, bidi embeddings
    {0x2060, 0x206F},    // word joiner, invisible operators, bidi isolates
    {0xE000, 0xF8FF},    // private use
    {0xFDD0, 0xFDEF},    // noncharacters
    {0xFEFF, 0xFEFF},    // zero-width no-break space (byte order mark)
    {0xFFF9, 0xFFFB},    // interlinear annotation
    {0x110BD, 0x110BD},  // Kaithi number sign
    {0x110CD, 0x110CD},  // Kaithi number sign above
    {0x13430, 0x1343F},  // Egyptian hieroglyph format controls
    {0x1BCA0, 0x1BCA3},  // shorthand format controls
    {0x1D173, 0x1D17A},  // musical symbol format controls
    {0x40000, 0xDFFFF},  // planes 4 to 13: nothing assigned
    {0xE0000, 0xE00FF},  // tags
    // The rest of plane 14 after the variation selectors (unassigned), then
    // planes 15 and 16 (private use).
    {0xE01F0, 0x10FFFF},
};

static_assert(std::end(kNotShown)[-1].second == 0x10FFFF,
              "every code point has a range that does not end below it");

bool is_shown(std::uint32_t c) {
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
  if ((c & 0xFFFE) == 0xFFFE) return false;
  // The first range that does not end below `c`: shown unless inside it.
  const auto* range =
      std::find_if(std::begin(kNotShown), std::end(kNotShown),
                   [c](const auto& r) { return c <= r.second; });
  return c < range->first;
}

std::string quoted_path(const std::filesystem::path& path) {
  return debug_quote(path.native());
}

// `text` on one line: line breaks, tabs and other controls become spaces.
std::string one_line(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return out;
}

// A sentence's part starting in lower case: "input/output error".
std::string lower_first(std::string text) {
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] += 'a' - 'A';
  return text;
}

// "0x0000002A": a file id in a message.
std::string id_text(std::uint32_t id) {
  std::string out = "0x";
  append_hex(out, id, HexCase::kUpper, 8);
  return out;
}

std::string corruption_words(const DatError::Corruption& corruption) {
  switch (corruption.reason) {
    case CorruptionReason::DirectoryLoop:
      return "the directory loops back on itself";
    case CorruptionReason::WalkBudgetExceeded:
      return "the directory names its nodes so often that reading it would "
             "take several times the file";
    case CorruptionReason::BlockSizeNoRoom:
      return "the block size leaves no room for data after the block pointer";
    case CorruptionReason::ItemLargerThanFile:
      return "an item is larger than the whole file";
    case CorruptionReason::Other:
      break;
  }
  return one_line(corruption.text);
}

std::string read_error_words(const ReadError& error) {
  std::string out =
      error.cause.kind() == IoErrorKind::UnexpectedEof
          ? std::string("the data ends inside a record")
          : "the archive cannot be read: " +
                lower_first(one_line(error.cause.message()));
  if (!error.contexts.empty()) {
    out += " (" + lower_first(one_line(error.contexts.front().message)) + ")";
  }
  return out;
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  while (!text.empty()) {
    std::uint32_t c = 0;
    std::size_t length = decode_utf8(text, c);
    if (length == 0) {
      out += "\\x";
      append_hex(out, static_cast<unsigned char>(text[0]), HexCase::kLower, 2);
      text.remove_prefix(1);
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_shown(c)) {
          out.append(text.substr(0, length));
        } else {
          out += "\\u{";
          append_hex(out, c, HexCase::kLower);
          out.push_back('}');
        }
    }
    text.remove_prefix(length);
  }
  out.push_back('"');
  return out;
}

std::string_view kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return "NotFound";
    case IoErrorKind::PermissionDenied: return "PermissionDenied";
    case IoErrorKind::ConnectionRefused: return "ConnectionRefused";
    case IoErrorKind::ConnectionReset: return "ConnectionReset";
    case IoErrorKind::HostUnreachable: return "HostUnreachable";
    case IoErrorKind::NetworkUnreachable: return "NetworkUnreachable";
    case IoErrorKind::ConnectionAborted: return "ConnectionAborted";
    case IoErrorKind::NotConnected: return "NotConnected";
    case IoErrorKind::AddrInUse: return "AddrInUse";
    case IoErrorKind::AddrNotAvailable: return "AddrNotAvailable";
    case IoErrorKind::NetworkDown: return "NetworkDown";
    case IoErrorKind::BrokenPipe: return "BrokenPipe";
    case IoErrorKind::AlreadyExists: return "AlreadyExists";
    case IoErrorKind::WouldBlock: return "WouldBlock";
    case IoErrorKind::NotADirectory: return "NotADirectory";
    case IoErrorKind::IsADirectory: return "IsADirectory";
    case IoErrorKind::DirectoryNotEmpty: return "DirectoryNotEmpty";
    case IoErrorKind::ReadOnlyFilesystem: return "ReadOnlyFilesystem";
    case IoErrorKind::StaleNetworkFileHandle: return "StaleNetworkFileHandle";
    case IoErrorKind::InvalidInput: return "InvalidInput";
    case IoErrorKind::InvalidData: return "InvalidData";
    case IoErrorKind::TimedOut: return "TimedOut";
    case IoErrorKind::WriteZero: return "WriteZero";
    case IoErrorKind::StorageFull: return "StorageFull";
    case IoErrorKind::NotSeekable: return "NotSeekable";
    case IoErrorKind::QuotaExceeded: return "QuotaExceeded";
    case IoErrorKind::FileTooLarge: return "FileTooLarge";
    case IoErrorKind::ResourceBusy: return "ResourceBusy";
    case IoErrorKind::ExecutableFileBusy: return "ExecutableFileBusy";
    case IoErrorKind::Deadlock: return "Deadlock";
    case IoErrorKind::CrossesDevices: return "CrossesDevices";
    case IoErrorKind::TooManyLinks: return "TooManyLinks";
    case IoErrorKind::InvalidFilename: return "InvalidFilename";
    case IoErrorKind::ArgumentListTooLong: return "ArgumentListTooLong";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::Unsupported: return "Unsupported";
    case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
    case IoErrorKind::OutOfMemory: return "OutOfMemory";
    case IoErrorKind::Other: return "Other";
    case IoErrorKind::Uncategorized: return "Uncategorized";
  }
  return "Uncategorized";  // GCOVR_EXCL_LINE: every kind returns above
}

IoError IoError::unexpected_eof() {
  return IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
}

std::string debug_string(const IoError& error) {
  std::string out;
  if (error.os_code()) {
    out = "Os { code: " + std::to_string(*error.os_code()) + ", kind: ";
  } else {
    out = "Error { kind: ";
  }
  out += kind_name(error.kind());
  out += ", message: " + debug_quote(error.message()) + " }";
  return out;
}

std::string display_string(const IoError& error) {
  if (!error.os_code()) return error.message();
  return error.message() + " (os error " + std::to_string(*error.os_code()) +
         ")";
}

std::string debug_string(const ReadError& error) {
  std::string out = display_string(error.cause);
  for (std::size_t i = 0; i < error.contexts.size(); ++i) {
    const ReadContext& context = error.contexts[i];
    out += "\n " + std::to_string(i) + ": " + context.message + "\n     at " +
           context.file + ":" + std::to_string(context.line);
  }
  return out;
}

std::string_view kind_name(DatError::Kind kind) {
  switch (kind) {
    case DatError::Kind::Io: return "Io";
    case DatError::Kind::BinRead: return "BinRead";
    case DatError::Kind::NotFound: return "NotFound";
    case DatError::Kind::DuplicateId: return "DuplicateId";
    case DatError::Kind::DuplicateNamespacedId: return "DuplicateNamespacedId";
    case DatError::Kind::InvalidMagic: return "InvalidMagic";
    case DatError::Kind::UnsupportedVersion: return "UnsupportedVersion";
    case DatError::Kind::InvalidNamespace: return "InvalidNamespace";
    case DatError::Kind::Corruption: return "Corruption";
    case DatError::Kind::DecompressionFailed: return "DecompressionFailed";
    case DatError::Kind::PathError: return "PathError";
    case DatError::Kind::Other: return "Other";
  }
  return "Other";  // GCOVR_EXCL_LINE: every kind returns above
}

std::string_view reason_name(CorruptionReason reason) {
  switch (reason) {
    case CorruptionReason::Other: return "Other";
    case CorruptionReason::DirectoryLoop: return "DirectoryLoop";
    case CorruptionReason::WalkBudgetExceeded: return "WalkBudgetExceeded";
    case CorruptionReason::BlockSizeNoRoom: return "BlockSizeNoRoom";
    case CorruptionReason::ItemLargerThanFile: return "ItemLargerThanFile";
  }
  return "Other";  // GCOVR_EXCL_LINE: every reason returns above
}

// A short read of the archive means its bytes name data beyond its end;
// any other failure of a read is the system's.
ErrorCategory category(const DatError& error) {
  switch (error.kind()) {
    case DatError::Kind::NotFound:
      return ErrorCategory::NotFound;
    case DatError::Kind::Io:
      return error.get_if<DatError::Io>()->error.kind() ==
                     IoErrorKind::UnexpectedEof
                 ? ErrorCategory::Damaged
                 : ErrorCategory::Io;
    case DatError::Kind::BinRead:
      return error.get_if<DatError::BinRead>()->error.cause.kind() ==
                     IoErrorKind::UnexpectedEof
                 ? ErrorCategory::Damaged
                 : ErrorCategory::Io;
    case DatError::Kind::PathError:
      return ErrorCategory::Io;
    case DatError::Kind::DuplicateId:
    case DatError::Kind::DuplicateNamespacedId:
    case DatError::Kind::InvalidMagic:
    case DatError::Kind::UnsupportedVersion:
    case DatError::Kind::InvalidNamespace:
    case DatError::Kind::Corruption:
    case DatError::Kind::DecompressionFailed:
      return ErrorCategory::Damaged;
    case DatError::Kind::Other:
      break;
  }
  return ErrorCategory::Other;
}

std::string message(const DatError& error) {
  return std::visit(
      [&](const auto& p) -> std::string {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, DatError::Io>) {
          if (p.error.kind() == IoErrorKind::UnexpectedEof) {
            return "a block chain runs past the end of the file";
          }
          return "the archive cannot be read: " +
                 lower_first(one_line(p.error.message()));
        } else if constexpr (std::is_same_v<T, DatError::BinRead>) {
          return read_error_words(p.error);
        } else if constexpr (std::is_same_v<T, DatError::NotFound>) {
          return "no file with id " + id_text(p.id);
        } else if constexpr (std::is_same_v<T, DatError::DuplicateId>) {
          return "file id " + id_text(p.id) + " is listed twice";
        } else if constexpr (std::is_same_v<T, DatError::DuplicateNamespacedId>) {
          return "file id " + id_text(p.file_id) +
                 " is listed twice in namespace " + debug_quote(p.namespace_);
        } else if constexpr (std::is_same_v<T, DatError::InvalidMagic>) {
          return "not a portal archive: unexpected magic " +
                 debug_quote(p.text);
        } else if constexpr (std::is_same_v<T, DatError::UnsupportedVersion>) {
          return "unsupported version " + std::to_string(p.version);
        } else if constexpr (std::is_same_v<T, DatError::InvalidNamespace>) {
          return "invalid namespace " + debug_quote(p.text);
        } else if constexpr (std::is_same_v<T, DatError::Corruption>) {
          return corruption_words(p);
        } else if constexpr (std::is_same_v<T, DatError::DecompressionFailed>) {
          return "a compressed stream ends before the " +
                 std::to_string(p.value) + " bytes it declares";
        } else if constexpr (std::is_same_v<T, DatError::PathError>) {
          return "cannot open " + quoted_path(p.path) + ": " +
                 lower_first(one_line(p.source.message()));
        } else {
          return p.text.empty() ? std::string("failed") : one_line(p.text);
        }
      },
      error.payload());
}

std::string debug_string(const DatError& error) {
  std::string name(kind_name(error.kind()));
  auto one = [&](const std::string& payload) {
    return name + "(" + payload + ")";
  };
  return std::visit(
      [&](const auto& p) -> std::string {
        using T = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<T, DatError::Io>) {
          return one(debug_string(p.error));
        } else if constexpr (std::is_same_v<T, DatError::BinRead>) {
          return one(debug_string(p.error));
        } else if constexpr (std::is_same_v<T, DatError::NotFound> ||
                             std::is_same_v<T, DatError::DuplicateId>) {
          return one(std::to_string(p.id));
        } else if constexpr (std::is_same_v<T, DatError::UnsupportedVersion>) {
          return one(std::to_string(p.version));
        } else if constexpr (std::is_same_v<T, DatError::DecompressionFailed>) {
          return one(std::to_string(p.value));
        } else if constexpr (std::is_same_v<T, DatError::DuplicateNamespacedId>) {
          return name + " { namespace: " + debug_quote(p.namespace_) +
                 ", file_id: " + std::to_string(p.file_id) + " }";
        } else if constexpr (std::is_same_v<T, DatError::PathError>) {
          return name + " { path: " + quoted_path(p.path) +
                 ", source: " + debug_string(p.source) + " }";
        } else {
          return one(debug_quote(p.text));
        }
      },
      error.payload());
}

}  // namespace ostrand_dat
