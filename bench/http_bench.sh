#!/usr/bin/env bash
# Installs over HTTPS from nginx beside the same install over ENet and
# beside curl, all on 127.0.0.1, in one run.
#
#   bench/http_bench.sh [--large] [build folder, default build]
#
# 1. A build of 256 MiB of random bytes, half in 2048 files of 64 KiB and
#    half in 4 files of 32 MiB, published with `updater --create` (which
#    writes server_data/update_data and server_data/releases/<id>/ +
#    current).
# 2. The updater installs it into an empty folder from nginx (TLS, HTTP/2,
#    serving server_data/releases; server list entry web /
#    https://localhost:PORT/ / 0), the player holding no updater.key:
#    default options, then --connections 16.
# 3. The same installs from update_server over ENet.
# 4. The comparator: curl --parallel --parallel-max 16 fetching every file
#    of the release folder to disk over the same nginx.
#    Each row: MB/s (the release folder's bytes over the wall time), CPU
#    seconds (user + system), peak resident memory, and MB/s against
#    curl's. Each is the best of HTTP_BENCH_RUNS runs (default 3) by MB/s.
# 5. A caching edge (a second nginx: proxy_cache, slice 1m,
#    proxy_cache_lock on) in front of the origin, its cache empty, and 8
#    players installing through it at once: how many finished, and the most
#    bytes the origin sent for one data file against its size (from the
#    origin's access log).
# 6. With --large (slow; about 7 GiB under /tmp): one 3 GiB random file
#    installed over HTTPS, the updater killed (SIGKILL) once its staging
#    holds half of it, then run again: whether it completed, the bytes the
#    origin sent across both runs against the file's size, the resumed
#    run's seconds.
#
# An updater's wall time runs from its console line "Fetching manifest..."
# to "... updates applied", each stamped as it is written, so the fixed
# pauses of a run (the banner, after connecting, at the end) are left out;
# curl's is its whole run. CPU seconds and peak memory are the whole
# process's (the pauses cost neither). nginx runs as the current user in
# the work folder, one worker process; the test CA (scripts/lib/test_ca.sh,
# in QUOR_TEST_CERTS, default build/test-certs) goes into the system trust
# store, which both the updater and curl trust. HTTP_BENCH_TIMEOUT bounds
# each program run (seconds, default 600).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
large=
build=build
for argument in "$@"; do
  case $argument in
    --large) large=1 ;;
    *) build=$argument ;;
  esac
done
runs=${HTTP_BENCH_RUNS:-3}
run_limit=${HTTP_BENCH_TIMEOUT:-600}

source scripts/lib/bench.sh
source scripts/lib/test_ca.sh
require_packages "${linux_test_packages[@]}" curl time bc procps
build_bench "$build" -j1 updater update_server
updater_bin=$(realpath "$build/updater")
server_bin=$(realpath "$build/update_server")
certs=${QUOR_TEST_CERTS:-$repo/build/test-certs}
ensure_test_ca "$certs"
certs=$(realpath "$certs")

make_work_dir
running_pid=
# A player still running is killed outright before nginx and the server stop.
at_exit '[ -z "$running_pid" ] || kill -9 "$running_pid" 2>/dev/null'

# --- nginx -----------------------------------------------------------------

