// The full-enumeration cross-check: every sound kind from 0 to 204 of two
// retail sound tables, resolved natively and by the reference tool, must
// agree pair by pair.

#ifndef PARITY_CHECKS_CROSS_CHECK_H_
#define PARITY_CHECKS_CROSS_CHECK_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace parity {

// The tables walked, in order, and the last kind of each walk.
inline constexpr std::array<std::uint32_t, 2> kCrossCheckTables = {0x20000001,
                                                                   0x200000A8};
inline constexpr std::uint32_t kLastSoundKind = 204;

// The command field of a resolve request and of its answers.
inline constexpr std::string_view kResolveCommand = "quillon-resolve-sound";

// One resolve request line, without line end:
// {"command":"quillon-resolve-sound","soundTableDid":"0x20000001","sound":88}
std::string resolve_request(std::uint32_t table_id, std::uint32_t sound);

// The case `native_vs_csharp_full_enum_cardinality`. Skips, printing a
// notice, at the first missing input (retail archive, then `dotnet`, then
// the DLL). Resolves all pairs natively first, then runs the tool once over
// the whole batch, then compares answers by position: fails on a count
// mismatch, or prints one drift line per disagreeing pair and fails. On
// agreement prints a summary line.
void native_vs_csharp_full_enum_cardinality();

}  // namespace parity

#endif  // PARITY_CHECKS_CROSS_CHECK_H_
