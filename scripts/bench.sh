#!/usr/bin/env bash
# Builds the benchmark preset and measures the archive library against its
# anchors, each anchor measured in the same run, side by side:
#   decompress_lrs   against lz4 -b on the same bytes, and the plain decoder,
#                    on three kinds of data: text (a tar of /usr/include),
#                    executables (a tar of /usr/bin) and mixed (4 MiB each
#                    of tars of /usr/share/locale, /usr/share/icons,
#                    /usr/lib/python3 and /usr/share/man); each kind
#                    encoded by the library's encoder and by a plain greedy
#                    encoder of the benchmarks (streams the decoder was not
#                    tuned on); the stream decoder beside it; and the
#                    mixed data's four quarters each on its own
#   decompress_lrs   peak memory on streams that declare 4 GiB and stop
#                    after one byte
#   ostrand-dat cat  against lz4 -d of the same 64 MiB, whole process, on
#                    each kind and each encoder's streams, with peak memory
#   ostrand-dat verify and sum against cat of the same archive, and cat
#                    piped to sha256sum
#   archive.read     (the Python package) against the C++ get_file of the
#                    same 64 MiB compressed entry of each kind, in turns
#   ostrand-dat mount: ls -l of 100,000 entries against ostrand-dat ls -l,
#                    and cat of the 64 MiB files against ostrand-dat cat
#   ostrand-dat info against min_open_reads (only the reads an open needs,
#                    one per block), on 1,000,000 entries at block sizes
#                    1024 and 256, the nodes' blocks one after the other and
#                    scattered, with min_open_reads --keep (the reads plus
#                    keeping every entry's bytes) beside them for what
#                    memory costs
#   ostrand-dat pack --compress against lz4 -1 of the same 32 MiB, whole
#                    process, on each kind, with the sizes they write
#   ostrand-dat pack peak memory on a 1 GiB input (sparse, with 64 MiB of
#                    the mixed data through it), with and without --compress
#   a chain read     by streaming against block by block (one read per
#                    block), laid out forward, reversed and scattered, at
#                    block sizes 5, 64 and 4096
#   ostrand-dat extract of 4,000 files of 0 to 40 KB against tar -x of the
#                    same files followed by sync
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
  make_bench_archive make_lrs_archive run_timed ostrand-dat lrs_memory \
  read_times ostrand_dat_python >/dev/null
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
declare -A greedy_goal=([text]=0.80 [executables]=0.55 [mixed]=0.40)
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
# lz4_rate FILE: lz4 -b's decompression rate on FILE (MB/s). lz4 -b reports,
# per level, "... , C MB/s , D MB/s"; D is decompression.
lz4_rate() {
  lz4 -b1 -i1 -B1048576 "$1" 2>&1 | tr '\r,' '\n ' |
    awk '/MB\/s/ {for (i = 1; i <= NF; ++i) if ($i == "MB/s") last = $(i - 1)} END {print last}'
}
# csv_rate CSV NAME: the rate of benchmark NAME in Google Benchmark's CSV (MB/s).
csv_rate() { printf '%s\n' "$1" | awk -F, -v n="\"BM_$2/real_time\"" '$1 == n {printf "%.1f", $6 / 1e6}'; }
row() { printf '  %-44s %10s\n' "$1" "$2"; }
# goal NAME VALUE OP LIMIT [UNIT]
goal() { printf '  %-44s %10s %-4s goal %s %s: %s\n' "$1" "$2" "${5:-x}" "$3" "$4" "$(verdict "$2" "$3" "$4")"; }

echo
echo "== decompress_lrs on 1 MiB pieces of 16 MiB of each kind, against lz4 -d"
echo "   in process (lz4 -b1 -B1048576) on the same bytes; 5 rounds in turns, medians;"
echo "   the pieces encoded by the library's encoder and by the greedy encoder"
echo "   (matches of 2 to 17 bytes, hash chains 16 deep)"
declare -A rates=()
for _ in 1 2 3 4 5; do
  for kind in "${kinds[@]}"; do
    rates[$kind.lz4]+="$(lz4_rate "$tmp/$kind.16") "
    csv=$("$bin/ostrand_dat_bench" \
      --benchmark_filter="^BM_((DecompressLrs|PlainDecoder|LrsStream)_|(DecompressLrs|LrsStream)_Greedy)${bench_name[$kind]}/" \
      --benchmark_format=csv 2>/dev/null)
    for decoder in DecompressLrs_ PlainDecoder_ LrsStream_ DecompressLrs_Greedy LrsStream_Greedy; do
      rates[$kind.$decoder]+="$(csv_rate "$csv" "${decoder}${bench_name[$kind]}") "
    done
  done
