#include "checks/web_bundle.h"

#include <algorithm>
#include <array>
#include <string>

#include "runner/check.h"
#include "runner/utf8.h"

namespace parity {
namespace {

constexpr std::string_view kSignature = "pub fn resolve_sound_first";

struct Fragment {
  std::string_view text;
  std::string_view message;  // the window text follows it
};

// Tested in this order; the first one missing ends the check. The dash in
// the messages is U+2014.
constexpr std::array<Fragment, 3> kFragments = {{
    {"self.sounds.get(&sound_enum)",
     "resolveSoundFirst must read `self.sounds.get(&sound_enum)` \u2014 "
     "body:\n"},
    {".first()", "resolveSoundFirst must call `.first()` \u2014 body:\n"},
    {"wave_did", "resolveSoundFirst must return `wave_did` \u2014 body:\n"},
}};

}  // namespace

void check_resolve_sound_first_body(std::string_view source) {
  std::size_t start = source.find(kSignature);
  if (start == std::string_view::npos) {
    fail("`resolve_sound_first` must exist in apps/ostrand-web/src/lib");
  }
  std::size_t end = start + std::min(kWebBundleWindow, source.size() - start);
  if (!is_char_boundary(source, end)) {
    fail("resolveSoundFirst body window cannot end at byte offset " +
         std::to_string(end) +
         " of apps/ostrand-web/src/lib: not a character boundary (" +
         std::to_string(kWebBundleWindow) +
         " bytes after `pub fn resolve_sound_first`, inside a multi-byte "
         "UTF-8 character)");
  }
  // The window is searched as it stands: a fragment counts wherever it
  // lies, a comment included, but not when it runs past the window's end.
  std::string_view window = source.substr(start, end - start);
  for (const Fragment& fragment : kFragments) {
    if (window.find(fragment.text) == std::string_view::npos) {
      fail(std::string(fragment.message) + std::string(window));
    }
  }
}

void js_resolve_sound_first_body_matches_native() {
  check_resolve_sound_first_body(web_bundle_source());
}

}  // namespace parity
