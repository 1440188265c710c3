#include "ostrand_dat/error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "ostrand_dat/ostrand_dat.h"
#include "ostrand_dat/writer.h"
#include "archive_image.h"
#include "archive_support.h"
#include "c_status.h"

namespace ostrand_dat {
namespace {

ReadError header_short_read() {
  return ReadError{IoError::unexpected_eof(),
                   {{"While parsing field 'magic' in DatHeader",
                     "ostrand-dat/src/ostrand_dat.cc", 52}}};
}

// Every kind, the library's own and those it never raises: its debug form,
// its one line of plain words (controls flattened, a leading capital
// lowered), its category, and the code and error number of the C interface.
TEST(DatErrorDebugForm, EveryKindPrintsItsNameAndPayload) {
  const IoError not_found = IoError::from_os(ENOENT);
  using enum ErrorCategory;
  struct Case {
    DatError error;
    std::string expected;
    std::string words;
    ErrorCategory category;
    int c_errno = 0;
  } cases[] = {
      {DatError(IoError::unexpected_eof()),
       "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" })",
       "a block chain runs past the end of the file", Damaged},
      {DatError(not_found),
       "Io(Os { code: 2, kind: NotFound, message: \"No such file or directory\" })",
       "the archive cannot be read: no such file or directory", Io, ENOENT},
      {DatError(IoError(IoErrorKind::Other, "3\tgone")),
       "Io(Error { kind: Other, message: \"3\\tgone\" })",
       "the archive cannot be read: 3 gone", Io},
      {DatError(ReadError{IoError::unexpected_eof(), {}}),
       "BinRead(failed to fill whole buffer)", "the data ends inside a record",
       Damaged},
      {DatError(ReadError{not_found, {}}),
       "BinRead(No such file or directory (os error 2))",
       "the archive cannot be read: no such file or directory", Io},
      {DatError(header_short_read()),
       "BinRead(failed to fill whole buffer\n"
       " 0: While parsing field 'magic' in DatHeader\n"
       "     at ostrand-dat/src/ostrand_dat.cc:52)",
       "the data ends inside a record (while parsing field 'magic' in "
       "DatHeader)",
       Damaged},
      {DatError(DatError::NotFound{0x20000001}), "NotFound(536870913)",
       "no file with id 0x20000001", NotFound},
      {DatError(DatError::DuplicateId{4294967295u}), "DuplicateId(4294967295)",
       "file id 0xFFFFFFFF is listed twice", Damaged},
      {DatError(DatError::DuplicateNamespacedId{"sound\"s", 7}),
       "DuplicateNamespacedId { namespace: \"sound\\\"s\", file_id: 7 }",
       "file id 0x00000007 is listed twice in namespace \"sound\\\"s\"",
       Damaged},
      {DatError(DatError::InvalidMagic{"a\\b"}), "InvalidMagic(\"a\\\\b\")",
       "not a portal archive: unexpected magic \"a\\\\b\"", Damaged},
      {DatError(DatError::UnsupportedVersion{12}), "UnsupportedVersion(12)",
       "unsupported version 12", Damaged},
      {DatError(DatError::InvalidNamespace{"x\ty"}),
       "InvalidNamespace(\"x\\ty\")", "invalid namespace \"x\\ty\"", Damaged},
      {DatError(DatError::Corruption{"line\r\nbreak\x7f"}),
       "Corruption(\"line\\r\\nbreak\\u{7f}\")", "line  break ", Damaged},
      {DatError(DatError::DecompressionFailed{0}), "DecompressionFailed(0)",
       "a compressed stream ends before the 0 bytes it declares", Damaged},
      {DatError(DatError::PathError{"/no/such \"dir\"/client_portal.dat",
                                    not_found}),
       "PathError { path: \"/no/such \\\"dir\\\"/client_portal.dat\", source: "
       "Os { code: 2, kind: NotFound, message: \"No such file or directory\" } }",
       "cannot open \"/no/such \\\"dir\\\"/client_portal.dat\": no such file "
       "or directory",
       Io, ENOENT},
      {DatError(DatError::Other{""}), "Other(\"\")", "failed", Other},
      {DatError(DatError::Other{"two\nlines"}), "Other(\"two\\nlines\")",
       "two lines", Other},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(debug_string(c.error), c.expected);
    EXPECT_EQ(message(c.error), c.words);
    EXPECT_EQ(category(c.error), c.category);
    ostrand_dat_status status{};
    EXPECT_EQ(c_api::fail(&status, c.error),
              static_cast<int>(c.error.kind()) + 1);
    EXPECT_EQ(status.os_errno, c.c_errno);
    EXPECT_STREQ(status.message, c.expected.c_str());
    ostrand_dat_free(status.message);
  }
}

