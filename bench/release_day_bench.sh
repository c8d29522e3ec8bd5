#!/usr/bin/env bash
# Release day: many players at once against one update_server on 127.0.0.1.
#
# 1. UPDATERS real `updater` processes (default 100) started at once, each
#    installing the same 10 MiB in 10 files, published with `updater
#    --create`: how many finished in their first run (no "updater got
#    stuck", no "Failed to connect", every file equal to the published
#    one), how many could not connect, how many gave up. A run that gives up
#    would start ./updater.exe of its folder again; there is none, so every
#    updater has exactly one run, and the processor time all the updaters
#    took together (user and system). One more run puts the updaters at
#    the lowest CPU priority, as players on machines of their own: what it
#    measures is the server alone, not the share of a small machine's
#    cores the server keeps among a hundred other processes.
# 2. Fairness: 32 players at once, each with 8 connections from its one
#    ENet host (bench/release_day_bench.cpp), fetching for 20 s; then 16 of
#    them with 8 connections beside 16 with one; per-player throughput
#    min/median/max and max/min.
# 3. Capacity: 500 players at once with 1 and with 8 connections each, each
#    fetching a manifest and 10 files of 100 KiB once: how many were served,
#    and the server's peak memory (VmHWM).
# Beside its own counts, each case prints a few of the server's own figures,
# read from its /metrics endpoint (--metrics) just before it is stopped:
# connections accepted, reply bytes sent, requests answered busy.
# Each case runs against the server's defaults and against `--peers 64`
# (the slots the server had by default before), as ratios. Every player of
# the bench comes from 127.0.0.1, as if all sat behind one router, so the
# server runs with --per-address 4095 (its bound of 64 per address would
# otherwise be what is measured).
#
# usage: bench/release_day_bench.sh [UPDATERS, default 100] [build folder, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
updaters=${1:-100}
build=${2:-build}
source scripts/lib/bench.sh
require_packages python3 time curl
build_bench "$build" -j1 updater update_server release_day_bench
updater_bin=$(realpath "$build/updater")
server_bin=$(realpath "$build/update_server")
load_bin=$(realpath "$build/bench/release_day_bench")

make_work_dir

# serve DATA ARGS...: update_server serving DATA with ARGS and its metrics
# on a free port; sets port and metrics_url.
serve() {
  start_server "$server_bin" . "$work/server.out" --data "$1" --per-address 4095 \
    --metrics 127.0.0.1:0 "${@:2}" || exit 1
  port=$server_port
  metrics_url=$(grep -o 'http://127.0.0.1:[0-9]*/metrics' "$work/server.out" | head -1)
}
# server_figures: a few of the running server's own counters, from /metrics.
server_figures() {
  curl -fsS --max-time 5 "$metrics_url" | awk '
    /^quor_update_server_connects_total / {c = $2}
    /^quor_update_server_sent_bytes_total / {b = $2}
    /^quor_update_server_busy_requests_total / {q = $2}
    /^quor_update_server_refused_requests_total / {r = $2}
    END {printf "server /metrics: connects %s, sent %.1f MB, answered busy %s, refused names %s", c, b / 1e6, q, r}'
}
peak_kib() { awk '/^VmHWM:/ {print $2}' "/proc/$server_pid/status"; }

# The build: 10 files of 1 MiB that do not compress.
game="$work/game"
mkdir -p "$game/data/quor" "$game/server_data"
for i in $(seq 1 10); do head -c $((1024 * 1024)) /dev/urandom >"$game/data/quor/file$i.bin"; done
(cd "$game" && "$updater_bin" --create >/dev/null)
published="$game/server_data/update_data"
list="$work/list"
data_file_list "$published" >"$list"

