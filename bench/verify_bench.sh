#!/usr/bin/env bash
# The cost of a signed update's checks beside the checksum every update
# already computes, and beside the system's sha256sum, on the same generated 512 MiB file read from the page
# cache. A signed player hashes each received update data file once more
# and each written file while it is written, so its extra work is about
# twice the SHA-256 figure per GiB installed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/bench.sh
build_bench build verify_bench
make_work_dir
file="$work/data.bin"
cached_random_file "$file" 512
build/bench/verify_bench "$file" 3 | tee "$work/ours.txt"
ours=$(awk '/^SHA-256/ {print $3}' "$work/ours.txt")
best=$(best_seconds 3 sha256sum "$file")
awk -v ours="$ours" -v best="$best" 'BEGIN {
  theirs = 512 * 1024 * 1024 / best / 1e6
  printf "sha256sum:              %8.1f MB/s\n", theirs
  printf "ratio hashFile / sha256sum throughput: %.2f\n", ours / theirs
}'