TEST(DatErrorDebugForm, KindsStandInDeclaredOrder) {
  EXPECT_EQ(DatError(IoError::unexpected_eof()).kind(), DatError::Kind::Io);
  EXPECT_EQ(DatError(DatError::PathError{"p", IoError::from_os(EACCES)}).kind(),
            DatError::Kind::PathError);
  EXPECT_EQ(static_cast<int>(DatError(DatError::Other{"x"}).kind()), 11);
}

TEST(DatErrorConversion, ReadErrorKeepsCauseAndContexts) {
  const ReadError original = header_short_read();
  DatError error(original);
  ASSERT_EQ(error.kind(), DatError::Kind::BinRead);
  EXPECT_EQ(error.get_if<DatError::BinRead>()->error, original);
  EXPECT_EQ(error.get_if<DatError::Io>(), nullptr);
}

TEST(DatErrorConversion, IoErrorIsCarriedUnchanged) {
  const IoError original = IoError::from_os(EISDIR);
  DatError error(original);
  ASSERT_NE(error.get_if<DatError::Io>(), nullptr);
  EXPECT_EQ(error.get_if<DatError::Io>()->error, original);
}

// Every reason the library raises, and its other failures, made by a real
// damaged archive: the reason, the category and the plain words, on one line.
TEST(DatErrorWords, EveryReasonFromADamagedArchive) {
  using testing::open_image;
  // An archive of block size `block_size` whose root is whatever `root`
  // lays out (0: none); 2000 bytes at least.
  auto archive = [](std::uint32_t block_size,
                    const std::function<std::uint64_t(ArchiveImage&)>& root) {
    ArchiveImage image(block_size < 5 ? 64 : block_size);
    DatHeader header;
    header.block_size = block_size;
    header.root_offset = static_cast<std::uint32_t>(root(image));
    image.put_header(header);
    if (image.size() < 2000) image.put_u32(2000 - 4, 0);
    return image;
  };
  auto no_root = [](ArchiveImage&) { return std::uint64_t{0}; };
  auto open_error = [](const ArchiveImage& image) {
    auto db = open_image(image);
    return db ? DatError(DatError::Other{"opened"}) : std::move(db.error());
  };
  auto read_error = [](const ArchiveImage& image, std::uint32_t offset,
                       std::uint32_t size) {
    auto db = open_image(image);
    if (!db) return std::move(db.error());
    auto read = db->read_file_data(offset, size);
    return read ? DatError(DatError::Other{"read"}) : std::move(read.error());
  };
  const struct {
    std::string what;
    std::function<DatError()> make;
    std::optional<CorruptionReason> reason;
    ErrorCategory category;
    std::string words;
  } cases[] = {
      {"a node that is its own child",
       [&] {
         return open_error(archive(2048, [](ArchiveImage& image) {
           const std::uint64_t root = image.store_chain(encode_node({}));
           image.put_u32(root + 4, static_cast<std::uint32_t>(root));
           return root;
         }));
       },
       CorruptionReason::DirectoryLoop, ErrorCategory::Damaged,
       "the directory loops back on itself"},
      {"a node chain of two blocks pointing at each other",
       [&] {
         return open_error(archive(5, [](ArchiveImage& image) {
           const std::uint64_t first = image.allocate_block();
           const std::uint64_t second = image.allocate_block();
           image.put_u32(first, static_cast<std::uint32_t>(second));
           image.put_u32(second, static_cast<std::uint32_t>(first));
           return first;
         }));
       },
       CorruptionReason::WalkBudgetExceeded, ErrorCategory::Damaged,
       "the directory names its nodes so often that reading it would take "
       "several times the file"},
      {"block size 4 with a directory",
       [&] {
         return open_error(archive(4, [](ArchiveImage&) { return 400; }));
       },
       CorruptionReason::BlockSizeNoRoom, ErrorCategory::Damaged,
       "the block size leaves no room for data after the block pointer"},
      {"block size 4 and a chain that goes on",
       [&] {
         ArchiveImage image = archive(4, no_root);
         image.put_u32(1000, 2000);
         return read_error(image, 1000, 8);
       },
       CorruptionReason::BlockSizeNoRoom, ErrorCategory::Damaged,
       "the block size leaves no room for data after the block pointer"},
      {"an item larger than the file",
       [&] { return read_error(archive(64, no_root), 400, 1u << 20); },
       CorruptionReason::ItemLargerThanFile, ErrorCategory::Damaged,
       "an item is larger than the whole file"},
      {"a chain past the end of the file",
       [&] { return read_error(archive(64, no_root), 0x7FFFFF00, 8); },
       std::nullopt, ErrorCategory::Damaged,
       "a block chain runs past the end of the file"},
      {"a file cut inside its header",
       [&] {
         ArchiveImage image = archive(64, no_root);
         image.truncate(330);
         return open_error(image);
       },
       std::nullopt, ErrorCategory::Damaged,
       "the data ends inside a record (while parsing field 'file_size' in "
       "DatHeader)"},
      {"a compressed stream that ends early, read strictly",
       [] {
         // Bit 0 set by hand over a payload that declares 9 bytes and holds
         // one literal.
         ArchiveWriter writer(64);
         writer.add({.id = 7,
                     .data = {std::byte{9}, {}, {}, {}, {}, std::byte{'a'}},
                     .extra_flags = 1});
         auto db = testing::open_bytes(*writer.build());
         return db ? db->get_file(7, {.strict = true}).error() : db.error();
       },
       std::nullopt, ErrorCategory::Damaged,
       "a compressed stream ends before the 9 bytes it declares"},
      {"an id not in the directory",
       [&] {
         auto db = open_image(archive(64, no_root));
         return db ? db->get_file(0x2A).error() : db.error();
       },
       std::nullopt, ErrorCategory::NotFound, "no file with id 0x0000002A"},
      {"a path that does not exist",
       [] { return DatDatabase::open("/no/such/dir/x.dat").error(); },
       std::nullopt, ErrorCategory::Io,
       "cannot open \"/no/such/dir/x.dat\": no such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const DatError error = c.make();
    const auto* corruption = error.get_if<DatError::Corruption>();
    ASSERT_EQ(corruption != nullptr, c.reason.has_value())
        << debug_string(error);
    if (corruption != nullptr) {
      EXPECT_EQ(corruption->reason, *c.reason);
    }
    EXPECT_EQ(category(error), c.category);
    EXPECT_EQ(message(error), c.words);
  }
}

TEST(CorruptionReason, EachReasonHasItsName) {
  const std::pair<CorruptionReason, std::string_view> cases[] = {
      {CorruptionReason::Other, "Other"},
      {CorruptionReason::DirectoryLoop, "DirectoryLoop"},
      {CorruptionReason::WalkBudgetExceeded, "WalkBudgetExceeded"},
      {CorruptionReason::BlockSizeNoRoom, "BlockSizeNoRoom"},
      {CorruptionReason::ItemLargerThanFile, "ItemLargerThanFile"},
  };
  for (const auto& [reason, name] : cases) EXPECT_EQ(reason_name(reason), name);
}

TEST(IoError, OsErrorsMapToKindsAndSystemMessages) {
  struct Case {
    int code;
    std::string kind;
    std::string display;
  } cases[] = {
      {ENOENT, "NotFound", "No such file or directory (os error 2)"},
      {EACCES, "PermissionDenied", "Permission denied (os error 13)"},
      {EISDIR, "IsADirectory", "Is a directory (os error 21)"},
      {EINTR, "Interrupted", "Interrupted system call (os error 4)"},
      {EPIPE, "BrokenPipe", "Broken pipe (os error 32)"},
      {EIO, "Uncategorized", "Input/output error (os error 5)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    IoError error = IoError::from_os(c.code);
    EXPECT_EQ(kind_name(error.kind()), c.kind);
    EXPECT_EQ(error.os_code(), c.code);
    EXPECT_EQ(display_string(error), c.display);
  }
  EXPECT_EQ(display_string(IoError::unexpected_eof()), "failed to fill whole buffer");
}

// Each kind prints as a name of its own, one word in upper camel case, and
// each error number the platform layer knows maps to the kind that means
// the same; any other number is Uncategorized.
TEST(IoError, EveryKindHasItsOwnNameAndEveryKnownErrnoItsKind) {
  std::set<std::string_view> names;
  const int kinds = static_cast<int>(IoErrorKind::Uncategorized) + 1;
  for (int k = 0; k < kinds; ++k) {
    const std::string_view name = kind_name(static_cast<IoErrorKind>(k));
    EXPECT_TRUE(names.insert(name).second) << name;
    EXPECT_TRUE(!name.empty() && std::isupper(name[0]) &&
                std::all_of(name.begin(), name.end(), ::isalpha))
        << name;
  }
  const std::pair<int, std::string_view> known[] = {
      {ENOENT, "NotFound"},
      {EPERM, "PermissionDenied"},
      {EACCES, "PermissionDenied"},
      {ECONNREFUSED, "ConnectionRefused"},
      {ECONNRESET, "ConnectionReset"},
      {EHOSTUNREACH, "HostUnreachable"},
      {ENETUNREACH, "NetworkUnreachable"},
      {ECONNABORTED, "ConnectionAborted"},
      {ENOTCONN, "NotConnected"},
      {EADDRINUSE, "AddrInUse"},
      {EADDRNOTAVAIL, "AddrNotAvailable"},
      {ENETDOWN, "NetworkDown"},
      {EPIPE, "BrokenPipe"},
      {EEXIST, "AlreadyExists"},
      {EAGAIN, "WouldBlock"},
      {ENOTDIR, "NotADirectory"},
      {EISDIR, "IsADirectory"},
      {ENOTEMPTY, "DirectoryNotEmpty"},
      {EROFS, "ReadOnlyFilesystem"},
      {ESTALE, "StaleNetworkFileHandle"},
      {EINVAL, "InvalidInput"},
      {ETIMEDOUT, "TimedOut"},
      {ENOSPC, "StorageFull"},
      {ESPIPE, "NotSeekable"},
      {EDQUOT, "QuotaExceeded"},
      {EFBIG, "FileTooLarge"},
      {EBUSY, "ResourceBusy"},
      {ETXTBSY, "ExecutableFileBusy"},
      {EDEADLK, "Deadlock"},
      {EXDEV, "CrossesDevices"},
      {EMLINK, "TooManyLinks"},
      {ENAMETOOLONG, "InvalidFilename"},
      {E2BIG, "ArgumentListTooLong"},
      {EINTR, "Interrupted"},
      {ENOSYS, "Unsupported"},
      {ENOMEM, "OutOfMemory"},
      {EIO, "Uncategorized"},
      {9999, "Uncategorized"},
  };
  for (const auto& [code, kind] : known) {
    SCOPED_TRACE(code);
    EXPECT_EQ(kind_name(IoError::from_os(code).kind()), kind);
  }
  EXPECT_EQ(display_string(IoError::from_os(9999)),
            "Unknown error 9999 (os error 9999)");
}

TEST(DebugQuote, EscapesQuotesBackslashesAndControlCharacters) {
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"\n\r\t", "\"\\n\\r\\t\""},
      {std::string("nul\0end", 7), "\"nul\\0end\""},
      {"\x1b[0m\x7f", "\"\\u{1b}[0m\\u{7f}\""},
      {"\xC2\x85", "\"\\u{85}\""},                 // NEL, a C1 control
      {"em \xE2\x80\x94 dash", "\"em \xE2\x80\x94 dash\""},  // printable UTF-8 stays
      {"bad \xFF byte", "\"bad \\xff byte\""},
      {"\xE2\x80", "\"\\xe2\\x80\""},              // cut-off sequence
      {"\xED\xA0\x80", "\"\\xed\\xa0\\x80\""},     // a surrogate is not UTF-8
      {"\xC3(", "\"\\xc3(\""},                   // no continuation byte
      {"\xC0\x80", "\"\\xc0\\x80\""},           // overlong NUL
      {"\xF4\x90\x80\x80", "\"\\xf4\\x90\\x80\\x80\""},  // above U+10FFFF
      {"\xF8\x88\x80\x80\x80", "\"\\xf8\\x88\\x80\\x80\\x80\""},  // 5-byte form
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(debug_quote(c.text), c.expected);
  }
}

