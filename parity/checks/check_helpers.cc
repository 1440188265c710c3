#include "checks/check_helpers.h"

namespace parity {

std::string hex_u32(std::uint32_t value, int min_digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string digits;
  // Least significant digit first; reversed below.
  do {
    digits += kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  while (static_cast<int>(digits.size()) < min_digits) digits += '0';
  return "0x" + std::string(digits.rbegin(), digits.rend());
}

std::string show(const std::optional<std::uint32_t>& wave) {
  return wave ? "Some(" + std::to_string(*wave) + ")" : "None";
}

std::string show(const std::optional<std::string>& text) {
  return text ? "Some(" + ostrand_dat::debug_quote(*text) + ")" : "None";
}

std::string show(std::size_t count) { return std::to_string(count); }

std::string assertion_message(std::string_view description,
                              std::string_view left, std::string_view right) {
  std::string message = "assertion `left == right` failed: ";
  message += description;
  message += "\n  left: ";
  message += left;
  message += "\n right: ";
  message += right;
  return message;
}

ostrand_dat::file_type::SoundTable fetch_sound_table(
    const ostrand_dat::DatDatabase& dat, std::uint32_t table_id,
    std::source_location where) {
  auto bytes = value_or_fail(dat.get_file(table_id),
                             "get_file " + table_hex(table_id), where);
  return value_or_fail(ostrand_dat::file_type::SoundTable::unpack(bytes),
                       "unpack " + table_hex(table_id), where);
}

}  // namespace parity
