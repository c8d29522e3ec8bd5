#!/usr/bin/env bash
# Series benchmark: players several releases behind, with patches from
# several older builds.
#
# Two series of five builds b0 ... b4, one file each (data/quor/pack.bin):
#   - pack: a generated asset pack of SERIES_BENCH_MIB MiB (default 512)
#     with SERIES_BENCH_PERCENT% (default 2) of its assets edited in each
#     release (patch_bench series);
#   - llvm: LLVM's shared library 13, 14, 15, 16 and 19, the files of the
#     patch benchmark's pairs (scripts/lib/patch_pairs.sh); left out when
#     the packages are not served.
# Create mode publishes b4 on every core twice: with --old b3 alone (the
# comparator: the data set as it was made before, where a player two
# releases behind fetches the whole file) and with --old b3 --old b2
# --old b1 --old b0, both encodings at zstd level SERIES_BENCH_LEVEL
# (default 19).
#   1. per series: the data set's size (create mode's "Update data:" line)
#      and create mode's CPU seconds, each data set against the one-build one;
#   2. a player at each of b3 ... b0 installs b4 from update_server on
#      127.0.0.1 from each data set: the bytes update_server sent, against
#      what the player one release behind fetches and against the one-build
#      data set.
#
# Installs what it needs: time, bc. Environment: BUILD_DIR (default build),
# SERIES_BENCH_DIR (work folder, default /tmp/quor-series-bench),
# PATCH_BENCH_DIR (where the pairs are kept, shared with the patch and
# encoding benchmarks, default /tmp/quor-patch-bench), SERIES_BENCH_ONLY
# (pack or llvm: one series only).
set -euo pipefail
renice -n 19 -p $$ >/dev/null

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
mib=${SERIES_BENCH_MIB:-512}
percent=${SERIES_BENCH_PERCENT:-2}
level=${SERIES_BENCH_LEVEL:-19}
out=${SERIES_BENCH_DIR:-/tmp/quor-series-bench}
work=${PATCH_BENCH_DIR:-/tmp/quor-patch-bench}
mkdir -p "$work/debs" "$work/pairs" "$out"

cd "$root"
source scripts/lib/bench.sh
require_packages time bc
build_bench "$build" -j1 patch_bench updater update_server
bench="$root/$build/bench/patch_bench"
updater_bin="$root/$build/updater"

# series_builds NAME FILE0 ... FILE4: the builds b0 ... b4 of a series.
series_builds() {
  local name=$1 k=0
  shift
  for file in "$@"; do
    mkdir -p "$out/$name/b$k/data/quor"
    cp "$file" "$out/$name/b$k/data/quor/pack.bin"
    k=$((k + 1))
  done
}

wanted_series() { [ -z "${SERIES_BENCH_ONLY:-}" ] || [ "$SERIES_BENCH_ONLY" = "$1" ]; }

series=()
if wanted_series pack; then
  prefix=$work/series-$mib-$percent
  [ -f "$prefix.4" ] || "$bench" series "$prefix" 5 "$mib" "$percent"
  rm -rf "$out/pack"
  series_builds pack "$prefix".{0,1,2,3,4}
  series+=(pack)
fi
if wanted_series llvm; then
  source scripts/lib/patch_pairs.sh
  PATCH_BENCH_PAIRS="libLLVM-13to19 libLLVM-14to15 libLLVM-16to19" gather_pairs
  if [ "${#names[@]}" -eq 3 ]; then
    rm -rf "$out/llvm"
    series_builds llvm "$work/pairs/libLLVM-13to19.old" "$work/pairs/libLLVM-14to15.old" \
      "$work/pairs/libLLVM-14to15.new" "$work/pairs/libLLVM-16to19.old" \
      "$work/pairs/libLLVM-16to19.new"
    series+=(llvm)
  else
    echo "skipped the llvm series: not every LLVM version is served" >&2
  fi
fi

# publish SERIES DATA OLDS...: create mode in a copy of b4 at
# $out/SERIES/DATA with the older builds OLDS; sets cpu and bytes (the
# data set's size as create mode reports it).
publish() {
  local folder=$out/$1/$2 olds=()
  shift 2
  for old in "$@"; do olds+=(--old "../$old"); done
  rm -rf "$folder"
  cp -r "$(dirname "$folder")/b4" "$folder"
  mkdir -p "$folder/server_data"
  measure env -C "$folder" "$updater_bin" --create "${olds[@]}" --zstd-level "$level"
  bytes=$(grep -o 'Update data: [0-9]*' "$folder/updater.log" | awk '{ print $3 }')
}

# install SERIES DATA FROM: b4 into a copy of FROM from update_server on
# that data set; sets sent (the bytes update_server sent).
install() {
  local player=$out/player server_out=$out/server.out
  start_server "$root/$build/update_server" "$out" "$server_out" \
    --data "$out/$1/$2/server_data/update_data"
  rm -rf "$player"
  cp -r "$out/$1/$3" "$player"
  servers_config "$player" bench "$server_port"
  (cd "$player" && timeout 900 "$updater_bin" 2>&1 </dev/null || true) | stamp >"$player.out"
  stop_server
  install_outcome "$player.out" "$out/$1/b4" "$player"
  [ -z "$why" ] || { echo "install of $1 from $3 ($2): $why" >&2; exit 1; }
  sent=$(grep -o '([0-9]* bytes sent)' "$server_out" | tr -d '(' | awk '{ s += $1 } END { print s }')
}

for name in "${series[@]}"; do
  publish "$name" one b3; one_bytes=$bytes one_cpu=$cpu
  publish "$name" four b3 b2 b1 b0; four_bytes=$bytes four_cpu=$cpu
  echo "## $name: the data set (zstd level $level, both encodings)"
  echo
  echo "| older builds | data set bytes | against one | create CPU s | against one |"
  echo "|---|---|---|---|---|"
  echo "| 1 | $one_bytes | 1.00 | $one_cpu | 1.00 |"
  echo "| 4 | $four_bytes | $(rounded_ratio "$four_bytes" "$one_bytes" 2) | $four_cpu | $(rounded_ratio "$four_cpu" "$one_cpu" 2) |"
  echo
  echo "## $name: what a player fetches"
  echo
  echo "| player at | behind | bytes sent, 4 older builds | against 1 behind | bytes sent, 1 older build | 4 against 1 |"
  echo "|---|---|---|---|---|---|"
  behind=1 first=
  for start in b3 b2 b1 b0; do
    install "$name" four "$start"; four_sent=$sent
    install "$name" one "$start"; one_sent=$sent
    [ -n "$first" ] || first=$four_sent
    echo "| $start | $behind | $four_sent | $(rounded_ratio "$four_sent" "$first" 2) | $one_sent | $(rounded_ratio "$four_sent" "$one_sent" 2) |"
    behind=$((behind + 1))
  done
  echo
done
