// The generated sample archive: the goldens, the shapes the description
// promises, and agreement between the library and the answer tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

#include "archive_support.h"
#include "coding.h"
#include "gt-terminal-standin/answer_table.h"
#include "tests/sample_support.h"

namespace samples_test {
namespace {

using ostrand_dat::DatDatabase;

TEST(SampleArchive, ResolvesTheSixGoldens) {
  auto db = open_sample();
  ASSERT_TRUE(db);
  struct Golden {
    std::uint32_t table;
    std::uint32_t kind;
    std::optional<std::uint32_t> wave;
  } goldens[] = {
      {0x20000001, 0x58, 0x0A000262},   {0x20000001, 0x5B, 0x0A000274},
      {0x20000001, 0x46, std::nullopt}, {0x20000001, 0xFFFFFFFF, std::nullopt},
      {0x200000A8, 0x1F, 0x0A000519},   {0x200000A8, 0x46, std::nullopt},
  };
  for (const Golden& g : goldens) {
    SCOPED_TRACE(std::to_string(g.table) + "/" + std::to_string(g.kind));
    EXPECT_EQ(sample_table(*db, g.table).resolve_sound(g.kind), g.wave);
  }
}

TEST(SampleArchive, HasTheShapesItPromises) {
  auto db = open_sample();
  ASSERT_TRUE(db);
  const std::uint32_t block = db->header().block_size;
  EXPECT_EQ(block, 256u);
  EXPECT_GE(ostrand_dat::testing::tree_depth(*db, db->header().root_offset), 3)
      << "root, inner nodes and leaves";
  EXPECT_GT(db->files().size(), 3843u) << "more than two levels can hold";

  const auto compressed = std::count_if(
      db->files().begin(), db->files().end(),
      [](const ostrand_dat::DatFileEntry& e) { return e.is_compressed(); });
  EXPECT_GT(compressed, 1);

  for (std::uint32_t id : {0x20000001u, 0x200000A8u}) {
    SCOPED_TRACE(id);
    const ostrand_dat::DatFileEntry* entry = db->files().find(id);
    ASSERT_NE(entry, nullptr);
    EXPECT_GT(entry->size, block - 4) << "a chain of two blocks or more";
    EXPECT_EQ(entry->is_compressed(), id == 0x200000A8u);

    // The stored records outnumber the distinct keys: kinds and hash keys
    // are repeated, and the table keeps one value per key.
    auto bytes = db->get_file(id);
    ASSERT_TRUE(bytes);
    const ostrand_dat::file_type::SoundTable table = sample_table(*db, id);
    const std::uint32_t hash_records = ostrand_dat::load_u32(bytes->data() + 8);
    const std::uint32_t sound_records = ostrand_dat::load_u32(bytes->data() + 12 + 16 * hash_records);
    EXPECT_GT(hash_records, table.hashes.size());
    EXPECT_GT(sound_records, table.sounds.size());

    // Within the cross-check's range: kinds without a record, kinds that
    // resolve, empty lists, and a first wave of 0 before a real one.
    int absent = 0, resolving = 0, empty = 0, zero_first = 0;
    for (std::uint32_t kind = 0; kind <= 204; ++kind) {
      auto entries = table.entries_for(kind);
      if (!entries) {
        ++absent;
      } else if (entries->empty()) {
        ++empty;
      } else if (table.resolve_sound(kind)) {
        ++resolving;
      } else if (std::any_of(entries->begin(), entries->end(),
                             [](const auto& e) { return e.wave_did != 0; })) {
        ++zero_first;
      }
    }
    EXPECT_GT(absent, 0);
    EXPECT_GT(resolving, 0);
    EXPECT_GT(empty, 0);
    EXPECT_GT(zero_first, 0);
  }
}

// answers.txt comes from the description alone; it must answer exactly the
// kinds each table of the archive holds, each as the library resolves it.
TEST(SampleArchive, TheLibraryAgreesWithEveryAnswerOfTheTable) {
  auto db = open_sample();
  ASSERT_TRUE(db);
  auto answers = gt_standin::read_answer_table(kAnswers);
  ASSERT_TRUE(answers) << answers.error();
  std::map<std::uint32_t, std::size_t> per_table;
  for (const auto& [key, answer] : *answers) ++per_table[key.first];
  EXPECT_TRUE(per_table.contains(0x20000001) && per_table.contains(0x200000A8));
  for (const auto& [id, count] : per_table) {
    SCOPED_TRACE(id);
    const auto table = sample_table(*db, id);
    EXPECT_EQ(table.sounds.size(), count);
    for (const auto& [kind, data] : table.sounds) {
      auto answer = answers->find({id, kind});
      ASSERT_NE(answer, answers->end()) << "kind " << kind;
      EXPECT_EQ(table.resolve_sound(kind), answer->second.wave)
          << "kind " << kind << " from " << answer->second.source.value_or("?");
    }
  }
}

TEST(SampleArchive, TheDriftTableDiffersInExactlyTwoAnswers) {
  auto answers = gt_standin::read_answer_table(kAnswers);
  auto drifted = gt_standin::read_answer_table(kDriftAnswers);
  ASSERT_TRUE(answers) << answers.error();
  ASSERT_TRUE(drifted) << drifted.error();
  int differing = 0;
  for (const auto& [key, answer] : *drifted) {
    auto same = answers->find(key);
    const auto wave = same == answers->end() ? std::nullopt : same->second.wave;
    if (wave != answer.wave) {
      ++differing;
      EXPECT_LE(key.second, 204u) << "a drift the cross-check asks about";
      EXPECT_TRUE(answer.source->ends_with(" (deliberate drift)"));
    }
  }
  EXPECT_EQ(differing, 2);
}

}  // namespace
}  // namespace samples_test