# nginx_config DIR PORT ROOT [ORIGIN_PORT]: the config of an nginx in DIR on
# 127.0.0.1:PORT with TLS and HTTP/2. Without ORIGIN_PORT it serves ROOT,
# logging "uri status body-bytes range" to DIR/access.log; with it, it is a
# caching edge in front of https://127.0.0.1:ORIGIN_PORT.
nginx_config() {
  local dir=$1 port=$2 root=$3 origin=${4:-}
  cat <<EOF
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 1024; }
http {
  default_type application/octet-stream;
  sendfile on;
  client_body_temp_path $dir/temp/body;
  proxy_temp_path $dir/temp/proxy;
  fastcgi_temp_path $dir/temp/fastcgi;
  uwsgi_temp_path $dir/temp/uwsgi;
  scgi_temp_path $dir/temp/scgi;
  log_format bench '\$uri \$status \$body_bytes_sent "\$http_range"';
  access_log $dir/access.log bench;
  ssl_certificate $certs/server.pem;
  ssl_certificate_key $certs/server.key;
  map \$uri \$cache_control {
    ~/current\$ "no-cache";
    default "public, max-age=31536000, immutable";
  }
EOF
  if [ -z "$origin" ]; then
    cat <<EOF
  server {
    listen 127.0.0.1:$port ssl http2;
    server_name localhost;
    root $root;
    add_header Cache-Control \$cache_control;
  }
}
EOF
  else
    cat <<EOF
  proxy_cache_path $dir/cache levels=1:2 keys_zone=edge:4m max_size=4g inactive=1h use_temp_path=off;
  server {
    listen 127.0.0.1:$port ssl http2;
    server_name localhost;
    location / {
      slice 1m;
      proxy_cache edge;
      proxy_cache_key \$uri\$is_args\$args\$slice_range;
      proxy_set_header Range \$slice_range;
      proxy_cache_valid 200 206 1h;
      # Players asking at once for a slice not cached yet wait for the
      # first one's fetch instead of all going to the origin.
      proxy_cache_lock on;
      proxy_cache_lock_timeout 60s;
      proxy_cache_lock_age 60s;
      proxy_http_version 1.1;
      proxy_pass https://127.0.0.1:$origin;
      proxy_ssl_trusted_certificate $certs/ca.pem;
      proxy_ssl_verify on;
      proxy_ssl_name localhost;
      proxy_ssl_server_name on;
    }
  }
}
EOF
  fi
}

# accepts_tcp PORT: whether 127.0.0.1:PORT takes a TCP connection.
accepts_tcp() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# start_nginx DIR ROOT [ORIGIN_PORT]: an nginx of nginx_config in DIR (made
# afresh), on up to 20 ports of free_port in turn; waits (at most 10 s a
# port) until it wrote its pid file and takes connections. Sets nginx_port
# and nginx_pid; the process is stopped at exit.
start_nginx() {
  local dir=$1 root=$2 origin=${3:-} _ __
  rm -rf "$dir"
  mkdir -p "$dir/temp"
  for _ in $(seq 20); do
    nginx_port=$(free_port)
    nginx_config "$dir" "$nginx_port" "$root" "$origin" >"$dir/nginx.conf"
    rm -f "$dir/nginx.pid" "$dir/error.log"
    /usr/sbin/nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" >"$dir/out" 2>&1 &
    nginx_pid=$!
    stop_at_exit+=("$nginx_pid")
    for __ in $(seq 200); do
      if [ -s "$dir/nginx.pid" ] && accepts_tcp "$nginx_port"; then
        return 0
      fi
      kill -0 "$nginx_pid" 2>/dev/null || break
      sleep 0.05
    done
    stop_processes "$nginx_pid"
    if ! grep -qs "Address already in use" "$dir/error.log" "$dir/out"; then
      echo "nginx did not start:" >&2
      cat "$dir/error.log" "$dir/out" >&2 2>/dev/null || true
      exit 1
    fi
  done
  echo "nginx found no free port" >&2
  exit 1
}

# --- players -----------------------------------------------------------------

# web_player FOLDER PORT: an empty game folder whose server list names the
# nginx on PORT.
web_player() {
  rm -rf "$1"
  mkdir -p "$1/settings"
  printf 'web\nhttps://localhost:%s/\n0\n' "$2" >"$1/settings/servers.config"
}

# enet_player FOLDER PORT: an empty game folder whose server list names
# update_server on 127.0.0.1:PORT.
enet_player() {
  rm -rf "$1"
  servers_config "$1" bench "$2"
}

# play FOLDER BUILD ARGS...: runs the updater in FOLDER with ARGS, stamped
# into FOLDER.out, under /usr/bin/time (FOLDER.time). Sets seconds (the
# stamped span, empty when the run did not get there), cpu, peak_mib and
# why ("" when the run installed BUILD's data/, else what went wrong).
play() {
  local folder=$1 game=$2
  shift 2
  (cd "$folder" && /usr/bin/time -f "%e %U %S %M" -o "$folder.time" \
    timeout -s KILL "$run_limit" "$updater_bin" "$@" 2>&1 </dev/null || true) | stamp >"$folder.out"
  read_play "$folder" "$game"
}

