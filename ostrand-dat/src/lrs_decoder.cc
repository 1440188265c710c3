#include "lrs_decoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

namespace ostrand_dat::lrs {
namespace {

constexpr std::uint32_t kTopBit = 0x80000000u;

// Every token of the fast path is copied as kTokenCopy bytes, the longest
// reference, whatever its kind and length: one copy with no branch on
// either. A literal copies from the input, a reference from the output.
// Copied as 16 bytes and one more rather than as two 16-byte halves: the
// second half would mostly read bytes that recent tokens stored past their
// ends, and a load that overlaps a recent store only in part waits for it.
constexpr std::size_t kTokenCopy = kMaxMatch;
// What odd_reference() writes at most, from the start of its token.
constexpr std::size_t kRunWrite = 32;

// Margins of the fast path. A group is at most 17 input bytes (a control
// byte and eight 2-byte references) and at most 8 * 17 = 136 output bytes.
// Its last token starts at most 15 bytes into the group and reads at most
// kTokenCopy bytes from there; it starts at most 7 * 17 = 119 bytes into
// the group's output and writes at most kRunWrite bytes from there. The
// bytes written past a token's end lie beyond the decoded output and are
// overwritten by later tokens or left out of the result.
constexpr std::ptrdiff_t kFastInput = 15 + kTokenCopy;
static_assert(kTokenCopy <= kRunWrite);
static_assert(kFastRoom >= 7 * kMaxMatch + kRunWrite);

// Copies kTokenCopy bytes through registers: every load before any store,
// so the two ranges may overlap.
inline void copy_token(std::byte* to, const std::byte* from) {
  static_assert(kTokenCopy == 17);
  std::byte head[16];
  std::memcpy(head, from, 16);
  const std::byte last = from[16];
  std::memcpy(to, head, 16);
  to[16] = last;
}

inline void copy8(std::byte* to, const std::byte* from) {
  std::uint64_t word;
  std::memcpy(&word, from, 8);
  std::memcpy(to, &word, 8);
}

// Little-endian 8-byte words: one load or store, and a byte swap where the
// machine is big-endian.
inline std::uint64_t load_le64(const std::byte* p) {
  std::uint64_t word;
  std::memcpy(&word, p, 8);
  if constexpr (std::endian::native == std::endian::big)
    word = std::byteswap(word);
  return word;
}

inline void store_le64(std::byte* p, std::uint64_t word) {
  if constexpr (std::endian::native == std::endian::big)
    word = std::byteswap(word);
  std::memcpy(p, &word, 8);
}

// For a run of period 1 to 8, by period: the mask of one period's bytes in a
// little-endian word, the factor that repeats it through the word (copies
// at every multiple of the period, which cannot carry into each other), and
// the largest multiple of the period up to 8, the step at which that word
// repeats in the output.
struct Period {
  std::uint64_t mask;
  std::uint64_t spread;
  std::size_t step;
};
constexpr Period kPeriods[9] = {
    {},
    {0xFF, 0x0101010101010101, 8},
    {0xFFFF, 0x0001000100010001, 8},
    {0xFFFFFF, 0x0001000001000001, 6},
    {0xFFFFFFFF, 0x0000000100000001, 8},
    {0xFFFFFFFFFF, 0x0000010000000001, 5},
    {0xFFFFFFFFFFFF, 0x0001000000000001, 6},
    {0xFFFFFFFFFFFFFF, 0x0100000000000001, 7},
    {0xFFFFFFFFFFFFFFFF, 0x0000000000000001, 8},
};

// The references the fast path does not copy in one piece: a run (the
// distance is shorter than the length, so the copy reads bytes it writes),
// a reference reaching before the start of the output, and the two that
// end decoding (distance 0; a reference while the output is still empty).
// Returns false for the latter. Writes at most kRunWrite bytes.
//
// A run is built from the `distance` bytes before op, already final, and
// stored without reading back what it stores: a load that overlaps recent
// stores only partly waits for them to reach the cache, which costs more
// than the rest of the token.
[[gnu::noinline]] bool odd_reference(std::size_t distance, std::size_t length,
                                     std::byte* op, const std::byte* history) {
  const auto written = static_cast<std::size_t>(op - history);
  if (distance == 0 || written == 0) return false;
  if (distance > written) {
    // Before the start: only while the whole output lies in `history`, so
    // history[0] is its first byte. The source position is clamped to 0
    // until the output has grown to `distance` bytes.
    for (std::size_t i = 0; i < length; ++i) {
      const std::size_t at = written + i;
      op[i] = history[at >= distance ? at - distance : 0];
    }
    return true;
  }
  if (distance > 8) {
    // Period 9 to 16: the first `distance` of the 16 bytes from
    // op - distance are the period; stored at op, and again `distance`
    // further on, where their first `distance` bytes are right too, they
    // make the first 2 * distance bytes, more than the 17 needed.
    std::byte period[16];
    std::memcpy(period, op - distance, 16);
    std::memcpy(op, period, 16);
    std::memcpy(op + distance, period, 16);
    return true;
  }
  // Period 1 to 8: a word of the period repeated, stored every `step`
  // bytes; four stores reach past 17 bytes, as the step is at least 5.
  const Period& period = kPeriods[distance];
  const std::uint64_t word =
      (load_le64(op - distance) & period.mask) * period.spread;
  for (std::size_t i = 0; i < 4; ++i) store_le64(op + i * period.step, word);
  return true;
}

// A reference's second byte b2 looked up rather than taken apart: the high
// bits of the distance, (b2 & 0xF0) << 4, and the length, (b2 & 0x0F) + 2.
// Two loads from these small tables cost fewer instructions per token than
// the shifts and masks.
constexpr auto kHighDistance = [] {
  std::array<std::uint16_t, 256> table{};
  for (std::size_t b2 = 0; b2 < table.size(); ++b2) {
    table[b2] = static_cast<std::uint16_t>((b2 & 0xF0) << 4);
  }
  return table;
}();
constexpr auto kLength = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t b2 = 0; b2 < table.size(); ++b2) {
    table[b2] = static_cast<std::uint8_t>((b2 & 0x0F) + kMinMatch);
  }
  return table;
}();

