# Writes OUTPUT, a C++ source that defines parity::web_bundle_source() as
# the exact bytes of INPUT. Run with cmake -P at build time.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by embed_file.cmake; do not edit.
#include <cstddef>
#include <string_view>

#include \"checks/web_bundle.h\"

namespace parity {
namespace {
// The file's bytes, then a 0 so that an empty file still makes an array.
constexpr unsigned char kBytes[] = {
    ${bytes}0x00};
constexpr std::size_t kSize = ${size};
}  // namespace

std::string_view web_bundle_source() {
  return {reinterpret_cast<const char*>(kBytes), kSize};
}

}  // namespace parity
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