# read_play FOLDER BUILD: the figures of a finished play.
read_play() {
  local folder=$1 game=$2 from to _wall user system kib
  read -r _wall user system kib <"$folder.time" || true
  cpu=$(awk -v u="${user:-0}" -v s="${system:-0}" 'BEGIN { printf "%.2f", u + s }')
  peak_mib=$(awk -v k="${kib:-0}" 'BEGIN { printf "%.0f", k / 1024 }')
  seconds=
  install_outcome "$folder.out" "$game" "$folder"
  if [ -z "$why" ]; then
    seconds=$(awk -v f="$from" -v t="$to" 'BEGIN { printf "%.3f", t - f }')
  fi
}

# settle_disk: waits until what was just deleted is on the disk and a
# second old. ext4 will not give a new file the inode of a file deleted
# moments ago and scans past every such inode, so a run that starts right
# after thousands of files were removed pays for that scan on each file it
# creates: both curl's runs and the updater's start after settle_disk.
settle_disk() {
  sync
  sleep 1.1
}

mbs() { awk -v b="$1" -v s="$2" 'BEGIN { if (s + 0 > 0) printf "%.1f", b / s / 1e6; else printf "-" }'; }

# The best run of best_*: the highest MB/s and that run's CPU and memory.
keep_best() {
  local rate
  rate=$(mbs "$data_bytes" "$1")
  if [ -z "$best_mbs" ] || awk -v a="$rate" -v b="$best_mbs" 'BEGIN { exit !(a > b) }'; then
    best_mbs=$rate best_cpu=$2 best_peak=$3
  fi
}

# install_rows NAME MAKE_PLAYER PORT ARGS...: the install RUNS times into a
# fresh folder; sets best_mbs, best_cpu, best_peak (or "failed").
install_best() {
  local name=$1 make=$2 port=$3 run
  shift 3
  best_mbs= best_cpu= best_peak=
  for run in $(seq "$runs"); do
    "$make" "$work/$name" "$port"
    settle_disk
    play "$work/$name" "$game" "$@"
    if [ -n "$why" ]; then
      echo "   $name run $run failed ($why); its last lines:" >&2
      tail -5 "$work/$name.out" >&2
      best_mbs=failed best_cpu=- best_peak=-
      return
    fi
    keep_best "$seconds" "$cpu" "$peak_mib"
  done
  rm -rf "${work:?}/$name"
}

# curl_best PORT: curl fetching every file of the release RUNS times;
# sets best_mbs, best_cpu, best_peak.
curl_best() {
  local port=$1 run list=$work/curl.list name start end
  best_mbs= best_cpu= best_peak=
  for run in $(seq "$runs"); do
    rm -rf "$work/curl" && mkdir -p "$work/curl"
    settle_disk
    : >"$list"
    for name in "${release_files[@]}"; do
      printf 'url = "https://localhost:%s/%s/%s"\noutput = "%s/curl/%s"\n' \
        "$port" "$release" "$name" "$work" "$name" >>"$list"
    done
    start=$EPOCHREALTIME
    measure timeout -s KILL "$run_limit" curl --parallel --parallel-max 16 --fail -sS -K "$list"
    end=$EPOCHREALTIME
    for name in "${release_files[@]}"; do must_match "$work/curl/$name" "$releases/$release/$name"; done
    keep_best "$(awk -v s="$start" -v e="$end" 'BEGIN { print e - s }')" "$cpu" \
      "$(awk -v k="$peak" 'BEGIN { printf "%.0f", k / 1024 }')"
  done
  rm -rf "$work/curl"
}

# --- the build ---------------------------------------------------------------

echo "generating 256 MiB: 2048 files of 64 KiB and 4 of 32 MiB, random"
game=$work/game
mkdir -p "$game/data/quor/small" "$game/data/quor/big" "$game/server_data"
head -c $((128 << 20)) /dev/urandom | split -a 4 -d -b $((64 << 10)) - "$game/data/quor/small/f"
for i in 1 2 3 4; do head -c $((32 << 20)) /dev/urandom >"$game/data/quor/big/pack$i.pak"; done