done
rate() { tr ' ' '\n' <<<"${rates[$1]}" | grep . | median; }
for kind in "${kinds[@]}"; do
  ours=$(rate "$kind.DecompressLrs_")
  lz4_mbs=$(rate "$kind.lz4")
  plain=$(rate "$kind.PlainDecoder_")
  stream=$(rate "$kind.LrsStream_")
  greedy=$(rate "$kind.DecompressLrs_Greedy")
  greedy_stream=$(rate "$kind.LrsStream_Greedy")
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
  row "decompress_lrs, greedy streams (MB/s)" "$greedy"
  goal "decompress_lrs, greedy streams / lz4 -d" "$(ratio "$greedy" "$lz4_mbs")" ">=" "${greedy_goal[$kind]}"
  row "stream decoder, greedy streams (MB/s)" "$greedy_stream"
done

echo
echo "== the mixed data by quarter (each 4 MiB tar of it repeated to 16 MiB),"
echo "   the same figures, 3 rounds in turns, medians; not goals: where the"
echo "   mixed figure is won or lost"
quarters=(locale icons python3 man)
for q in 0 1 2 3; do
  for _ in 1 2 3 4; do
    dd if="$tmp/mixed.16" bs=1M skip=$((q * 4)) count=4 status=none
  done >"$tmp/quarter$q.16"
done
for _ in 1 2 3; do
  for q in 0 1 2 3; do
    rates[quarter$q.lz4]+="$(lz4_rate "$tmp/quarter$q.16") "
    csv=$(OSTRAND_BENCH_MIXED_TAR=$tmp/quarter$q.16 "$bin/ostrand_dat_bench" \
      --benchmark_filter='^BM_DecompressLrs_(Greedy)?Mixed/' --benchmark_format=csv 2>/dev/null)
    for decoder in DecompressLrs_ DecompressLrs_Greedy; do
      rates[quarter$q.$decoder]+="$(csv_rate "$csv" "${decoder}Mixed") "
    done
  done
done
for q in 0 1 2 3; do
  lz4_mbs=$(rate "quarter$q.lz4")
  echo " ${quarters[$q]}:"
  row "lz4 -d, in process (MB/s)" "$lz4_mbs"
  row "decompress_lrs / lz4 -d" "$(ratio "$(rate "quarter$q.DecompressLrs_")" "$lz4_mbs")"
  row "decompress_lrs, greedy streams / lz4 -d" \
    "$(ratio "$(rate "quarter$q.DecompressLrs_Greedy")" "$lz4_mbs")"
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
echo "   lz4 -d of the same data (lz4 -1), whole process ($runs runs in turns);"
echo "   the file packed by ostrand-dat pack --compress, and encoded by the"
echo "   greedy encoder"
commands=()
for kind in "${kinds[@]}"; do
  "$bin/ostrand-dat" pack "$tmp/$kind.dat" --compress 1="$tmp/$kind.64"
  "$bin/make_lrs_archive" "$tmp/$kind.greedy.dat" "$tmp/$kind.64" 2 16 >/dev/null
  lz4 -q -1 -c "$tmp/$kind.64" >"$tmp/$kind.64.lz4"
  for archive in "$tmp/$kind.dat" "$tmp/$kind.greedy.dat"; do
    "$bin/ostrand-dat" cat "$archive" 1 | cmp -s - "$tmp/$kind.64" ||
      { echo "bench.sh: ostrand-dat cat does not give the $kind bytes of $archive back" >&2; exit 1; }
  done
  commands+=(-- lz4 -q -d -c "$tmp/$kind.64.lz4" -- "$bin/ostrand-dat" cat "$tmp/$kind.dat" 1
    -- "$bin/ostrand-dat" cat "$tmp/$kind.greedy.dat" 1)
