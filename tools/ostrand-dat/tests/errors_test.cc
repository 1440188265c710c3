// Every failure is one line that names what it concerns and says what is
// wrong in words; -v adds the library's debug form on the same line.
#include "errors.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tool_test_support.h"

namespace ostrand_dat::tool {
namespace {

using namespace testing;
using ErrorsTest = ToolTest;

// The error the library gives for opening `path`.
DatError open_error(const std::string& path) {
  auto db = DatDatabase::open(path);
  EXPECT_FALSE(db);
  return db ? DatError(DatError::Other{"opened"}) : std::move(db.error());
}

TEST_F(ErrorsTest, ArchiveAndEntryFailuresInPlainWordsThenTheDebugForm) {
  const std::string raw_name = (dir_ / "a\x1b[2J\tb\xff.dat").string();
  const std::string small = file("README.md", Bytes(28, std::byte{'#'}));
  const std::string missing = (dir_ / "missing.dat").string();
  Bytes cut_directory = image_;  // the directory is written last
  cut_directory.resize(cut_directory.size() - 100);
  Bytes no_payload = image_;
  put_u32(no_payload, 324, 4);  // block_size
  const std::string cut = file("cut.dat", cut_directory);
  const std::string tiny_blocks = file("tiny.dat", no_payload);
  const std::string past_end =
      file("past.dat", with_entry_field(image_, kMultiBlock, 8, 0x7FFFFF00));
  const std::string huge =
      file("huge.dat", with_entry_field(image_, kPlain, 12, 0x7FFFFFFF));
  const std::string archive_damage = "not a portal archive, or damaged: ";
  const struct {
    std::vector<std::string> args;
    std::string subject, words;
    std::string debug;  // empty: the library's error for opening the subject
  } cases[] = {
      {{"info", small},
       small,
       "not a portal archive: the file is 28 bytes, its header ends at byte "
       "400",
       ""},
      {{"ls", dir_.string()}, dir_.string(), "is a directory", ""},
      {{"sum", missing}, missing, "does not exist", ""},
      {{"info", cut},
       cut,
       archive_damage + "a block chain runs past the end of the file",
       ""},
      {{"ls", tiny_blocks},
       tiny_blocks,
       archive_damage +
           "the block size leaves no room for data after the block pointer",
       ""},
      {{"cat", archive_, "0x12345"},
       archive_ + ": 0x00012345",
       "no file with id 0x00012345",
       "NotFound(74565)"},
      {{"sound", "--dump", archive_, "9"},
       archive_ + ": 0x00000009",
       "no file with id 0x00000009",
       "NotFound(9)"},
      {{"sound", archive_, "0x0A000002"},
       archive_ + ": 0x0A000002",
       "not a sound table: its data ends inside a record",
       "BinRead(failed to fill whole buffer)"},
      {{"cat", past_end, "0x01000003"},
       past_end + ": 0x01000003",
       "damaged: a block chain runs past the end of the file",
       "Io(Error { kind: UnexpectedEof, message: \"failed to fill whole "
       "buffer\" })"},
      {{"cat", "--raw", huge, "0x01000001"},
       huge + ": 0x01000001",
       "damaged: an item is larger than the whole file",
       debug_text(DatDatabase::open(huge)->get_file(kPlain).error())},
      {{"pack", (dir_ / "new.dat").string(), "1=" + missing},
       missing,
       "does not exist",
       debug_text(IoError::from_os(ENOENT))},
      {{"ls", raw_name}, debug_quote(raw_name), "does not exist", ""},
      {{"ls", huge, "0x0B*"},
       huge + ": 0x0B*",
       "no entry matches",
       ""},
      {{"pack", (dir_ / "no" / "new.dat").string(), "1=" + small},
       (dir_ / "no" / "new.dat").string(),
       "its directory does not exist",
       debug_text(IoError::from_os(ENOENT))},
      {{"pack", dir_.string(), "1=" + small},
       dir_.string(),
       "is a directory",
       debug_text(IoError::from_os(EISDIR))},
      {{"extract", "-C", missing, archive_},
       missing,
       "does not exist",
       debug_text(IoError::from_os(ENOENT))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.subject);
    const ToolRun r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: " + c.subject + ": " + c.words + "\n");
    EXPECT_EQ(r.out, "");
    if (c.words == "no entry matches") continue;  // no library error
    std::string debug = c.debug;
    if (debug.empty()) {
      debug = debug_text(open_error(c.args.back() == c.subject
                                        ? c.subject
                                        : c.args.back()));
    }
    std::vector<std::string> verbose = c.args;
    verbose.insert(verbose.begin() + 1, "--verbose");
    EXPECT_EQ(run(verbose).err,
              "error: " + c.subject + ": " + c.words + " (" + debug + ")\n");
  }
  // The one multi-line debug form, a header field cut short, shows on one
  // line without the library's source file.
  EXPECT_NE(debug_string(open_error(small)).find(".cc:"), std::string::npos);
  EXPECT_EQ(debug_text(open_error(small)),
            "BinRead(failed to fill whole buffer\\n 0: While parsing field "
            "'magic' in DatHeader)");
}

// The library's words, prefixed for an archive that fails to open; the
// system's failures in the tool's own words.
TEST(PlainWords, ArchiveAndEntryWordsFollowTheCategory) {
  const auto read_error = [](IoError cause, std::string context) {
    return DatError(
        ReadError{std::move(cause), {{std::move(context), "x.cc", 1}}});
  };
  const struct {
    DatError error;
    std::string archive_words;  // opening the archive
    std::string entry_words;    // reading an entry
    bool damage;
  } cases[] = {
      {DatError::PathError{"a", IoError::from_os(EACCES)}, "permission denied",
       "cannot be read: permission denied", false},
      {read_error(IoError::from_os(EIO),
                  "While parsing field 'magic' in DatHeader"),
       "input/output error", "cannot be read: input/output error", false},
      {read_error(IoError::unexpected_eof(),
                  "While parsing field 'bit_flags' in DatFileEntry"),
       "not a portal archive, or damaged: the data ends inside a record "
       "(while parsing field 'bit_flags' in DatFileEntry)",
       "the data ends inside a record (while parsing field 'bit_flags' in "
       "DatFileEntry)",
       true},
      {DatError::Corruption{"node at 0x190 loops",
                            CorruptionReason::DirectoryLoop},
       "not a portal archive, or damaged: the directory loops back on itself",
       "the directory loops back on itself", true},
      {DatError::Corruption{"something\nnew"},
       "not a portal archive, or damaged: something new",
       "something new", true},
      {DatError::Other{"what it was"}, "what it was", "what it was", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(debug_string(c.error));
    const Failure opened = archive_failure("a.dat", c.error);
    EXPECT_EQ(opened.words, c.archive_words);
    EXPECT_EQ(opened.debug, debug_text(c.error));
    EXPECT_EQ(entry_problem(c.error).words, c.entry_words);
    EXPECT_EQ(entry_problem(c.error).damage, c.damage);
  }
  EXPECT_EQ(io_words(IoError::from_os(EROFS)), "the file system is read-only");
}

}  // namespace
}  // namespace ostrand_dat::tool
