#!/usr/bin/env bash
# Loopback transfer benchmark: update_server serving 1,000 files of 64 KiB
# and 20 files of 8 MiB, fetched through the updater's request pump by one
# client and then by 8 clients at once, beside a plain TCP copy of the same
# bytes (socat) on the same machine, run in the same script.
#
# usage: bench/net_bench.sh [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
source scripts/lib/bench.sh
require_packages socat bc
build_bench "$build" -j1 update_server net_bench
server_bin=$(realpath "$build/update_server")
client_bin=$(realpath "$build/bench/net_bench")

make_work_dir

data="$work/update_data"
mkdir -p "$data"
for i in $(seq 1 1000); do head -c 65536 /dev/urandom >"$data/s$i.compressed"; done
for i in $(seq 1 20); do head -c $((8 * 1024 * 1024)) /dev/urandom >"$data/b$i.compressed"; done
data_file_list "$data" >"$work/list"
total_bytes=$(awk '{s += $2} END {print s}' "$work/list")
total_files=$(wc -l <"$work/list")
cat "$data"/* >/dev/null  # both sides read from the page cache

# Runs n clients at once; prints "bytes seconds" over the span from the
# first transfer's start to the last one's end.
run_clients() {
  local n=$1 outs=()
  mkdir -p "$work/clients"
  for c in $(seq 1 "$n"); do
    (cd "$work/clients" && exec "$client_bin" "$server_port" "$work/list") >"$work/clients/$c.out" &
    outs+=("$!")
  done
  for pid in "${outs[@]}"; do wait "$pid"; done
  cat "$work"/clients/[0-9]*.out | awk -v n="$n" -v files="$total_files" '
    $1 == "files" { if ($2 != files) bad = 1; bytes += $4; if (first == "" || $6 < first) first = $6; if ($8 > last) last = $8; runs++ }
    END { if (bad || runs != n) { print "incomplete" > "/dev/stderr"; exit 1 } printf "%d %.6f\n", bytes, last - first }'
  rm -f "$work"/clients/[0-9]*.out
}

# Plain TCP: n senders at once stream every file to a receiver that
# discards them; prints "bytes seconds".
run_tcp() {
  local n=$1 port
  port=$(free_port)
  socat -u "TCP-LISTEN:$port,reuseaddr,fork,bind=127.0.0.1" OPEN:/dev/null &
  local listener=$!
  sleep 0.3
  local start end senders=()
  start=$(date +%s.%N)
  for _ in $(seq 1 "$n"); do
    (cd "$data" && cat -- * | socat -u - "TCP:127.0.0.1:$port") &
    senders+=("$!")
  done
  for pid in "${senders[@]}"; do wait "$pid"; done
  end=$(date +%s.%N)
  kill "$listener" 2>/dev/null || true
  wait "$listener" 2>/dev/null || true
  echo "$((total_bytes * n)) $(echo "$end - $start" | bc -l)"
}

mkdir -p "$work/server"
start_server "$server_bin" "$work/server" "$work/server/out" --data "$data" || exit 1
read -r enet1_bytes enet1_secs < <(run_clients 1)
read -r enet8_bytes enet8_secs < <(run_clients 8)
read -r tcp1_bytes tcp1_secs < <(run_tcp 1)
read -r tcp8_bytes tcp8_secs < <(run_tcp 8)

rate() { echo "$1 / $2 / 1000000" | bc -l; }
files_rate() { echo "$1 / $2" | bc -l; }
e1=$(rate "$enet1_bytes" "$enet1_secs")
e8=$(rate "$enet8_bytes" "$enet8_secs")
t1=$(rate "$tcp1_bytes" "$tcp1_secs")
t8=$(rate "$tcp8_bytes" "$tcp8_secs")
printf 'data: %d files, %.1f MB per client\n' "$total_files" "$(echo "$total_bytes / 1000000" | bc -l)"
printf '1 client,  update_server: %8.1f MB/s %8.1f files/s (%.2f s)\n' "$e1" \
  "$(files_rate "$total_files" "$enet1_secs")" "$enet1_secs"
printf '8 clients, update_server: %8.1f MB/s %8.1f files/s aggregate (%.2f s)\n' "$e8" \
  "$(files_rate $((total_files * 8)) "$enet8_secs")" "$enet8_secs"
printf '1 stream,  TCP (socat):   %8.1f MB/s\n' "$t1"
printf '8 streams, TCP (socat):   %8.1f MB/s aggregate\n' "$t8"
printf 'ratio update_server / TCP: 1 client %.3f, 8 clients %.3f\n' "$(echo "$e1 / $t1" | bc -l)" \
  "$(echo "$e8 / $t8" | bc -l)"
