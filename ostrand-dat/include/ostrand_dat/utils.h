// Helpers under the archive reader: the positional exact read and the
// decoder of the archive's LZSS-style compression (the encoder belongs to
// the writer, writer.h).
#ifndef OSTRAND_DAT_UTILS_H_
#define OSTRAND_DAT_UTILS_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "ostrand_dat/error.h"
#include "ostrand_dat/export.h"
#include "ostrand_dat/file.h"

namespace ostrand_dat {

// Fills all of `buffer` with the file's bytes from `offset` on, without
// using or moving any file position. An interrupted read is retried and a
// short one continues where it stopped; any other failure ends the read at
// once with that error, and nothing is read twice. A read that finds the
// end of the file before the buffer is full fails with UnexpectedEof
// ("failed to fill whole buffer").
[[nodiscard]] OSTRAND_DAT_EXPORT std::expected<void, IoError>
read_exact_at_compat(const File& file, std::span<std::byte> buffer,
                     std::uint64_t offset);
// The same over two buffers filled from consecutive file bytes, `head`
// first, with vectored reads: one system call where one suffices.
[[nodiscard]] OSTRAND_DAT_EXPORT std::expected<void, IoError>
read_exact_at_compat(const File& file, std::span<std::byte> head,
                     std::span<std::byte> tail, std::uint64_t offset);

// Decodes a compressed payload: a little-endian u32 output size, then groups
// of one control byte (most significant bit first; set = back-reference)
// and up to eight tokens. A literal is one byte; a back-reference is two
// bytes b1 b2 with distance b1 | (b2 & 0xF0) << 4 and length (b2 & 0x0F) + 2.
// Never fails: a truncated or malformed stream yields what was decoded up to
// the point where decoding stopped, and the output never exceeds the
// declared size. Input shorter than 4 bytes is returned as it is. The
// memory it takes grows with the output decoded, whatever size is declared.
[[nodiscard]] OSTRAND_DAT_EXPORT std::vector<std::byte> decompress_lrs(
    std::span<const std::byte> input);

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_UTILS_H_