done
timed=$("$bin/run_timed" "$runs" "${commands[@]}")
cat_ratios=()
greedy_ratios=()
line=1
for kind in "${kinds[@]}"; do
  read -r lz4_ms _ _ _ <<<"$(sed -n "${line}p" <<<"$timed")"
  read -r cat_ms _ cat_kib _ <<<"$(sed -n "$((line + 1))p" <<<"$timed")"
  read -r greedy_ms _ greedy_kib _ <<<"$(sed -n "$((line + 2))p" <<<"$timed")"
  line=$((line + 3))
  cat_ratios+=("$(ratio "$cat_ms" "$lz4_ms")")
  greedy_ratios+=("$(ratio "$greedy_ms" "$lz4_ms")")
  echo " ${what[$kind]}:"
  row "ostrand-dat cat (ms)" "$cat_ms"
  row "lz4 -d -c (ms)" "$lz4_ms"
  row "ostrand-dat cat / lz4 -d (x)" "${cat_ratios[-1]}"
  row "ostrand-dat cat, greedy streams (ms)" "$greedy_ms"
  row "ostrand-dat cat, greedy streams / lz4 -d (x)" "${greedy_ratios[-1]}"
  peak_kib=$((cat_kib > greedy_kib ? cat_kib : greedy_kib))
  goal "peak memory of cat" "$(awk -v k="$peak_kib" 'BEGIN {printf "%.1f", k / 1024}')" \
    "<=" 16 MiB
done
echo " over the three kinds:"
goal "ostrand-dat cat / lz4 -d, median" "$(printf '%s\n' "${cat_ratios[@]}" | median)" "<=" 1.0
goal "ostrand-dat cat / lz4 -d, worst" "$(printf '%s\n' "${cat_ratios[@]}" | sort -g | tail -n 1)" "<=" 1.2
goal "cat, greedy streams / lz4 -d, median" "$(printf '%s\n' "${greedy_ratios[@]}" | median)" "<=" 0.8
goal "cat, greedy streams / lz4 -d, worst" "$(printf '%s\n' "${greedy_ratios[@]}" | sort -g | tail -n 1)" "<=" 1.0

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
echo "== Python archive.read of a 64 MiB compressed entry of each kind, against"
echo "   C++ get_file of it (each process reads 3 times; $runs processes in turns)"
python=${PYTHON:-python3}
read_ratios=()
for kind in "${kinds[@]}"; do
  cpp_ms="" py_ms=""
  for _ in $(seq "$runs"); do
    cpp_ms+="$("$bin/read_times" "$tmp/$kind.dat" 1 3 | awk '{print $1}') "
    py_ms+="$(PYTHONPATH=$root/build-bench/python "$python" \
      "$root/python/bench/read_times.py" "$tmp/$kind.dat" 1 3 | awk '{print $1}') "
  done
  cpp_ms=$(tr ' ' '\n' <<<"$cpp_ms" | grep . | median)
  py_ms=$(tr ' ' '\n' <<<"$py_ms" | grep . | median)
  read_ratios+=("$(ratio "$py_ms" "$cpp_ms")")
  echo " ${what[$kind]}:"
  row "archive.read, Python (ms)" "$py_ms"
  row "get_file, C++ (ms)" "$cpp_ms"
  row "archive.read / get_file (x)" "${read_ratios[-1]}"
done
goal "archive.read / get_file, worst" "$(printf '%s\n' "${read_ratios[@]}" | sort -g | tail -n 1)" "<=" 1.2

echo
echo "== ostrand-dat info on 1,000,000 entries, whole process ($runs runs in turns),"
echo "   against min_open_reads (the reads an open needs, one per block) on the"
echo "   same archive: its nodes' blocks one after the other, as a writer lays"
echo "   them out, and the same archive with each node's later blocks scattered"
for block_size in 1024 256; do
  archive=$tmp/directory-$block_size.dat
  scattered=$tmp/scattered-$block_size.dat
  "$bin/make_bench_archive" "$archive" 1000000 "$block_size"
  "$bin/make_bench_archive" "$scattered" 1000000 "$block_size" scattered
  timed=$("$bin/run_timed" "$runs" -- "$bin/min_open_reads" "$archive" \
    -- "$bin/ostrand-dat" info "$archive" \
    -- "$bin/min_open_reads" --keep "$archive" \
    -- "$bin/min_open_reads" "$scattered" \
    -- "$bin/ostrand-dat" info "$scattered")
  read -r floor_ms _ _ _ <<<"$(sed -n 1p <<<"$timed")"
  read -r info_ms _ info_kib _ <<<"$(sed -n 2p <<<"$timed")"
  read -r keep_ms _ _ _ <<<"$(sed -n 3p <<<"$timed")"
  read -r scattered_floor_ms _ _ _ <<<"$(sed -n 4p <<<"$timed")"
  read -r scattered_ms _ _ _ <<<"$(sed -n 5p <<<"$timed")"
  echo " block size $block_size:"
  row "ostrand-dat info (ms)" "$info_ms"
  row "min_open_reads (ms)" "$floor_ms"
  goal "ostrand-dat info / min_open_reads" "$(ratio "$info_ms" "$floor_ms")" "<=" 0.6
  # Not a goal: what the reads cost once every entry's 24 bytes are kept,
  # the least any map holding whole entries can cost.
  row "min_open_reads --keep (ms)" "$keep_ms"
  row "min_open_reads --keep / min_open_reads (x)" "$(ratio "$keep_ms" "$floor_ms")"
  goal "peak memory of info, per million entries" \
    "$(awk -v k="$info_kib" 'BEGIN {printf "%.1f", k / 1024}')" "<=" 40 MiB
  row "ostrand-dat info, scattered blocks (ms)" "$scattered_ms"
  row "min_open_reads, scattered blocks (ms)" "$scattered_floor_ms"
  goal "info / min_open_reads, scattered blocks" \
    "$(ratio "$scattered_ms" "$scattered_floor_ms")" "<=" 1.0
