#include "portal/description.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "ostrand_dat/ostrand_dat.h"
#include "portal/sample_outputs.h"

namespace portal_sample {
namespace {

using gt_standin::Answer;
using gt_standin::AnswerTable;

constexpr std::string_view kSmall =
    "# a small sample\n"                                     // 1
    "block-size 64\n"                                        // 2
    "table 0x20000001 compressed hash-key=-3   # comment\n"  // 3
    "hash 7 0.5 1 0.25\n"                                    // 4
    "sound 0x58 0x0A000111\n"                                // 5
    "sound 0x46\n"                                           // 6
    "sound 0x0E unknown=0x80000000 0 0x0A000300/0.5/0/1\n"   // 7
    "sound 0x58 0x0A000262/0.8/0.7/1 0x0A000263\n"           // 8
    "\n"                                                     // 9
    "table 0x200000A8\n"                                     // 10
    "sound 31 0x0A000519 # the#hash stays in the comment\n"  // 11
    "waves 0x0A000001 0x0A000003 compressed\n"               // 12
    "text 0x25000001 a b#c  # comment\r\n"                   // 13
    "drift 0x20000001 0x46 0x0A000999\n";                    // 14

TEST(ParseDescription, ReadsEveryDirective) {
  auto d = parse_description(kSmall, "s.txt");
  ASSERT_TRUE(d) << d.error();
  EXPECT_EQ(d->block_size, 64u);
  ASSERT_EQ(d->tables.size(), 2u);
  const TableDescription& first = d->tables[0];
  EXPECT_EQ(first.id, 0x20000001u);
  EXPECT_TRUE(first.compress);
  EXPECT_EQ(first.hash_key, -3);
  ASSERT_EQ(first.hashes.size(), 1u);
  EXPECT_EQ(first.hashes[0].first, 7u);
  EXPECT_EQ(first.hashes[0].second,
            (ostrand_dat::file_type::SoundHashData{0.5f, 1, 0.25f}));
  ASSERT_EQ(first.sounds.size(), 4u);
  EXPECT_EQ(first.sounds[1].kind, 0x46u);
  EXPECT_TRUE(first.sounds[1].data.entries.empty());
  const SoundRecord& zero_first = first.sounds[2];
  EXPECT_EQ(zero_first.line, 7u);
  EXPECT_EQ(zero_first.data.unknown, INT32_MIN);
  EXPECT_EQ(zero_first.data.entries,
            (std::vector<ostrand_dat::file_type::SoundEntry>{
                {0, 0, 1, 1}, {0x0A000300, 0.5f, 0, 1}}));
  EXPECT_FALSE(d->tables[1].compress);
  EXPECT_EQ(d->tables[1].sounds.at(0).kind, 31u);

  ASSERT_EQ(d->files.size(), 4u);
  EXPECT_EQ(d->files[0].id, 0x0A000001u);
  EXPECT_EQ(d->files[0].data, wave_stub(0x0A000001));
  EXPECT_EQ(d->files[0].data, "synthetic wave 0x0A000001\n");
  EXPECT_TRUE(d->files[2].compress);
  EXPECT_EQ(d->files[3].id, 0x25000001u);
  EXPECT_EQ(d->files[3].data, "a b#c\n");
  EXPECT_FALSE(d->files[3].compress);
  ASSERT_EQ(d->drifts.size(), 1u);
  EXPECT_EQ(d->drifts[0].wave, 0x0A000999u);
  EXPECT_EQ(d->drifts[0].line, 14u);
}

TEST(ParseDescription, NamesTheLineAndTheFault) {
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {"table 1\n", "x.txt:1: block-size must come before files"},
      {"block-size 4\n",
       "x.txt:1: block size 4 leaves no room after the 4-byte next-block "
       "pointer; use 5 or more"},
      {"block-size 64\nblock-size 64\n", "x.txt:2: block-size given twice"},
      {"# nothing\n", "x.txt:1: no block-size line"},
      {"block-size 64\nsound 1 2\n",
       "x.txt:2: sound outside a table: put it after a table line"},
      {"block-size 64\ntable 1\ntext 2 t\nhash 1 1 1 1\n",
       "x.txt:4: hash outside a table: put it after a table line"},
      {"block-size 64\nsond 1\n",
       "x.txt:2: unknown directive \"sond\"; expected block-size, table, "
       "hash, sound, waves, text or drift"},
      {"block-size 64\ntable 1 packed\n",
       "x.txt:2: unknown table option \"packed\"; expected compressed or "
       "hash-key=N"},
      {"block-size 64\ntable 1 hash-key=2147483648\n",
       "x.txt:2: hash key \"2147483648\" is not an i32 (decimal, or "
       "0x-hexadecimal bits)"},
      {"block-size 64\ntable 1\nsound 0x1G\n",
       "x.txt:3: sound kind \"0x1G\" is not a decimal or 0x-hexadecimal u32"},
      {"block-size 64\ntable 1\nsound 1 2/3\n",
       "x.txt:3: entry \"2/3\" is neither WAVE nor "
       "WAVE/PRIORITY/PROBABILITY/VOLUME"},
      {"block-size 64\ntable 1\nsound 1 2/0.5/x/1\n",
       "x.txt:3: probability \"x\" is not a decimal number"},
      {"block-size 64\ntable 1\nsound 1 unknown=1 unknown=2\n",
       "x.txt:3: unknown= given twice"},
      {"block-size 64\ntable 1\nhash 1 1 1\n",
       "x.txt:3: expected hash KEY PRIORITY PROBABILITY VOLUME"},
      {"block-size 64\ntable 5\nwaves 3 6\n",
       "x.txt:3: file 0x00000005 is already described at line 2"},
      {"block-size 64\nwaves 6 3\n",
       "x.txt:2: last wave 0x00000003 comes before first wave 0x00000006"},
      {"block-size 64\nwaves 0 65536\n",
       "x.txt:2: more than 65536 waves on one line"},
      {"block-size 64\nwaves 1 2 zipped\n",
       "x.txt:2: expected waves FIRST LAST [compressed]"},
      {"block-size 64\ntext 1 compressed\n",
       "x.txt:2: expected text ID [compressed] TEXT"},
      {"block-size 64\ndrift 1 2\n",
       "x.txt:2: expected drift TABLE KIND WAVE|null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto d = parse_description(c.text, "x.txt");
    ASSERT_FALSE(d);
    EXPECT_EQ(d.error(), c.error);
  }
}

TEST(SampleAnswers, FirstWaveOfTheLastRecordWithZeroAsNothing) {
  auto d = parse_description(kSmall, "s.txt");
  ASSERT_TRUE(d) << d.error();
  const AnswerTable expected = {
      {{0x20000001, 0x0E}, {std::nullopt, "s.txt:7"}},
      {{0x20000001, 0x46}, {std::nullopt, "s.txt:6"}},
      {{0x20000001, 0x58}, {0x0A000262, "s.txt:8"}},
      {{0x200000A8, 31}, {0x0A000519, "s.txt:11"}},
  };
  EXPECT_EQ(sample_answers(*d, "s.txt"), expected);

  auto drifted = drift_answers(*d, "s.txt");
  ASSERT_TRUE(drifted) << drifted.error();
  AnswerTable with_drift = expected;
  with_drift[{0x20000001, 0x46}] = {0x0A000999, "s.txt:14 (deliberate drift)"};
  EXPECT_EQ(*drifted, with_drift);

  auto text = answer_table_text(expected, "one\ntwo");
  EXPECT_TRUE(text.starts_with("# one\n# two\n0x20000001 14 null s.txt:7\n"))
      << text;
  auto read = gt_standin::parse_answer_table(text, "answers.txt");
  ASSERT_TRUE(read) << read.error();
  EXPECT_EQ(*read, expected);
}

TEST(DriftAnswers, RefusesDriftsThatAreNotOneDisagreementEach) {
  const std::string head = "block-size 64\ntable 1\nsound 2 0x10\n";
  struct Case {
    std::string drifts;
    std::string error;
  } cases[] = {
      {"drift 9 2 0x11\n", "d.txt:4: drift names a table not described here"},
      {"drift 1 2 0x10\n", "d.txt:4: drift gives the sample's own answer"},
      {"drift 1 3 null\n", "d.txt:4: drift gives the sample's own answer"},
      {"drift 1 2 0x11\ndrift 1 2 null\n",
       "d.txt:5: a second drift for the same table and kind"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.drifts);
    auto d = parse_description(head + c.drifts, "d.txt");
    ASSERT_TRUE(d) << d.error();
    auto drifted = drift_answers(*d, "d.txt");
    ASSERT_FALSE(drifted);
    EXPECT_EQ(drifted.error(), c.error);
  }
}

std::vector<std::byte> bytes_of_text(std::string_view text) {
  const auto bytes = std::as_bytes(std::span(text));
  return {bytes.begin(), bytes.end()};
}

// The archive holds the tables as written; the library, reading it back,
// resolves every described kind as the answers computed from the text do.
TEST(BuildArchive, TheLibraryAgreesWithTheAnswers) {
  auto d = parse_description(kSmall, "s.txt");
  ASSERT_TRUE(d) << d.error();
  auto bytes = build_archive(*d);
  ASSERT_TRUE(bytes) << ostrand_dat::debug_string(bytes.error());

  std::string path =
      (std::filesystem::temp_directory_path() / "sample-XXXXXX").string();
  const int fd = ::mkstemp(path.data());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, bytes->data(), bytes->size()),
            static_cast<ssize_t>(bytes->size()));
  ::close(fd);
  auto db = ostrand_dat::DatDatabase::open(path);
  std::filesystem::remove(path);
  ASSERT_TRUE(db) << ostrand_dat::debug_string(db.error());
  EXPECT_EQ(db->header().block_size, 64u);
  EXPECT_EQ(db->files().size(), 6u);
  EXPECT_TRUE(db->files().find(0x20000001)->is_compressed());
  EXPECT_EQ(db->get_file(0x25000001), bytes_of_text("a b#c\n"));

  for (const auto& [key, answer] : sample_answers(*d, "s.txt")) {
    SCOPED_TRACE(key.second);
    auto data = db->get_file(key.first);
    ASSERT_TRUE(data) << ostrand_dat::debug_string(data.error());
    auto table = ostrand_dat::file_type::SoundTable::unpack(*data);
    ASSERT_TRUE(table) << ostrand_dat::debug_string(table.error());
    EXPECT_EQ(table->resolve_sound(key.second), answer.wave);
  }
}

}  // namespace
}  // namespace portal_sample
