// Finding the program's outside inputs: the retail portal archive, the
// `dotnet` host and the reference tool's DLL. Each lookup tries its
// environment variable, then fixed defaults, and yields the first candidate
// that exists. Lookups never fail and never print; nothing is cached.

#ifndef PARITY_DISCOVERY_H_
#define PARITY_DISCOVERY_H_

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace parity {

// The fixed places the lookups fall back on.
struct DiscoveryDefaults {
  std::array<std::string, 2> retail_dat;
  std::array<std::string, 2> gt_terminal_dll;  // Release first, then Debug
  std::string home;  // the home directory when HOME is unset
};

// The defaults under /home/gtterminal.
const DiscoveryDefaults& fixed_defaults();

// `dir` and `name` joined by one '/': none is added when `dir` already ends
// in '/', and an empty `dir` gives the bare `name`.
std::string join_path(std::string_view dir, std::string_view name);

// AC_BASE_PORTAL_DAT, then the two default archives.
std::optional<std::string> locate_retail_dat(
    const DiscoveryDefaults& defaults = fixed_defaults());

// $DOTNET_ROOT/dotnet, then $HOME/.dotnet/dotnet (the default home when
// HOME is unset), then dotnet in each PATH field, empty fields included.
std::optional<std::string> locate_dotnet(
    const DiscoveryDefaults& defaults = fixed_defaults());

// GT_TERMINAL_DLL, then the Release DLL, then the Debug DLL.
std::optional<std::string> locate_gt_terminal_dll(
    const DiscoveryDefaults& defaults = fixed_defaults());

}  // namespace parity

#endif  // PARITY_DISCOVERY_H_
