#!/usr/bin/env bash
# Builds the Python package ostrand_dat and installs it for an interpreter
# (python3 on PATH unless PYTHON names another): into its site-packages
# when that is writable (as root: /usr/local/lib/python3.X/dist-packages on
# Debian), else into the user's site-packages, or into DIR when given.
# Then `python3 -c "import ostrand_dat"` works from any folder.
#
# Usage: scripts/install-python.sh [DIR]
# Needs: cmake, ninja, g++ (Debian: cmake ninja-build g++ python3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
python=$(command -v "${PYTHON:-python3}") ||
  { echo "install-python.sh: no ${PYTHON:-python3}" >&2; exit 1; }
target=${1:-}
if [ -z "$target" ]; then
  target=$("$python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  if ! { mkdir -p "$target" && [ -w "$target" ]; } 2>/dev/null; then
    target=$("$python" -m site --user-site)
  fi
fi
build=$root/build-python
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DOSTRAND_TESTS=OFF -DOSTRAND_PROGRAMS=OFF -DOSTRAND_INSTALL=OFF \
  -DPython3_EXECUTABLE="$python" -DOSTRAND_PYTHON_DIR="$target" >/dev/null
cmake --build "$build" --target ostrand_dat_python >/dev/null
cmake --install "$build" --component python >/dev/null
echo "installed ostrand_dat $("$python" -c 'import sys; sys.path.insert(0, sys.argv[1]); import ostrand_dat; print(ostrand_dat.__version__)' "$target") into $target"
