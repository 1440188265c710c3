#!/usr/bin/env bash
# Builds the libFuzzer targets with the fuzz preset (build-fuzz/, clang++-19,
# OSTRAND_FUZZ=ON) and runs each for SECONDS (default 60), one after another, on a fresh copy
# of its committed seed corpus, so fuzz/corpus/ is never changed. Prints the
# executions per second and coverage each target reached, and exits 1 when
# any target found a crash, leak, timeout or out-of-memory.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/fuzz.sh [SECONDS [TARGET...]]

Builds the fuzz targets with the fuzz preset (build-fuzz/) and runs each for SECONDS
(default 60) with -rss_limit_mb=2048 -timeout=10. TARGET names a corpus
directory under fuzz/corpus/ (archive, sound_table, ...); by default every
target runs. Work files and findings go to build-fuzz/fuzz-work/TARGET/.

Environment: JOBS (build jobs, default 2).
Exit status: 0 when nothing was found, 1 on a finding, 2 on a usage or
build error.
EOF
}

if [[ ${1:-} == -h || ${1:-} == --help ]]; then
  usage
  exit 0
fi

seconds=${1:-60}
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "error: SECONDS must be a positive whole number, got '$seconds'" >&2
  usage >&2
  exit 2
fi
shift || true

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-fuzz"
work="$build/fuzz-work"

targets=("$@")
if [[ ${#targets[@]} -eq 0 ]]; then
  for dir in "$root"/fuzz/corpus/*/; do
    targets+=("$(basename "$dir")")
  done
fi
for target in "${targets[@]}"; do
  if [[ ! -d $root/fuzz/corpus/$target ]]; then
    echo "error: no seed corpus fuzz/corpus/$target for target '$target'" >&2
    exit 2
  fi
done

echo "== configure and build $build"
mkdir -p "$build"
if ! (cd "$root" && cmake --preset fuzz) >"$build/configure.log" 2>&1; then
  cat "$build/configure.log" >&2
  echo "error: configuring $build failed" >&2
  exit 2
fi
binaries=()
for target in "${targets[@]}"; do binaries+=("fuzz_$target"); done
if ! cmake --build "$build" -j "${JOBS:-2}" --target "${binaries[@]}"; then
  echo "error: building the fuzz targets failed" >&2
  exit 2
fi

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

found=0
summary=()
for target in "${targets[@]}"; do
  dir="$work/$target"
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/findings"
  cp -R "$root/fuzz/corpus/$target/." "$dir/corpus/"
  args=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10
        -print_final_stats=1 -artifact_prefix="$dir/findings/")
  if [[ -f $root/fuzz/dict/$target.dict ]]; then
    args+=(-dict="$root/fuzz/dict/$target.dict")
  fi

  echo "== fuzz_$target for ${seconds}s (log: $dir/fuzz.log)"
  status=0
  "$build/bin/fuzz_$target" "${args[@]}" "$dir/corpus" >"$dir/fuzz.log" 2>&1 ||
    status=$?

  # The last status line: "#N  DONE  cov: C ft: F corp: ... exec/s: E ...".
  last=$(grep -E '^#[0-9]+' "$dir/fuzz.log" | tail -n 1 || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  corp=$(sed -nE 's/.* corp: ([^ ]+).*/\1/p' <<<"$last")
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$dir/fuzz.log")
  rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$dir/fuzz.log")
  line=$(printf '%-16s runs %-10s exec/s %-7s cov %-6s ft %-6s corpus %s' \
         "$target" "${execs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}")

  findings=$(find "$dir/findings" -type f | sort)
  if [[ $status -ne 0 || -n $findings ]]; then
    found=1
    line+="  FINDING (exit $status)"
    echo "$line"
    grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written' "$dir/fuzz.log" |
      head -n 20 || true
    [[ -n $findings ]] && printf '  input: %s\n' $findings
  else
    echo "$line"
  fi
  summary+=("$line")
done

echo "== summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
if [[ $found -ne 0 ]]; then
  echo "fuzzing found problems; see the logs and inputs above" >&2
  exit 1
fi
