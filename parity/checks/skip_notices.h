// The notices a check prints when an outside input is missing; it then
// passes. The dash is U+2014.

#ifndef PARITY_CHECKS_SKIP_NOTICES_H_
#define PARITY_CHECKS_SKIP_NOTICES_H_

#include <string_view>

namespace parity {

inline constexpr std::string_view kSkipNoRetailDat =
    "SKIP \u2014 no retail client_portal.dat available\n";
inline constexpr std::string_view kSkipNoDotnet =
    "SKIP \u2014 no `dotnet` on PATH or $DOTNET_ROOT\n";
inline constexpr std::string_view kSkipNoGtTerminalDll =
    "SKIP \u2014 Gantrel.Terminal.dll not built. Run `dotnet build -c Release "
    "Gantrel.Terminal/Gantrel.Terminal.csproj`.\n";

}  // namespace parity

#endif  // PARITY_CHECKS_SKIP_NOTICES_H_
