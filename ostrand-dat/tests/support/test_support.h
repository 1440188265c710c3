// Helpers shared by the library's tests: byte literals, pseudo-random data
// and temporary files.
#ifndef OSTRAND_DAT_TESTS_TEST_SUPPORT_H_
#define OSTRAND_DAT_TESTS_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/write_file.h"

// Defined where a sanitizer's own memory hides what the code under test
// takes, so that memory limits and peaks cannot be checked.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSTRAND_MEMORY_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSTRAND_MEMORY_SANITIZED 1
#endif
#endif

namespace ostrand_dat::testing {

using Bytes = std::vector<std::byte>;

inline Bytes bytes(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

inline Bytes bytes(std::string_view text) {
  Bytes out;
  for (char c : text) out.push_back(static_cast<std::byte>(c));
  return out;
}

// A deterministic xorshift generator, so every failure repeats exactly.
class Xorshift {
 public:
  explicit Xorshift(std::uint32_t state) : x_(state) {}
  // The next number, reduced to [0, range).
  std::uint32_t next(std::uint32_t range) {
    x_ ^= x_ << 13;
    x_ ^= x_ >> 17;
    x_ ^= x_ << 5;
    return x_ % range;
  }

 private:
  std::uint32_t x_;
};

// Deterministic pseudo-random bytes, `alphabet` distinct values.
inline Bytes pseudo_random(std::size_t size, std::uint32_t seed,
                           unsigned alphabet = 256) {
  Bytes out(size);
  Xorshift random(seed * 2654435761u + 1);
  for (auto& b : out) b = static_cast<std::byte>(random.next(alphabet));
  return out;
}

// A file in the system's temporary directory, removed when released.
class TempFile {
 public:
  explicit TempFile(std::span<const std::byte> contents) {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("ostrand-test-" + std::to_string(::getpid()) + "-" +
             std::to_string(counter++) + ".dat");
    auto written = platform::write_whole_file(path_, contents);
    EXPECT_TRUE(written.has_value()) << "cannot write " << path_;
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace ostrand_dat::testing

#endif  // OSTRAND_DAT_TESTS_TEST_SUPPORT_H_
