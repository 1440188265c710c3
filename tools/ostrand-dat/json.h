// JSON text for the tool's --json output, written value by value: strings
// escaped, floats in the shortest form that reads back to the same float,
// and NaN and the infinities, which JSON numbers cannot hold, as the
// strings "NaN", "Infinity" and "-Infinity".
#ifndef OSTRAND_DAT_TOOL_JSON_H_
#define OSTRAND_DAT_TOOL_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace ostrand_dat::tool {

// Builds one JSON text on one line. Commas come by themselves; inside an
// object every value follows a key(). Not thread-safe.
class JsonWriter {
 public:
  JsonWriter& begin_object() { return open('{'); }
  JsonWriter& end_object() { return close('}'); }
  JsonWriter& begin_array() { return open('['); }
  JsonWriter& end_array() { return close(']'); }
  JsonWriter& key(std::string_view name);
  JsonWriter& value(std::uint64_t number);
  JsonWriter& value(std::int64_t number);
  JsonWriter& value(float number);
  JsonWriter& value(std::string_view text);
  JsonWriter& null();
  // A key and its number.
  template <typename T>
  requires std::is_arithmetic_v<T> JsonWriter& field(std::string_view name,
                                                     T number) {
    key(name);
    if constexpr (std::is_floating_point_v<T>) {
      return value(static_cast<float>(number));
    } else if constexpr (std::is_signed_v<T>) {
      return value(static_cast<std::int64_t>(number));
    } else {
      return value(static_cast<std::uint64_t>(number));
    }
  }

  // The text written so far; the writer is empty afterwards.
  std::string take();

 private:
  void before_value();
  JsonWriter& open(char bracket);
  JsonWriter& close(char bracket);

  std::string text_;
  std::vector<bool> first_;  // per open container: nothing in it yet
  bool after_key_ = false;
};

}  // namespace ostrand_dat::tool

#endif  // OSTRAND_DAT_TOOL_JSON_H_
