// Any bytes as the reference tool's standard output: split into answer
// lines, and each line (and the whole input) read by the field scanners.
// Answer lines are valid UTF-8, non-empty and trimmed; a field value sits
// between quotes after its key; a wave id agrees with a plain hexadecimal
// parse of the field.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "fuzz_support.h"
#include "runner/utf8.h"
#include "tool_run.h"

namespace {

using ostrand_fuzz::check;

// Whether `text` is well-formed UTF-8: no stray continuation bytes,
// truncated or overlong sequences, surrogates, or values above U+10FFFF.
bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t c = lead;
    if (lead >= 0xF8) {
      return false;
    } else if (lead >= 0xF0) {
      length = 4, c = lead & 0x07;
    } else if (lead >= 0xE0) {
      length = 3, c = lead & 0x0F;
    } else if (lead >= 0xC0) {
      length = 2, c = lead & 0x1F;
    } else if (lead >= 0x80) {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length > 1 && c < kSmallest[length]) return false;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// A few common White_Space characters at either end of a trimmed line.
bool has_outer_space(std::string_view line) {
  for (std::string_view space : {" ", "\t", "\n", "\v", "\f", "\r", "\xC2\x85",
                                 "\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\xA8"}) {
    if (line.starts_with(space) || line.ends_with(space)) return true;
  }
  return false;
}

// The wave id written the plain way: one "0x"/"0X", one "+", then
// hexadecimal digits only, at most 0xFFFFFFFF.
std::optional<std::uint32_t> plain_wave_did(std::string_view value) {
  if (value.starts_with("0x") || value.starts_with("0X")) value.remove_prefix(2);
  if (value.starts_with('+')) value.remove_prefix(1);
  // from_chars itself takes no prefix, sign or space.
  std::uint32_t parsed = 0;
  const char* end = value.data() + value.size();
  auto [stop, error] = std::from_chars(value.data(), end, parsed, 16);
  if (error != std::errc() || stop != end) return std::nullopt;
  return parsed;
}

void check_line(std::string_view line) {
  for (std::string_view key : {"waveDid", "command", "soundTableDid", ""}) {
    const auto value = parity::extract_string_field(line, key);
    if (!value) continue;
    const std::string needle = "\"" + std::string(key) + "\":";
    const std::size_t at = line.find(needle);
    check(at != std::string_view::npos, "a field's key is in the line");
    check(value->find('"') == std::string::npos, "a field value holds no quote");
    check(line.find("\"" + *value + "\"", at + needle.size()) != std::string_view::npos,
          "a field value stands between quotes after its key");
  }
  const auto field = parity::extract_string_field(line, "waveDid");
  const auto wave = parity::extract_wave_did_u32(line);
  check(wave == (field ? plain_wave_did(*field) : std::nullopt),
        "the wave id is the field read as hexadecimal");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view output(reinterpret_cast<const char*>(data), size);

  const std::string decoded = parity::lossy_utf8(output);
  check(is_utf8(decoded), "lossy decoding yields UTF-8");
  if (is_utf8(output)) check(decoded == output, "valid UTF-8 is kept as it is");

  std::size_t line_ends = 0;
  for (char c : output) line_ends += c == '\n';
  const auto lines = parity::answer_lines(output);
  check(lines.size() <= line_ends + 1, "at most one answer per line");
  for (const auto& line : lines) {
    check(!line.empty(), "no empty answer lines");
    check(line.find('\n') == std::string::npos, "an answer is one line");
    check(is_utf8(line), "an answer line is UTF-8");
    check(!has_outer_space(line), "an answer line is trimmed");
    check_line(line);
  }
  check_line(output);
  return 0;
}
