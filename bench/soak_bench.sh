#!/usr/bin/env bash
# Server soak: update_server on 127.0.0.1 with 32 clients that connect,
# fetch the manifest and a few files, and disconnect, in a loop, for a
# fixed time. The server's memory (VmRSS) and open files are sampled every
# few seconds; the figures at the start of the load, at its end and after
# it are printed, and the run fails when memory under load grew by more
# than 10% from the first sample taken under load to the last.
#
# usage: bench/soak_bench.sh [SECONDS, default 300] [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
build=${2:-build}
source scripts/lib/bench.sh
build_bench "$build" -j1 update_server soak_bench
server_bin=$(realpath "$build/update_server")
load_bin=$(realpath "$build/bench/soak_bench")

make_work_dir

# 200 files of 1 to 200 KiB and a manifest stand-in.
data="$work/update_data"
mkdir -p "$data"
for i in $(seq 1 200); do head -c $(( (i * 7919 % 200 + 1) * 1024 )) /dev/urandom >"$data/$i.compressed"; done
head -c 20000 /dev/urandom >"$data/manifest.manifest"
data_file_list "$data" >"$work/list"

start_server "$server_bin" . "$work/server.out" --data "$data" || exit 1
port=$server_port

rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$server_pid/status"; }
open_files() { ls "/proc/$server_pid/fd" | wc -l; }
sample() { echo "$(date +%s) $(rss_kb) $(open_files)" >>"$work/samples"; }

echo "idle:  rss $(rss_kb) KiB, open files $(open_files)"
"$load_bin" "$port" "$seconds" 32 "$work/list" 8 >"$work/load.out" 2>&1 &
load_pid=$!
stop_at_exit+=("$load_pid")
sleep 5  # the first visits have set up their buffers
while kill -0 "$load_pid" 2>/dev/null; do sample; sleep 5; done
load_status=0
wait "$load_pid" || load_status=$?
sleep 5
after_rss=$(rss_kb)
after_files=$(open_files)

read -r _ start_rss start_files < <(head -1 "$work/samples")
read -r _ end_rss end_files < <(tail -2 "$work/samples" | head -1)
peak_rss=$(awk 'BEGIN {m = 0} $2 > m {m = $2} END {print m}' "$work/samples")
echo "load:  $(cat "$work/load.out")"
echo "start: rss $start_rss KiB, open files $start_files (5 s into the load)"
echo "end:   rss $end_rss KiB, open files $end_files (last sample under load; peak rss $peak_rss KiB)"
echo "after: rss $after_rss KiB, open files $after_files (5 s after the load)"
growth=$(awk -v a="$start_rss" -v b="$end_rss" 'BEGIN {printf "%.1f", (b - a) * 100 / a}')
echo "rss growth under load: $growth% ($(wc -l <"$work/samples") samples)"
[ "$load_status" -eq 0 ] || { echo "some visits failed" >&2; exit 1; }
awk -v g="$growth" 'BEGIN {exit !(g <= 10)}' || { echo "server memory grew more than 10%" >&2; exit 1; }
