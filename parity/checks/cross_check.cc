#include "checks/cross_check.h"

#include <cstddef>
#include <optional>
#include <vector>

#include "checks/check_helpers.h"
#include "checks/skip_notices.h"
#include "discovery.h"
#include "ostrand_dat/ostrand_dat.h"
#include "runner/output.h"
#include "tool_run.h"

namespace parity {
namespace {

constexpr std::size_t kKindsPerTable = kLastSoundKind + 1;

struct NativeResult {
  std::uint32_t table_id;
  std::uint32_t enum_val;
  std::optional<std::uint32_t> wave;
};

struct Drift {
  std::uint32_t table_id;
  std::uint32_t enum_val;
  std::optional<std::uint32_t> native;
  std::optional<std::uint32_t> reference;
  std::optional<std::string> source;
};

std::string drift_line(const Drift& drift) {
  return "\tDRIFT: " + table_hex(drift.table_id) + ".resolve_sound(" +
         kind_hex(drift.enum_val) + "): native=" + show(drift.native) +
         " cs=" + show(drift.reference) + " cs_source=" + show(drift.source) +
         "\n";
}

}  // namespace

std::string resolve_request(std::uint32_t table_id, std::uint32_t sound) {
  return "{\"command\":\"quillon-resolve-sound\",\"soundTableDid\":\"" +
         table_hex(table_id) + "\",\"sound\":" + std::to_string(sound) + "}";
}

void native_vs_csharp_full_enum_cardinality() {
  // Inputs, in this order; a later one is not looked up when an earlier
  // one is missing.
  auto dat_path = locate_retail_dat();
  if (!dat_path) {
    print_err(kSkipNoRetailDat);
    return;
  }
  auto dotnet = locate_dotnet();
  if (!dotnet) {
    print_err(kSkipNoDotnet);
    return;
  }
  auto dll = locate_gt_terminal_dll();
  if (!dll) {
    print_err(kSkipNoGtTerminalDll);
    return;
  }

  auto dat = value_or_fail(ostrand_dat::DatDatabase::open(*dat_path),
                           "open retail dat");

  // The native side is complete before the tool starts, so a native error
  // ends the case without running it.
  std::vector<NativeResult> native_results;
  std::vector<std::string> commands;
  native_results.reserve(kCrossCheckTables.size() * kKindsPerTable);
  commands.reserve(kCrossCheckTables.size() * kKindsPerTable);
  for (std::uint32_t table_id : kCrossCheckTables) {
    auto table = fetch_sound_table(dat, table_id);
    for (std::uint32_t kind = 0; kind <= kLastSoundKind; ++kind) {
      native_results.push_back({table_id, kind, table.resolve_sound(kind)});
      commands.push_back(resolve_request(table_id, kind));
    }
  }

  auto responses =
      value_or_fail(run_gt_terminal(*dotnet, *dll, commands), "GT.Terminal");
  // Banners, logs and an answer to the quit request lack the command.
  std::vector<std::string> cs_lines;
  for (std::string& line : responses) {
    if (extract_string_field(line, "command") == kResolveCommand) {
      cs_lines.push_back(std::move(line));
    }
  }
  check_eq(cs_lines.size(), native_results.size(),
           "C# response count " + show(cs_lines.size()) +
               " != Native input count " + show(native_results.size()));

  // The i-th answer belongs to the i-th request.
  std::size_t hits = 0;
  std::size_t misses_both = 0;
  std::vector<Drift> drifts;
  for (std::size_t i = 0; i < native_results.size(); ++i) {
    const NativeResult& native = native_results[i];
    std::optional<std::uint32_t> reference = extract_wave_did_u32(cs_lines[i]);
    if (native.wave == reference) {
      ++(native.wave ? hits : misses_both);
    } else {
      drifts.push_back({native.table_id, native.enum_val, native.wave,
                        reference,
                        extract_string_field(cs_lines[i], "source")});
    }
  }

  if (drifts.empty()) {
    print_err(
        "[resolve_sound_parity] Native vs C# PASS: " + std::to_string(hits) +
        " hits + " + std::to_string(misses_both) +
        " both-None = " + std::to_string(native_results.size()) +
        " pairs across " + std::to_string(kCrossCheckTables.size()) +
        " tables \u00D7 (" + std::to_string(kLastSoundKind) + "+1) enums\n");
    return;
  }
  for (const Drift& drift : drifts) print_err(drift_line(drift));
  fail(std::to_string(drifts.size()) + " drifts (out of " +
       std::to_string(native_results.size()) +
       " pairs). Re-read morvane.c:383433 to determine which port broke.");
}

}  // namespace parity
