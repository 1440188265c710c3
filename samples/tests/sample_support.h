// What the tests over the generated sample share: its paths and the
// library's reading of it.
#ifndef SAMPLES_TESTS_SAMPLE_SUPPORT_H_
#define SAMPLES_TESTS_SAMPLE_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"

namespace samples_test {

inline const std::string kSampleDat = SAMPLE_DAT;
inline const std::string kAnswers = SAMPLE_ANSWERS;
inline const std::string kDriftAnswers = SAMPLE_DRIFT_ANSWERS;

// The sample's table `id`, decoded by the library.
inline ostrand_dat::file_type::SoundTable sample_table(
    const ostrand_dat::DatDatabase& db, std::uint32_t id) {
  auto bytes = db.get_file(id);
  EXPECT_TRUE(bytes) << ostrand_dat::debug_string(bytes.error());
  if (!bytes) return {};
  auto table = ostrand_dat::file_type::SoundTable::unpack(*bytes);
  EXPECT_TRUE(table) << ostrand_dat::debug_string(table.error());
  return table ? *table : ostrand_dat::file_type::SoundTable{};
}

// The generated sample archive; nullopt, with a test failure, when it does
// not open.
inline std::optional<ostrand_dat::DatDatabase> open_sample() {
  auto db = ostrand_dat::DatDatabase::open(kSampleDat);
  if (db) return std::move(*db);
  ADD_FAILURE() << ostrand_dat::debug_string(db.error());
  return std::nullopt;
}

}  // namespace samples_test

#endif  // SAMPLES_TESTS_SAMPLE_SUPPORT_H_
