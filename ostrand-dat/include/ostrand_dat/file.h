// The archive file as the library reads it: opened read-only and read only
// with positional reads, so one handle serves any number of threads.
#ifndef OSTRAND_DAT_FILE_H_
#define OSTRAND_DAT_FILE_H_

#include <expected>
#include <filesystem>
#include <memory>

#include "ostrand_dat/error.h"
#include "ostrand_dat/export.h"

namespace ostrand_dat {

// A file opened for reading. Move-only; releasing it closes the file. It
// keeps no file position: every read names its offset (see
// read_exact_at_compat in utils.h), so reads may run on several threads at
// once.
class OSTRAND_DAT_EXPORT File {
 public:
  // Opens `path` for reading. Fails with the system's error: NotFound,
  // PermissionDenied, ...; a path holding a NUL byte is InvalidInput.
  [[nodiscard]] static std::expected<File, IoError> open_read_only(
      const std::filesystem::path& path);

  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

 private:
  // What the system knows the open file by; defined by the library's
  // platform layer, which alone reads through it.
  struct Handle;
  friend struct FileAccess;

  explicit File(std::unique_ptr<Handle> handle);

  std::unique_ptr<Handle> handle_;
};

}  // namespace ostrand_dat

#endif  // OSTRAND_DAT_FILE_H_
