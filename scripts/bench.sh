#!/usr/bin/env bash
# Builds the benchmark preset and measures the archive library against its
# anchors, each anchor measured in the same run, side by side:
#   decompress_lrs   against lz4 -b on the same bytes, and the plain decoder,
#                    on three kinds of data: text (a tar of /usr/include),
#                    executables (a tar of /usr/bin) and mixed (4 MiB each
#                    of tars of /usr/share/locale, /usr/share/icons,
#                    /usr/lib/python3 and /usr/share/man); the stream
#                    decoder beside it
#   decompress_lrs   peak memory on streams that declare 4 GiB and stop
#                    after one byte
#   ostrand-dat cat  against lz4 -d of the same 64 MiB, whole process, on
#                    each kind, with peak memory
#   ostrand-dat verify and sum against cat of the same archive, and cat
#                    piped to sha256sum
#   ostrand-dat info against min_open_reads (only the reads an open needs),
#                    on 1,000,000 entries at block sizes 1024 and 256, with
#                    min_open_reads --keep (the reads plus keeping every
#                    entry's bytes) beside them for what memory costs
# and prints each figure with its ratio and goal. Every time is a median of
# runs taken in turns with its anchor's.
# Then runs the rest of the Google Benchmark programs.
#
# Usage: scripts/bench.sh [RUNS]   (RUNS: whole-process runs, default 11)
# Needs: cmake, ninja, Google Benchmark, lz4, tar. Uses build-bench/.
set -euo pipefail

runs=${1:-11}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

for tool in cmake lz4 tar awk; do
  command -v "$tool" >/dev/null || { echo "bench.sh: $tool is needed" >&2; exit 1; }
done

echo "Building the bench preset..."
cmake --preset bench >/dev/null
cmake --build --preset bench -j 2 --target ostrand_dat_bench min_open_reads \
  make_bench_archive run_timed ostrand-dat lrs_memory >/dev/null
bin=$root/build-bench/bin

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# first_bytes SIZE DIR...: the first SIZE bytes of tars of the folders, an
# equal share of each, each tar repeated when it is shorter than its share.
# tar reports files that vanish or cannot be read; what it wrote is still
# good data. head ends the tars early, so their status is not looked at.
first_bytes() {
  local size=$1
  shift
  local share=$((size / $#))
  for dir in "$@"; do
    for _ in $(seq 64); do tar -cf - -C / "$dir" 2>/dev/null || true; done |
      head -c "$share" || true
  done
}
kinds=(text executables mixed)
declare -A dirs=([text]="usr/include" [executables]="usr/bin"
  [mixed]="usr/share/locale usr/share/icons usr/lib/python3 usr/share/man")
declare -A what=([text]="text (a tar of /usr/include)"
  [executables]="executables (a tar of /usr/bin)"
  [mixed]="mixed (tars of locale, icons, python3, man)")
declare -A in_process_goal=([text]=0.55 [executables]=0.40 [mixed]=0.35)
declare -A bench_name=([text]=Text [executables]=Executables [mixed]=Mixed)
for kind in "${kinds[@]}"; do
  # shellcheck disable=SC2086  # the folders are separate words
  first_bytes $((16 << 20)) ${dirs[$kind]} >"$tmp/$kind.16"
  # shellcheck disable=SC2086
  first_bytes $((64 << 20)) ${dirs[$kind]} >"$tmp/$kind.64"
done
export OSTRAND_BENCH_TAR=$tmp/text.16
export OSTRAND_BENCH_EXE_TAR=$tmp/executables.16
export OSTRAND_BENCH_MIXED_TAR=$tmp/mixed.16

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
# verdict VALUE OP LIMIT: "ok" or "MISSED".
verdict() { awk -v v="$1" -v op="$2" -v l="$3" 'BEGIN {
  ok = (op == ">=") ? v >= l : v <= l; print ok ? "ok" : "MISSED" }'; }
row() { printf '  %-44s %10s\n' "$1" "$2"; }
# goal NAME VALUE OP LIMIT [UNIT]
goal() { printf '  %-44s %10s %-4s goal %s %s: %s\n' "$1" "$2" "${5:-x}" "$3" "$4" "$(verdict "$2" "$3" "$4")"; }

echo
echo "== decompress_lrs on 1 MiB pieces of 16 MiB of each kind, against lz4 -d"
echo "   in process (lz4 -b1 -B1048576) on the same bytes; 5 rounds in turns, medians"
declare -A rates=()
for _ in 1 2 3 4 5; do
  for kind in "${kinds[@]}"; do
    # lz4 -b reports, per level, "... , C MB/s , D MB/s"; D is decompression.
    rates[$kind.lz4]+="$(lz4 -b1 -i1 -B1048576 "$tmp/$kind.16" 2>&1 | tr '\r,' '\n ' |
      awk '/MB\/s/ {for (i = 1; i <= NF; ++i) if ($i == "MB/s") last = $(i - 1)} END {print last}') "
    csv=$("$bin/ostrand_dat_bench" \
      --benchmark_filter="^BM_(DecompressLrs|PlainDecoder|LrsStream)_${bench_name[$kind]}/" \
      --benchmark_format=csv 2>/dev/null)
    for decoder in DecompressLrs PlainDecoder LrsStream; do
      rates[$kind.$decoder]+="$(printf '%s\n' "$csv" | awk -F, \
        -v n="\"BM_${decoder}_${bench_name[$kind]}/real_time\"" '$1 == n {printf "%.1f", $6 / 1e6}') "
    done
  done
