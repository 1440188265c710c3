// A little-endian cursor over bytes in memory, the byte source of every
// record decoder (header, directory entries, sound tables).
#ifndef OSTRAND_DAT_RECORD_READER_H_
#define OSTRAND_DAT_RECORD_READER_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <utility>

#include "ostrand_dat/error.h"

namespace ostrand_dat {

// Reads numbers from the front of a byte span. A read that needs more bytes
// than remain consumes nothing and fails with the short-read ReadError,
// which carries no context: record decoders add the field's context.
// Borrows the bytes; they must outlive the reader.
class RecordReader {
 public:
  explicit RecordReader(std::span<const std::byte> data) : data_(data) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return data_.size() - pos_; }

  std::expected<std::uint32_t, ReadError> read_u32() {
    if (remaining() < 4) return std::unexpected(short_read());
    std::uint32_t value = std::to_integer<std::uint32_t>(data_[pos_]) |
                          std::to_integer<std::uint32_t>(data_[pos_ + 1]) << 8 |
                          std::to_integer<std::uint32_t>(data_[pos_ + 2]) << 16 |
                          std::to_integer<std::uint32_t>(data_[pos_ + 3]) << 24;
    pos_ += 4;
    return value;
  }

  std::expected<std::int32_t, ReadError> read_i32() {
    auto value = read_u32();
    if (!value) return std::unexpected(std::move(value.error()));
    return static_cast<std::int32_t>(*value);
  }

  // IEEE 754 single precision, taken bit for bit.
  std::expected<float, ReadError> read_f32() {
    auto bits = read_u32();
    if (!bits) return std::unexpected(std::move(bits.error()));
    float value;
    std::memcpy(&value, &*bits, sizeof value);
    return value;
  }

  // Fills `out` with the next out.size() bytes, unchanged.
  std::expected<void, ReadError> read_bytes(std::span<std::byte> out) {
    if (remaining() < out.size()) return std::unexpected(short_read());
    if (!out.empty()) std::memcpy(out.data(), data_.data() + pos_, out.size());
    pos_ += out.size();
    return {};
  }

 private:
  static ReadError short_read() { return ReadError{IoError::unexpected_eof(), {}}; }

  std::span<const std::byte> data_;
  std::size_t pos_ = 0;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_RECORD_READER_H_