// One token of a group whose control bit is `is_reference`, with no branch
// on its kind: both kinds are one copy of kTokenCopy bytes, from the input
// for a literal and from the output for a reference, and then advance op by
// 1 or by the length. Only the odd references branch away. kNearStart: the
// output may still be shorter than kMaxDistance, so a reference may reach
// before its start.
template <bool kNearStart>
[[gnu::always_inline]] inline bool fast_token(std::size_t is_reference,
                                              const std::byte*& in,
                                              std::byte*& op,
                                              const std::byte* history) {
  const auto b1 = std::to_integer<std::size_t>(in[0]);
  const auto b2 = std::to_integer<std::size_t>(in[1]);
  const std::size_t distance = b1 | kHighDistance[b2];
  const std::size_t length = kLength[b2];
  // All ones for a reference, else zero: the selects below are masks, as
  // the kind of a token is as good as random and a branch on it would be
  // mispredicted about as often as not.
  const std::size_t mask = 0 - is_reference;
  // The top bit of `odd` is set for a reference whose distance is shorter
  // than its length (a run, or distance 0) or, near the start, longer than
  // the output so far.
  std::size_t odd = distance - length;
  if constexpr (kNearStart) {
    odd |= static_cast<std::size_t>(op - history) - distance;
  }
  if ((odd & mask) >> (sizeof(std::size_t) * 8 - 1)) [[unlikely]] {
    if (!odd_reference(distance, length, op, history)) return false;
    op += length;
    in += 2;
    return true;
  }
  // The source of the copy as a number: the input for a literal, else the
  // output `distance` back (inside `history` unless near the start, where
  // it is only taken for a reference).
  const auto literal_from = reinterpret_cast<std::uintptr_t>(in);
  const auto reference_from = reinterpret_cast<std::uintptr_t>(op) - distance;
  const auto from = literal_from ^ ((literal_from ^ reference_from) & mask);
  copy_token(op, reinterpret_cast<const std::byte*>(from));
  op += 1 + ((length - 1) & mask);
  in += 1 + is_reference;
  return true;
}

