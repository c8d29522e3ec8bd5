#!/usr/bin/env bash
# Patch benchmark: the updater's bsdiff/bspatch beside xdelta3 -9 and
# zstd -19 --long=27 --patch-from on the same old/new pairs, and the
# project's own suffix sort (the Windows build's) beside libdivsufsort on
# the same old file.
#
# Pairs: library and program binaries of two Debian package versions
# (fetched with apt-get download): point releases, and LLVM's shared library
# several major versions apart (large files with big changes); minor
# releases made from the old binaries of point-release pairs ("minor-" and
# the pair's name: small scattered edits, denser in some blocks, and bytes
# inserted that shift the code after them; see patch_bench minor); and a
# 64 MiB synthetic asset pack with blocks inserted, removed and edited.
# "whole" is the new file's container as create mode publishes it whole.
# "short rules" and "long rules" are the patch by each set of match rules
# alone (patch/extension.h); ours keeps the smaller, so ours/long rules is
# what that saves against the long rules by themselves. Times are wall
# seconds and CPU seconds (user + system) of the whole command (file reading
# included) and peak memory is the maximum resident set size, all from
# /usr/bin/time. Everything runs at the lowest priority.
#
# Installs what it needs: xdelta3, zstd, libdivsufsort-dev, time.
# Environment: BUILD_DIR (default build), PATCH_BENCH_DIR (work folder,
# default /tmp/quor-patch-bench; downloads are kept there between runs),
# PATCH_BENCH_PAIRS (names of the pairs to run, separated by spaces; default
# all), PATCH_BENCH_SORT=0 (leave out the sort timings, "-" in the table),
# PATCH_BENCH_RULES=0 (leave out the sizes by each rule set, "-").
set -euo pipefail
renice -n 19 -p $$ >/dev/null

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
work=${PATCH_BENCH_DIR:-/tmp/quor-patch-bench}
mkdir -p "$work/debs" "$work/pairs" "$work/out"

# Builds: the benchmark helper in the project's build folder, the
# libdivsufsort timer with the system compiler.
cd "$root"
source scripts/lib/bench.sh
require_packages xdelta3 zstd time bc gcc libdivsufsort-dev
build_bench "$build" -j1 patch_bench
bench="$root/$build/bench/patch_bench"
cc -O2 bench/tools/divsufsort_sort.c -ldivsufsort -o "$work/divsufsort_sort" || {
  echo "cannot build the libdivsufsort timer: apt-get install libdivsufsort-dev" >&2; exit 1; }

source scripts/lib/patch_pairs.sh
gather_pairs

mib() { echo "scale=1; $1 / 1048576" | bc; }

table="$work/table.md"
{
  echo "| pair | old MiB | new MiB | ours bytes | short rules bytes | long rules bytes | ours/long rules | xdelta3 -9 bytes | zstd -19 bytes | whole bytes | ours/xdelta3 | ours/zstd | ours/whole | create wall s ours/xdelta3/zstd | create CPU s ours/xdelta3/zstd | CPU ours/zstd | apply s ours/xdelta3/zstd | create peak MiB ours/xdelta3/zstd | ours target MiB | sort s ours/divsufsort |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
} >"$table"

for name in "${names[@]}"; do
  old="$work/pairs/$name.old"
  new="$work/pairs/$name.new"
  out="$work/out/$name"
  n=$(size "$old")
  m=$(size "$new")
  cat "$old" "$new" >/dev/null  # page cache, for every tool alike

  measure "$bench" diff "$old" "$new" "$out.patch"; oursCreate=$wall; oursCpu=$cpu; oursPeak=$peak
  measure "$bench" apply "$old" "$out.patch" "$out.ours"; oursApply=$wall
  must_match "$out.ours" "$new"

  measure xdelta3 -9 -e -f -s "$old" "$new" "$out.xd3"; xdCreate=$wall; xdCpu=$cpu; xdPeak=$peak
  measure xdelta3 -d -f -s "$old" "$out.xd3" "$out.xdout"; xdApply=$wall
  must_match "$out.xdout" "$new"

  measure zstd -q -f -19 --long=27 --patch-from="$old" "$new" -o "$out.zst"; zsCreate=$wall; zsCpu=$cpu; zsPeak=$peak
  measure zstd -q -f -d --long=27 --patch-from="$old" "$out.zst" -o "$out.zsout"; zsApply=$wall
  must_match "$out.zsout" "$new"

  oursSort=- divSort=-
  if [ "${PATCH_BENCH_SORT:-1}" != 0 ]; then
    oursSort=$("$bench" sort "$old")
    divSort=$("$work/divsufsort_sort" "$old")
  fi

  ours=$(size "$out.patch"); xd=$(size "$out.xd3"); zs=$(size "$out.zst")
  shortRules=- longRules=- oursLong=-
  if [ "${PATCH_BENCH_RULES:-1}" != 0 ] && read -r shortRules longRules < <("$bench" rules "$old" "$new"); then
    oursLong=$(ratio "$ours" "$longRules")
  fi
  whole=$("$bench" pack "$new")
  target=$(( (17 * n + 3 * m) / 1048576 + 64 ))
  echo "| $name | $(mib "$n") | $(mib "$m") | $ours | $shortRules | $longRules | $oursLong | $xd | $zs | $whole | $(ratio "$ours" "$xd") | $(ratio "$ours" "$zs") | $(ratio "$ours" "$whole") | $oursCreate / $xdCreate / $zsCreate | $oursCpu / $xdCpu / $zsCpu | $(ratio "$oursCpu" "$zsCpu") | $oursApply / $xdApply / $zsApply | $((oursPeak / 1024)) / $((xdPeak / 1024)) / $((zsPeak / 1024)) | $target | $oursSort / $divSort |" >>"$table"
  rm -f "$out.ours" "$out.xdout" "$out.zsout"
done

cat "$table"
