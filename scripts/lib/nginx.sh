# Debian's nginx for the scripts (the Windows end-to-end checks, the
# benchmarks): run as the current user in the foreground, one process,
# with its config, pid file, logs and temporary files in a folder of the
# caller's choice; nothing is written outside it, and the system's nginx
# service is never touched. It serves a folder on a port of 127.0.0.1
# over HTTPS (HTTP/2 offered) with the test CA's server certificate
# (scripts/lib/test_ca.sh; QUOR_TEST_CERTS, default build/test-certs),
# which is good for the name localhost; or over plain http. The cache
# headers are those a publisher sets: "no-cache" for the pointer file
# (any path ending in /current), "public, max-age=31536000, immutable"
# for everything else.
#
#   start_nginx DIR ROOT [plain]   serve ROOT; sets nginx_pid, nginx_port,
#                                  nginx_url (https://localhost:PORT, or
#                                  http:// with plain; no slash at the end)
#   stop_nginx                     stop it now (it is stopped at exit too)
#
# DIR/access.log holds one line per request, tab-separated: method, path,
# status, body bytes sent, the Range header ("-" without one). Every wait
# is bounded. Brings scripts/lib/servers.sh (free_port) and work.sh.

source "$(dirname "${BASH_SOURCE[0]}")/servers.sh"

nginx_program=${nginx_program:-/usr/sbin/nginx}
nginx_pid=${nginx_pid:-}
nginx_port=${nginx_port:-}
nginx_url=${nginx_url:-}

# start_nginx DIR ROOT [plain]: writes DIR/nginx.conf and starts nginx on
# up to 20 ports of free_port in turn, until one binds; waits (at most
# 10 s each) until it holds its port. Puts the process on stop_at_exit.
# False, with nginx's error log on stderr, when it did not start (a port
# in use is tried again; any other error is not).
start_nginx() {
  local dir root scheme=https _
  dir=$(mkdir -p "$1" && cd "$1" && pwd) || return 1
  root=$(cd "$2" && pwd) || return 1
  [ "${3:-}" = plain ] && scheme=http
  mkdir -p "$dir/temp"
  for _ in $(seq 20); do
    nginx_port=$(free_port)
    nginx_config "$dir" "$root" "$nginx_port" "$scheme" >"$dir/nginx.conf" || return 1
    rm -f "$dir/nginx.pid" "$dir/error.log"
    "$nginx_program" -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" >"$dir/nginx.out" 2>&1 &
    nginx_pid=$!
    stop_at_exit+=("$nginx_pid")
    if nginx_wait_listening "$dir" "$nginx_port" "$nginx_pid"; then
      nginx_url=$scheme://localhost:$nginx_port
      return 0
    fi
    stop_nginx
    grep -qs "Address already in use" "$dir/error.log" "$dir/nginx.out" && continue
    break
  done
  echo "nginx did not start:" >&2
  cat "$dir/error.log" "$dir/nginx.out" >&2 2>/dev/null
  nginx_port=
  return 1
}

# stop_nginx: stops the nginx of start_nginx (SIGTERM, then waits for it)
# and empties nginx_pid and nginx_url. Never fails.
stop_nginx() {
  stop_processes "$nginx_pid"
  nginx_pid=
  nginx_url=
}

# nginx_wait_listening DIR PORT PID: waits until nginx has written its pid
# file (it does once it holds its sockets) and takes a TCP connection on
# PORT, for at most 10 s, polled every 50 ms; false once PID has ended.
nginx_wait_listening() {
  local dir=$1 port=$2 pid=$3 _
  for _ in $(seq 200); do
    kill -0 "$pid" 2>/dev/null || return 1
    if [ -s "$dir/nginx.pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# nginx_config DIR ROOT PORT SCHEME: the config, on stdout.
nginx_config() {
  local dir=$1 root=$2 port=$3 scheme=$4 listen=";" certs
  if [ "$scheme" = https ]; then
    certs=$(cd "${QUOR_TEST_CERTS:-build/test-certs}" 2>/dev/null && pwd)
    if [ -z "$certs" ] || [ ! -s "$certs/server.pem" ] || [ ! -s "$certs/server.key" ]; then
      echo "no test certificates in ${QUOR_TEST_CERTS:-build/test-certs}: run ensure_test_ca first" >&2
      return 1
    fi
    listen=" ssl http2;"
  fi
  cat <<EOF
daemon off;
master_process off;
worker_processes 1;
pid "$dir/nginx.pid";
error_log "$dir/error.log" warn;
events { worker_connections 1024; }
http {
  default_type application/octet-stream;
  sendfile on;
  client_body_temp_path "$dir/temp/body";
  proxy_temp_path "$dir/temp/proxy";
  fastcgi_temp_path "$dir/temp/fastcgi";
  uwsgi_temp_path "$dir/temp/uwsgi";
  scgi_temp_path "$dir/temp/scgi";
  log_format plain escape=default '\$request_method\t\$uri\t\$status\t\$body_bytes_sent\t\$http_range';
  map \$uri \$cache_control {
    ~/current\$ "no-cache";
    default "public, max-age=31536000, immutable";
  }
EOF
  if [ "$scheme" = https ]; then
    printf '  ssl_certificate "%s/server.pem";\n  ssl_certificate_key "%s/server.key";\n' "$certs" "$certs"
  fi
  cat <<EOF
  server {
    listen 127.0.0.1:$port$listen
    server_name localhost;
    root "$root";
    access_log "$dir/access.log" plain;
    add_header Cache-Control \$cache_control;
  }
}
EOF
}
