#!/usr/bin/env bash
# Proves that a project outside this tree can use the library: installs it
# (static, then shared) into scratch prefixes and builds tests/consumer
# against them with find_package and with pkg-config, then builds it with
# add_subdirectory where GoogleTest cannot be found. Every build runs the
# consumer on the sample archive and checks its answer.
#
# Usage: tests/consumer/run.sh [SAMPLE_ARCHIVE]
#   (default: build/samples/portal/client_portal.dat of the default preset)
# Needs: cmake, ninja, g++, pkg-config.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
consumer=$root/tests/consumer
sample=${1:-$root/build/samples/portal/client_portal.dat}
[ -f "$sample" ] || { echo "run.sh: no sample archive at $sample (build the default preset first)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
expected="ostrand_dat 0.9.0: 3863 files, kind 0x58 -> Some(167772770)"

step() { printf '\n== %s\n' "$*"; }
check() {  # check LABEL PROGRAM: runs it on the sample, compares the answer
  local got
  got=$("$2" "$sample" 0x20000001 0x58)
  if [ "$got" != "$expected" ]; then
    printf 'run.sh: %s printed\n  %s\nexpected\n  %s\n' "$1" "$got" "$expected" >&2
    exit 1
  fi
  echo "$1: $got"
}
configure() { cmake -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null; }

for kind in static shared; do
  step "install the library ($kind)"
  shared=$([ $kind = shared ] && echo ON || echo OFF)
  prefix=$work/prefix-$kind
  configure -S "$root" -B "$work/lib-$kind" -DBUILD_SHARED_LIBS=$shared \
    -DOSTRAND_TESTS=OFF -DOSTRAND_PROGRAMS=OFF
  cmake --build "$work/lib-$kind" >/dev/null
  cmake --install "$work/lib-$kind" --prefix "$prefix" >/dev/null

  # Each public header compiles on its own, and none shows internals; the
  # C ones also as C99.
  for header in $(cd "$prefix/include" && find ostrand_dat -name '*.h'); do
    echo "#include \"$header\"" |
      g++ -std=c++23 -fsyntax-only -Wall -Wextra -Wpedantic -I"$prefix/include" -x c++ -
  done
  for header in ostrand_dat/ostrand_dat_c.h ostrand_dat/writer_c.h; do
    echo "#include \"$header\"" |
      gcc -std=c99 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -I"$prefix/include" -x c -
  done
  if grep -rniE 'mmap|madvise|descriptor|\bfd\b|detail' "$prefix/include"; then
    echo "run.sh: an installed header shows the library's internals" >&2
    exit 1
  fi

  step "find_package against the $kind install"
  configure -S "$consumer" -B "$work/find-$kind" -DCMAKE_PREFIX_PATH="$prefix"
  cmake --build "$work/find-$kind" >/dev/null
  check "find_package ($kind)" "$work/find-$kind/consumer"
  check "find_package, C ($kind)" "$work/find-$kind/consumer_c"

  step "pkg-config against the $kind install"
  flags=$(PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name ostrand_dat.pc)") \
    pkg-config --cflags --libs ostrand_dat)
  echo "pkg-config --cflags --libs ostrand_dat: $flags"
  # shellcheck disable=SC2086  # the flags are words
  g++ -std=c++23 -o "$work/pc-$kind" "$consumer/main.cc" $flags
  # shellcheck disable=SC2086
  gcc -std=c99 -Wall -Wextra -Werror -o "$work/pc-c-$kind" "$consumer/main.c" \
    $(PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name ostrand_dat.pc)") \
      pkg-config --static --cflags --libs ostrand_dat)
  if [ $kind = shared ]; then
    libdir=$(dirname "$(find "$prefix" -name 'libostrand_dat.so' | head -1)")
    LD_LIBRARY_PATH=$libdir check "pkg-config ($kind)" "$work/pc-$kind"
    LD_LIBRARY_PATH=$libdir check "pkg-config, C ($kind)" "$work/pc-c-$kind"
    # A versioned SONAME, and only the public interface exported.
    soname=$(objdump -p "$libdir/libostrand_dat.so" | awk '/SONAME/ {print $2}')
    [ "$soname" = libostrand_dat.so.0.9 ] ||
      { echo "run.sh: SONAME is '$soname', not libostrand_dat.so.0.9" >&2; exit 1; }
    internals=$(nm -DC --defined-only "$libdir/libostrand_dat.so" |
      grep -cE 'BlockChain|DirectoryWalk|load_directory|MapBuffer|map_storage|platform::|load_u32' || true)
    [ "$internals" = 0 ] ||
      { echo "run.sh: the shared library exports $internals internal symbols" >&2; exit 1; }
    echo "SONAME $soname; $(nm -DC --defined-only "$libdir/libostrand_dat.so" | grep -c ' T ') functions exported, no internals"
  else
    check "pkg-config ($kind)" "$work/pc-$kind"
    check "pkg-config, C ($kind)" "$work/pc-c-$kind"
  fi
done

step "add_subdirectory, GoogleTest not to be found"
configure -S "$consumer" -B "$work/subdir" -DOSTRAND_DAT_SOURCE="$root" \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=TRUE
cmake --build "$work/subdir" >/dev/null
check "add_subdirectory" "$work/subdir/consumer"
check "add_subdirectory, C" "$work/subdir/consumer_c"
built=$(cd "$work/subdir" && find . -type f \( -name ostrand-dat -o \
  -name resolve_sound_parity -o -name gt-terminal-standin -o -name '*_tests' \))
if [ -n "$built" ]; then
  echo "run.sh: add_subdirectory built programs of the library's: $built" >&2
  exit 1
fi

echo
echo "consumer: every way works"
