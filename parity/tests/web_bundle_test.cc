#include "checks/web_bundle.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "runner/check.h"

namespace parity {
namespace {

constexpr std::string_view kSignature = "pub fn resolve_sound_first";
constexpr std::string_view kRead =
    "resolveSoundFirst must read `self.sounds.get(&sound_enum)` \xE2\x80\x94 "
    "body:\n";
constexpr std::string_view kCall =
    "resolveSoundFirst must call `.first()` \xE2\x80\x94 body:\n";
constexpr std::string_view kReturn =
    "resolveSoundFirst must return `wave_did` \xE2\x80\x94 body:\n";

// The failure message of the check on `source`, or nothing when it passes.
std::optional<std::string> failure_of(std::string_view source) {
  try {
    check_resolve_sound_first_body(source);
  } catch (const CheckFailure& failure) {
    return failure.message();
  }
  return std::nullopt;
}

std::string body(std::string_view inside) {
  return std::string(kSignature) + "(&self, sound_enum: u32) -> Option<u32> {" +
         std::string(inside) + "}";
}

TEST(WebBundle, TheEmbeddedSourcePasses) {
  EXPECT_EQ(failure_of(web_bundle_source()), std::nullopt);
  // One occurrence of the signature, and a real bundle source around it.
  std::string_view source = web_bundle_source();
  EXPECT_EQ(source.find(kSignature), source.rfind(kSignature));
  EXPECT_NE(source.find("struct SoundTable"), std::string_view::npos);
  EXPECT_NE(source.find("resolveSoundFirst"), std::string_view::npos);
}

TEST(WebBundle, NamesTheFirstMissingFragmentWithTheWindow) {
  const std::string full = "self.sounds.get(&sound_enum)?.first()?.wave_did";
  const std::string pad(700, ' ');
  struct Case {
    const char* name;
    std::string source;
    std::optional<std::string> message;  // nothing: passes
  } cases[] = {
      {"all three fragments", "// lead\n" + body(full) + pad, std::nullopt},
      {"no signature", "fn resolve_sound_first() {}",
       "`resolve_sound_first` must exist in apps/ostrand-web/src/lib"},
      {"lookup missing, window shorter at the end", body("x.first().wave_did"),
       std::string(kRead) + body("x.first().wave_did")},
      {"first() and wave_did both missing: only the call is named",
       body("self.sounds.get(&sound_enum)"),
       std::string(kCall) + body("self.sounds.get(&sound_enum)")},
      {"fragments before the signature do not count", full + "\n" + body(""),
       std::string(kRead) + body("")},
      {"fragments in a comment count",
       body("/* self.sounds.get(&sound_enum).first().wave_did */"),
       std::nullopt},
      {"only the first occurrence is examined", body("None") + pad + body(full),
       std::string(kRead) + (body("None") + pad).substr(0, 600)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failure_of(c.source), c.message);
  }
}

TEST(WebBundle, AFragmentRunningPastByte600IsMissing) {
  // Fragment 3 begins at byte 595 of the window, so its last 3 bytes lie
  // beyond it; one byte earlier it fits exactly.
  for (std::size_t at : {595u, 592u}) {
    SCOPED_TRACE(at);
    std::string source = body("self.sounds.get(&sound_enum).first()");
    source.resize(at, ' ');
    source += "wave_did }";
    source += std::string(100, ' ');
    auto message = failure_of(source);
    if (at == 592) {
      EXPECT_EQ(message, std::nullopt);
    } else {
      EXPECT_EQ(message, std::string(kReturn) + source.substr(0, 600));
    }
  }
}

TEST(WebBundle, AWindowEndingInsideACharacterFails) {
  // "é" is two bytes; the window's end falls between them.
  std::string source =
      "// x\n" + body("self.sounds.get(&sound_enum).first().wave_did");
  source.resize(5 + 599, ' ');
  source += "\xC3\xA9 tail";
  auto message = failure_of(source);
  ASSERT_TRUE(message);
  EXPECT_NE(message->find("byte offset 605"), std::string::npos) << *message;
  EXPECT_NE(message->find("not a character boundary"), std::string::npos);
  // Ending just before the character is fine.
  source.insert(5 + 599, " ");
  EXPECT_EQ(failure_of(source), std::nullopt);
}

}  // namespace
}  // namespace parity
