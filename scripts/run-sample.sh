#!/usr/bin/env bash
# Builds the default preset and runs the parity program's main job against
# the synthetic sample: the generated archive and the stand-in reference
# tool, named through the three variables the program reads. What each case
# prints is shown (--show-output); other arguments go to the program, for
# example a filter or -q. Exits with the program's status: 0, or 101 when a
# case failed.
#
# Usage: scripts/run-sample.sh [--drift] [OPTIONS] [FILTERS...]
#   --drift   use the answer table with two deliberate disagreements
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

answers=answers.txt
if [ "${1:-}" = --drift ]; then
  answers=answers-drift.txt
  shift
fi

# The build's output is shown only when it fails.
log=$(mktemp)
if ! { cmake --preset default && cmake --build --preset default; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "run-sample.sh: the build failed" >&2
  exit 1
fi
rm -f "$log"

export AC_BASE_PORTAL_DAT=$root/build/samples/portal/client_portal.dat
export DOTNET_ROOT=$root/build/samples/gt-terminal
export GT_TERMINAL_DLL=$root/build/samples/gt-terminal/$answers
exec "$root/build/bin/resolve_sound_parity" --show-output "$@"
