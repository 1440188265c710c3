// Error values of the archive library. Nothing in the library throws: every
// operation that can fail returns std::expected with one of these, and the
// printed forms below are the only way the library renders them.
#ifndef OSTRAND_DAT_ERROR_H_
#define OSTRAND_DAT_ERROR_H_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "ostrand_dat/export.h"

namespace ostrand_dat {

// What went wrong with an I/O operation, independent of the error number.
enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  ConnectionRefused,
  ConnectionReset,
  HostUnreachable,
  NetworkUnreachable,
  ConnectionAborted,
  NotConnected,
  AddrInUse,
  AddrNotAvailable,
  NetworkDown,
  BrokenPipe,
  AlreadyExists,
  WouldBlock,
  NotADirectory,
  IsADirectory,
  DirectoryNotEmpty,
  ReadOnlyFilesystem,
  StaleNetworkFileHandle,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  StorageFull,
  NotSeekable,
  QuotaExceeded,
  FileTooLarge,
  ResourceBusy,
  ExecutableFileBusy,
  Deadlock,
  CrossesDevices,
  TooManyLinks,
  InvalidFilename,
  ArgumentListTooLong,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  Other,
  Uncategorized,
};

// The kind's name in upper camel case, as the debug forms print it.
OSTRAND_DAT_EXPORT std::string_view kind_name(IoErrorKind kind);

// An I/O failure: either an operating-system error (with its number and the
// system's message) or a failure with a fixed message, such as the short
// read. Plain value; copying is cheap enough for the error path.
class OSTRAND_DAT_EXPORT IoError {
 public:
  // An operating-system failure: the kind is derived from `code` (an errno
  // value) and the message is the system's description of it.
  static IoError from_os(int code);
  // The error of a positional read that hit the end of the file first.
  static IoError unexpected_eof();

  IoError(IoErrorKind kind, std::string message)
      : kind_(kind), message_(std::move(message)) {}

  IoErrorKind kind() const { return kind_; }
  std::optional<int> os_code() const { return os_code_; }
  const std::string& message() const { return message_; }

  friend bool operator==(const IoError&, const IoError&) = default;

 private:
  IoErrorKind kind_;
  std::optional<int> os_code_;
  std::string message_;
};

// `Os { code: 2, kind: NotFound, message: "No such file or directory" }` or
// `Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }`.
OSTRAND_DAT_EXPORT std::string debug_string(const IoError& error);
// `No such file or directory (os error 2)` or `failed to fill whole buffer`.
OSTRAND_DAT_EXPORT std::string display_string(const IoError& error);

// Where a record decoder was when a field could not be read.
struct ReadContext {
  std::string message;  // "While parsing field 'magic' in DatHeader"
  std::string file;     // the library source file of the field's reader
  std::uint32_t line = 0;

  friend bool operator==(const ReadContext&, const ReadContext&) = default;
};

// The error of record decoding: the failure of the byte source plus, for a
// field of a declared record, one context naming that field. No position.
struct ReadError {
  IoError cause;
  std::vector<ReadContext> contexts;

  friend bool operator==(const ReadError&, const ReadError&) = default;
};

// With no context: the cause's display text alone. With contexts: the cause
// on the first line, then one block per context with its file and line:
//   failed to fill whole buffer
//    0: While parsing field 'magic' in DatHeader
//        at ostrand-dat/src/ostrand_dat.cc:52
OSTRAND_DAT_EXPORT std::string debug_string(const ReadError& error);

// Why an archive's bytes cannot be read as they stand: the reason a
// Corruption carries, for code to switch on. The library raises each of
// them; a Corruption made from a text alone has Other.
enum class CorruptionReason {
  Other,              // no reason given: a Corruption made from a text alone
  DirectoryLoop,      // a directory node is its own ancestor
  WalkBudgetExceeded, // the directory walk would read several times the file
  BlockSizeNoRoom,    // block_size <= 4: no room for payload in a chain block
  ItemLargerThanFile, // an item's size exceeds the whole file's length
};

// The reason's name in upper camel case, `DirectoryLoop`.
[[nodiscard]] OSTRAND_DAT_EXPORT std::string_view reason_name(
    CorruptionReason reason);

