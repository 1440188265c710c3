// The decoding core of the archive's LZSS-style compression, shared by
// decompress_lrs (one whole buffer) and LrsStreamDecoder (stored bytes in
// pieces). It decodes tokens from an input range into an output range and
// can stop between any two bytes of the input and resume there.
#ifndef OSTRAND_DAT_SRC_LRS_DECODER_H_
#define OSTRAND_DAT_SRC_LRS_DECODER_H_

#include <cstddef>
#include <cstdint>

namespace ostrand_dat::lrs {

// A back-reference token: b1, then b2 whose high nibble extends the
// distance and whose low nibble is the length minus 2.
inline constexpr std::size_t kMinMatch = 2;
inline constexpr std::size_t kMaxMatch = 17;
inline constexpr std::size_t kMaxDistance = 4095;

// The room the fast path wants ahead of the output: decode() hands back
// kNeedRoom rather than decode near a room's end that is not final, so a
// caller that can add room should add at least this much.
inline constexpr std::size_t kFastRoom = 160;

// Where decoding stands inside a group between two calls: the control bits
// not used yet, on top of a marker bit (kGroupDone when the next input byte
// is a control byte), and the first byte of a reference whose second byte
// has not arrived yet.
struct TokenState {
  static constexpr std::uint32_t kGroupDone = 0x80000000u;
  std::uint32_t bits = kGroupDone;
  bool has_half = false;
  std::byte half{};
};

// The ranges decode() works on; it advances `in` and `op`.
//  - [in, in_end): the token stream still to decode.
//  - [op, op_end): the room for output. `room_is_final` says that op_end is
//    where the declared size ends, so that decoding ends there; otherwise
//    decode() asks for more room before it runs short.
//  - `history`: the output before op, as far back as references may reach.
//    While fewer than kMaxDistance bytes precede op, `history` must be the
//    first byte of the whole output (a reference reaching before it copies
//    that byte); otherwise any point at least kMaxDistance bytes back.
// All bytes in [history, op_end) must be addressable: the fast path reads
// a little past op (bytes it then overwrites) and writes up to kFastRoom
// past op without going beyond op_end.
struct Ranges {
  const std::byte* in;
  const std::byte* in_end;
  const std::byte* history;
  std::byte* op;
  std::byte* op_end;
  bool room_is_final;
};

enum class Outcome {
  kNeedInput,  // every input byte is used; a token may be partly read
  kNeedRoom,   // more room is wanted (never when room_is_final)
  kEnded,      // declared size reached, a zero distance, or a reference
               // while the output is still empty: nothing more to decode
};

// Decodes from r.in into r.op until one of the outcomes. Never reads or
// writes outside the ranges above. With input, state and room handed over
// unchanged between calls, the output is the same however the input is cut.
Outcome decode(Ranges& r, TokenState& state);

}  // namespace ostrand_dat::lrs

#endif  // OSTRAND_DAT_SRC_LRS_DECODER_H_
