#include "runner/utf8.h"

namespace parity {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The number of bytes of the well-formed sequence that starts at bytes[at],
// or, as a negative number, the length of the maximal ill-formed subpart
// that starts there (at least 1).
int sequence_length(std::string_view bytes, std::size_t at) {
  auto lead = static_cast<unsigned char>(bytes[at]);
  if (lead < 0x80) return 1;
  int length = 0;
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
    return -1;
  }
  for (int i = 1; i < length; ++i) {
    if (at + i >= bytes.size()) return -i;
    auto byte = static_cast<unsigned char>(bytes[at + i]);
    bool ok = i == 1 ? (byte >= low && byte <= high) : is_continuation(byte);
    if (!ok) return -i;
  }
  return length;
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  // Invariant: bytes[0, at) has been turned into text. Each step moves at
  // forward by at least one byte.
  std::size_t at = 0;
  while (at < bytes.size()) {
    int length = sequence_length(bytes, at);
    if (length > 0) {
      text.append(bytes.substr(at, length));
      at += length;
    } else {
      text.append(kReplacement);
      at += -length;
    }
  }
  return text;
}

std::string_view truncate_utf8(std::string_view text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t cut = max_bytes;
  while (cut > 0 && is_continuation(static_cast<unsigned char>(text[cut]))) {
    --cut;
  }
  return text.substr(0, cut);
}

}  // namespace parity
