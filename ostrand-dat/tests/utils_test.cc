#include "ostrand_dat/utils.h"
#include "ostrand_dat/writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <string>

#include "coding.h"
#include "greedy_encoder.h"
#include "lrs_stream.h"
#include "plain_reference.h"
#include "test_support.h"

namespace ostrand_dat {
namespace {

using testing::Bytes;
using testing::TempFile;
using testing::bytes;
using testing::pseudo_random;

using plain::decompress;

// Token streams written token by token, for inputs of a chosen shape.
class TokenStream {
 public:
  explicit TokenStream(std::uint32_t declared) {
    bytes_.resize(4);
    store_u32(bytes_.data(), declared);
  }
  TokenStream& literal(std::uint8_t value) {
    next_bit(false);
    bytes_.push_back(static_cast<std::byte>(value));
    return *this;
  }
  // `distance` 0 to 4095, `length` 2 to 17.
  TokenStream& reference(std::size_t distance, std::size_t length) {
    next_bit(true);
    bytes_.push_back(static_cast<std::byte>(distance & 0xFF));
    bytes_.push_back(static_cast<std::byte>((distance >> 8) << 4 | (length - 2)));
    return *this;
  }
  Bytes bytes() const { return bytes_; }

 private:
  void next_bit(bool set) {
    if (bit_ == 0) {
      control_at_ = bytes_.size();
      bytes_.push_back(std::byte{0});
      bit_ = 0x80;
    }
    if (set) bytes_[control_at_] |= static_cast<std::byte>(bit_);
    bit_ >>= 1;
  }

