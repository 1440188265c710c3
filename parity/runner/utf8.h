// The program's one UTF-8 decoder and what is built on it: decoding one
// character, validity, character boundaries, showing any bytes as text and
// shortening text without splitting a character.

#ifndef PARITY_RUNNER_UTF8_H_
#define PARITY_RUNNER_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace parity {

// What starts at one position of a text: a well-formed character, or an
// ill-formed sequence (a stray or unexpected byte, an overlong form, a
// surrogate, a value above U+10FFFF, or a sequence cut short).
struct Utf8Char {
  bool valid;
  // The character's code point; 0 when not valid.
  char32_t code_point;
  // The character's length; when not valid, the length of the maximal
  // ill-formed subpart (so "\xE2\x82" followed by "z" gives 2). At least 1.
  std::size_t length;
};

// Decodes what starts at text[at]. Requires at < text.size().
Utf8Char decode_utf8(std::string_view text, std::size_t at);

// Whether `text` is well-formed UTF-8 throughout.
bool is_valid_utf8(std::string_view text);

// Whether no character is split at byte `at`: true at 0, at or past the
// end, and before any byte that is not a continuation byte (10xxxxxx).
bool is_char_boundary(std::string_view text, std::size_t at);

// `bytes` with every ill-formed sequence replaced by U+FFFD, one per
// maximal ill-formed subpart (so "\xE2\x82" is one U+FFFD, "\xFF\xFF" two).
std::string lossy_utf8(std::string_view bytes);

// The longest prefix of `text` of at most `max_bytes` bytes that does not
// end inside a multi-byte character.
std::string_view truncate_utf8(std::string_view text, std::size_t max_bytes);

}  // namespace parity

#endif  // PARITY_RUNNER_UTF8_H_