// Decodes the whole group at `in` (its control byte first); false when a
// token ends decoding, with `in` and `op` then undefined.
template <bool kNearStart>
[[gnu::always_inline]] inline bool fast_group(const std::byte*& in,
                                              std::byte*& op,
                                              const std::byte* history) {
  const auto control = std::to_integer<std::size_t>(*in++);
  return fast_token<kNearStart>(control >> 7 & 1, in, op, history) &&
         fast_token<kNearStart>(control >> 6 & 1, in, op, history) &&
         fast_token<kNearStart>(control >> 5 & 1, in, op, history) &&
         fast_token<kNearStart>(control >> 4 & 1, in, op, history) &&
         fast_token<kNearStart>(control >> 3 & 1, in, op, history) &&
         fast_token<kNearStart>(control >> 2 & 1, in, op, history) &&
         fast_token<kNearStart>(control >> 1 & 1, in, op, history) &&
         fast_token<kNearStart>(control & 1, in, op, history);
}

// The reference at `in` (its two bytes) to be stored at `at`, when the
// whole of it lies in the output: copied, and its length returned; 0 when
// it is one the token path must take (a run, distance 0, or one reaching
// before the start of the output), with nothing written.
inline std::size_t whole_reference(const std::byte* in, std::byte* at,
                                   const std::byte* history) {
  const auto b1 = std::to_integer<std::size_t>(in[0]);
  const auto b2 = std::to_integer<std::size_t>(in[1]);
  const std::size_t distance = b1 | kHighDistance[b2];
  const std::size_t length = kLength[b2];
  if (distance < length || distance > static_cast<std::size_t>(at - history)) {
    return 0;
  }
  // Reads only bytes before `at`, as the distance is at least the length.
  copy_token(at, at - distance);
  return length;
}

// A group of at most one reference (`control` has one bit set, or none),
// as in data that hardly compresses: the literals before the reference,
// the reference and the literals after it, each one copy rather than a
// token each. Returns false, having consumed nothing, when the reference
// is one the token path must take. What a copy writes past its end, the
// next copy overwrites or lies beyond the output. (Taking groups of two
// references here too was slower: the test on the group mispredicts more.)
inline bool sparse_group(unsigned control, const std::byte*& in,
                         std::byte*& op, const std::byte* history) {
  copy8(op, in + 1);
  if (control == 0) {
    op += 8;
    in += 9;
    return true;
  }
  // control is the group's bits from the top, as an 8-bit number.
  const auto before = static_cast<std::size_t>(
      std::countl_zero(static_cast<std::uint8_t>(control)));
  std::byte* const at = op + before;
  const std::size_t length = whole_reference(in + 1 + before, at, history);
  if (length == 0) return false;
  copy8(at + length, in + 3 + before);
  op += 7 + length;
  in += 10;
  return true;
}

}  // namespace

