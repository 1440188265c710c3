#include "ostrand_dat/utils.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::Bytes;
using testing::TempFile;
using testing::bytes;
using testing::pseudo_random;

// The decoder written the plain way, token by token and byte by byte, as
// the format describes it. The fast decoder must agree with it everywhere.
Bytes reference_decompress(std::span<const std::byte> input) {
  if (input.size() < 4) return Bytes(input.begin(), input.end());
  std::uint64_t output_size = 0;
  for (int i = 3; i >= 0; --i) {
    output_size = output_size << 8 | std::to_integer<unsigned>(input[i]);
  }
  const auto data = input.subspan(4);
  Bytes output;
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
        const std::size_t copy = output.size() >= offset ? output.size() - offset : 0;
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

TEST(DecompressLrs, DecodesTokenStreamsAndStopsWhereTheyEnd) {
  struct Case {
    std::string what;
    Bytes input;
    Bytes expected;
  } cases[] = {
      {"three literals then a reference",
       bytes({6, 0, 0, 0, 0x10, 0x61, 0x62, 0x63, 0x03, 0x01}), bytes("abcabc")},
      {"a run cut at the declared size", bytes({6, 0, 0, 0, 0x40, 0x61, 0x01, 0x0F}),
       bytes("aaaaaa")},
      {"a reference before the start copies from position 0",
       bytes({5, 0, 0, 0, 0x20, 0x78, 0x79, 0x03, 0x01}), bytes("xyxxy")},
      {"declared size 0", bytes({0, 0, 0, 0, 0x00, 0x61, 0x62}), {}},
      {"distance 0 ends decoding",
       bytes({8, 0, 0, 0, 0x20, 0x61, 0x62, 0x00, 0x00, 0x63}), bytes("ab")},
      {"distance 0 with a length nibble ends decoding too",
       bytes({8, 0, 0, 0, 0x40, 0x61, 0x00, 0x0F, 0x63}), bytes("a")},
      {"stream ends right after a literal control byte",
       bytes({9, 0, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x00}),
       bytes("abcdefgh")},
      {"stream ends right after a reference control byte",
       bytes({9, 0, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x80}),
       bytes("abcdefgh")},
      {"stream ends inside a reference", bytes({5, 0, 0, 0, 0x40, 0x61, 0x01}),
       bytes("a")},
      {"bytes after the declared size are ignored",
       bytes({2, 0, 0, 0, 0x00, 'a', 'b', 'c', 'd', 0xFF, 0x01, 0x01}), bytes("ab")},
      {"a reference with nothing decoded yet ends decoding",
       bytes({5, 0, 0, 0, 0x80, 0x01, 0x00, 0x61}), {}},
      {"a size larger than the stream gives what the stream holds",
       bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x61}), bytes("a")},
      {"a 12-bit distance reaches past a short output to position 0",
       bytes({4, 0, 0, 0, 0x40, 0x7A, 0xFF, 0xF1}), bytes("zzzz")},
      {"fewer than 4 bytes are returned as they are", bytes({1, 2, 3}),
       bytes({1, 2, 3})},
      {"no bytes at all", {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decompress_lrs(c.input), c.expected);
    EXPECT_EQ(reference_decompress(c.input), c.expected);
  }
}

TEST(DecompressLrs, AgreesWithThePlainDecoderOnAnyInput) {
  for (std::uint32_t seed = 0; seed < 3000; ++seed) {
    // Few distinct byte values make long reference chains likely.
    Bytes input = pseudo_random(4 + seed % 300, seed, seed % 2 ? 256 : 5);
    // Declared sizes from 0 to a little over what the stream can produce.
    const std::uint32_t size = (seed * 7919) % 2000;
    for (int i = 0; i < 4; ++i) input[i] = static_cast<std::byte>(size >> (8 * i));
    SCOPED_TRACE(seed);
    const Bytes fast = decompress_lrs(input);
    ASSERT_EQ(fast, reference_decompress(input));
    ASSERT_LE(fast.size(), size);
  }
}

TEST(CompressLrs, RoundTripsAndShrinksRepetitiveData) {
  Bytes text;
  for (int i = 0; i < 400; ++i) {
    const Bytes line = bytes("line " + std::to_string(i % 37) + " of the sample\n");
    text.insert(text.end(), line.begin(), line.end());
  }
  Bytes far_repeat = pseudo_random(6000, 9);  // repeats lie 6000 bytes back
  far_repeat.insert(far_repeat.end(), far_repeat.begin(), far_repeat.begin() + 6000);
  struct Case {
    std::string what;
    Bytes input;
    std::size_t at_most;  // compressed size bound showing matches are used
  } cases[] = {
      {"empty", {}, 4},
      {"one byte", bytes("x"), 6},
      {"zeros", Bytes(100000), 100000 / 7},
      {"text", text, text.size() / 3},
      {"random", pseudo_random(70000, 1), 70000 * 9 / 8 + 6},
      {"small alphabet", pseudo_random(50000, 2, 3), 50000},
      {"repeats beyond the window", far_repeat, far_repeat.size() * 9 / 8 + 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes packed = compress_lrs(c.input);
    EXPECT_LE(packed.size(), c.at_most);
    ASSERT_EQ(decompress_lrs(packed), c.input);
    EXPECT_EQ(decompress_lrs(packed), reference_decompress(packed));
  }
}

TEST(ReadExactAtCompat, FillsTheWholeBufferOrFailsAtTheEnd) {
  TempFile temp(bytes("0123456789"));
  auto file = File::open_read_only(temp.path());
  ASSERT_TRUE(file);

  Bytes four(4);
  ASSERT_TRUE(read_exact_at_compat(*file, four, 3));
  EXPECT_EQ(four, bytes("3456"));

  Bytes head(3), tail(5);
  ASSERT_TRUE(read_exact_at_compat(*file, head, tail, 2));
  EXPECT_EQ(head, bytes("234"));
  EXPECT_EQ(tail, bytes("56789"));

  Bytes empty;
  EXPECT_TRUE(read_exact_at_compat(*file, empty, 1000));

  for (std::uint64_t offset : {8ull, 10ull, 0xFFFFFFFFFFull}) {
    SCOPED_TRACE(offset);
    auto short_read = read_exact_at_compat(*file, four, offset);
    ASSERT_FALSE(short_read);
    EXPECT_EQ(short_read.error(), IoError::unexpected_eof());
  }
}

}  // namespace
}  // namespace ostrand_dat
