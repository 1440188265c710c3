#include "ostrand_dat/record_reader.h"

#include <cstring>
#include <utility>

#include "coding.h"

namespace ostrand_dat {
namespace {

ReadError short_read() { return ReadError{IoError::unexpected_eof(), {}}; }

}  // namespace

std::expected<std::uint32_t, ReadError> RecordReader::read_u32() {
  if (remaining() < 4) return std::unexpected(short_read());
  const std::uint32_t value = load_u32(data_.data() + pos_);
  pos_ += 4;
  return value;
}

std::expected<std::int32_t, ReadError> RecordReader::read_i32() {
  auto value = read_u32();
  if (!value) return std::unexpected(std::move(value.error()));
  return static_cast<std::int32_t>(*value);
}

std::expected<float, ReadError> RecordReader::read_f32() {
  auto bits = read_u32();
  if (!bits) return std::unexpected(std::move(bits.error()));
  float value;
  std::memcpy(&value, &*bits, sizeof value);
  return value;
}

std::expected<void, ReadError> RecordReader::read_bytes(
    std::span<std::byte> out) {
  if (remaining() < out.size()) return std::unexpected(short_read());
  if (!out.empty()) std::memcpy(out.data(), data_.data() + pos_, out.size());
  pos_ += out.size();
  return {};
}

}  // namespace ostrand_dat
