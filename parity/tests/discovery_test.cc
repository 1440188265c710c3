#include "discovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace parity {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;

// One lookup scenario, laid out in a fresh temporary directory that is
// also the working directory; "@" in its texts stands for that directory.
// `env` sets variables (nullopt: unset); every variable a lookup reads is
// unset otherwise. `objects` are created: "name/" a directory,
// "name->target" a symbolic link, anything else a file.
struct Scenario {
  const char* name;
  std::vector<std::pair<const char*, std::optional<std::string>>> env;
  std::vector<std::string> objects;
  std::optional<std::string> expected;
};

using Lookup =
    std::function<std::optional<std::string>(const DiscoveryDefaults&)>;

std::string expand(std::string text, const std::string& dir) {
  for (std::size_t at = text.find('@'); at != std::string::npos;
       at = text.find('@', at + dir.size())) {
    text.replace(at, 1, dir);
  }
  return text;
}

// Changes the working directory for its lifetime.
class ScopedCwd {
 public:
  explicit ScopedCwd(const fs::path& dir) : old_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~ScopedCwd() { fs::current_path(old_); }

 private:
  fs::path old_;
};

void create(const std::string& object) {
  std::size_t arrow = object.find("->");
  fs::path path = arrow == std::string::npos ? object : object.substr(0, arrow);
  fs::create_directories(fs::absolute(path).parent_path());
  if (arrow != std::string::npos) {
    fs::create_symlink(object.substr(arrow + 2), path);
  } else if (object.ends_with('/')) {
    fs::create_directories(path);
  } else {
    testing::write_file(path, "x");
  }
}

// The defaults of a scenario: the fixed paths' shape, under "@".
DiscoveryDefaults test_defaults(const TempDir& dir) {
  return {
      .retail_dat = {dir / "first/client_portal.dat",
                     dir / "second/client_portal.dat"},
      .gt_terminal_dll = {dir / "Release/Gantrel.Terminal.dll",
                          dir / "Debug/Gantrel.Terminal.dll"},
      .home = dir / "fixed-home",
  };
}

void run_scenarios(const std::vector<Scenario>& scenarios,
                   const Lookup& lookup) {
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    TempDir dir;
    const std::string root = dir.path().string();
    ScopedCwd cwd(dir.path());
    ScopedEnv env;
    for (const char* name : {"AC_BASE_PORTAL_DAT", "GT_TERMINAL_DLL",
                             "DOTNET_ROOT", "HOME", "PATH"}) {
      env.unset(name);
    }
    for (const auto& [name, value] : scenario.env) {
      if (value) env.set(name, expand(*value, root));
    }
    for (const std::string& object : scenario.objects) {
      create(expand(object, root));
    }
    std::optional<std::string> found = lookup(test_defaults(dir));
    if (found && found->starts_with(root)) found->replace(0, root.size(), "@");
    EXPECT_EQ(found, scenario.expected);
  }
}

TEST(LocateRetailDat, TriesTheVariableThenBothDefaults) {
  run_scenarios(
      {
          {"variable wins over existing defaults",
           {{"AC_BASE_PORTAL_DAT", "@/mine.dat"}},
           {"@/mine.dat", "@/first/client_portal.dat",
            "@/second/client_portal.dat"},
           "@/mine.dat"},
          {"missing variable path falls through to the second default",
           {{"AC_BASE_PORTAL_DAT", "@/missing.dat"}},
           {"@/second/client_portal.dat"},
           "@/second/client_portal.dat"},
          {"a directory counts as existing",
           {{"AC_BASE_PORTAL_DAT", "@/a-directory"}},
           {"@/a-directory/"},
           "@/a-directory"},
          {"empty value is the empty path, which never exists",
           {{"AC_BASE_PORTAL_DAT", ""}},
           {"client_portal.dat"},
           std::nullopt},
          {"unset variable: first default before second",
           {},
           {"@/first/client_portal.dat", "@/second/client_portal.dat"},
           "@/first/client_portal.dat"},
          {"dangling symbolic link does not exist",
           {{"AC_BASE_PORTAL_DAT", "@/link.dat"}},
           {"@/link.dat->@/nowhere.dat"},
           std::nullopt},
          {"symbolic link is followed and returned as given",
           {{"AC_BASE_PORTAL_DAT", "@/link.dat"}},
           {"@/real.dat", "@/link.dat->@/real.dat"},
           "@/link.dat"},
          {"relative value is tested in the working directory, unchanged",
           {{"AC_BASE_PORTAL_DAT", "./here//client.dat"}},
           {"here/client.dat"},
           "./here//client.dat"},
          {"value that is not UTF-8 counts as unset",
           {{"AC_BASE_PORTAL_DAT", "@/bad\xFF.dat"}},
           {"@/bad\xFF.dat", "@/second/client_portal.dat"},
           "@/second/client_portal.dat"},
          {"a refused status query counts as missing",
           {{"AC_BASE_PORTAL_DAT", "@/file/below-a-file.dat"}},
           {"@/file"},
           std::nullopt},
      },
      [](const DiscoveryDefaults& d) { return locate_retail_dat(d); });
}

