#!/usr/bin/env bash
# Checksum throughput of the updater beside the system's md5sum, on the same
# generated 512 MiB file (read from the page cache by both).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/bench.sh
require_packages bc
build_bench build checksum_bench
make_work_dir
file="$work/data.bin"
cached_random_file "$file" 512

ours=$(build/bench/checksum_bench "$file" 3 | awk '{print $1}')
best=$(best_seconds 3 md5sum "$file")
theirs=$(echo "512 * 1024 * 1024 / $best / 1000000" | bc -l)
printf 'updater fileChecksum: %8.1f MB/s\n' "$ours"
printf 'md5sum:               %8.1f MB/s\n' "$theirs"
printf 'ratio:                %8.2f\n' "$(echo "$ours / $theirs" | bc -l)"