  Bytes bytes_;
  std::size_t control_at_ = 0;
  unsigned bit_ = 0;
};

void set_declared_size(Bytes& input, std::uint32_t size) {
  store_u32(input.data(), size);
}

// The decoders agree on `input` cut at every length from `from` on, and on
// `input` with every declared size from `from_size` to `to_size`.
void expect_agreement_on_cuts(const Bytes& input, std::size_t from,
                              std::uint32_t from_size, std::uint32_t to_size) {
  for (std::size_t length = from; length <= input.size(); ++length) {
    const auto cut = std::span(input).first(length);
    ASSERT_EQ(decompress_lrs(cut), decompress(cut)) << "input cut at " << length;
  }
  Bytes resized = input;
  for (std::uint32_t size = from_size; size <= to_size; ++size) {
    set_declared_size(resized, size);
    ASSERT_EQ(decompress_lrs(resized), decompress(resized)) << "declared " << size;
  }
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
    EXPECT_EQ(decompress(c.input), c.expected);
  }
}

TEST(DecompressLrs, AgreesWithThePlainDecoderOnAnyInput) {
  for (std::uint32_t seed = 0; seed < 3000; ++seed) {
    // Few distinct byte values make long reference chains likely.
    Bytes input = pseudo_random(4 + seed % 300, seed, seed % 2 ? 256 : 5);
    // Declared sizes from 0 to a little over what the stream can produce.
    const std::uint32_t size = (seed * 7919) % 2000;
    set_declared_size(input, size);
    SCOPED_TRACE(seed);
    const Bytes fast = decompress_lrs(input);
    ASSERT_EQ(fast, decompress(input));
    ASSERT_LE(fast.size(), size);
  }
}

// Every short distance with every length, each after enough output for
// the reference to lie inside it, between literal runs of every length up
// to 17; then references reaching before the start. Long enough that the
// middle runs through the wide copies, and cut at every point of both ends.
TEST(DecompressLrs, AgreesWithThePlainDecoderOnEveryShortReference) {
  TokenStream tokens(0xFFFFFFFF);
  std::uint8_t next = 1;
  std::size_t produced = 0;
  for (std::size_t distance = 1; distance <= 17; ++distance) {
    for (std::size_t length = 2; length <= 17; ++length) {
      for (std::size_t i = 0; i < (distance + length) % 18; ++i, ++produced) {
        tokens.literal(next++);
      }
      tokens.reference(distance, length);
      produced += length;
    }
  }
  for (std::size_t distance : {24u, 25u, 100u, 4095u}) {
    tokens.reference(distance, 17);
    produced += 17;
  }
  Bytes input = tokens.bytes();
  const Bytes expected = decompress(input);
  ASSERT_EQ(expected.size(), produced);  // nothing ended decoding early
  EXPECT_EQ(decompress_lrs(input), expected);
  const auto size = static_cast<std::uint32_t>(produced);
  set_declared_size(input, size);
  expect_agreement_on_cuts(input, input.size() - 200, 0, size + 2);
  expect_agreement_on_cuts(input, 4, size, size);
}

// Random token streams of the shapes the fast path handles differently:
// literal runs of 0 to 20, references of short, middling and far distances,
// ones that reach before the start (clamped), and now and then a zero
// distance; declared sizes below, at and above what the tokens produce.
TEST(DecompressLrs, AgreesWithThePlainDecoderOnRandomTokenStreams) {
  for (std::uint32_t seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE(seed);
    testing::Xorshift random(seed * 2654435761u);
    auto next = [&random](std::uint32_t range) { return random.next(range); };
    TokenStream tokens(0);
    std::size_t produced = 0;
    const std::size_t count = 50 + next(600);
    for (std::size_t t = 0; t < count; ++t) {
      const std::size_t run = next(4) == 0 ? next(21) : next(3);
      for (std::size_t i = 0; i < run; ++i, ++produced) {
        tokens.literal(static_cast<std::uint8_t>(next(256)));
      }
      std::size_t distance;
      switch (next(8)) {
        case 0: distance = 1 + next(7); break;
        case 1: distance = 8 + next(16); break;
        case 2: distance = produced + 1 + next(40); break;  // before the start
        case 3: distance = next(200) == 0 ? 0 : 1 + next(4095); break;
        default: distance = 1 + next(std::min<std::uint32_t>(produced + 1, 300)); break;
      }
      const std::size_t length = 2 + next(16);
      tokens.reference(std::min<std::size_t>(distance, 4095), length);
      produced += length;
    }
    Bytes input = tokens.bytes();
    const std::uint32_t sizes[] = {
        static_cast<std::uint32_t>(produced), static_cast<std::uint32_t>(produced / 2),
        static_cast<std::uint32_t>(produced + next(100)), next(200)};
    for (std::uint32_t size : sizes) {
      set_declared_size(input, size);
      const Bytes fast = decompress_lrs(input);
      ASSERT_EQ(fast, decompress(input)) << "declared " << size;
      ASSERT_LE(fast.size(), size);
    }
  }
}

// Streams of another encoder than the library's: greedy, with 2-byte
// matches and matches that overlap their own output. Both decoders must
// give the input back, whole and with the stream cut anywhere near its end.
TEST(DecompressLrs, AgreesWithThePlainDecoderOnAGreedyEncodersStreams) {
  Bytes text;
  for (int i = 0; i < 300; ++i) {
    const Bytes line = bytes("row " + std::to_string(i * i % 97) + ": ab\n");
    text.insert(text.end(), line.begin(), line.end());
  }
  const struct {
    std::string what;
    Bytes input;
  } inputs[] = {
      {"empty", {}},
      {"text", text},
      {"two letters", pseudo_random(9000, 3, 2)},
      {"bytes", pseudo_random(9000, 4)},
      {"zeros", Bytes(5000)},
  };
  for (const auto& c : inputs) {
    for (std::size_t min_match : {2u, 3u}) {
      for (std::size_t depth : {1u, 16u}) {
        SCOPED_TRACE(c.what + ", matches from " + std::to_string(min_match) +
                     ", chains " + std::to_string(depth) + " deep");
        const Bytes packed =
            bench::greedy_compress(c.input, {min_match, depth});
        ASSERT_EQ(decompress_lrs(packed), c.input);
        ASSERT_EQ(decompress(packed), c.input);
        const std::size_t from = packed.size() > 64 ? packed.size() - 64 : 0;
        expect_agreement_on_cuts(packed, from, 0, 0);
      }
    }
  }
}

// Outputs far longer than the first room, so that it grows many times
// while references and runs cross each boundary, with declared sizes that
// end the output before, at and after what the stream holds.
TEST(DecompressLrs, GrowsItsOutputAsTheStreamDecodes) {
  Bytes text;
  for (int i = 0; text.size() < 700000; ++i) {
    const Bytes line =
        bytes("entry " + std::to_string(i * 7919 % 1000) + ": " +
              std::string(static_cast<std::size_t>(i % 23), '=') + "\n");
    text.insert(text.end(), line.begin(), line.end());
  }
  Bytes packed = compress_lrs(text);
  const auto size = static_cast<std::uint32_t>(text.size());
  for (std::uint32_t declared :
       {size, size - 1, size + 1, 65536u, 65537u, 131071u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(declared);
    set_declared_size(packed, declared);
    const Bytes out = decompress_lrs(packed);
    ASSERT_EQ(out.size(), std::min(declared, size));
    ASSERT_TRUE(std::equal(out.begin(), out.end(), text.begin()));
  }
  // A zero run: references of distance 1 throughout, 8.5 bytes out per
  // byte in, so the output outgrows the input many times over.
  const Bytes zeros(1 << 20);
  EXPECT_EQ(decompress_lrs(compress_lrs(zeros)), zeros);
}

// What a stream decoder handed out, and how it went.
struct Streamed {
  Bytes out;
  LrsStreamDecoder::Status status = LrsStreamDecoder::Status::kNeedsInput;
  std::size_t fed = 0;      // bytes fed until decoding ended or stopped
  std::size_t calls = 0;    // calls of the sink
  std::size_t largest = 0;  // largest span handed out
};

// Feeds `input` in pieces of next_size() bytes until the decoder has ended
// or stopped, or `fed_limit` bytes have gone in (then finish()). The sink
// returns false on call number `stop_at` (counted from 1).
Streamed stream_decode(
    std::span<const std::byte> input,
    const std::function<std::size_t()>& next_size,
    std::size_t chunk = LrsStreamDecoder::kChunk,
    std::size_t fed_limit = std::numeric_limits<std::size_t>::max(),
    std::size_t stop_at = 0) {
  Streamed result;
  LrsStreamDecoder decoder(input.size(), chunk);
  auto sink = [&result, stop_at](std::span<const std::byte> bytes) {
    EXPECT_FALSE(bytes.empty());
    result.out.insert(result.out.end(), bytes.begin(), bytes.end());
    result.largest = std::max(result.largest, bytes.size());
    return ++result.calls != stop_at;
  };
  const std::size_t end = std::min(fed_limit, input.size());
  while (!decoder.ended() && result.fed < end) {
    const std::size_t take = std::min(next_size(), end - result.fed);
    result.status = decoder.feed(input.subspan(result.fed, take), sink);
    result.fed += take;
  }
  result.status = decoder.finish(sink);
  return result;
}

// The stream decoder against decompress_lrs and the plain decoder: inputs
// of every kind (through the encoder, random tokens, hostile headers and
// ends), each cut into pieces of one byte, of random small and large sizes
// and whole, with chunks small enough that the window slides many times.
TEST(LrsStreamDecoder, HandsOutWhatDecompressLrsReturnsHoweverTheInputIsCut) {
  Bytes text;
  for (int i = 0; text.size() < 300000; ++i) {
    const Bytes line = bytes("row " + std::to_string(i % 613) + " holds " +
                             std::to_string(i * 31 % 97) + "\n");
    text.insert(text.end(), line.begin(), line.end());
  }
  // References at the far edge of the window, between random literals,
  // so that they reach back across each slide of the window.
  TokenStream far(300000);
  testing::Xorshift random(7);
  for (int i = 0; i < 5000; ++i)
    far.literal(static_cast<std::uint8_t>(random.next(256)));
  for (int i = 0; i < 20000; ++i) {
    far.reference(4095 - random.next(40), 2 + random.next(16));
    far.literal(static_cast<std::uint8_t>(random.next(256)));
  }
  // Runs of every short period, and references before the start.
  TokenStream runs(0xFFFFFFFF);
  runs.literal('a').reference(3, 17).literal('b');
  for (int i = 0; i < 30000; ++i)
    runs.reference(1 + random.next(20), 2 + random.next(16));
  Bytes zero_distance =
      TokenStream(100).literal('x').reference(1, 5).reference(0, 9).bytes();
  zero_distance.push_back(std::byte{0x41});
  struct Case {
    std::string what;
    Bytes input;
  } cases[] = {
      {"compressible text", compress_lrs(text)},
      {"random bytes through the encoder",
       compress_lrs(pseudo_random(150000, 3))},
      {"a long zero run", compress_lrs(Bytes(400000))},
      {"references at the window's far edge", far.bytes()},
      {"short periods and references before the start", runs.bytes()},
      {"random bytes", pseudo_random(20000, 11)},
      {"random bytes of a small alphabet", pseudo_random(20000, 12, 3)},
      {"declared size 0", bytes({0, 0, 0, 0, 0x00, 'a', 'b'})},
      {"declared size smaller than the stream",
       bytes({3, 0, 0, 0, 0x00, 'a', 'b', 'c', 'd'})},
      {"declared size huge",
       bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x40, 'a', 0x01, 0x0F})},
      {"stream ends inside a reference", bytes({9, 0, 0, 0, 0x40, 'a', 0x01})},
      {"stream ends after a control byte",
       bytes({9, 0, 0, 0, 0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 0x80})},
      {"zero distance", zero_distance},
      {"a reference with nothing decoded yet",
       bytes({5, 0, 0, 0, 0x80, 0x01, 0x00, 'a'})},
      {"a reference before the start",
       bytes({5, 0, 0, 0, 0x20, 'x', 'y', 0x03, 0x01})},
      {"only a size prefix", bytes({5, 0, 0, 0})},
      {"three bytes", bytes({1, 2, 3})},
      {"one byte", bytes({9})},
      {"no bytes", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes expected = decompress_lrs(c.input);
    ASSERT_EQ(expected, decompress(c.input));
    testing::Xorshift sizes(static_cast<std::uint32_t>(c.input.size()) + 1);
    const struct {
      const char* what;
      std::function<std::size_t()> next_size;
      std::size_t chunk;
    } cuts[] = {
        {"one byte at a time", [] { return std::size_t{1}; }, 300},
        {"1 to 20 bytes", [&sizes] { return 1 + std::size_t{sizes.next(20)}; },
         256},
        {"1 to 5000 bytes",
         [&sizes] { return 1 + std::size_t{sizes.next(5000)}; }, 1000},
        {"1 to 200000 bytes",
         [&sizes] { return 1 + std::size_t{sizes.next(200000)}; },
         LrsStreamDecoder::kChunk},
        {"whole", [] { return std::numeric_limits<std::size_t>::max(); },
         LrsStreamDecoder::kChunk},
    };
    for (const auto& cut : cuts) {
      SCOPED_TRACE(cut.what);
      const Streamed streamed =
          stream_decode(c.input, cut.next_size, cut.chunk);
      ASSERT_EQ(streamed.out, expected);
      EXPECT_EQ(streamed.status, LrsStreamDecoder::Status::kEnded);
      EXPECT_LE(streamed.largest, cut.chunk + 4095);
    }
  }
}

// Decoding ends on its own, before the stored bytes run out: the decoder
// says so as soon as the token that ends it has arrived, having handed out
// everything, and ignores what follows.
TEST(LrsStreamDecoder, SaysWhenDecodingHasEndedOnItsOwn) {
  Bytes tail(100, std::byte{0x5A});
  struct Case {
    std::string what;
    Bytes input;
    std::size_t ends_after;  // bytes fed when decoding has ended
  } cases[] = {
      {"declared size reached", bytes({2, 0, 0, 0, 0x00, 'a', 'b', 'c', 'd'}),
       7},
      {"declared size 0", bytes({0, 0, 0, 0, 0x00, 'a'}), 4},
      {"zero distance",
       TokenStream(50).literal('a').reference(0, 5).literal('b').bytes(), 8},
      {"a reference with nothing decoded yet",
       TokenStream(50).reference(1, 5).bytes(), 7},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.input.insert(c.input.end(), tail.begin(), tail.end());
    const Streamed streamed =
        stream_decode(c.input, [] { return std::size_t{1}; });
    EXPECT_EQ(streamed.fed, c.ends_after);
    EXPECT_EQ(streamed.status, LrsStreamDecoder::Status::kEnded);
    EXPECT_EQ(streamed.out, decompress_lrs(c.input));
  }
}

// A sink that asks to stop is not called again, and nothing more is
// decoded: what it got is a prefix of the output.
TEST(LrsStreamDecoder, StopsAtOnceWhenTheSinkAsksTo) {
  const Bytes data = pseudo_random(100000, 5, 4);
  const Bytes packed = compress_lrs(data);
  for (std::size_t stop_at : {1u, 2u, 5u}) {
    SCOPED_TRACE(stop_at);
    const Streamed streamed = stream_decode(
        packed, [] { return std::size_t{700}; }, 1000,
        std::numeric_limits<std::size_t>::max(), stop_at);
    EXPECT_EQ(streamed.status, LrsStreamDecoder::Status::kStopped);
    EXPECT_EQ(streamed.calls, stop_at);
    EXPECT_LT(streamed.fed, packed.size());
    ASSERT_LE(streamed.out.size(), data.size());
    EXPECT_TRUE(
        std::equal(streamed.out.begin(), streamed.out.end(), data.begin()));
  }
  // Stored bytes too few for a size prefix go to the sink as they come.
  const Streamed short_input = stream_decode(
      bytes({1, 2, 3}), [] { return std::size_t{1}; }, LrsStreamDecoder::kChunk,
      3, 1);
  EXPECT_EQ(short_input.status, LrsStreamDecoder::Status::kStopped);
  EXPECT_EQ(short_input.out, bytes({1}));
}

// finish() after fewer stored bytes than announced hands out what those
// bytes decode to, as decompress_lrs does for a payload cut there.
TEST(LrsStreamDecoder, FinishHandsOutWhatAShortInputDecodesTo) {
  const Bytes packed = compress_lrs(pseudo_random(50000, 8, 6));
  for (std::size_t length : {4u, 5u, 6u, 7u, 1000u, 30001u}) {
    SCOPED_TRACE(length);
    const Streamed streamed = stream_decode(
        packed, [] { return std::size_t{333}; }, 512, length);
    EXPECT_EQ(streamed.status, LrsStreamDecoder::Status::kEnded);
    EXPECT_EQ(streamed.out, decompress_lrs(std::span(packed).first(length)));
  }
}

// The most output a stored size allows, 1 + 17 per 2-byte token, must not
// wrap around for a stored size announced far larger than what arrives:
// here it would wrap to 17 and cut the output there.
TEST(LrsStreamDecoder, AHugeStoredSizeDoesNotBoundTheOutput) {
  const Bytes packed = compress_lrs(pseudo_random(5000, 9, 6));
  const std::uint64_t tokens = 0xFFFFFFFFFFFFFFFFu / 17 + 1;
  LrsStreamDecoder decoder(4 + 2 * tokens);
  Bytes out;
  auto sink = [&out](std::span<const std::byte> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  };
  // Decoding ends at the declared size, long before the announced end.
  EXPECT_EQ(decoder.feed(packed, sink), LrsStreamDecoder::Status::kEnded);
  EXPECT_EQ(out, decompress_lrs(packed));
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
    EXPECT_EQ(decompress_lrs(packed), decompress(packed));
  }
}

