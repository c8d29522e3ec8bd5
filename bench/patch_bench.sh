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

# name | old package=version | new package=version | file inside the old
# package | file inside the new one (when its name differs).
# Only pairs whose files differ: create mode makes no patch for an unchanged
# file (a 31 MiB unchanged file would give 32 KB here, the floor of a body
# that carries one diff byte per new byte under deflate's 1032:1 limit).
pairs=(
  "libcrypto.so.3|libssl3=3.0.20-1~deb12u2|libssl3=3.0.22-1~deb12u2|usr/lib/x86_64-linux-gnu/libcrypto.so.3"
  "mariadbd|mariadb-server-core=1:10.11.18-0+deb12u1|mariadb-server-core=1:10.11.19-0+deb12u1|usr/sbin/mariadbd"
  "libpython3.11|libpython3.11=3.11.2-6+deb12u8|libpython3.11=3.11.2-6+deb12u9|usr/lib/x86_64-linux-gnu/libpython3.11.so.1.0"
  "libjvm.so|openjdk-17-jre-headless=17.0.19+10-1~deb12u2|openjdk-17-jre-headless=17.0.21.1+2-1~deb12u1|usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so"
  "libLLVM-14to15|libllvm14=1:14.0.6-12|libllvm15=1:15.0.6-4+b1|usr/lib/x86_64-linux-gnu/libLLVM-14.so.1|usr/lib/x86_64-linux-gnu/libLLVM-15.so.1"
  "libLLVM-16to19|libllvm16=1:16.0.6-15~deb12u1|libllvm19=1:19.1.7-3~deb12u1|usr/lib/x86_64-linux-gnu/libLLVM-16.so.1|usr/lib/x86_64-linux-gnu/libLLVM.so.19.1"
  "libLLVM-13to19|libllvm13=1:13.0.1-11+b2|libllvm19=1:19.1.7-3~deb12u1|usr/lib/x86_64-linux-gnu/libLLVM-13.so.1|usr/lib/x86_64-linux-gnu/libLLVM.so.19.1"
)
wanted() { [ -z "${PATCH_BENCH_PAIRS:-}" ] || [[ " $PATCH_BENCH_PAIRS " == *" $1 "* ]]; }

# Extracts one file of one package version to $2; false when not served.
fetch() {
  local spec=$1 target=$2 inner=$3
  [ -f "$target" ] && return 0
  local dir="$work/debs/${spec//[:=~]/_}"
  mkdir -p "$dir"
  if ! ls "$dir"/*.deb >/dev/null 2>&1; then
    (cd "$dir" && apt-get download "$spec" >/dev/null 2>&1) || return 1
  fi
  [ -d "$dir/root" ] || dpkg-deb -x "$dir"/*.deb "$dir/root"
  cp "$dir/root/$inner" "$target"
}

names=()
for pair in "${pairs[@]}"; do
  IFS='|' read -r name oldSpec newSpec inner newInner <<<"$pair"
  wanted "$name" || wanted "minor-$name" || continue
  if fetch "$oldSpec" "$work/pairs/$name.old" "$inner" &&
     fetch "$newSpec" "$work/pairs/$name.new" "${newInner:-$inner}"; then
    if wanted "$name"; then names+=("$name"); fi
  else
    echo "skipped $name: $oldSpec or $newSpec is not served" >&2
  fi
done
# Minor releases generated from the old file of these pairs.
for base in libcrypto.so.3 mariadbd libpython3.11; do
  wanted "minor-$base" || continue
  if [ ! -f "$work/pairs/$base.old" ]; then
    echo "skipped minor-$base: no $base pair" >&2
    continue
  fi
  cp "$work/pairs/$base.old" "$work/pairs/minor-$base.old"
  [ -f "$work/pairs/minor-$base.new" ] ||
    "$bench" minor "$work/pairs/$base.old" "$work/pairs/minor-$base.new"
  names+=("minor-$base")
done
if wanted assets; then
  if [ ! -f "$work/pairs/assets.new" ]; then
    "$bench" assets "$work/pairs/assets.old" "$work/pairs/assets.new"
  fi
  names+=("assets")
fi

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