done

echo
echo "== ostrand-dat pack --compress of 32 MiB of each kind, against lz4 -1 of"
echo "   the same file, whole process ($runs runs in turns); sizes against the"
echo "   input's"
commands=()
for kind in "${kinds[@]}"; do
  head -c $((32 << 20)) "$tmp/$kind.64" >"$tmp/$kind.32"
  commands+=(-- lz4 -q -1 -f "$tmp/$kind.32" "$tmp/$kind.32.lz4"
    -- "$bin/ostrand-dat" pack "$tmp/$kind.packed.dat" --compress 1="$tmp/$kind.32")
done
timed=$("$bin/run_timed" "$runs" "${commands[@]}")
line=1
for kind in "${kinds[@]}"; do
  read -r lz4_ms _ _ _ <<<"$(sed -n "${line}p" <<<"$timed")"
  read -r pack_ms _ pack_kib _ <<<"$(sed -n "$((line + 1))p" <<<"$timed")"
  line=$((line + 2))
  "$bin/ostrand-dat" cat "$tmp/$kind.packed.dat" 1 | cmp -s - "$tmp/$kind.32" ||
    { echo "bench.sh: ostrand-dat cat does not give the packed $kind bytes back" >&2; exit 1; }
  input_bytes=$(stat -c %s "$tmp/$kind.32")
  echo " ${what[$kind]}:"
  row "ostrand-dat pack --compress (ms)" "$pack_ms"
  row "lz4 -1 (ms)" "$lz4_ms"
  goal "pack --compress / lz4 -1" "$(ratio "$pack_ms" "$lz4_ms")" "<=" 2.5
  row "archive / input (x)" "$(ratio "$(stat -c %s "$tmp/$kind.packed.dat")" "$input_bytes")"
  row "lz4 -1 / input (x)" "$(ratio "$(stat -c %s "$tmp/$kind.32.lz4")" "$input_bytes")"
  row "peak memory of pack (MiB)" "$(awk -v k="$pack_kib" 'BEGIN {printf "%.1f", k / 1024}')"
done

echo
echo "== ostrand-dat pack of a 1 GiB input, with and without --compress: peak"
echo "   memory (the input sparse, 4 MiB of the mixed data every 64 MiB; one run"
echo "   each)"
truncate -s 1G "$tmp/big"
for i in $(seq 0 15); do
  dd if="$tmp/mixed.64" of="$tmp/big" bs=1M count=4 skip=$((i * 4)) \
    seek=$((i * 64)) conv=notrunc status=none
done
timed=$("$bin/run_timed" 1 -- "$bin/ostrand-dat" pack "$tmp/big.dat" 1="$tmp/big" \
  -- "$bin/ostrand-dat" pack "$tmp/big.packed.dat" --compress 1="$tmp/big")
read -r plain_ms _ plain_kib _ <<<"$(sed -n 1p <<<"$timed")"
read -r compress_ms _ compress_kib _ <<<"$(sed -n 2p <<<"$timed")"
for archive in big.dat big.packed.dat; do
  "$bin/ostrand-dat" cat "$tmp/$archive" 1 | cmp -s - "$tmp/big" ||
    { echo "bench.sh: ostrand-dat cat does not give the 1 GiB input back" >&2; exit 1; }
