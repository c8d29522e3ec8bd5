#!/usr/bin/env bash
# Checksum throughput of the updater beside the system's md5sum, on the same
# generated 512 MiB file (read from the page cache by both).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/bench.sh
require_packages bc
build_bench build checksum_bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file="$work/data.bin"
head -c $((512 * 1024 * 1024)) /dev/urandom >"$file"
cat "$file" >/dev/null

ours=$(build/bench/checksum_bench "$file" 3 | awk '{print $1}')
best=999999
for _ in 1 2 3; do
  start=$(date +%s.%N)
  md5sum "$file" >/dev/null
  end=$(date +%s.%N)
  took=$(echo "$end - $start" | bc -l)
  if (( $(echo "$took < $best" | bc -l) )); then best=$took; fi
done
theirs=$(echo "512 * 1024 * 1024 / $best / 1000000" | bc -l)
printf 'updater fileChecksum: %8.1f MB/s\n' "$ours"
printf 'md5sum:               %8.1f MB/s\n' "$theirs"
printf 'ratio:                %8.2f\n' "$(echo "$ours / $theirs" | bc -l)"
