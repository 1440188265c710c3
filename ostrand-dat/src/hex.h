// Hexadecimal digits for the library's messages: "0x"-prefixed upper-case
// offsets in corruption reports, lower-case escapes in quoted texts.
#ifndef OSTRAND_DAT_SRC_HEX_H_
#define OSTRAND_DAT_SRC_HEX_H_

#include <cstdint>
#include <string>

namespace ostrand_dat {

enum class HexCase { kUpper, kLower };

// Appends `value` in hexadecimal, at least `min_digits` digits (zeros in
// front), no prefix.
inline void append_hex(std::string& out, std::uint64_t value, HexCase letters,
                       int min_digits = 1) {
  const char* digits =
      letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  char buffer[16];
  int n = 0;
  do {
    buffer[n++] = digits[value & 0xF];
    value >>= 4;
  } while (value != 0 || n < min_digits);
  while (n > 0) out.push_back(buffer[--n]);
}

// "0x1F0": an offset or id in a message.
inline std::string hex(std::uint64_t value) {
  std::string out = "0x";
  append_hex(out, value, HexCase::kUpper);
  return out;
}

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_HEX_H_