// The archive library's error: twelve kinds, each with its own payload. Owns
// everything it carries; moved, never shared.
//
// Kinds this reader never raises: DuplicateId and DuplicateNamespacedId (a
// duplicate id in the directory replaces the earlier entry), InvalidMagic
// and UnsupportedVersion (no header field is validated), InvalidNamespace
// and Other (the writer's own failures use it). They belong to the type and
// its printed forms all the same. DecompressionFailed comes only from a
// strict read (ReadOptions::strict); get_file() never raises it.
class DatError {
 public:
  struct Io {
    IoError error;
  };
  struct BinRead {
    ReadError error;
  };
  struct NotFound {
    std::uint32_t id;
  };
  struct DuplicateId {
    std::uint32_t id;
  };
  struct DuplicateNamespacedId {
    std::string namespace_;  // printed as `namespace`
    std::uint32_t file_id;
  };
  struct InvalidMagic {
    std::string text;
  };
  struct UnsupportedVersion {
    std::uint32_t version;
  };
  struct InvalidNamespace {
    std::string text;
  };
  struct Corruption {
    std::string text;  // the debug form prints this alone
    CorruptionReason reason = CorruptionReason::Other;
  };
  struct DecompressionFailed {
    std::uint32_t value;
  };
  struct PathError {
    std::filesystem::path path;
    IoError source;
  };
  struct Other {
    std::string text;
  };

  // The alternatives stand in the order of the kinds.
  using Payload =
      std::variant<Io, BinRead, NotFound, DuplicateId, DuplicateNamespacedId,
                   InvalidMagic, UnsupportedVersion, InvalidNamespace,
                   Corruption, DecompressionFailed, PathError, Other>;

  enum class Kind {
    Io,
    BinRead,
    NotFound,
    DuplicateId,
    DuplicateNamespacedId,
    InvalidMagic,
    UnsupportedVersion,
    InvalidNamespace,
    Corruption,
    DecompressionFailed,
    PathError,
    Other,
  };

  // The two conversions through which lower failures travel up unchanged.
  DatError(IoError error) : payload_(Io{std::move(error)}) {}
  DatError(ReadError error) : payload_(BinRead{std::move(error)}) {}

  // Any one kind, for example DatError(DatError::NotFound{7}).
  template <typename T>
    requires std::is_constructible_v<Payload, T&&> &&
             (!std::is_same_v<std::remove_cvref_t<T>, DatError>) &&
             (!std::is_same_v<std::remove_cvref_t<T>, IoError>) &&
             (!std::is_same_v<std::remove_cvref_t<T>, ReadError>)
  DatError(T&& payload) : payload_(std::forward<T>(payload)) {}

  Kind kind() const { return static_cast<Kind>(payload_.index()); }
  const Payload& payload() const { return payload_; }

  // The payload when it is of kind T, else nullptr.
  template <typename T>
  const T* get_if() const {
    return std::get_if<T>(&payload_);
  }

 private:
  Payload payload_;
};

// `NotFound(536870913)`, `PathError { path: "/x", source: Os { ... } }`, ...
// Quoted texts escape `"` and `\` with a backslash and write line feed,
// carriage return and tab as `\n`, `\r`, `\t`.
OSTRAND_DAT_EXPORT std::string debug_string(const DatError& error);

// A text in quoted debug form: between double quotes, with `"` and `\`
// escaped by a backslash, line feed, carriage return, tab and NUL written as
// `\n`, `\r`, `\t`, `\0`, every other character that a terminal would not
// show as itself as `\u{hex}` (lower-case hex): controls, format characters
// such as U+200B or U+202E, the line and paragraph separators, private use,
// noncharacters and code points of the unassigned planes 4 to 13. Printable
// text (accents, CJK, emoji, spaces) stays as it is; bytes that are not
// valid UTF-8 are written as `\xHH`.
OSTRAND_DAT_EXPORT std::string debug_quote(std::string_view text);

// The kind's name, `NotFound` for DatError::Kind::NotFound.
OSTRAND_DAT_EXPORT std::string_view kind_name(DatError::Kind kind);

// What a caller may want to tell apart without knowing which kind carries
// which failure.
enum class ErrorCategory {
  NotFound,  // no file with the id asked for
  Damaged,   // the archive's bytes are at fault: cut short, looping, ...
  Io,        // the system failed: the file cannot be opened or read
  Other,     // none of these (the writer's refusals, kinds never raised)
};
[[nodiscard]] OSTRAND_DAT_EXPORT ErrorCategory category(
    const DatError& error);

// What went wrong in plain words, one line, no source location:
// "no file with id 0x20000001", "the directory loops back on itself".
[[nodiscard]] OSTRAND_DAT_EXPORT std::string message(const DatError& error);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_ERROR_H_
