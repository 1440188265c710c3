// UTF-8 helpers for the runner's report: showing captured bytes as text and
// shortening thread names without splitting a character.

#ifndef PARITY_RUNNER_UTF8_H_
#define PARITY_RUNNER_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace parity {

// `bytes` with every ill-formed sequence replaced by U+FFFD, one per
// maximal ill-formed subpart (so "\xE2\x82" is one U+FFFD, "\xFF\xFF" two).
std::string lossy_utf8(std::string_view bytes);

// The longest prefix of `text` of at most `max_bytes` bytes that does not
// end inside a multi-byte character.
std::string_view truncate_utf8(std::string_view text, std::size_t max_bytes);

}  // namespace parity

#endif  // PARITY_RUNNER_UTF8_H_
