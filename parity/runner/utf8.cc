#include "runner/utf8.h"

#include <cassert>

namespace parity {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool is_continuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// decode_utf8, where lossy_utf8's loop can inline it.
inline Utf8Char decode_at(std::string_view text, std::size_t at) {
  auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {true, lead, 1};
  std::size_t length = 0;
  // The allowed range of the second byte narrows for some leads, which
  // rules out overlong forms, surrogates and values above U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {false, 0, 1};
  }
  // The lead's payload bits: 5, 4 or 3 of them for lengths 2, 3 and 4.
  char32_t code_point = lead & (0x7F >> length);
  // Invariant: text[at, at + i) is a well-formed start of the character.
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return {false, 0, i};
    auto byte = static_cast<unsigned char>(text[at + i]);
    bool ok =
        i == 1 ? (byte >= low && byte <= high) : is_continuation(text[at + i]);
    if (!ok) return {false, 0, i};
    code_point = code_point << 6 | (byte & 0x3F);
  }
  return {true, code_point, length};
}

}  // namespace

Utf8Char decode_utf8(std::string_view text, std::size_t at) {
  assert(at < text.size());
  return decode_at(text, at);
}

bool is_valid_utf8(std::string_view text) {
  // Invariant: text[0, at) is well-formed.
  for (std::size_t at = 0; at < text.size();) {
    Utf8Char c = decode_at(text, at);
    if (!c.valid) return false;
    at += c.length;
  }
  return true;
}

bool is_char_boundary(std::string_view text, std::size_t at) {
  return at == 0 || at >= text.size() || !is_continuation(text[at]);
}

std::string lossy_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  // Invariant: bytes[0, at) has been turned into text, except for the
  // well-formed run bytes[copied, at), which is appended in one piece when
  // an ill-formed sequence or the end is reached. Each step moves at
  // forward by at least one byte.
  std::size_t copied = 0;
  std::size_t at = 0;
  while (at < bytes.size()) {
    Utf8Char c = decode_at(bytes, at);
    if (!c.valid) {
      if (at > copied) text.append(bytes.substr(copied, at - copied));
      // insert, not append: g++ 12 then copies the three bytes in place
      // rather than through a memcpy call, which made text made mostly of
      // ill-formed bytes take twice the instructions.
      text.insert(text.end(), kReplacement.begin(), kReplacement.end());
      copied = at + c.length;
    }
    at += c.length;
  }
  text.append(bytes.substr(copied));
  return text;
}

std::string_view truncate_utf8(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t cut = max_bytes;
  while (!is_char_boundary(text, cut)) --cut;
  return text.substr(0, cut);
}

}  // namespace parity
