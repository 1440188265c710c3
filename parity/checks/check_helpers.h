// What the checks share: the printed forms their messages use, equality
// and error checks that fail the running case, and the fetch-and-decode
// step of a sound table.

#ifndef PARITY_CHECKS_CHECK_HELPERS_H_
#define PARITY_CHECKS_CHECK_HELPERS_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <utility>

#include "ostrand_dat/error.h"
#include "ostrand_dat/file_type/sound_table.h"
#include "ostrand_dat/ostrand_dat.h"
#include "runner/check.h"

namespace parity {

// "0x" and at least `min_digits` upper-case hex digits, zero-padded; wider
// values print in full. Table ids use 8 digits, sound kinds 2.
std::string hex_u32(std::uint32_t value, int min_digits);
inline std::string table_hex(std::uint32_t id) { return hex_u32(id, 8); }
inline std::string kind_hex(std::uint32_t kind) { return hex_u32(kind, 2); }

// "None", or "Some(" + the decimal value + ")".
std::string show(const std::optional<std::uint32_t>& wave);
// "None", or "Some(" + the text in quoted debug form + ")".
std::string show(const std::optional<std::string>& text);
// The decimal value.
std::string show(std::size_t count);

// The three lines of a failed equality: "assertion `left == right`
// failed: " + description, "  left: " + left, " right: " + right.
std::string assertion_message(std::string_view description,
                              std::string_view left, std::string_view right);

// Fails the running case with assertion_message() unless left == right.
template <typename T>
void check_eq(const T& left, const T& right, std::string_view description,
              std::source_location where = std::source_location::current()) {
  if (left == right) return;
  fail(assertion_message(description, show(left), show(right)), where);
}

// The printed form an error takes after a check's context text.
inline std::string error_form(const ostrand_dat::DatError& error) {
  return ostrand_dat::debug_string(error);
}
inline std::string error_form(const ostrand_dat::ReadError& error) {
  return ostrand_dat::debug_string(error);
}
inline std::string error_form(const std::string& error) {
  return ostrand_dat::debug_quote(error);
}

// The value of `result`, or a failure of the running case with `context`,
// ": " and the error's printed form.
template <typename T, typename E>
T value_or_fail(std::expected<T, E> result, std::string_view context,
                std::source_location where = std::source_location::current()) {
  if (!result) {
    fail(std::string(context) + ": " + error_form(result.error()), where);
  }
  return std::move(*result);
}

// Fetches table `table_id` from `dat` and decodes it, failing the running
// case with "get_file 0x........: " or "unpack 0x........: " and the error.
ostrand_dat::file_type::SoundTable fetch_sound_table(
    const ostrand_dat::DatDatabase& dat, std::uint32_t table_id,
    std::source_location where = std::source_location::current());

}  // namespace parity

#endif  // PARITY_CHECKS_CHECK_HELPERS_H_