# run_updaters NICENESS ARGS...: the updaters at NICENESS against a server
# with ARGS; prints "finished no_connection gave_up seconds cpu_seconds".
# The time files lie beside the players' folders: the updater removes from
# its folder what the published build does not have.
run_updaters() {
  local niceness=$1
  shift
  serve "$published" "$@"
  rm -rf "$work/players"
  mkdir -p "$work/players"
  local i start end
  for i in $(seq 1 "$updaters"); do
    servers_config "$work/players/$i" bench "$port"
  done
  local pids=()
  start=$(date +%s.%N)
  for i in $(seq 1 "$updaters"); do
    (cd "$work/players/$i" && nice -n "$niceness" /usr/bin/time -f "%U %S" -o "../$i.time" \
      timeout 900 "$updater_bin" >updater.out 2>&1 || true) &
    pids+=($!)
  done
  wait "${pids[@]}"
  end=$(date +%s.%N)
  server_figures >"$work/figures.$niceness.$*"
  stop_server
  local finished=0 no_connection=0 gave_up=0 log
  for i in $(seq 1 "$updaters"); do
    log="$work/players/$i/updater.log"
    if grep -qs "Failed to connect" "$log"; then
      no_connection=$((no_connection + 1))
    elif grep -qs "updater got stuck" "$log"; then
      gave_up=$((gave_up + 1))
    elif diff -rq "$game/data" "$work/players/$i/data" >/dev/null 2>&1; then
      finished=$((finished + 1))
    fi
  done
  local cpu
  cpu=$(cat "$work/players/"*.time | awk '{sum += $1 + $2} END {printf "%.1f", sum}')
  echo "$finished $no_connection $gave_up $(python3 -c "print(round($end - $start, 1))") $cpu"
}

echo "1. $updaters updaters at once, each installing 10 MiB in 10 files"
read -r f_new c_new g_new s_new u_new < <(run_updaters 0)
read -r f_old c_old g_old s_old u_old < <(run_updaters 0 --peers 64)
read -r f_low c_low g_low s_low u_low < <(run_updaters 19)
row() { printf '   %-38s %9s %14s %8s %8s %12s\n' "$@"; }
row "server" "finished" "no connection" "gave up" "seconds" "updater CPU s"
row "defaults" "$f_new" "$c_new" "$g_new" "$s_new" "$u_new"
row "--peers 64" "$f_old" "$c_old" "$g_old" "$s_old" "$u_old"
row "defaults, updaters at lowest priority" "$f_low" "$c_low" "$g_low" "$s_low" "$u_low"
python3 -c "print(f'   finished in the first run, defaults / --peers 64: {$f_new / max($f_old, 1):.2f}')"
# What the players installed, against what the server says it sent.
installed_mb=$(python3 -c "print(round($updaters * 10 * 1048576 / 1e6, 1))")
echo "   defaults: the players installed $installed_mb MB; $(cat "$work/figures.0.")"

echo "2. fairness: 32 players at once, 20 s each"
fair() {
  serve "$published" "$@"
  "$load_bin" fair "$port" 32 "$fair_connections" "$list" 20 "$fair_single" || true
  stop_server
}
fair_connections=8 fair_single=0
echo "   defaults, 32 players with 8 connections:"
fair | sed 's/^/     /'
fair_connections=8 fair_single=16
echo "   defaults, 16 players with 8 connections and 16 with 1:"
fair | sed 's/^/     /'
echo "   --peers 64, 16 players with 8 connections and 16 with 1:"
fair --peers 64 | sed 's/^/     /'
fair_connections=1 fair_single=0
echo "   defaults, 32 players with 1 connection (the spread of equal players):"
fair | sed 's/^/     /'

echo "3. capacity: 500 players at once, each fetching a manifest and 10 files of 100 KiB once"
small="$work/small"
mkdir -p "$small"
for i in $(seq 1 10); do head -c $((100 * 1024)) /dev/urandom >"$small/$i.compressed"; done
head -c 20000 /dev/urandom >"$small/manifest.manifest"
data_file_list "$small" >"$work/small_list"
# capacity CONNECTIONS ARGS...
capacity() {
  local connections=$1
  shift
  serve "$small" "$@"
  local line
  line=$("$load_bin" once "$port" 500 "$connections" "$work/small_list" || true)
  echo "     $line"
  echo "     server peak memory $(peak_kib) KiB; connections refused $(grep -c 'Refused connection' "$work/server.out" || true)"
  echo "     $(server_figures)"
  stop_server
}
echo "   defaults, 1 connection each:"
capacity 1
echo "   defaults, 8 connections each:"
capacity 8
echo "   --peers 64, 1 connection each:"
capacity 1 --peers 64
