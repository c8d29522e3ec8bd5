#!/usr/bin/env bash
# One large game file end to end over loopback.
#   bench/large_file_bench.sh            (a 3 GiB file)
#   LARGE_FILE_MIB=256 bench/large_file_bench.sh   (a quick run)
# The file is half random, half compressible. A build holding it is
# published with create mode against a build in which about 1% of it
# differs, and served by update_server on 127.0.0.1. The updater then
# installs it into an empty folder, updates a folder holding the older
# build, and installs it into another empty folder but is killed (SIGKILL)
# when about half of the update data is staged, then run again to finish.
# Printed: seconds and MB/s of each run (the programs' fixed pauses left
# out), the peak resident memory of create mode, of each updater run and of
# the server, whether create mode made a patch, and the bytes the server
# sent across the kill and the resumed run against the file's size.
#
# As root the benchmark runs in a network namespace of its own, whose
# loopback carries nothing else, and counts the server's datagrams with an
# nftables counter there (gone with the namespace); otherwise the byte
# counts are left out. LARGE_FILE_TIMEOUT bounds each program run (seconds,
# default 3600).
set -euo pipefail
self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
cd "$(dirname "$0")/.."
repo=$(pwd)

source scripts/lib/bench.sh

if [ -z "${QUOR_BENCH_NAMESPACE:-}" ]; then
  require_packages time python3 procps
  [ "$(id -u)" -eq 0 ] && require_packages nftables iproute2
  ./scripts/build.sh >/dev/null
  if [ "$(id -u)" -eq 0 ] && unshare --net true 2>/dev/null; then
    exec unshare --net env QUOR_BENCH_NAMESPACE=own "$self" "$@"
  fi
  QUOR_BENCH_NAMESPACE=shared
fi

size_mib=${LARGE_FILE_MIB:-3072}
run_limit=${LARGE_FILE_TIMEOUT:-3600}
updater=$repo/build/updater
# Fixed pauses: create mode 4 s banner + 4 s at the end; an update run also
# 0.4 s after connecting and 0.4 s at shutdown.
create_pauses=8
update_pauses=8.8
file_path=data/quor/big.bin

make_work_dir
running_pid=
# The updater running, if any, is killed outright (before the server stops).
at_exit '[ -z "$running_pid" ] || kill -9 "$running_pid" 2>/dev/null'

echo "generating a $size_mib MiB file, and its older version with about 1% different"
mkdir -p "$work/v1/data/quor" "$work/v2/data/quor" "$work/v2/server_data"
python3 - "$work" "$size_mib" "$file_path" <<'PY'
import os, random, shutil, sys
work, size, path = sys.argv[1], int(sys.argv[2]) << 20, sys.argv[3]
piece = 16 << 20
rng = random.Random(1)
# Compressible half: short records of a few kinds with changing numbers.
records = b"".join(b"entity %d pos %d %d hp %d;" % (i % 97, rng.randrange(1000), rng.randrange(1000),
                   rng.randrange(100)) for i in range(40000))
with open(f"{work}/v1/{path}", "wb") as f:
    left = size // 2
    while left:
        n = min(left, piece); f.write(os.urandom(n)); left -= n
    left = size - size // 2
    while left:
        n = min(left, len(records)); f.write(records[:n]); left -= n
shutil.copyfile(f"{work}/v1/{path}", f"{work}/v2/{path}")
# 1% of every MiB rewritten at a place of its own.
change = (1 << 20) // 100
with open(f"{work}/v2/{path}", "r+b") as f:
    for block in range(size >> 20):
        f.seek((block << 20) + rng.randrange((1 << 20) - change)); f.write(os.urandom(change))
PY
file_bytes=$(stat -c %s "$work/v2/$file_path")

# seconds_of TIME_FILE PAUSES -> elapsed seconds less the pauses
seconds_of() { tail -1 "$1" | awk -v p="$2" '{ s = $1 - p; printf "%.2f", (s > 0.01 ? s : 0.01) }'; }
peak_mib_of() { tail -1 "$1" | awk '{ printf "%.0f", $2 / 1024 }'; }
mb_per_s() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / s / 1e6 }'; }

echo "publishing with create mode against the older build"
(cd "$work/v2" && timeout -s KILL "$run_limit" /usr/bin/time -f '%e %M' -o "$work/create.time" \
  "$updater" --create --old ../v1 >"$work/create.out" 2>&1) || {
  echo "create mode failed:"; tail -20 "$work/create.out"; exit 1
}
data=$work/v2/server_data/update_data
# The largest container is the file's whole copy (the other is updater.log).
whole_file=$(ls -S "$data"/*.compressed | head -1)
whole_bytes=$(stat -c %s "$whole_file")
patch_file=$(ls "$data"/*.patch 2>/dev/null | head -1 || true)
if [ -n "$patch_file" ]; then
  patch_note="a patch of $(awk -v b="$(stat -c %s "$patch_file")" 'BEGIN { printf "%.1f", b / 1048576 }') MiB"
elif grep -q "file too large to patch within memory" "$work/create.out"; then
  patch_note="no patch: create mode published the file whole (too large to patch within memory)"
else
  patch_note="no patch"
fi
echo "   update data: the file whole in $(awk -v b="$whole_bytes" 'BEGIN { printf "%.0f", b / 1048576 }') MiB; $patch_note"

# The port is chosen first: the counter names it.
port=$(free_port)
counting=no
if [ "$QUOR_BENCH_NAMESPACE" = own ]; then
  ip link set lo up
  nft add table inet quor_bench
  nft add chain inet quor_bench out '{ type filter hook output priority 0; policy accept; }'
  nft add rule inet quor_bench out udp sport "$port" counter
  counting=yes
fi
# UDP payload bytes the server has sent so far (IPv4 + UDP headers, 28
# bytes a datagram, left out).
server_sent() {
  [ "$counting" = yes ] || { echo 0; return; }
  nft list chain inet quor_bench out |
    sed -n 's/.*counter packets \([0-9]*\) bytes \([0-9]*\).*/\1 \2/p' | awk '{ printf "%.0f\n", $2 - 28 * $1 }'
}

