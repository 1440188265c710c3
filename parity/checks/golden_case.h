// The pinned golden case: six sound resolutions of the retail archive whose
// answers are fixed in the program.

#ifndef PARITY_CHECKS_GOLDEN_CASE_H_
#define PARITY_CHECKS_GOLDEN_CASE_H_

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace parity {

struct GoldenRow {
  std::uint32_t table_id;
  std::uint32_t enum_val;
  std::string_view name;  // the kind's display name, for the message only
  std::optional<std::uint32_t> expected;
};

// A new list of the six golden rows, in their fixed order.
std::vector<GoldenRow> pinned_goldens();

// The case `native_resolve_sound_matches_pinned_goldens`. Skips, printing a
// notice, when no retail archive is found; otherwise resolves every golden
// row, fetching and decoding its table afresh, and fails at the first row
// that disagrees.
void native_resolve_sound_matches_pinned_goldens();

}  // namespace parity

#endif  // PARITY_CHECKS_GOLDEN_CASE_H_
