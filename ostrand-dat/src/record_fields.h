// Field-by-field decoding of declared records: the first field that cannot
// be read stops the record and gets a context naming the field, the record
// and the place of the field's reader in this library's source.
#ifndef OSTRAND_DAT_SRC_RECORD_FIELDS_H_
#define OSTRAND_DAT_SRC_RECORD_FIELDS_H_

#include <cstdint>
#include <optional>
#include <source_location>
#include <span>
#include <string>
#include <string_view>

#include "ostrand_dat/error.h"
#include "ostrand_dat/record_reader.h"

namespace ostrand_dat {

// The source path from the library's directory on, so that contexts read
// the same wherever the tree was built.
inline std::string library_source_path(std::string_view file) {
  auto at = file.rfind("ostrand-dat/");
  return std::string(at == std::string_view::npos ? file : file.substr(at));
}

// Reads the fields of one record in order. After the first failure every
// further read is skipped; error() then holds the failure with its context.
class FieldReader {
 public:
  FieldReader(RecordReader& reader, std::string_view record)
      : reader_(reader), record_(record) {}

  void u32(std::uint32_t& out, std::string_view field,
           std::source_location where = std::source_location::current()) {
    if (error_) return;
    auto value = reader_.read_u32();
    if (value) {
      out = *value;
    } else {
      fail(std::move(value.error()), field, where);
    }
  }

  void bytes(std::span<std::byte> out, std::string_view field,
             std::source_location where = std::source_location::current()) {
    if (error_) return;
    auto done = reader_.read_bytes(out);
    if (!done) fail(std::move(done.error()), field, where);
  }

  std::optional<ReadError>& error() { return error_; }

 private:
  void fail(ReadError error, std::string_view field,
            const std::source_location& where) {
    error.contexts.push_back(ReadContext{
        "While parsing field '" + std::string(field) + "' in " +
            std::string(record_),
        library_source_path(where.file_name()), where.line()});
    error_ = std::move(error);
  }

  RecordReader& reader_;
  std::string_view record_;
  std::optional<ReadError> error_;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_SRC_RECORD_FIELDS_H_
