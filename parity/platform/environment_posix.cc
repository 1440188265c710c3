#include "platform/environment_posix.h"

#include <sys/stat.h>

#include <cstdlib>

namespace parity::platform {

std::optional<std::string> get_env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

bool path_exists(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

}  // namespace parity::platform
