# update_server for the scripts: started on a port of 127.0.0.1 in a
# folder of the caller's choice (its update_server.log goes there), with
# its console output in a file, and waited for until it says it listens.
# The last one started is "the" server (server_pid, server_port), which
# stop_server stops; every one started is stopped at exit
# (scripts/lib/work.sh, which this file brings). Every wait is bounded.

source "$(dirname "${BASH_SOURCE[0]}")/work.sh"

server_pid=${server_pid:-}
server_port=${server_port:-}

# free_port: a port to try for a server on 127.0.0.1, at random from
# 20000 to 59999; whether it is free shows when the server binds it.
free_port() {
  echo $((20000 + RANDOM % 40000))
}

# wait_for_text FILE TEXT [PID]: waits until FILE holds TEXT (a plain
# string), for at most 10 s, polled every 50 ms, and no longer once process
# PID has ended. False when TEXT did not come.
wait_for_text() {
  local file=$1 text=$2 pid=${3:-} _
  for _ in $(seq 200); do
    grep -qsF -- "$text" "$file" && return 0
    if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then
      break
    fi
    sleep 0.05
  done
  grep -qsF -- "$text" "$file"
}

# start_server_on PORT PROGRAM DIR OUTPUT ARGS...: runs
# `PROGRAM --port PORT ARGS...` in the background in folder DIR, its output
# (stdout and stderr) in OUTPUT, and waits until it is "listening on port"
# (at most 10 s). PROGRAM and OUTPUT are taken from the current folder.
# Sets server_pid and server_port, and puts the process on stop_at_exit.
# False, with the process stopped and both empty, when it did not listen
# or has ended.
start_server_on() {
  local port=$1 program=$2 dir=$3 output=$4
  shift 4
  [[ "$program" == /* ]] || program=$PWD/$program
  (cd "$dir" && exec "$program" --port "$port" "$@") >"$output" 2>&1 &
  server_pid=$!
  server_port=$port
  stop_at_exit+=("$server_pid")
  if wait_for_text "$output" "listening on port" "$server_pid" && kill -0 "$server_pid" 2>/dev/null; then
    return 0
  fi
  stop_server
  server_port=
  return 1
}

# start_server PROGRAM DIR OUTPUT ARGS...: start_server_on on up to 20
# ports of free_port in turn (a port in use makes the server end at once).
# Sets server_pid and server_port. False, with "update_server did not
# start" on stderr, when none listened.
start_server() {
  local _
  for _ in $(seq 20); do
    start_server_on "$(free_port)" "$@" && return 0
  done
  echo "update_server did not start" >&2
  return 1
}

# stop_server: stops the server of start_server (SIGTERM, then waits for
# it) and empties server_pid. Never fails.
stop_server() {
  stop_processes "$server_pid"
  server_pid=
}

# servers_config FOLDER NAME PORT [NAME PORT...]: writes
# FOLDER/settings/servers.config (making the folder) naming servers NAME on
# 127.0.0.1:PORT, in the order given.
servers_config() {
  local folder=$1
  shift
  mkdir -p "$folder/settings"
  printf '%s\n127.0.0.1\n%s\n' "$@" >"$folder/settings/servers.config"
}
