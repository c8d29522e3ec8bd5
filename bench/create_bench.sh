#!/usr/bin/env bash
# Create mode on every core beside one core, and beside gzip -9; the suffix
# sort of libdivsufsort beside our own.
#
#   bench/create_bench.sh [MIB]     (default 200 MiB of the system's libraries)
#
# The new build is the system's libraries and programs, the old build the
# same files each with a few KiB changed and a tail cut, so that every file
# is compressed and diffed. create_bench publishes it in-process (the
# program's fixed pauses are not work) once with one thread and once with
# one per core: wall seconds, CPU seconds and peak memory (maximum resident
# set size, /usr/bin/time), and the two data sets must be identical. gzip -9
# over the same files is the compression comparator. Then the largest
# corpus file of at most 32 MiB is suffix-sorted by both sorts.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/bench.sh
require_packages time gzip bc
build_bench build -j1 create_bench
bench=$(pwd)/build/bench/create_bench
limit=$(( ${1:-200} * 1024 * 1024 ))

make_work_dir
mkdir -p "$work/game/data/quor" "$work/game/server_data" "$work/old/data/quor"
total=0
for file in /usr/lib/x86_64-linux-gnu/*.so* /usr/bin/*; do
  [ -f "$file" ] && [ ! -L "$file" ] || continue
  size=$(stat -c %s "$file")
  # Files of up to 32 MiB: many of them, so that the run's length is not
  # that of its one largest file.
  [ "$size" -gt $((32 * 1024 * 1024)) ] && continue
  [ $((total + size)) -gt "$limit" ] && continue
  name=$(basename "$file")
  cp "$file" "$work/game/data/quor/"
  cp "$file" "$work/old/data/quor/"
  # The old version: 4 KiB changed in the middle and the last tenth cut.
  head -c 4096 /dev/urandom | dd of="$work/old/data/quor/$name" bs=1 seek=$((size / 2)) \
    conv=notrunc status=none
  truncate -s $((size - size / 10)) "$work/old/data/quor/$name"
  total=$((total + size))
done
count=$(ls "$work/game/data/quor" | wc -l)
echo "corpus: $count files, $((total / 1024 / 1024)) MiB, $(nproc) cores"
# Other work on the machine lowers the ratio: the load average and the
# CPU / wall column (how many cores a run kept busy) show by how much.
echo "load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"

# publish THREADS OUT: one run; sets wall, cpu and peak (MiB).
publish() {
  rm -rf "$work/game/server_data/update_data"
  /usr/bin/time -f '%U %S %M' -o "$work/time.txt" "$bench" create "$work/game" "$work/old" "$1" \
    >"$work/out.txt"
  # The log's lines come first on the console; the seconds are the last line.
  wall=$(tail -n 1 "$work/out.txt")
  read -r user system peak <"$work/time.txt"
  cpu=$(echo "$user + $system" | bc)
  peak=$((peak / 1024))
  mv "$work/game/server_data/update_data" "$2"
}
publish 1 "$work/one"; oneWall=$wall; oneCpu=$cpu; onePeak=$peak
publish 0 "$work/all"; allWall=$wall; allCpu=$cpu; allPeak=$peak
if diff -r "$work/one" "$work/all" >/dev/null; then identical=yes; else identical=NO; fi

(cd "$work/game/data/quor" && /usr/bin/time -f '%U %S' -o "$work/gzip.time" \
  sh -c 'for f in *; do gzip -9 -c "$f" >/dev/null; done')
gzipCpu=$(awk '{print $1 + $2}' "$work/gzip.time")
compressed=$(du -cb "$work/one/"*.compressed | tail -1 | cut -f1)
patches=$(ls "$work/one/" | grep -c '\.patch$' || true)

awk -v mb="$total" -v ow="$oneWall" -v oc="$oneCpu" -v op="$onePeak" -v aw="$allWall" \
    -v ac="$allCpu" -v ap="$allPeak" -v gz="$gzipCpu" -v out="$compressed" \
    -v same="$identical" -v patches="$patches" -v count="$count" 'BEGIN {
  printf "%-30s %8s %8s %10s %10s %9s\n", "", "wall s", "CPU s", "CPU / wall", "MB/s wall", "peak MiB"
  printf "%-30s %8.2f %8.2f %10.2f %10.1f %9d\n", "create --threads 1", ow, oc, oc / ow, mb / ow / 1e6, op
  printf "%-30s %8.2f %8.2f %10.2f %10.1f %9d\n", "create, one thread per core", aw, ac, ac / aw, mb / aw / 1e6, ap
  printf "%-30s %8s %8.2f\n", "gzip -9 (each file)", "", gz
  printf "wall time ratio (one thread / every core): %.2f\n", ow / aw
  printf "data sets identical: %s (%d of %d files patched)\n", same, patches, count
  printf "compressed to %.1f%% of the input\n", 100 * out / mb
}'
[ "$identical" = yes ] || { echo "the data sets differ" >&2; exit 1; }

sortFile=$(find "$work/game/data/quor" -type f -size -32M -printf '%s %p\n' | sort -n | tail -1 | cut -d' ' -f2)
read -r own library < <("$bench" sort "$sortFile")
awk -v own="$own" -v lib="$library" -v name="$(basename "$sortFile")" \
    -v mb="$(stat -c %s "$sortFile")" 'BEGIN {
  printf "suffix sort of %s (%.1f MiB): ours %.2f s, libdivsufsort %.2f s, ratio %.2f\n",
         name, mb / 1048576, own, lib, own / lib
}'