done
rm -f "$tmp/big" "$tmp/big.dat" "$tmp/big.packed.dat"
row "ostrand-dat pack (ms)" "$plain_ms"
goal "peak memory of pack" "$(awk -v k="$plain_kib" 'BEGIN {printf "%.1f", k / 1024}')" "<=" 64 MiB
row "ostrand-dat pack --compress (ms)" "$compress_ms"
goal "peak memory of pack --compress" "$(awk -v k="$compress_kib" 'BEGIN {printf "%.1f", k / 1024}')" "<=" 64 MiB

echo
echo "== a chain read by streaming against block by block (one read per block),"
echo "   by layout and block size: 100,000 bytes at 5, 1 MiB at 64, 16 MiB at"
echo "   4096; 5 rounds in turns, medians"
declare -A chain_ms=()
layouts=(forward reversed scattered)
for _ in 1 2 3 4 5; do
  for layout in 0 1 2; do
    for block_size in 5 64 4096; do
      csv=$("$bin/ostrand_dat_bench" --benchmark_min_time=0.2 \
        --benchmark_filter="^BM_(StreamChain|BlockByBlock)/$layout/$block_size/" \
        --benchmark_format=csv 2>/dev/null)
      for read in StreamChain BlockByBlock; do
        chain_ms[$read.$layout.$block_size]+="$(printf '%s\n' "$csv" | awk -F, \
          -v n="\"BM_$read/$layout/$block_size/real_time\"" '$1 == n {printf "%.3f", $3}') "
      done
    done
  done
done
chain_median() { tr ' ' '\n' <<<"${chain_ms[$1]}" | grep . | median; }
for layout in 0 1 2; do
  echo " ${layouts[$layout]} chains:"
  for block_size in 5 64 4096; do
    stream=$(chain_median "StreamChain.$layout.$block_size")
    blocks=$(chain_median "BlockByBlock.$layout.$block_size")
    row "block size $block_size: streaming (ms)" "$stream"
    row "block size $block_size: block by block (ms)" "$blocks"
    goal "block size $block_size: streaming / block by block" \
      "$(ratio "$stream" "$blocks")" "<=" 2.0
  done
done

echo
echo "== ostrand-dat mount ($runs runs in turns): ls -l on a fresh mount per run,"
echo "   so that nothing comes from the kernel's caches (mount and unmount"
echo "   included in its time); cat with the file's cached pages dropped first"
if [ -w /dev/fuse ] && command -v fusermount3 >/dev/null; then
  mnt=$tmp/mnt
  mkdir -p "$mnt"
  # mounted.sh ARCHIVE COMMAND...: COMMAND run on a fresh foreground mount.
  cat >"$tmp/mounted.sh" <<EOF
#!/usr/bin/env bash
archive=\$1; shift
"$bin/ostrand-dat" mount -f "\$archive" "$mnt" & server=\$!
for _ in \$(seq 500); do mountpoint -q "$mnt" && break; sleep 0.01; done
"\$@" >/dev/null; status=\$?
fusermount3 -u "$mnt"; wait \$server
exit \$status
EOF
  chmod +x "$tmp/mounted.sh"
  "$bin/make_bench_archive" "$tmp/listing.dat" 100000 1024
  # The same names as empty files in a folder of the local file system: what
  # ls -l itself costs on 100,000 files, beside the mount.
  mkdir -p "$tmp/plain-folder"
  "$bin/ostrand-dat" extract -q --no-sync -C "$tmp/plain-folder" "$tmp/listing.dat"
  timed=$("$bin/run_timed" "$runs" -- "$bin/ostrand-dat" ls -l "$tmp/listing.dat" \
    -- "$tmp/mounted.sh" "$tmp/listing.dat" ls -l "$mnt" \
    -- ls -l "$tmp/plain-folder")
  read -r ls_ms _ _ _ <<<"$(sed -n 1p <<<"$timed")"
  read -r mount_ls_ms _ _ _ <<<"$(sed -n 2p <<<"$timed")"
  read -r plain_ls_ms _ _ _ <<<"$(sed -n 3p <<<"$timed")"
  rm -rf "$tmp/plain-folder"
  echo " ls -l of 100,000 entries (empty files):"
  row "ostrand-dat ls -l (ms)" "$ls_ms"
  row "mount, ls -l MOUNTPOINT, unmount (ms)" "$mount_ls_ms"
  row "ls -l of a folder of the same empty files (ms)" "$plain_ls_ms"
  goal "mounted ls -l / ostrand-dat ls -l" "$(ratio "$mount_ls_ms" "$ls_ms")" "<=" 3
  row "mounted ls -l / ls -l of the folder (x)" "$(ratio "$mount_ls_ms" "$plain_ls_ms")"
  # cat on one mount per kind; before each run the file's pages are dropped
  # from the kernel's cache, so that every run decodes.
  for kind in "${kinds[@]}"; do
    "$bin/ostrand-dat" mount "$tmp/$kind.dat" "$mnt"
    file=$mnt/00000001.bin
    cmp -s "$file" "$tmp/$kind.64" ||
      { echo "bench.sh: the mounted file is not the packed $kind bytes" >&2; fusermount3 -u "$mnt"; exit 1; }
    timed=$("$bin/run_timed" "$runs" \
      -- sh -c 'dd if="$1" iflag=nocache count=0 status=none; "$2" cat "$3" 1' sh "$file" "$bin/ostrand-dat" "$tmp/$kind.dat" \
      -- sh -c 'dd if="$1" iflag=nocache count=0 status=none; cat "$1"' sh "$file")
    fusermount3 -u "$mnt"
    read -r cat_ms _ _ _ <<<"$(sed -n 1p <<<"$timed")"
    read -r mount_cat_ms _ _ _ <<<"$(sed -n 2p <<<"$timed")"
    echo " cat of the 64 MiB compressed ${what[$kind]} file:"
    row "ostrand-dat cat (ms)" "$cat_ms"
    row "cat MOUNTPOINT/00000001.bin (ms)" "$mount_cat_ms"
    goal "mounted cat / ostrand-dat cat" "$(ratio "$mount_cat_ms" "$cat_ms")" "<=" 1.5
  done