// The library's encoder makes the choices of the plain greedy one with
// 3-byte matches and chains 48 deep, however it finds them: the very same
// stream, on inputs of long and short matches, far repeats, and every
// length near the ends of the 8-byte compares.
TEST(CompressLrs, WritesWhatThePlainGreedyEncoderWrites) {
  Bytes text;
  for (int i = 0; i < 2000; ++i) {
    const Bytes line = bytes("entry " + std::to_string(i * 7919 % 1000) + "\n");
    text.insert(text.end(), line.begin(), line.end());
  }
  Bytes far_repeat = pseudo_random(5000, 9, 16);
  far_repeat.insert(far_repeat.end(), far_repeat.begin(), far_repeat.end());
  std::vector<std::pair<std::string, Bytes>> inputs = {
      {"text", text},
      {"random", pseudo_random(30000, 1)},
      {"three letters", pseudo_random(30000, 2, 3)},
      {"zeros", Bytes(20000)},
      {"a repeat 5000 bytes back", far_repeat},
  };
  for (std::size_t size = 0; size <= 40; ++size) {
    inputs.push_back({"short, " + std::to_string(size), pseudo_random(size, 5, 2)});
  }
  for (const auto& [what, input] : inputs) {
    SCOPED_TRACE(what);
    EXPECT_EQ(compress_lrs(input), bench::greedy_compress(input, {3, 48}));
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

  // Nothing lies at offsets that off_t cannot name, from 2^63 on.
  for (std::uint64_t offset :
       {8ull, 10ull, 0xFFFFFFFFFFull, 0x8000000000000000ull, ~0ull}) {
    SCOPED_TRACE(offset);
    auto short_read = read_exact_at_compat(*file, four, offset);
    ASSERT_FALSE(short_read);
    EXPECT_EQ(short_read.error(), IoError::unexpected_eof());
  }
}

// A vectored read that the end of the file cuts short keeps what it read,
// wherever the cut falls: inside the head, on its end, inside the tail.
TEST(ReadExactAtCompat, ShortVectoredReadsFillUpToTheEndOfTheFile) {
  TempFile temp(bytes("0123456789"));
  auto file = File::open_read_only(temp.path());
  ASSERT_TRUE(file);
  struct Case {
    std::uint64_t offset;
    std::size_t head_size, tail_size;
    const char* head_after;
    const char* tail_after;
  };
  const Case cases[] = {
      {8, 4, 4, "89..", "...."},   // cut inside the head
      {6, 4, 4, "6789", "...."},   // cut where the head ends
      {4, 3, 5, "456", "789.."},   // cut inside the tail
      {7, 0, 5, "", "789.."},      // no head at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    Bytes head(c.head_size, std::byte{'.'}), tail(c.tail_size, std::byte{'.'});
    auto read = read_exact_at_compat(*file, head, tail, c.offset);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error(), IoError::unexpected_eof());
    EXPECT_EQ(head, bytes(c.head_after));
    EXPECT_EQ(tail, bytes(c.tail_after));
  }
}

}  // namespace
}  // namespace ostrand_dat
