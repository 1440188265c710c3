#!/usr/bin/env bash
# Line and branch coverage of the library (ostrand-dat/src/), per file.
# Builds the coverage preset (Debug, --coverage, build-coverage/), runs the
# whole test suite, and prints gcovr's counts per file with the branches
# the compiler adds for exceptions, and those on lines without code, left
# out. Lines that no test can reach are marked in the source with
# GCOVR_EXCL_LINE and a reason; the script lists them. Exits 1 when the
# library is below its goals, 2 when gcovr is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

# The goals: lines 98 %, branches 88 %, just under what the library has
# (98.1 % and 88.2 %), so that coverage cannot fall unnoticed. Branches
# were at 92 % before the whole-archive check (check.cc) came in; what is
# left there is mostly the reread walk's damage paths, the check's
# out-of-memory and read-failure paths, and the branches the compiler adds
# for strings.
readonly line_goal=98
readonly branch_goal=88

if ! command -v gcovr >/dev/null 2>&1; then
  echo "coverage.sh needs gcovr (Debian: apt-get install gcovr)" >&2
  exit 2
fi

cmake --preset coverage
cmake --build --preset coverage
# Counts of earlier runs would add up with this one's.
find build-coverage -name '*.gcda' -delete
ctest --preset coverage

summary=build-coverage/coverage-summary.json
# build-coverage/CMakeFiles holds CMake's compiler probe, which has no source.
gcovr --root . --object-directory build-coverage \
  --exclude-directories 'build-coverage/CMakeFiles' \
  --filter 'ostrand-dat/src/' \
  --exclude-throw-branches --exclude-unreachable-branches \
  --json-summary "$summary" >/dev/null

status=0
python3 - "$summary" "$line_goal" "$branch_goal" <<'EOF' || status=$?
import json, sys

summary = json.load(open(sys.argv[1]))
line_goal, branch_goal = float(sys.argv[2]), float(sys.argv[3])

def percent(covered, total):
    return 100.0 * covered / total if total else 100.0

def row(name, counts):
    lines = percent(counts["line_covered"], counts["line_total"])
    branches = percent(counts["branch_covered"], counts["branch_total"])
    print(f"{name:44} {counts['line_covered']:>5}/{counts['line_total']:<5}"
          f" {lines:5.1f}%  {counts['branch_covered']:>5}/"
          f"{counts['branch_total']:<5} {branches:5.1f}%")
    return lines, branches

print(f"\n{'file':44} {'lines':>17}  {'branches':>17}")
for f in sorted(summary["files"], key=lambda f: f["filename"]):
    row(f["filename"], f)
lines, branches = row("ostrand-dat/src/ (all)", summary)
verdict = lambda ok: "met" if ok else "NOT met"
print(f"\ngoals: lines >= {line_goal:g}% {verdict(lines >= line_goal)}, "
      f"branches >= {branch_goal:g}% {verdict(branches >= branch_goal)}")
sys.exit(0 if lines >= line_goal and branches >= branch_goal else 1)
EOF

echo
echo "Known gaps, left out of the counts (file:line: reason):"
grep -rnE --include='*.cc' --include='*.h' 'GCOVR_EXCL_(LINE|START|BR_LINE)' ostrand-dat/src |
  sed -E 's#^([^:]+:[0-9]+):.*GCOVR_EXCL[A-Z_]*:? *#  \1: #' || echo "  none"
exit "$status"
