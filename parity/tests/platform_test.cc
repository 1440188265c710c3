#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostrand_dat/error.h"
#include "platform/terminal.h"

namespace parity {
namespace {

TEST(ErrorText, ReadsLikeTheArchiveLibrarysSystemErrors) {
  EXPECT_EQ(platform::error_text(32), "Broken pipe (os error 32)");
  // Every number the system knows, and some it does not: a failure message
  // of a check may show both forms side by side.
  std::vector<int> codes = {-1, 0, 4095, 1 << 20};
  for (int code = 1; code < 200; ++code) codes.push_back(code);
  for (int code : codes) {
    SCOPED_TRACE(code);
    EXPECT_EQ(platform::error_text(code),
              ostrand_dat::display_string(ostrand_dat::IoError::from_os(code)));
  }
}

}  // namespace
}  // namespace parity
