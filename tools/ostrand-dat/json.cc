#include "json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

namespace ostrand_dat::tool {

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty() && !first_.back()) text_ += ',';
  if (!first_.empty()) first_.back() = false;
}

JsonWriter& JsonWriter::open(char bracket) {
  before_value();
  text_ += bracket;
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
  text_ += bracket;
  first_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  value(name);
  text_ += ':';
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::uint64_t number) {
  before_value();
  text_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::null() {
  before_value();
  text_ += "null";
  return *this;
}

JsonWriter& JsonWriter::value(std::int64_t number) {
  before_value();
  text_ += std::to_string(number);
  return *this;
}

JsonWriter& JsonWriter::value(float number) {
  if (std::isnan(number)) return value(std::string_view("NaN"));
  if (std::isinf(number)) {
    return value(std::string_view(number > 0 ? "Infinity" : "-Infinity"));
  }
  before_value();
  // Shortest round trip; its forms ("0.1", "-0", "1e+30", "1e-05") are all
  // JSON numbers.
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, number);
  text_.append(digits, result.ptr);
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  before_value();
  text_ += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text_ += '\\';
      text_ += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      text_ += escaped;
    } else {
      text_ += c;
    }
  }
  text_ += '"';
  return *this;
}

std::string JsonWriter::take() {
  first_.clear();
  after_key_ = false;
  return std::exchange(text_, {});
}

}  // namespace ostrand_dat::tool
