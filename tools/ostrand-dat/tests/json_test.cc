// --json output parsed back and compared with the text forms; the writer's
// numbers read back exactly.
#include "json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <sstream>

#include "args.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "tool_test_support.h"

namespace ostrand_dat::tool {
namespace {

using namespace testing;
using JsonTest = ToolTest;

// The text form's lines split at `separators`.
std::vector<std::vector<std::string>> fields(const std::string& text,
                                             const std::string& separators) {
  std::vector<std::vector<std::string>> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.emplace_back();
    std::size_t start = 0;
    for (std::size_t at;
         (at = line.find_first_of(separators, start)) != line.npos;
         start = at + 1) {
      if (at > start) lines.back().push_back(line.substr(start, at - start));
    }
    lines.back().push_back(line.substr(start));
  }
  return lines;
}

TEST_F(JsonTest, InfoAndLsCarryWhatTheTextFormsDo) {
  const auto info = parse_json(output_of({"info", "--json", archive_}));
  ASSERT_TRUE(info);
  const auto text_info = fields(output_of({"info", archive_}), ":");
  ASSERT_EQ(info->size(), text_info.size());  // 17 fields and files
  for (const auto& line : text_info) {
    SCOPED_TRACE(line[0]);
    const Json& value = (*info)[line[0]];
    if (line[0] == "version_string") {
      EXPECT_EQ(" " + value.str(), line[1]);
    } else {
      EXPECT_EQ(" " + std::to_string(value.u64()), line[1]);
    }
  }

  const auto text_ls = fields(output_of({"ls", archive_}), "\t");
  std::istringstream lines(output_of({"ls", "--json", archive_}));
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_LT(count, text_ls.size());
    const auto entry = parse_json(line);
    ASSERT_TRUE(entry) << line;
    EXPECT_EQ(entry->size(), 6u);
    const auto& row = text_ls[count];
    EXPECT_EQ(format_id(static_cast<std::uint32_t>((*entry)["id"].u64())),
              row[0]);
    const char* names[] = {"bit_flags", "offset", "size", "timestamp",
                           "version"};
    for (std::size_t i = 0; i < 5; ++i) {
      EXPECT_EQ(std::to_string((*entry)[names[i]].u64()), row[i + 1])
          << names[i];
    }
  }
  EXPECT_EQ(count, 6u);
}

TEST_F(JsonTest, SoundDumpHoldsEveryFloatBitForBit) {
  const float nan = std::bit_cast<float>(0x7FC00001u);
  const float inf = std::numeric_limits<float>::infinity();
  SoundTableRecords table{0x0A000009, -7, {}, {}};
  table.hashes = {{9, {nan, -inf, inf}}, {1, {1e-45f, 3.4028235e38f, -0.0f}}};
  table.sounds = {{0x58, {{{0x0A000519, 0.1f, 1.0f / 3, 16777216.0f}}, -5}},
                  {0x02, {{}, 0}}};
  ArchiveWriter writer;
  writer.add({.id = 0x0A000009, .data = encode_sound_table(table)});
  const std::string path = file("sound.dat", *writer.build());
  const auto unpacked =
      file_type::SoundTable::unpack(encode_sound_table(table));
  ASSERT_TRUE(unpacked);

  const auto dump =
      parse_json(output_of({"sound", "--dump", "--json", path, "0x0A000009"}));
  ASSERT_TRUE(dump);
  EXPECT_EQ((*dump)["id"].u64(), 0x0A000009u);
  EXPECT_EQ((*dump)["hash_key"].i64(), -7);
  const auto same = [](float json, float table) {
    return std::isnan(table) ? std::isnan(json)
                             : std::bit_cast<std::uint32_t>(json) ==
                                   std::bit_cast<std::uint32_t>(table);
  };
  const Json& hashes = (*dump)["hashes"];
  ASSERT_EQ(hashes.size(), 2u);
  EXPECT_EQ(hashes[0]["key"].u64(), 1u);  // ascending keys
  EXPECT_EQ(hashes[1]["priority"].str(), "NaN");
  EXPECT_EQ(hashes[1]["probability"].str(), "-Infinity");
  for (std::size_t i = 0; i < 2; ++i) {
    const auto& hash =
        unpacked->hashes.at(static_cast<std::uint32_t>(hashes[i]["key"].u64()));
    EXPECT_TRUE(same(hashes[i]["priority"].f32(), hash.priority));
    EXPECT_TRUE(same(hashes[i]["probability"].f32(), hash.probability));
    EXPECT_TRUE(same(hashes[i]["volume"].f32(), hash.volume));
  }
  const Json& sounds = (*dump)["sounds"];
  ASSERT_EQ(sounds.size(), 2u);
  EXPECT_EQ(sounds[0]["kind"].u64(), 2u);
  EXPECT_EQ(sounds[0]["entries"].size(), 0u);
  EXPECT_EQ(sounds[1]["unknown"].i64(), -5);
  const Json& entry = sounds[1]["entries"][0];
  EXPECT_EQ(entry["wave_did"].u64(), 0x0A000519u);
  EXPECT_TRUE(same(entry["priority"].f32(), 0.1f));
  EXPECT_TRUE(same(entry["probability"].f32(), 1.0f / 3));
  EXPECT_TRUE(same(entry["volume"].f32(), 16777216.0f));

  // The same table as the text dump shows it.
  const auto text_dump = output_of({"sound", "--dump", archive_, "0x0A000001"});
  const auto json_dump = parse_json(
      output_of({"sound", "--dump", "--json", archive_, "0x0A000001"}));
  ASSERT_TRUE(json_dump);
  EXPECT_NE(text_dump.find("hashes: " +
                           std::to_string((*json_dump)["hashes"].size())),
            std::string::npos);
  EXPECT_NE(text_dump.find("sounds: " +
                           std::to_string((*json_dump)["sounds"].size())),
            std::string::npos);
  EXPECT_EQ((*json_dump)["sounds"][1]["entries"][1]["wave_did"].u64(),
            0x0A000600u);
}

TEST(JsonWriter, WritesValidJsonForEveryValue) {
  JsonWriter json;
  json.begin_object().key("text").value(std::string_view("a\"b\\c\n\x01"));
  json.key("list").begin_array().value(std::uint64_t{18446744073709551615u});
  json.value(std::int64_t{-9223372036854775807 - 1}).value(-0.0f).value(1e30f);
  json.begin_object().end_object().begin_array().end_array().end_array();
  const std::string text = json.end_object().take();
  EXPECT_EQ(
      text,
      "{\"text\":\"a\\\"b\\\\c\\u000a\\u0001\",\"list\":[18446744073709551615,"
      "-9223372036854775808,-0,1e+30,{},[]]}");
  const auto parsed = parse_json(text);
  ASSERT_TRUE(parsed);
  EXPECT_EQ((*parsed)["text"].str(), "a\"b\\c\n\x01");
  EXPECT_FALSE(parse_json("{\"a\":1,}"));  // the checker rejects bad JSON
  EXPECT_FALSE(parse_json("[NaN]"));
  EXPECT_FALSE(parse_json("01"));
}

}  // namespace
}  // namespace ostrand_dat::tool