else
  echo "  skipped: /dev/fuse or fusermount3 is missing"
fi

echo
echo "== ostrand-dat extract of 4,000 files of 0 to 40 KB, against tar -x of the"
echo "   same files followed by sync, whole process ($runs runs in turns)"
small=$tmp/small
mkdir -p "$small" "$tmp/small-tar" "$tmp/small-extract" "$tmp/small-nosync"
# Sizes spread over 0 to 40,960 bytes; contents from the mixed data. Read
# from a process substitution: the loop takes less than all of it, and cat
# ended by SIGPIPE in a pipeline would end this script (pipefail).
{
  for i in $(seq 0 3999); do
    size=$(((i * 7919) % 40961))
    name=$(printf '%08X.bin' $((0x30000000 + i)))
    if [ "$size" -eq 0 ]; then : >"$small/$name"; else
      dd bs="$size" count=1 iflag=fullblock status=none of="$small/$name"
    fi
  done
} < <(cat "$tmp/mixed.64" "$tmp/text.64")
pack_args=()
for file in "$small"/*.bin; do
  name=${file##*/}
  pack_args+=("0x${name%.bin}=$file")
done
"$bin/ostrand-dat" pack "$tmp/small.dat" "${pack_args[@]}"
tar -cf "$tmp/small.tar" -C "$small" .
timed=$("$bin/run_timed" "$runs" \
  -- sh -c 'tar -xf "$1" -C "$2" && sync' sh "$tmp/small.tar" "$tmp/small-tar" \
  -- "$bin/ostrand-dat" extract --force -C "$tmp/small-extract" "$tmp/small.dat" \
  -- "$bin/ostrand-dat" extract --force --no-sync -C "$tmp/small-nosync" "$tmp/small.dat")
read -r tar_ms _ _ _ <<<"$(sed -n 1p <<<"$timed")"
read -r extract_ms _ _ _ <<<"$(sed -n 2p <<<"$timed")"
read -r nosync_ms _ _ _ <<<"$(sed -n 3p <<<"$timed")"
diff -r "$small" "$tmp/small-extract" >/dev/null ||
  { echo "bench.sh: extract does not give the packed files back" >&2; exit 1; }
row "tar -x, then sync (ms)" "$tar_ms"
row "ostrand-dat extract (ms)" "$extract_ms"
goal "ostrand-dat extract / (tar -x; sync)" "$(ratio "$extract_ms" "$tar_ms")" "<=" 1.5
row "ostrand-dat extract --no-sync (ms)" "$nosync_ms"

echo
echo "== The other benchmarks (Google Benchmark, medians of 3)"
"$bin/ostrand_dat_bench" --benchmark_filter='^BM_(Open|FindEveryId|GetFile|ReadFileData|PlainGather|SoundTableUnpack|DecompressLrs_(Literals|Runs|FourLetters)|PlainDecoder_(Literals|Runs|FourLetters))' \
  --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep -E '^(-|Benchmark|BM_.*_median)'
