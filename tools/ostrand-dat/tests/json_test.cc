// --json output parsed back and compared with the text forms; the writer's
// numbers read back exactly.
#include "json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <sstream>

#include "args.h"
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

TEST_F(JsonTest, SoundDumpMatchesTheTextDump) {
  const auto dump = parse_json(
      output_of({"sound", "--dump", "--json", archive_, "0x0A000001"}));
  ASSERT_TRUE(dump);
  // The text dump, rebuilt from the JSON one: both print floats shortest.
  const auto num = [](const Json& j) {
    return std::get<Json::Number>(j.value).text;
  };
  const auto weights = [&](const Json& j) {
    return "priority " + num(j["priority"]) + " probability " +
           num(j["probability"]) + " volume " + num(j["volume"]) + "\n";
  };
  const auto id = [](const Json& j) {
    return format_id(static_cast<std::uint32_t>(j.u64()));
  };
  const auto& hashes = std::get<Json::Array>((*dump)["hashes"].value);
  const auto& sounds = std::get<Json::Array>((*dump)["sounds"].value);
  std::string text = "id: " + id((*dump)["id"]) +
                     "\nhash_key: " + num((*dump)["hash_key"]) +
                     "\nhashes: " + std::to_string(hashes.size()) + "\n";
  for (const Json& hash : hashes) {
    text += "  " + id(hash["key"]) + ": " + weights(hash);
  }
  text += "sounds: " + std::to_string(sounds.size()) + "\n";
  for (const Json& sound : sounds) {
    char kind[16];
    std::snprintf(kind, sizeof kind, "0x%02X",
                  static_cast<unsigned>(sound["kind"].u64()));
    text += "  " + std::string(kind) + ": unknown " + num(sound["unknown"]) +
            ", entries " + std::to_string(sound["entries"].size()) + "\n";
    for (const Json& e : std::get<Json::Array>(sound["entries"].value)) {
      text += "    " + id(e["wave_did"]) + " (" + num(e["wave_did"]) +
              "): " + weights(e);
    }
  }
  EXPECT_EQ(text, output_of({"sound", "--dump", archive_, "0x0A000001"}));
}

TEST_F(JsonTest, SoundDumpHoldsEveryFloatBitForBit) {
  const float inf = std::numeric_limits<float>::infinity();
  const float floats[] = {std::bit_cast<float>(0x7FC00001u),
                          -inf,
                          inf,
                          1e-45f,
                          3.4028235e38f,
                          -0.0f,
                          0.1f,
                          1.0f / 3,
                          16777216.0f};
  SoundTableRecords table{9, -7, {}, {}};
  for (std::uint32_t key = 0; key < 3; ++key) {
    table.hashes.push_back(
        {key, {floats[3 * key], floats[3 * key + 1], floats[3 * key + 2]}});
  }
  ArchiveWriter writer;
  writer.add({.id = 9, .data = encode_sound_table(table)});
  const std::string path = file("sound.dat", *writer.build());
  const auto dump =
      parse_json(output_of({"sound", "--dump", "--json", path, "9"}));
  ASSERT_TRUE(dump);
  EXPECT_EQ((*dump)["hashes"][0]["priority"].str(), "NaN");
  EXPECT_EQ((*dump)["hashes"][0]["probability"].str(), "-Infinity");
  EXPECT_EQ((*dump)["hashes"][0]["volume"].str(), "Infinity");
  const char* names[] = {"priority", "probability", "volume"};
  for (std::size_t i = 0; i < std::size(floats); ++i) {
    const float read = (*dump)["hashes"][i / 3][names[i % 3]].f32();
    SCOPED_TRACE(i);
    if (std::isnan(floats[i])) {
      EXPECT_TRUE(std::isnan(read));
    } else {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(read),
                std::bit_cast<std::uint32_t>(floats[i]));
    }
  }
}

TEST(JsonWriter, EscapesTextAndTheCheckerRejectsWhatIsNotJson) {
  JsonWriter json;
  json.begin_array().value(std::string_view("a\"b\\c\n\x01")).value(-0.0f);
  const std::string text = json.value(1e30f).end_array().take();
  EXPECT_EQ(text, "[\"a\\\"b\\\\c\\u000a\\u0001\",-0,1e+30]");
  ASSERT_TRUE(parse_json(text));
  EXPECT_EQ((*parse_json(text))[0].str(), "a\"b\\c\n\x01");
  for (const char* bad : {"{\"a\":1,}", "[NaN]", "01", "[1] x", "\"\\x\""}) {
    EXPECT_FALSE(parse_json(bad)) << bad;
  }
}

}  // namespace
}  // namespace ostrand_dat::tool
