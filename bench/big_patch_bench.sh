#!/usr/bin/env bash
# Big-file patch benchmark: a generated pair of game asset packs (blocks
# changed, moved, inserted and removed; 2048 MiB each by default) patched by
# the method create mode picks within its default memory budget (the block
# index above about 230 MiB), beside xdelta3 -9 -B 2147483648 and
# zstd --long=31 --patch-from (its default level; old files below 2 GiB,
# which is all it takes) on the same pair. Every
# patch is applied and checked. Times are wall and CPU (user + system)
# seconds of the whole command, memory the peak resident set, from
# /usr/bin/time; "ours beyond files" is our peak less both files, which the
# budget does not count (the target is at most 2048 MiB).
#
# Environment: BIG_PATCH_MIB (pack size, default 2048; e.g. 256 for a quick
# run), BUILD_DIR (default build), PATCH_BENCH_DIR (work folder, default
# $XDG_CACHE_HOME/quor-patch-bench or ~/.cache/quor-patch-bench; the
# generated pair is kept there between runs).
set -euo pipefail
renice -n 19 -p $$ >/dev/null

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
mib=${BIG_PATCH_MIB:-2048}
work=${PATCH_BENCH_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quor-patch-bench}/big
mkdir -p "$work"

cd "$root"
source scripts/lib/bench.sh
require_packages xdelta3 zstd time bc
build_bench "$build" -j1 patch_bench
bench="$root/$build/bench/patch_bench"

old="$work/assets$mib.old"
new="$work/assets$mib.new"
out="$work/assets$mib"
[ -f "$new" ] || "$bench" assets "$old" "$new" "$mib"

n=$(size "$old")
m=$(size "$new")
cat "$old" "$new" >/dev/null

measure "$bench" diff "$old" "$new" "$out.patch"
oursWall=$wall; oursCpu=$cpu; oursPeak=$peak
measure "$bench" apply "$old" "$out.patch" "$out.check"; oursApply=$wall
must_match "$out.check" "$new"; rm -f "$out.check"

measure xdelta3 -9 -B 2147483648 -e -f -s "$old" "$new" "$out.xd3"
xdWall=$wall; xdCpu=$cpu; xdPeak=$peak
measure xdelta3 -B 2147483648 -d -f -s "$old" "$out.xd3" "$out.check"
must_match "$out.check" "$new"; rm -f "$out.check"

# zstd refuses an old file of 2 GiB or more for --patch-from: its columns
# are then "-".
zs=- zsWall=- zsCpu=- zsPeak=- zsRatio=-
if [ "$n" -lt 2147483648 ]; then
  measure zstd -q -f --long=31 --patch-from="$old" "$new" -o "$out.zst"
  zsWall=$wall; zsCpu=$cpu; zsPeak=$((peak / 1024))
  measure zstd -q -f -d --long=31 --patch-from="$old" "$out.zst" -o "$out.check"
  must_match "$out.check" "$new"; rm -f "$out.check"
fi

ours=$(size "$out.patch"); xd=$(size "$out.xd3")
if [ -f "$out.zst" ] && [ "$zsPeak" != - ]; then zs=$(size "$out.zst"); zsRatio=$(ratio "$ours" "$zs"); fi
beyond=$(( (oursPeak * 1024 - n - m) / 1048576 ))
echo "| pack MiB old/new | ours bytes | xdelta3 -9 -B bytes | zstd --long=31 bytes | ours/xdelta3 | ours/zstd | create wall s ours/xdelta3/zstd | create CPU s ours/xdelta3/zstd | peak MiB ours/xdelta3/zstd | ours beyond files MiB | ours apply s |"
echo "|---|---|---|---|---|---|---|---|---|---|---|"
echo "| $((n / 1048576)) / $((m / 1048576)) | $ours | $xd | $zs | $(ratio "$ours" "$xd") | $zsRatio | $oursWall / $xdWall / $zsWall | $oursCpu / $xdCpu / $zsCpu | $((oursPeak / 1024)) / $((xdPeak / 1024)) / $zsPeak | $beyond | $oursApply |"
