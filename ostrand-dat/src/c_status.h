// Filling an ostrand_dat_status, shared by the reader's and the writer's C
// interfaces (each library keeps its own inline copy).
#ifndef OSTRAND_DAT_SRC_C_STATUS_H_
#define OSTRAND_DAT_SRC_C_STATUS_H_

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ostrand_dat/error.h"
#include "ostrand_dat/ostrand_dat_c.h"

namespace ostrand_dat::c_api {

// Sets `status` (when given) to `code` with a malloc'd copy of `message`.
// Returns `code`, so failures read `return fail(status, ...)`.
inline int fail(ostrand_dat_status* status, int code, std::string_view message,
                int os_errno = 0) {
  if (status == nullptr) return code;
  status->code = code;
  status->os_errno = os_errno;
  status->message = static_cast<char*>(std::malloc(message.size() + 1));
  if (status->message != nullptr) {
    std::memcpy(status->message, message.data(), message.size());
    status->message[message.size()] = '\0';
  }
  return code;
}

inline int ok(ostrand_dat_status* status) {
  if (status != nullptr) *status = ostrand_dat_status{OSTRAND_DAT_OK, 0, nullptr};
  return OSTRAND_DAT_OK;
}

// The error's code (its kind's position, counted from 1), system error
// number and debug form.
inline int fail(ostrand_dat_status* status, const DatError& error) {
  int os_errno = 0;
  if (const auto* io = error.get_if<DatError::Io>()) {
    os_errno = io->error.os_code().value_or(0);
  } else if (const auto* path = error.get_if<DatError::PathError>()) {
    os_errno = path->source.os_code().value_or(0);
  }
  return fail(status, static_cast<int>(error.kind()) + 1, debug_string(error),
              os_errno);
}

inline int null_argument(ostrand_dat_status* status, std::string_view name) {
  return fail(status, OSTRAND_DAT_INVALID_ARGUMENT,
              "InvalidArgument(\"" + std::string(name) + " is NULL\")");
}

inline int out_of_memory(ostrand_dat_status* status) {
  return fail(status, OSTRAND_DAT_OUT_OF_MEMORY,
              "Io(Error { kind: OutOfMemory, message: \"out of memory\" })");
}

}  // namespace ostrand_dat::c_api

#endif  // OSTRAND_DAT_SRC_C_STATUS_H_
