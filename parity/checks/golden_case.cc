#include "checks/golden_case.h"

#include <string>

#include "checks/check_helpers.h"
#include "checks/skip_notices.h"
#include "discovery.h"
#include "ostrand_dat/ostrand_dat.h"
#include "runner/output.h"

namespace parity {

std::vector<GoldenRow> pinned_goldens() {
  return {
      {0x20000001, 0x58, "ShieldUp", 0x0A000262},
      {0x20000001, 0x5B, "EnchantDown", 0x0A000274},
      {0x20000001, 0x46, "Ambient1", std::nullopt},
      {0x20000001, 0xFFFFFFFF, "Invalid", std::nullopt},
      {0x200000A8, 0x1F, "Swoosh2", 0x0A000519},
      {0x200000A8, 0x46, "Ambient1", std::nullopt},
  };
}

void native_resolve_sound_matches_pinned_goldens() {
  auto path = locate_retail_dat();
  if (!path) {
    print_err(kSkipNoRetailDat);
    return;
  }
  auto dat =
      value_or_fail(ostrand_dat::DatDatabase::open(*path), "open retail dat");
  // Each row fetches and decodes its table afresh, so a fault that only
  // shows on a second read of the same file is caught too.
  for (const GoldenRow& row : pinned_goldens()) {
    auto table = fetch_sound_table(dat, row.table_id);
    std::optional<std::uint32_t> got = table.resolve_sound(row.enum_val);
    check_eq(got, row.expected,
             table_hex(row.table_id) + ".resolve_sound(" +
                 kind_hex(row.enum_val) + " = " + std::string(row.name) +
                 ") drift: native=" + show(got) +
                 " expected=" + show(row.expected));
  }
}

}  // namespace parity