done
rate() { tr ' ' '\n' <<<"${rates[$1]}" | grep . | median; }
for kind in "${kinds[@]}"; do
  ours=$(rate "$kind.DecompressLrs")
  lz4_mbs=$(rate "$kind.lz4")
  plain=$(rate "$kind.PlainDecoder")
  stream=$(rate "$kind.LrsStream")
  echo " ${what[$kind]}:"
  row "decompress_lrs (MB/s, output)" "$ours"
  row "lz4 -d, in process (MB/s)" "$lz4_mbs"
  goal "decompress_lrs / lz4 -d" "$(ratio "$ours" "$lz4_mbs")" ">=" "${in_process_goal[$kind]}"
  row "plain byte-at-a-time decoder (MB/s)" "$plain"
  if [ "$kind" = text ]; then
    goal "decompress_lrs / plain decoder" "$(ratio "$ours" "$plain")" ">=" 3.5
  else
    row "decompress_lrs / plain decoder (x)" "$(ratio "$ours" "$plain")"
  fi
  row "stream decoder, 64 KiB pieces (MB/s)" "$stream"
  row "stream decoder / decompress_lrs (x)" "$(ratio "$stream" "$ours")"
done

echo
echo "== decompress_lrs peak memory, streams declaring 4 GiB that stop after one byte"
for input_bytes in 6 100000000; do
  read -r _ _ peak_kib <<<"$("$bin/lrs_memory" "$input_bytes")"
  limit_mib=$(awk -v b="$input_bytes" 'BEGIN {printf "%.1f", 2 * b / 1048576 + 1}')
  goal "input of $input_bytes bytes (MiB, input included)" \
    "$(awk -v k="$peak_kib" 'BEGIN {printf "%.1f", k / 1024}')" "<=" "$limit_mib" MiB
done

echo
echo "== ostrand-dat cat of a 64 MiB compressed file of each kind, against"
echo "   lz4 -d of the same data (lz4 -1), whole process ($runs runs in turns)"
commands=()
for kind in "${kinds[@]}"; do
  "$bin/ostrand-dat" pack "$tmp/$kind.dat" --compress 1="$tmp/$kind.64"
  lz4 -q -1 -c "$tmp/$kind.64" >"$tmp/$kind.64.lz4"
  "$bin/ostrand-dat" cat "$tmp/$kind.dat" 1 | cmp -s - "$tmp/$kind.64" ||
    { echo "bench.sh: ostrand-dat cat does not give the packed $kind bytes back" >&2; exit 1; }
  commands+=(-- lz4 -q -d -c "$tmp/$kind.64.lz4" -- "$bin/ostrand-dat" cat "$tmp/$kind.dat" 1)
done
timed=$("$bin/run_timed" "$runs" "${commands[@]}")
cat_ratios=()
line=1
for kind in "${kinds[@]}"; do
  read -r lz4_ms _ _ _ <<<"$(sed -n "${line}p" <<<"$timed")"
  read -r cat_ms _ cat_kib _ <<<"$(sed -n "$((line + 1))p" <<<"$timed")"
  line=$((line + 2))
  cat_ratios+=("$(ratio "$cat_ms" "$lz4_ms")")
  echo " ${what[$kind]}:"
  row "ostrand-dat cat (ms)" "$cat_ms"
  row "lz4 -d -c (ms)" "$lz4_ms"
  row "ostrand-dat cat / lz4 -d (x)" "${cat_ratios[-1]}"
  goal "peak memory of cat" "$(awk -v k="$cat_kib" 'BEGIN {printf "%.1f", k / 1024}')" \
    "<=" 16 MiB
