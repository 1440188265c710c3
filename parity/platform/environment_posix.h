// The process environment and file status, as input discovery needs them:
// raw variable values and an existence test that follows symbolic links.

#ifndef PARITY_PLATFORM_ENVIRONMENT_POSIX_H_
#define PARITY_PLATFORM_ENVIRONMENT_POSIX_H_

#include <optional>
#include <string>

namespace parity::platform {

// The bytes of environment variable `name` as the process holds them, or
// nothing when it is not set. Reads the environment afresh on every call.
std::optional<std::string> get_env(const std::string& name);

// Whether a status query on `path`, with symbolic links followed, succeeds.
// Any kind of object counts; a dangling link, a missing path and a refused
// query do not.
bool path_exists(const std::string& path);

}  // namespace parity::platform

#endif  // PARITY_PLATFORM_ENVIRONMENT_POSIX_H_
