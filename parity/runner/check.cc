#include "runner/check.h"

#include <utility>

namespace parity {

CheckFailure::CheckFailure(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void fail(std::string message, std::source_location where) {
  throw CheckFailure(std::move(message), where);
}

}  // namespace parity
