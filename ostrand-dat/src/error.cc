#include "ostrand_dat/error.h"

#include <string>
#include <type_traits>

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

bool is_control(std::uint32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029;
}

std::string quoted_path(const std::filesystem::path& path) {
  return debug_quote(path.native());
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
        if (is_control(c)) {
          out += "\\u{";
          append_hex(out, c, HexCase::kLower);
          out.push_back('}');
        } else {
          out.append(text.substr(0, length));
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
  return "Uncategorized";
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
  return "Other";
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