echo "publishing with create mode"
measure bash -c "cd '$game' && exec '$updater_bin' --create"
releases=$game/server_data/releases
release=$(cat "$releases/current")
mapfile -t release_files < <(cd "$releases/$release" && ls)
data_bytes=$(cd "$releases/$release" && stat -c %s -- * | awk '{ sum += $1 } END { printf "%.0f", sum }')
echo "   release $release: ${#release_files[@]} files, $data_bytes bytes"

# --- 1 to 4: installs ----------------------------------------------------------

start_nginx "$work/origin" "$releases"
origin_port=$nginx_port
origin_pid=$nginx_pid
mkdir -p "$work/server"
start_server "$server_bin" "$work/server" "$work/server/out" --data "$game/server_data/update_data" || exit 1

declare -a table
row() { table+=("$(printf '%-40s %8s %7s %7s %9s' "$@")"); }

echo "curl --parallel --parallel-max 16 from nginx"
curl_best "$origin_port"
curl_mbs=$best_mbs
row "curl --parallel-max 16, nginx" "$best_mbs" "1.00" "$best_cpu" "$best_peak"

max_peak=0
web_ratios=()
# bench_install LABEL NAME MAKE_PLAYER PORT ARGS...
bench_install() {
  local label=$1
  shift
  echo "$label"
  install_best "$@"
  local versus
  versus=$(rounded_ratio "$best_mbs" "$curl_mbs" 2)
  row "$label" "$best_mbs" "$versus" "$best_cpu" "$best_peak"
  [ "$best_peak" = - ] || [ "$best_peak" -le "$max_peak" ] || max_peak=$best_peak
  [ "$2" != web_player ] || web_ratios+=("$versus")
}
bench_install "updater, nginx, defaults" web web_player "$origin_port"
bench_install "updater, nginx, --connections 16" web16 web_player "$origin_port" --connections 16
bench_install "updater, update_server, defaults" enet enet_player "$server_port"
bench_install "updater, update_server, --connections 16" enet16 enet_player "$server_port" --connections 16
stop_server

# --- 5: through a caching edge -------------------------------------------------

echo "8 players at once through a caching edge"
: >"$work/origin/access.log"
start_nginx "$work/edge" "" "$origin_port"
edge_port=$nginx_port
pids=()
for i in $(seq 8); do
  web_player "$work/edge$i" "$edge_port"
  play "$work/edge$i" "$game" &
  pids+=($!)
done
wait "${pids[@]}"
edge_finished=0 edge_from= edge_to=
for i in $(seq 8); do
  read_play "$work/edge$i" "$game"
  if [ -n "$seconds" ]; then
    edge_finished=$((edge_finished + 1))
    from=$(stamp_of "$work/edge$i.out" "Fetching manifest...")
    to=$(stamp_of "$work/edge$i.out" "... updates applied")
    edge_from=$(awk -v a="$from" -v b="${edge_from:-$from}" 'BEGIN { print (a < b ? a : b) }')
    edge_to=$(awk -v a="$to" -v b="${edge_to:-$to}" 'BEGIN { print (a > b ? a : b) }')
  else
    echo "   edge player $i failed ($why)" >&2
    tail -5 "$work/edge$i.out" >&2
  fi
  rm -rf "${work:?}/edge$i"
