#!/usr/bin/env bash
# Encoding benchmark: the zstd encoding beside the classic zlib one, on the
# same builds in the same run.
#
# The builds: v1 holds the old file of every pair of the patch benchmark
# (scripts/lib/patch_pairs.sh: Debian library and program versions, LLVM's
# shared library several major versions apart, generated minor releases and
# a 64 MiB generated asset pack), v2 the new ones. Create mode publishes v2
# against v1 once with --encodings classic and once with both encodings at
# each level of ENCODING_BENCH_LEVELS (default 19), on every core.
#   1. per pair: the whole file (N.compressed, N.zst), the patch (N.patch,
#      the zstd patch create mode kept: zdiff or zfrom) and xdelta3 -9, with
#      the ratios the targets name; and the sums of the whole files;
#   2. create mode's CPU seconds (user + system) per encoding and level;
#   3. decoding: a GiB made of the new files, inflated by pigz (zlib) and
#      decoded by zstd (libzstd, --long=26), CPU seconds of each;
#   4. an install of v2 into a v1 folder, and into an empty one, from
#      update_server on 127.0.0.1,
#      from the classic data set (the same folder without encodings.index,
#      as an updater without the second encoding sees it) and from both:
#      the best of ENCODING_BENCH_RUNS runs (default 3), alternated, by wall
#      seconds from "Fetching manifest..." to "... updates applied", and
#      the bytes update_server sent.
#
# Installs what it needs: xdelta3, zstd, pigz, time, bc. Environment:
# BUILD_DIR (default build), ENCODING_BENCH_DIR (work folder, default
# /tmp/quor-encoding-bench), PATCH_BENCH_DIR (where the pairs are kept,
# shared with bench/patch_bench.sh, default /tmp/quor-patch-bench),
# PATCH_BENCH_PAIRS (the pairs to use; default all), ENCODING_BENCH_GIB=0
# (leave out the decoding of a GiB).
set -euo pipefail
renice -n 19 -p $$ >/dev/null

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
levels=${ENCODING_BENCH_LEVELS:-19}
runs=${ENCODING_BENCH_RUNS:-3}
out=${ENCODING_BENCH_DIR:-/tmp/quor-encoding-bench}
work=${PATCH_BENCH_DIR:-/tmp/quor-patch-bench}
mkdir -p "$work/debs" "$work/pairs" "$out"

cd "$root"
source scripts/lib/bench.sh
require_packages xdelta3 zstd pigz time bc
build_bench "$build" -j1 patch_bench updater update_server
bench="$root/$build/bench/patch_bench"
updater_bin="$root/$build/updater"
source scripts/lib/patch_pairs.sh
gather_pairs

# The two builds, one file per pair; create mode numbers the files in the
# order of their names.
rm -rf "$out/v1" "$out/v2"
mkdir -p "$out/v1/data/quor" "$out/v2/data/quor"
for name in "${names[@]}"; do
  cp "$work/pairs/$name.old" "$out/v1/data/quor/$name"
  cp "$work/pairs/$name.new" "$out/v2/data/quor/$name"
done
mapfile -t sorted < <(printf '%s\n' "${names[@]}" | LC_ALL=C sort)

# publish ENCODINGS LEVEL FOLDER: create mode in a copy of v2 at FOLDER;
# sets cpu.
publish() {
  rm -rf "$3"
  cp -r "$out/v2" "$3"
  mkdir -p "$3/server_data"
  measure env -C "$3" "$updater_bin" --create --old ../v1 --encodings "$1" --zstd-level "$2"
}

# indexed DATA NUMBER KIND: the size encodings.index gives that file; "-"
# when it lists none.
indexed() {
  awk -v name="$2.$3" '$1 == name { print $2; found = 1 } END { if (!found) print "-" }' \
    "$1/encodings.index"
}

# zstd_patch DATA NUMBER: the zstd patch kept, as "bytes kind", or "- -".
zstd_patch() {
  local kind bytes
  for kind in zdiff zfrom; do
    bytes=$(indexed "$1" "$2" "$kind")
    [ "$bytes" != - ] && { echo "$bytes $kind"; return; }
  done
  echo "- -"
}

or_ratio() { if [ "$1" = - ] || [ "$2" = - ]; then echo -; else rounded_ratio "$1" "$2" 2; fi; }

publish classic 19 "$out/classic"
classic_cpu=$cpu
declare -A level_cpu
for level in $levels; do
  publish both "$level" "$out/both-$level"
  level_cpu[$level]=$cpu
done
last=$(echo "$levels" | awk '{ print $NF }')
data="$out/both-$last/server_data/update_data"

echo "## Sizes (zstd level $last)"
echo
echo "| pair | N.compressed | N.zst | zst/zlib | N.patch | zstd patch | kind | zstd/classic patch | zstd patch/zlib whole | xdelta3 -9 | zstd patch/xdelta3 |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
sum_zlib=0 sum_zst=0
for number in "${!sorted[@]}"; do
  name=${sorted[$number]}
  zlib=$(indexed "$data" "$number" compressed)
  zst=$(indexed "$data" "$number" zst)
  patch=$(indexed "$data" "$number" patch)
  read -r zpatch kind < <(zstd_patch "$data" "$number")
  xdelta3 -9 -e -f -s "$work/pairs/$name.old" "$work/pairs/$name.new" "$out/$name.xd3"
  xd=$(size "$out/$name.xd3")
  sum_zlib=$((sum_zlib + zlib)) sum_zst=$((sum_zst + zst))
  echo "| $name | $zlib | $zst | $(or_ratio "$zst" "$zlib") | $patch | $zpatch | $kind | $(or_ratio "$zpatch" "$patch") | $(or_ratio "$zpatch" "$zlib") | $xd | $(or_ratio "$zpatch" "$xd") |"
