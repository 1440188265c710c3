#include "discovery.h"

#include "platform/environment_posix.h"
#include "runner/utf8.h"

namespace parity {
namespace {

// A variable counts as set only when its value is UTF-8 text; an empty
// value is set.
std::optional<std::string> env_text(const std::string& name) {
  auto value = platform::get_env(name);
  if (!value || !is_valid_utf8(*value)) return std::nullopt;
  return value;
}

// The variable's path when it exists, else the first default that does.
// A set variable that names nothing does not end the search.
std::optional<std::string> locate_listed(
    const std::string& variable, const std::array<std::string, 2>& defaults) {
  auto from_env = env_text(variable);
  if (from_env && platform::path_exists(*from_env)) return from_env;
  for (const std::string& path : defaults) {
    if (platform::path_exists(path)) return path;
  }
  return std::nullopt;
}

}  // namespace

const DiscoveryDefaults& fixed_defaults() {
  static const DiscoveryDefaults defaults{
      .retail_dat = {"/home/gtterminal/ac_base_dats/client_portal.dat",
                     "/home/gtterminal/projects/RudedaDizid/dats/base/"
                     "client_portal.dat"},
      .gt_terminal_dll = {"/home/gtterminal/Gantrel-OMNI-Edition/"
                          "Gantrel.Terminal/bin/Release/net8.0/"
                          "Gantrel.Terminal.dll",
                          "/home/gtterminal/Gantrel-OMNI-Edition/"
                          "Gantrel.Terminal/bin/Debug/net8.0/"
                          "Gantrel.Terminal.dll"},
      .home = "/home/gtterminal",
  };
  return defaults;
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && !path.ends_with('/')) path += '/';
  path += name;
  return path;
}

std::optional<std::string> locate_retail_dat(
    const DiscoveryDefaults& defaults) {
  return locate_listed("AC_BASE_PORTAL_DAT", defaults.retail_dat);
}

std::optional<std::string> locate_gt_terminal_dll(
    const DiscoveryDefaults& defaults) {
  return locate_listed("GT_TERMINAL_DLL", defaults.gt_terminal_dll);
}

std::optional<std::string> locate_dotnet(const DiscoveryDefaults& defaults) {
  if (auto root = env_text("DOTNET_ROOT")) {
    std::string candidate = join_path(*root, "dotnet");
    if (platform::path_exists(candidate)) return candidate;
  }

  // The default home stands in only for an unset HOME, never for a HOME
  // that holds no host.
  std::string home = env_text("HOME").value_or(defaults.home);
  std::string per_user = join_path(join_path(home, ".dotnet"), "dotnet");
  if (platform::path_exists(per_user)) return per_user;

  auto path = env_text("PATH");
  if (!path) return std::nullopt;
  // Each pass tests the field before the next ':'; an empty field is the
  // working directory. The pass after the last ':' tests the final field.
  std::string_view rest = *path;
  while (true) {
    std::size_t colon = rest.find(':');
    std::string candidate = join_path(rest.substr(0, colon), "dotnet");
    if (platform::path_exists(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

}  // namespace parity
