// A little-endian cursor over bytes in memory, the byte source of every
// record decoder (header, directory entries, sound tables).
#ifndef OSTRAND_DAT_RECORD_READER_H_
#define OSTRAND_DAT_RECORD_READER_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "ostrand_dat/error.h"
#include "ostrand_dat/export.h"

namespace ostrand_dat {

// Reads little-endian numbers and raw bytes from the front of a byte span,
// for the record decoders: DatHeader::read, DatFileEntry::read and the
// sound-table readers. A read that needs more bytes than remain consumes
// nothing and fails with the short-read ReadError ("failed to fill whole
// buffer"), which carries no context: record decoders add the field's
// context. Borrows the bytes; they must outlive the reader.
class OSTRAND_DAT_EXPORT RecordReader {
 public:
  explicit RecordReader(std::span<const std::byte> data) : data_(data) {}

  // Bytes consumed so far, and bytes left.
  [[nodiscard]] std::size_t position() const { return pos_; }
  [[nodiscard]] std::size_t remaining() const { return data_.size() - pos_; }

  [[nodiscard]] std::expected<std::uint32_t, ReadError> read_u32();
  [[nodiscard]] std::expected<std::int32_t, ReadError> read_i32();
  // IEEE 754 single precision, taken bit for bit.
  [[nodiscard]] std::expected<float, ReadError> read_f32();
  // Fills `out` with the next out.size() bytes, unchanged.
  [[nodiscard]] std::expected<void, ReadError> read_bytes(
      std::span<std::byte> out);

 private:
  std::span<const std::byte> data_;
  std::size_t pos_ = 0;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_RECORD_READER_H_
