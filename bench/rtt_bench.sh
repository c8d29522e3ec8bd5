#!/usr/bin/env bash
# Full install at a distance: round trip, loss and a line's rate.
#   bench/rtt_bench.sh [build folder, default build]
# A build of RTT_BENCH_MIB MiB of random (incompressible) data, half of it
# in RTT_BENCH_FILES files and half in one large file, is published with
# `updater --create` and served by update_server on 127.0.0.1. For each
# case the real updater installs it into an empty folder whose
# settings/servers.config names bench/tools/udp_relay, which forwards to the
# server with a one-way delay of half the round trip, loss and a rate limit
# in each direction. Each case runs twice: the updater as it is, and with
# `--connections 1` (one connection; an updater without that option
# ignores it). Printed per case: the line's rate (or "-"), both installs'
# MB/s and their ratio. Also measured in the same run: the install over
# plain loopback (no relay) beside a TCP copy of the same bytes with socat,
# and what the relay itself carries (bench/tools/udp_probe, direct and through
# the relay at 0 ms).
#
# An install is timed from the log line "Fetching manifest..." to
# "... updates applied", each stamped when the updater writes it to its
# console (it writes a line within about 4 ms): the program's fixed pauses
# (banner, after connecting, at the end) are outside that span.
#
# Environment:
#   RTT_BENCH_MIB      total size in MiB (default 256)
#   RTT_BENCH_FILES    number of small files (default 500)
#   RTT_BENCH_CASES    cases, each RTT_MS[:LOSS_PERCENT][@MBIT] (default
#                      "0 20 50 100 200 50:1 100:1 50@100 50@10"); the loss applies in
#                      each direction, so about twice as many round trips
#                      lose a datagram
#   RTT_BENCH_TIMEOUT  seconds one updater run may take (default 1800)
#   RTT_BENCH_CAP      the download cap of one more install at 50 ms round
#                      trip, `--limit-rate RTT_BENCH_CAP` (default 4M; "" or
#                      0 leaves it out); printed beside the cap as a ratio
#   WINE=1             the Windows updater.exe (cross-built into
#                      build-windows/) under Wine at 50 ms round trip (or
#                      RTT_BENCH_CASES), beside the Linux updater in the
#                      same case
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
build=${1:-build}
source scripts/lib/bench.sh
require_packages socat python3
build_bench "$build" -j1 updater update_server udp_relay udp_probe
updater=$(realpath "$build/updater")
server_bin=$(realpath "$build/update_server")
relay_bin=$(realpath "$build/bench/tools/udp_relay")
probe_bin=$(realpath "$build/bench/tools/udp_probe")

size_mib=${RTT_BENCH_MIB:-256}
files=${RTT_BENCH_FILES:-500}
run_limit=${RTT_BENCH_TIMEOUT:-1800}
wine_mode=${WINE:-}
[ "$wine_mode" = 0 ] && wine_mode=
if [ -n "$wine_mode" ]; then
  cases=${RTT_BENCH_CASES:-50}
else
  cases=${RTT_BENCH_CASES:-0 20 50 100 200 50:1 100:1 50@100 50@10}
fi

if [ -n "$wine_mode" ]; then
  source scripts/lib/windows.sh
  require_windows_packages "${windows_packages[@]}"
  [ -f build-windows/build.ninja ] || configure_windows_build build-windows
  ninja -C build-windows -j1 updater >/dev/null
  updater_exe=$repo/build-windows/updater.exe
  use_wine_prefix "$repo/build-windows/wineprefix"
  timeout 300 wine cmd /c exit >/dev/null 2>&1 || true
  # A wineserver that outlives each run, started here so that it holds no
  # pipe of the runs it serves open; ended with the prefix's others at exit.
  wineserver -p >/dev/null 2>&1 </dev/null || true
fi

make_work_dir
[ -z "$wine_mode" ] || at_exit stop_wine