mkdir -p "$work/server"
start_server_on "$port" "$repo/build/update_server" "$work/server" "$work/server.out" --data "$data" ||
  { echo "the server did not start"; exit 1; }

# run_update NAME FOLDER [KILL_AT_STAGED_BYTES]: runs the updater in FOLDER,
# bounded by the run limit; with KILL_AT it is killed once the staging
# folder holds that many bytes. Leaves NAME.time ("seconds peak-KiB") and
# sets run_ended to how the run ended.
run_update() {
  local name=$1 folder=$2 kill_at=${3:-}
  servers_config "$folder" bench "$port"
  (cd "$folder" && exec /usr/bin/time -f '%e %M' -o "$work/$name.time" "$updater") \
    >"$work/$name.out" 2>&1 &
  local time_pid=$! child='' ended=finished
  running_pid=$time_pid
  local deadline=$((SECONDS + run_limit))
  while kill -0 "$time_pid" 2>/dev/null; do
    [ -z "$child" ] && child=$(pgrep -P "$time_pid" || true) && running_pid=${child:-$time_pid}
    if [ -n "$kill_at" ] && [ -n "$child" ]; then
      local staged
      staged=$(du -s --block-size=1 "$folder/updater_staging" 2>/dev/null | cut -f1 || true)
      if [ "${staged:-0}" -ge "$kill_at" ]; then
        kill -9 "$child" 2>/dev/null || true
        ended="killed with $staged bytes staged"
        kill_at=
      fi
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      kill -9 "${child:-$time_pid}" 2>/dev/null || true
      ended="stopped after $run_limit s"
    fi
    sleep 0.2
  done
  wait "$time_pid" 2>/dev/null || true
  running_pid=
  [ -n "$kill_at" ] && ended="ended before half was staged"
  run_ended=$ended
}

same_file() { cmp -s "$1/$file_path" "$work/v2/$file_path" && echo "equals the new build" || echo "DIFFERS from the new build"; }

declare -a rows
row() { rows+=("$(printf '%-34s %9s %9s %11s  %s' "$@")"); }

echo "full install into an empty folder"
before=$(server_sent)
run_update install "$work/install"
install_sent=$(($(server_sent) - before))
s=$(seconds_of "$work/install.time" "$update_pauses")
row "full install" "$s" "$(mb_per_s "$file_bytes" "$s")" "$(peak_mib_of "$work/install.time")" \
  "$run_ended; $(same_file "$work/install")"
rm -rf "$work/install"

echo "update of the older build"
mkdir -p "$work/patch_player"
cp -r "$work/v1/data" "$work/patch_player/"
before=$(server_sent)
run_update update "$work/patch_player"
update_sent=$(($(server_sent) - before))
s=$(seconds_of "$work/update.time" "$update_pauses")
how=$( [ -n "$patch_file" ] && echo "patch" || echo "whole file" )
row "1% update ($how)" "$s" "$(mb_per_s "$file_bytes" "$s")" "$(peak_mib_of "$work/update.time")" \
  "$run_ended; $(same_file "$work/patch_player")"
rm -rf "$work/patch_player"

echo "install killed when half of the update data is staged, then resumed"
before=$(server_sent)
run_update killed "$work/resume" $((whole_bytes / 2))
# Of its pauses only the banner's and the one after connecting have passed.
s=$(seconds_of "$work/killed.time" 4.4)
row "install until killed" "$s" "" "$(peak_mib_of "$work/killed.time")" "$run_ended"
run_update resumed "$work/resume"
resume_sent=$(($(server_sent) - before))
s=$(seconds_of "$work/resumed.time" "$update_pauses")
row "resumed install" "$s" "" "$(peak_mib_of "$work/resumed.time")" \
  "$run_ended; $(same_file "$work/resume")"

server_peak=$(awk '/^VmHWM/ { printf "%.0f", $2 / 1024 }' "/proc/$server_pid/status")
create_s=$(seconds_of "$work/create.time" "$create_pauses")

echo
printf '%-34s %9s %9s %11s  %s\n' "" seconds MB/s "peak MiB" ""
printf '%-34s %9s %9s %11s  %s\n' "publish (updater --create --old)" "$create_s" \
  "$(mb_per_s "$file_bytes" "$create_s")" "$(peak_mib_of "$work/create.time")" "$patch_note"
printf '%s\n' "${rows[@]}"
echo "update_server peak resident memory: $server_peak MiB"
if [ "$counting" = yes ]; then
  echo "server sent (UDP payload): install $install_sent bytes, 1% update $update_sent bytes"
  echo "server sent across the kill and the resumed run: $resume_sent bytes =" \
    "$(rounded_ratio "$resume_sent" "$whole_bytes" 3) x the update data to fetch ($whole_bytes)," \
    "$(rounded_ratio "$resume_sent" "$file_bytes" 3) x the file ($file_bytes)"
else
  echo "server bytes not counted (needs root for a network namespace of its own)"
fi
