#!/usr/bin/env bash
# Create mode without an old build beside gzip -9 over the same files,
# counted in CPU time (create mode's fixed pauses are not work).
#   bench/create_bench.sh [MIB]     (default 200 MiB of the system's libraries)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
require_packages time gzip
./scripts/build.sh >/dev/null
repo=$(pwd)
limit=$(( ${1:-200} * 1024 * 1024 ))

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/game/data/quor" "$work/game/server_data"
total=0
for file in /usr/lib/x86_64-linux-gnu/*.so* /usr/bin/*; do
  [ -f "$file" ] && [ ! -L "$file" ] || continue
  size=$(stat -c %s "$file")
  [ $((total + size)) -gt "$limit" ] && continue
  cp "$file" "$work/game/data/quor/"
  total=$((total + size))
done
count=$(ls "$work/game/data/quor" | wc -l)
echo "corpus: $count files, $((total / 1024 / 1024)) MiB"

cpu_seconds() { awk '{print $1 + $2}' "$1"; }

(cd "$work/game" && /usr/bin/time -f '%U %S' -o "$work/ours.time" "$repo/build/updater" --create >/dev/null)
ours=$(cpu_seconds "$work/ours.time")
(cd "$work/game/data/quor" && /usr/bin/time -f '%U %S' -o "$work/gzip.time" \
  sh -c 'for f in *; do gzip -9 -c "$f" >/dev/null; done')
theirs=$(cpu_seconds "$work/gzip.time")
compressed=$(du -cb "$work/game/server_data/update_data/"*.compressed | tail -1 | cut -f1)

awk -v mb="$total" -v ours="$ours" -v theirs="$theirs" -v out="$compressed" 'BEGIN {
  printf "%-26s %10s %10s\n", "", "CPU s", "MB/s"
  printf "%-26s %10.2f %10.1f\n", "updater --create", ours, mb / ours / 1e6
  printf "%-26s %10.2f %10.1f\n", "gzip -9 (each file)", theirs, mb / theirs / 1e6
  printf "throughput ratio (ours / gzip -9): %.2f\n", theirs / ours
  printf "compressed to %.1f%% of the input\n", 100 * out / mb
}'