done
echo " over the three kinds:"
goal "ostrand-dat cat / lz4 -d, median" "$(printf '%s\n' "${cat_ratios[@]}" | median)" "<=" 1.0
goal "ostrand-dat cat / lz4 -d, worst" "$(printf '%s\n' "${cat_ratios[@]}" | sort -g | tail -n 1)" "<=" 1.2

echo
echo "== ostrand-dat verify and sum of the 64 MiB mixed archive, against cat"
echo "   of its entry and cat piped to sha256sum, whole process ($runs runs in turns)"
archive=$tmp/mixed.dat
timed=$("$bin/run_timed" "$runs" -- "$bin/ostrand-dat" cat "$archive" 1 \
  -- "$bin/ostrand-dat" verify "$archive" \
  -- sh -c "'$bin/ostrand-dat' cat '$archive' 1 | sha256sum" \
  -- sh -c "'$bin/ostrand-dat' sum '$archive'")
read -r cat_ms _ _ _ <<<"$(sed -n 1p <<<"$timed")"
read -r verify_ms _ _ _ <<<"$(sed -n 2p <<<"$timed")"
read -r pipe_ms _ _ _ <<<"$(sed -n 3p <<<"$timed")"
read -r sum_ms _ _ _ <<<"$(sed -n 4p <<<"$timed")"
row "ostrand-dat verify (ms)" "$verify_ms"
row "ostrand-dat cat (ms)" "$cat_ms"
goal "ostrand-dat verify / cat" "$(ratio "$verify_ms" "$cat_ms")" "<=" 1.3
row "ostrand-dat sum (ms)" "$sum_ms"
row "ostrand-dat cat | sha256sum (ms)" "$pipe_ms"
goal "ostrand-dat sum / cat | sha256sum" "$(ratio "$sum_ms" "$pipe_ms")" "<=" 1.3

echo
echo "== ostrand-dat info on 1,000,000 entries, whole process ($runs runs)"
for block_size in 1024 256; do
  archive=$tmp/directory-$block_size.dat
  "$bin/make_bench_archive" "$archive" 1000000 "$block_size"
  timed=$("$bin/run_timed" "$runs" -- "$bin/min_open_reads" "$archive" \
    -- "$bin/ostrand-dat" info "$archive" \
    -- "$bin/min_open_reads" --keep "$archive")
  read -r floor_ms _ _ _ <<<"$(sed -n 1p <<<"$timed")"
  read -r info_ms _ info_kib _ <<<"$(sed -n 2p <<<"$timed")"
  read -r keep_ms _ _ _ <<<"$(sed -n 3p <<<"$timed")"
  limit=$([ "$block_size" = 1024 ] && echo 2.5 || echo 1.2)
  echo " block size $block_size:"
  row "ostrand-dat info (ms)" "$info_ms"
  row "min_open_reads (ms)" "$floor_ms"
  goal "ostrand-dat info / min_open_reads" "$(ratio "$info_ms" "$floor_ms")" "<=" "$limit"
  # Not a goal: what the reads cost once every entry's 24 bytes are kept,
  # the least any map holding whole entries can cost.
  row "min_open_reads --keep (ms)" "$keep_ms"
  row "min_open_reads --keep / min_open_reads (x)" "$(ratio "$keep_ms" "$floor_ms")"
  goal "peak memory of info, per million entries" \
    "$(awk -v k="$info_kib" 'BEGIN {printf "%.1f", k / 1024}')" "<=" 40 MiB
done

echo
echo "== The other benchmarks (Google Benchmark, medians of 3)"
"$bin/ostrand_dat_bench" --benchmark_filter='^BM_(Open|FindEveryId|GetFile|ReadFileData|PlainGather|SoundTableUnpack|DecompressLrs_(Literals|Runs|FourLetters)|PlainDecoder_(Literals|Runs|FourLetters))' \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E '^(-|Benchmark|BM_.*_median)'