done
echo "| all whole files | $sum_zlib | $sum_zst | $(rounded_ratio "$sum_zst" "$sum_zlib" 2) | | | | | | | |"
echo

echo "## Create mode's CPU seconds, every core"
echo
echo "| encodings | level | CPU s | against classic |"
echo "|---|---|---|---|"
echo "| classic | - | $classic_cpu | 1.00 |"
for level in $levels; do
  echo "| both | $level | ${level_cpu[$level]} | $(rounded_ratio "${level_cpu[$level]}" "$classic_cpu" 2) |"
done
echo

# A GiB of the new files, end to end, compressed by the command-line
# tools, decoded to nowhere (ENCODING_BENCH_GIB=0 leaves it out).
if [ "${ENCODING_BENCH_GIB:-1}" != 0 ]; then
  gib=$out/gib
  : >"$gib"
  while [ "$(size "$gib")" -lt $((1 << 30)) ]; do
    for name in "${names[@]}"; do cat "$work/pairs/$name.new" >>"$gib"; done
  done
  truncate -s $((1 << 30)) "$gib"
  pigz -9 -p 2 -c "$gib" >"$gib.gz"
  zstd -q -f -"$last" --long=26 -T2 "$gib" -o "$gib.zst"
  measure pigz -d -c "$gib.gz"; inflate_cpu=$cpu
  measure zstd -q -d --long=26 -c "$gib.zst"; zstd_cpu=$cpu
  echo "## Decoding 1 GiB"
  echo
  echo "| decoder | CPU s | inflate/zstd |"
  echo "|---|---|---|"
  echo "| zlib (pigz -d) | $inflate_cpu | 1.00 |"
  echo "| zstd -d --long=26 | $zstd_cpu | $(rounded_ratio "$inflate_cpu" "$zstd_cpu" 2) |"
  echo
  rm -f "$gib" "$gib.gz" "$gib.zst"
fi

# The classic data set as an updater without the second encoding sees
# it: no index, so it asks for the classic files.
classic_data=$out/classic-only
rm -rf "$classic_data"
cp -r "$data" "$classic_data"
rm -f "$classic_data"/*.zst "$classic_data"/*.zdiff "$classic_data"/*.zfrom "$classic_data/encodings.index"

# install DATA FROM: v2 into a fresh copy of the build FROM (v1, or
# "empty") from update_server on DATA; sets seconds, sent and peak_mib (the
# updater's peak resident memory).
install() {
  local player=$out/player server_out=$out/server.out
  start_server "$root/$build/update_server" "$out" "$server_out" --data "$1"
  rm -rf "$player"
  if [ "$2" = empty ]; then mkdir -p "$player"; else cp -r "$out/$2" "$player"; fi
  servers_config "$player" bench "$server_port"
  sync
  (cd "$player" && /usr/bin/time -f "%M" -o "$player.time" timeout 600 "$updater_bin" 2>&1 \
    </dev/null || true) | stamp >"$player.out"
  stop_server
  peak_mib=$(( $(tail -n 1 "$player.time") / 1024 ))
  install_outcome "$player.out" "$out/v2" "$player"
  [ -z "$why" ] || { echo "install from $1: $why" >&2; exit 1; }
  seconds=$(awk -v f="$from" -v t="$to" 'BEGIN { printf "%.3f", t - f }')
  sent=$(grep -o '([0-9]* bytes sent)' "$server_out" | tr -d '(' | awk '{ s += $1 } END { print s }')
}

echo "## Install from update_server on 127.0.0.1, best of $runs"
echo
echo "| from | data set | seconds | bytes sent | speed against classic | bytes against classic | updater peak MiB |"
echo "|---|---|---|---|---|---|---|"
for start in v1 empty; do
  best_classic= best_both= classic_peak=0 both_peak=0
  for _ in $(seq "$runs"); do
    install "$classic_data" "$start"
    classic_sent=$sent classic_peak=$((peak_mib > classic_peak ? peak_mib : classic_peak))
    best_classic=$(awk -v a="$seconds" -v b="$best_classic" 'BEGIN { print (b == "" || a < b) ? a : b }')
    install "$data" "$start"
    both_sent=$sent both_peak=$((peak_mib > both_peak ? peak_mib : both_peak))
    best_both=$(awk -v a="$seconds" -v b="$best_both" 'BEGIN { print (b == "" || a < b) ? a : b }')
  done
  echo "| $start | classic | $best_classic | $classic_sent | 1.00 | 1.00 | $classic_peak |"
  echo "| $start | both (zstd preferred) | $best_both | $both_sent | $(rounded_ratio "$best_classic" "$best_both" 2) | $(rounded_ratio "$both_sent" "$classic_sent" 2) | $both_peak |"
done