echo "generating $size_mib MiB: half in $files files, half in one file"
mkdir -p "$work/build/server_data" "$work/build/data/quor/big"
small_bytes=$((size_mib * 1048576 / 2 / files))
for i in $(seq 0 $((files - 1))); do
  mkdir -p "$work/build/data/quor/pack$((i / 100))"
  head -c "$small_bytes" /dev/urandom >"$work/build/data/quor/pack$((i / 100))/f$i.bin"
done
head -c $((size_mib * 1048576 - small_bytes * files)) /dev/urandom >"$work/build/data/quor/big/large.bin"
total_bytes=$(du -sb "$work/build/data" | cut -f1)

echo "publishing with updater --create"
(cd "$work/build" && timeout "$run_limit" "$updater" --create >"$work/create.out" 2>&1) || {
  echo "create mode failed:"; tail -20 "$work/create.out"; exit 1
}
data=$work/build/server_data/update_data
cat "$data"/* >/dev/null  # the server reads from the page cache

# start_relay TARGET_PORT ARGS...: a relay in front of 127.0.0.1:TARGET_PORT;
# sets relay_port and relay_pid.
start_relay() {
  local target=$1
  shift
  "$relay_bin" --listen 0 --target "$target" "$@" >"$work/relay.out" 2>"$work/relay.err" &
  relay_pid=$!
  stop_at_exit+=("$relay_pid")
  if wait_for_text "$work/relay.out" "listening on 127.0.0.1:" "$relay_pid"; then
    relay_port=$(sed -n 's/^listening on 127\.0\.0\.1://p' "$work/relay.out")
    return
  fi
  echo "udp_relay did not start:" >&2
  cat "$work/relay.err" >&2
  exit 1
}

stop_relay() {
  stop_processes "$relay_pid"
}

# What the relay just stopped did to the datagrams, both directions summed.
relay_counts() {
  awk '/^udp_relay to/ { r += $4; l += $6; q += $8 }
       END { printf "%d datagrams, %d lost, %d dropped by the queue", r, l, q }' "$work/relay.err"
}

# install PORT linux|wine [ARGS...]: installs into an empty folder through
# 127.0.0.1:PORT; prints the MB/s of the install, or "failed (WHY)".
install() {
  local port=$1 kind=$2
  shift 2
  local folder=$work/player
  rm -rf "$folder"
  servers_config "$folder" bench "$port"
  local command=("$updater" "$@")
  [ "$kind" = wine ] && command=(wine "$updater_exe" "$@")
  (cd "$folder" && timeout -s KILL "$run_limit" "${command[@]}" 2>&1 </dev/null || true) | stamp >"$work/run.out"
  local from to why
  install_outcome "$work/run.out" "$work/build" "$folder"
  if [ -n "$why" ]; then
    { echo "   run $kind $* failed ($why); its last lines:"; tail -5 "$work/run.out"; } >&2
    echo "failed"
  else
    awk -v b="$total_bytes" -v f="$from" -v t="$to" 'BEGIN { printf "%.2f", b / (t - f) / 1e6 }'
  fi
}

# A TCP copy of the same bytes over loopback; prints MB/s.
tcp_copy() {
  local port
  port=$(free_port)
  socat -u "TCP-LISTEN:$port,reuseaddr,bind=127.0.0.1" OPEN:/dev/null &
  local listener=$!
  stop_at_exit+=("$listener")
  sleep 0.3
  local start end
  start=$EPOCHREALTIME
  (cd "$work/build" && find data -type f -print0 | xargs -0 cat | timeout "$run_limit" socat -u - "TCP:127.0.0.1:$port")
  end=$EPOCHREALTIME
  wait "$listener" 2>/dev/null || true
  awk -v b="$total_bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.2f", b / (e - s) / 1e6 }'
}

mkdir -p "$work/server"
start_server "$server_bin" "$work/server" "$work/server/out" --data "$data" || exit 1
rows=()
counts=()
header=$(printf '%-26s %12s %12s %18s %7s' case "line MB/s" "MB/s" "1 connection MB/s" ratio)
for spec in $cases; do
  rtt=${spec%%[:@]*}
  loss=0
  mbit=
  [[ "$spec" == *:* ]] && { loss=${spec#*:}; loss=${loss%%@*}; }
  [[ "$spec" == *@* ]] && mbit=${spec#*@}
  relay_args=(--delay-ms "$(awk -v r="$rtt" 'BEGIN { print r / 2 }')" --loss-percent "$loss")
  name="${rtt} ms"
  [ "$loss" != 0 ] && name="$name, ${loss}% loss"
  line=-
  if [ -n "$mbit" ]; then
    relay_args+=(--rate-bps "$((mbit * 1000000))")
    name="$name, $mbit Mbit/s"
    line=$(awk -v m="$mbit" 'BEGIN { printf "%.1f", m / 8 }')
  fi
  kinds=(linux)
  [ -n "$wine_mode" ] && kinds=(linux wine)
  for kind in "${kinds[@]}"; do
    echo "case $name ($kind)"
    label=$name
    [ "$kind" = wine ] && label="$name (Wine)"
    start_relay "$server_port" "${relay_args[@]}"
    several=$(install "$relay_port" "$kind")
    stop_relay
    counts+=("$(printf '%-26s as it is: %s' "$label" "$(relay_counts)")")
    start_relay "$server_port" "${relay_args[@]}"
    single=$(install "$relay_port" "$kind" --connections 1)
    stop_relay
    counts+=("$(printf '%-26s 1 connection: %s' "$label" "$(relay_counts)")")
    rows+=("$(printf '%-26s %12s %12s %18s %7s' "$label" "$line" "$several" "$single" "$(rounded_ratio "$several" "$single" 2)")")
  done
done

cap=${RTT_BENCH_CAP-4M}
[ "$cap" = 0 ] && cap=
if [ -n "$cap" ]; then
  echo "case 50 ms, --limit-rate $cap"
  start_relay "$server_port" --delay-ms 25 --loss-percent 0
  capped=$(install "$relay_port" linux --limit-rate "$cap")
  stop_relay
  cap_mb=$(python3 -c "
import re, sys
m = re.fullmatch(r'(\d+)([kKmMgG]?)', sys.argv[1])
scale = 1024 ** ' kmg'.index(m[2].lower() or ' ')
print('%.2f' % (int(m[1]) * scale / 1e6))" "$cap")
fi

echo "loopback without the relay, and a TCP copy of the same bytes"
direct=$(install "$server_port" linux)
tcp=$(tcp_copy)

echo "what the relay carries (udp_probe, 1400-byte datagrams, 3 s each)"
probe_port=$(free_port)
probe_direct=$("$probe_bin" "$probe_port" "$probe_port" 3 | sed -n 's/.*: \([0-9.]*\) MB\/s.*/\1/p')
start_relay $((probe_port + 1))
probe_relay=$("$probe_bin" $((probe_port + 1)) "$relay_port" 3 | sed -n 's/.*: \([0-9.]*\) MB\/s.*/\1/p')
stop_relay

echo
printf '%s MiB (%s bytes): %s files and one of %s MiB, random data\n' "$size_mib" "$total_bytes" "$files" \
  "$(awk -v b=$((size_mib * 1048576 - small_bytes * files)) 'BEGIN { printf "%.0f", b / 1048576 }')"
echo "MB/s: the install as it is; 1 connection: with --connections 1; ratio: the first / the second"
echo "$header"
printf '%s\n' "${rows[@]}"
printf '%-26s %12s %12s %18s %7s\n' "loopback, no relay" - "$direct" "TCP (socat) $tcp" "$(rounded_ratio "$direct" "$tcp" 2)"
if [ -n "$cap" ]; then
  printf '%-26s %12s %12s %18s %7s\n' "50 ms, --limit-rate $cap" "cap $cap_mb" "$capped" - "$(rounded_ratio "$capped" "$cap_mb" 2)"
fi
echo "relay counters per run (both directions):"
printf '  %s\n' "${counts[@]}"
printf 'udp_relay at 0 ms carries %s MB/s each way; the same probe without it %s MB/s (ratio %s)\n' \
  "$probe_relay" "$probe_direct" "$(rounded_ratio "$probe_relay" "$probe_direct" 2)"
