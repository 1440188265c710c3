// Helpers shared by the fuzz targets: the input as bytes, a check that ends
// the run loudly (so libFuzzer and the replay driver both see it), and a
// throwaway file for targets that need a path.
#ifndef OSTRAND_FUZZ_FUZZ_SUPPORT_H_
#define OSTRAND_FUZZ_FUZZ_SUPPORT_H_

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <source_location>
#include <span>
#include <string>
#include <vector>

namespace ostrand_fuzz {

inline std::span<const std::byte> as_bytes(const std::uint8_t* data,
                                           std::size_t size) {
  return {reinterpret_cast<const std::byte*>(data), size};
}

// A broken invariant is a finding: say which and where, then abort so that
// libFuzzer saves the input and the replay test fails.
inline void check(bool condition, const char* what,
                  std::source_location where = std::source_location::current()) {
  if (condition) return;
  std::fprintf(stderr, "fuzz check failed at %s:%u: %s\n", where.file_name(),
               static_cast<unsigned>(where.line()), what);
  std::abort();
}

// An anonymous in-memory file holding given bytes, reachable through a
// /proc/self/fd path; closed (and so gone) when released. Falls back to an
// unlinked temporary file where memfd_create is unavailable.
class ScratchFile {
 public:
  explicit ScratchFile(std::span<const std::byte> contents) {
    fd_ = ::memfd_create("ostrand-fuzz", MFD_CLOEXEC);
    if (fd_ < 0) {
      std::string name =
          (std::filesystem::temp_directory_path() / "ostrand-fuzz-XXXXXX")
              .string();
      fd_ = ::mkstemp(name.data());
      if (fd_ >= 0) ::unlink(name.c_str());
    }
    check(fd_ >= 0, "cannot create a scratch file");
    std::size_t written = 0;
    while (written < contents.size()) {
      const ssize_t n =
          ::write(fd_, contents.data() + written, contents.size() - written);
      check(n > 0, "cannot write the scratch file");
      written += static_cast<std::size_t>(n);
    }
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() { ::close(fd_); }

  std::filesystem::path path() const {
    return "/proc/self/fd/" + std::to_string(fd_);
  }

 private:
  int fd_ = -1;
};

// A scratch archive whose bytes from the header on (file offset 320) are
// `input`; the 320 bytes before the header, which nothing reads, are zeros,
// so that no mutation is spent on them.
inline ScratchFile archive_from_header(std::span<const std::byte> input) {
  constexpr std::size_t kHeaderOffset = 320;
  std::vector<std::byte> image(kHeaderOffset);
  image.insert(image.end(), input.begin(), input.end());
  return ScratchFile(image);
}

}  // namespace ostrand_fuzz

#endif  // OSTRAND_FUZZ_FUZZ_SUPPORT_H_
