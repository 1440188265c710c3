// The compressed-payload decoder written the plain way, token by token and
// byte by byte, exactly as the format describes it. The library's decoder
// is tuned for speed; the fuzz targets hold it to this one on every input.
#ifndef OSTRAND_FUZZ_REFERENCE_LRS_H_
#define OSTRAND_FUZZ_REFERENCE_LRS_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrand_fuzz {

// A u32 output size, then groups of a control byte (most significant bit
// first; set = back-reference) and up to eight tokens. Stops at the first
// malformed token, a zero distance, or a back-reference while the output is
// still empty, keeping what was decoded; never exceeds the declared size.
inline std::vector<std::byte> reference_decompress(
    std::span<const std::byte> input) {
  if (input.size() < 4) return {input.begin(), input.end()};
  std::uint64_t output_size = 0;
  for (int i = 3; i >= 0; --i) {
    output_size = output_size << 8 | std::to_integer<unsigned>(input[i]);
  }
  const auto data = input.subspan(4);
  std::vector<std::byte> output;
  unsigned control_byte = 0;
  unsigned control_bit = 0;
  std::size_t idx = 0;
  while (output.size() < output_size && idx < data.size()) {
    if (control_bit == 0) {
      control_byte = std::to_integer<unsigned>(data[idx++]);
      control_bit = 0x80;
    }
    if (control_byte & control_bit) {
      if (idx + 1 >= data.size()) break;
      const unsigned b1 = std::to_integer<unsigned>(data[idx]);
      const unsigned b2 = std::to_integer<unsigned>(data[idx + 1]);
      idx += 2;
      const std::size_t offset = b1 + 256 * (b2 >> 4);
      const std::size_t length = (b2 & 0x0F) + 2;
      if (offset == 0 || output.empty()) break;
      for (std::size_t i = 0; i < length && output.size() < output_size; ++i) {
        const std::size_t copy =
            output.size() >= offset ? output.size() - offset : 0;
        output.push_back(output[copy]);
      }
    } else {
      if (idx >= data.size()) break;
      output.push_back(data[idx++]);
    }
    control_bit >>= 1;
  }
  return output;
}

}  // namespace ostrand_fuzz

#endif  // OSTRAND_FUZZ_REFERENCE_LRS_H_