// Two paths. The fast one decodes whole groups while kFastInput input
// bytes and kFastRoom bytes of room lie ahead, so that it checks neither
// per token. The careful one decodes one token at a time and checks every
// byte; it runs near the end of the input or the room, and to finish a
// group that a previous call left half done.
Outcome decode(Ranges& r, TokenState& state) {
  const std::byte* in = r.in;
  const std::byte* const in_end = r.in_end;
  const std::byte* const history = r.history;
  std::byte* op = r.op;
  std::byte* const op_end = r.op_end;
  // Where the fast path must stop; a group may begin before these.
  const std::byte* const in_fast =
      in_end - in > kFastInput ? in_end - kFastInput : in;
  std::byte* const op_fast =
      op_end - op > static_cast<std::ptrdiff_t>(kFastRoom) ? op_end - kFastRoom
                                                           : op;
  Outcome outcome;
  // Invariant: [history, op) is the output so far (its last kMaxDistance
  // bytes at least), op <= op_end and in <= in_end. Each exit stores in and
  // op back, so the next call resumes where this one stopped.
  for (;;) {
    if (state.bits == TokenState::kGroupDone) {
      // At a group boundary. Each fast step uses at most kFastInput input
      // bytes and kFastRoom bytes of room, so the loop needs no other test.
      bool going = true;
      while (in < in_fast && op < op_fast && going) {
        const auto control = std::to_integer<unsigned>(*in);
        if ((control & (control - 1)) == 0 &&
            sparse_group(control, in, op, history)) {
          // Done: at most one reference, as in data that hardly compresses.
        } else if (op - history >= static_cast<std::ptrdiff_t>(kMaxDistance)) {
          going = fast_group<false>(in, op, history);
        } else {
          going = fast_group<true>(in, op, history);
        }
      }
      if (!going) {
        outcome = Outcome::kEnded;
        break;
      }
      if (op == op_end) {
        outcome = r.room_is_final ? Outcome::kEnded : Outcome::kNeedRoom;
        break;
      }
      if (in == in_end) {
        outcome = Outcome::kNeedInput;
        break;
      }
      if (!r.room_is_final &&
          op_end - op < static_cast<std::ptrdiff_t>(kFastRoom)) {
        outcome = Outcome::kNeedRoom;
        break;
      }
      // The careful path starts a group. A control byte is read only when
      // a token is about to be decoded.
      state.bits = std::to_integer<std::uint32_t>(*in++) << 24 | 1u << 23;
    }
    if (op == op_end) {
      outcome = r.room_is_final ? Outcome::kEnded : Outcome::kNeedRoom;
      break;
    }
    if ((state.bits & kTopBit) == 0) {
      if (in == in_end) {
        outcome = Outcome::kNeedInput;
        break;
      }
      *op++ = *in++;
    } else {
      // Room for the whole reference unless the room ends the output.
      if (!r.room_is_final &&
          op_end - op < static_cast<std::ptrdiff_t>(kMaxMatch)) {
        outcome = Outcome::kNeedRoom;
        break;
      }
      if (!state.has_half) {
        if (in == in_end) {
          outcome = Outcome::kNeedInput;
          break;
        }
        state.half = *in++;
        state.has_half = true;
      }
      if (in == in_end) {
        outcome = Outcome::kNeedInput;
        break;
      }
      const auto b1 = std::to_integer<std::size_t>(state.half);
      const auto b2 = std::to_integer<std::size_t>(*in++);
      state.has_half = false;
      const std::size_t distance = b1 | (b2 & 0xF0) << 4;
      const auto written = static_cast<std::size_t>(op - history);
      // Distance 0 ends the stream; with nothing decoded yet there is no
      // byte to copy, so such a reference ends it too.
      if (distance == 0 || written == 0) {
        outcome = Outcome::kEnded;
        break;
      }
      const std::size_t length = std::min(
          (b2 & 0x0F) + kMinMatch, static_cast<std::size_t>(op_end - op));
      // Byte by byte, the source position clamped to the first output byte
      // while the output is shorter than the distance (then `history` is
      // that byte).
      for (std::size_t i = 0; i < length; ++i) {
        const std::size_t at = written + i;
        op[i] = history[at >= distance ? at - distance : 0];
      }
      op += length;
    }
    state.bits <<= 1;
  }
  r.in = in;
  r.op = op;
  return outcome;
}

}  // namespace ostrand_dat::lrs