// Characters a terminal would not show as themselves are escaped; the ones
// next to them, and printable text of every script, stay as they are.
TEST(DebugQuote, EscapesWhatATerminalWouldNotShowAndKeepsPrintableText) {
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"soft\u00ADhyphen", "\"soft\\u{ad}hyphen\""},
      {"\u00AC\u00AE", "\"\u00AC\u00AE\""},  // the neighbours are signs
      {"\u200A\u200B\u2010", "\"\u200A\\u{200b}\u2010\""},
      {"\u200D\u200F", "\"\\u{200d}\\u{200f}\""},
      {"abc\u202Efed", "\"abc\\u{202e}fed\""},  // right-to-left override
      {"\u2028\u2029", "\"\\u{2028}\\u{2029}\""},
      {"\u2060\u2066\u206F\u2070", "\"\\u{2060}\\u{2066}\\u{206f}\u2070\""},
      {"\uFEFFbom", "\"\\u{feff}bom\""},
      {"\u0600\u061C\u180E", "\"\\u{600}\\u{61c}\\u{180e}\""},
      {"\U0001D173\U0001BCA3\U00013430", "\"\\u{1d173}\\u{1bca3}\\u{13430}\""},
      {"\uE000\uF8FF\uF900", "\"\\u{e000}\\u{f8ff}\uF900\""},
      {"\uFDCF\uFDD0\uFDEF\uFDF0", "\"\uFDCF\\u{fdd0}\\u{fdef}\uFDF0\""},
      {"\uFFFD\uFFFE\uFFFF", "\"\uFFFD\\u{fffe}\\u{ffff}\""},
      {"\U0001FFFE\U0010FFFF", "\"\\u{1fffe}\\u{10ffff}\""},
      {"\U00050000\U000E0041\U000F0000", "\"\\u{50000}\\u{e0041}\\u{f0000}\""},
      {"\U000E0100\U0003134A", "\"\U000E0100\U0003134A\""},  // kept
      {"caf\u00E9 \u65E5\u672C \U0001F600\uFE0F",
       "\"caf\u00E9 \u65E5\u672C \U0001F600\uFE0F\""},
      {"no\u00A0break\u3000space", "\"no\u00A0break\u3000space\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(debug_quote(c.text), c.expected);
  }
}

}  // namespace
}  // namespace ostrand_dat