TEST(LocateGtTerminalDll, PrefersTheVariableThenRelease) {
  run_scenarios(
      {
          {"Release before Debug",
           {},
           {"@/Release/Gantrel.Terminal.dll", "@/Debug/Gantrel.Terminal.dll"},
           "@/Release/Gantrel.Terminal.dll"},
          {"Debug when only Debug is built",
           {{"GT_TERMINAL_DLL", "@/missing.dll"}},
           {"@/Debug/Gantrel.Terminal.dll"},
           "@/Debug/Gantrel.Terminal.dll"},
          {"variable first",
           {{"GT_TERMINAL_DLL", "@/my.dll"}},
           {"@/my.dll", "@/Release/Gantrel.Terminal.dll"},
           "@/my.dll"},
          {"nothing built", {}, {}, std::nullopt},
      },
      [](const DiscoveryDefaults& d) { return locate_gt_terminal_dll(d); });
}

TEST(LocateDotnet, TriesRootThenHomeThenEachPathField) {
  run_scenarios(
      {
          {"root ending in '/' gives one separator",
           {{"DOTNET_ROOT", "@/dn/"}},
           {"@/dn/dotnet"},
           "@/dn/dotnet"},
          {"root before home and PATH",
           {{"DOTNET_ROOT", "@/dn"}, {"HOME", "@/home"}, {"PATH", "@/bin"}},
           {"@/dn/dotnet", "@/home/.dotnet/dotnet", "@/bin/dotnet"},
           "@/dn/dotnet"},
          {"empty root is the working directory",
           {{"DOTNET_ROOT", ""}},
           {"dotnet"},
           "dotnet"},
          {"home's .dotnet when the root holds no host",
           {{"DOTNET_ROOT", "@/dn"}, {"HOME", "@/home/"}, {"PATH", "@/bin"}},
           {"@/dn/", "@/home/.dotnet/dotnet", "@/bin/dotnet"},
           "@/home/.dotnet/dotnet"},
          {"PATH fields in order, first without host",
           {{"DOTNET_ROOT", "@/dn"},
            {"HOME", "@/home"},
            {"PATH", "@/usr/bin:@/usr/local/bin"}},
           {"@/dn/", "@/home/.dotnet/", "@/usr/bin/", "@/usr/local/bin/dotnet"},
           "@/usr/local/bin/dotnet"},
          {"unset HOME uses the fixed home, PATH not consulted",
           {{"PATH", "@/bin"}},
           {"@/fixed-home/.dotnet/dotnet", "@/bin/dotnet"},
           "@/fixed-home/.dotnet/dotnet"},
          {"set HOME without host never tries the fixed home",
           {{"HOME", "@/home"}},
           {"@/fixed-home/.dotnet/dotnet"},
           std::nullopt},
          {"HOME that is not UTF-8 counts as unset",
           {{"HOME", "@/h\xC3"}},
           {"@/fixed-home/.dotnet/dotnet", "@/h\xC3/.dotnet/dotnet"},
           "@/fixed-home/.dotnet/dotnet"},
          {"empty HOME is relative",
           {{"HOME", ""}},
           {".dotnet/dotnet"},
           ".dotnet/dotnet"},
          {"trailing ':' is the working directory",
           {{"HOME", "@/home"}, {"PATH", "@/bin:"}},
           {"dotnet"},
           "dotnet"},
          {"leading ':' is the working directory, tested first",
           {{"HOME", "@/home"}, {"PATH", ":@/bin"}},
           {"dotnet", "@/bin/dotnet"},
           "dotnet"},
          {"doubled ':' is the working directory",
           {{"HOME", "@/home"}, {"PATH", "@/a::@/b"}},
           {"dotnet", "@/b/dotnet"},
           "dotnet"},
          {"empty PATH is one empty field",
           {{"HOME", "@/home"}, {"PATH", ""}},
           {"dotnet"},
           "dotnet"},
          {"unset PATH finds nothing, not even in the working directory",
           {{"HOME", "@/home"}},
           {"dotnet"},
           std::nullopt},
          {"a directory named dotnet counts",
           {{"HOME", "@/home"}, {"PATH", "@/bin"}},
           {"@/bin/dotnet/"},
           "@/bin/dotnet"},
      },
      [](const DiscoveryDefaults& d) { return locate_dotnet(d); });
}

TEST(LocateDotnet, SeesACandidateCreatedBetweenCalls) {
  TempDir dir;
  ScopedEnv env;
  env.set("DOTNET_ROOT", dir / "root");
  env.set("HOME", dir / "home");
  env.unset("PATH");
  const DiscoveryDefaults defaults = test_defaults(dir);
  EXPECT_EQ(locate_dotnet(defaults), std::nullopt);
  create(dir / "root/dotnet");
  EXPECT_EQ(locate_dotnet(defaults), dir / "root/dotnet");
}

}  // namespace
}  // namespace parity