done
# What the origin sent for each data file of the release, against its size.
edge_most=$(cd "$releases/$release" && awk -v release="/$release/" '
  FNR == NR { size[release $2] = $1; next }
  ($1 in size) { sent[$1] += $3 }
  END {
    most = 0
    for (f in size) if (size[f] > 0 && sent[f] / size[f] > most) { most = sent[f] / size[f]; name = f }
    for (f in sent) total += sent[f]
    printf "%.3f %s %.0f", most, name, total
  }' <(stat -c '%s %n' -- *) "$work/origin/access.log")
read -r edge_ratio edge_file edge_origin_bytes <<<"$edge_most"
edge_mbs=-
[ -z "$edge_from" ] || edge_mbs=$(mbs $((data_bytes * edge_finished)) "$(awk -v f="$edge_from" -v t="$edge_to" 'BEGIN { print t - f }')")
stop_processes "$nginx_pid"

# --- 6: a 3 GiB file killed half way and resumed ---------------------------------

large_lines=()
if [ -n "$large" ]; then
  echo "--large: one 3 GiB random file, killed half way and resumed"
  stop_processes "$origin_pid"
  rm -rf "$game"
  big=$work/big
  mkdir -p "$big/data/quor" "$big/server_data"
  head -c $((3072 << 20)) /dev/urandom >"$big/data/quor/huge.pak"
  file_bytes=$(stat -c %s "$big/data/quor/huge.pak")
  measure bash -c "cd '$big' && exec '$updater_bin' --create"
  big_release=$(cat "$big/server_data/releases/current")
  container=$(ls -S "$big/server_data/releases/$big_release"/*.compressed | head -1)
  container_bytes=$(stat -c %s "$container")
  start_nginx "$work/origin" "$big/server_data/releases"
  origin_port=$nginx_port
  player=$work/large
  web_player "$player" "$origin_port"
  (cd "$player" && exec /usr/bin/time -f "%e %U %S %M" -o "$player.killed.time" \
    "$updater_bin") >"$player.killed.out" 2>&1 &
  time_pid=$!
  running_pid=$time_pid
  child= ended="ended before half was staged"
  deadline=$((SECONDS + run_limit))
  while kill -0 "$time_pid" 2>/dev/null; do
    [ -n "$child" ] || { child=$(pgrep -P "$time_pid" || true); running_pid=${child:-$time_pid}; }
    staged=$(du -s --block-size=1 "$player/updater_staging" 2>/dev/null | cut -f1 || true)
    if [ -n "$child" ] && [ "${staged:-0}" -ge $((container_bytes / 2)) ]; then
      kill -9 "$child" 2>/dev/null || true
      ended="killed with $staged bytes staged"
      break
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
      kill -9 "${child:-$time_pid}" 2>/dev/null || true
      ended="stopped after $run_limit s"
      break
    fi
    sleep 0.1
  done
  wait "$time_pid" 2>/dev/null || true
  running_pid=
  play "$player" "$big"
  resumed=completed
  [ -z "$why" ] || resumed="did not complete ($why)"
  origin_sent=$(awk '{ sent += $3 } END { printf "%.0f", sent }' "$work/origin/access.log")
  large_lines+=("first run: $ended")
  large_lines+=("resumed run: $resumed, ${seconds:--} s, CPU $cpu s, peak $peak_mib MiB")
  large_lines+=("origin sent in both runs: $origin_sent bytes = $(rounded_ratio "$origin_sent" "$file_bytes" 3) x the file ($file_bytes bytes; its container $container_bytes)")
  rm -rf "$player" "$big"
fi

# --- the table ---------------------------------------------------------------

meets() { awk -v a="$1" -v b="$2" -v op="$3" 'BEGIN { if (a == "-" || a == "") print "failed";
  else if (op == ">=" ? a + 0 >= b + 0 : a + 0 <= b + 0) print "met"; else print "NOT met" }'; }
least_ratio=$(printf '%s\n' "${web_ratios[@]}" | sort -g | head -1)

echo
echo "256 MiB (2048 x 64 KiB + 4 x 32 MiB, random), release folder $data_bytes bytes, 127.0.0.1;"
echo "best of $runs runs by MB/s"
printf '%-40s %8s %7s %7s %9s\n' "" "MB/s" "x curl" "CPU s" "peak MiB"
printf '%s\n' "${table[@]}"
echo "target: install from nginx >= 0.8 x curl: $(meets "$least_ratio" 0.8 ">=") (least $least_ratio)"
echo "target: updater peak memory <= 128 MiB: $(meets "$max_peak" 128 "<=") (most $max_peak MiB)"
echo "8 players at once through a caching edge (slice 1m, proxy_cache_lock): $edge_finished finished, $edge_mbs MB/s together"
echo "   origin sent per data file at most $edge_ratio x its size ($edge_file);" \
  "in all $edge_origin_bytes bytes = $(rounded_ratio "$edge_origin_bytes" "$data_bytes" 3) x the release"
echo "target: each data file sent by the origin at most once (<= 1.0): $(meets "$edge_ratio" 1.0 "<=")"
if [ -n "$large" ]; then
  echo "3 GiB file over HTTPS, killed half way and resumed:"
  printf '   %s\n' "${large_lines[@]}"
fi
