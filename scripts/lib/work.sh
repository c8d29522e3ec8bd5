# A script's temporary work folder and what it started in the background,
# both gone when the script exits, however it exits (end of the script,
# `exit`, a failed command under `set -e`, SIGINT); the script's exit
# status stays its own.
#
#   make_work_dir [MKTEMP_ARGS...]   sets work and the EXIT trap
#   stop_at_exit+=("$pid")           a process to stop at exit
#   stop_processes PID...            stop them now (and not again at exit)
#   at_exit 'COMMAND'                a command to run at exit
#   keep_work=1                      keep the folder, and name it, instead
#
# Every server of scripts/lib/servers.sh is stopped at exit too. Sourcing
# this file again keeps what was registered.

declare -a stop_at_exit at_exit_commands
keep_work=${keep_work:-}

# make_work_dir [MKTEMP_ARGS...]: sets work to a new folder of `mktemp -d
# MKTEMP_ARGS` and makes finish_work the EXIT trap.
make_work_dir() {
  work=$(mktemp -d "$@")
  trap finish_work EXIT
}

# at_exit COMMAND: COMMAND (a string, run with eval) runs at exit, before
# the processes are stopped; commands run in the order given.
at_exit() {
  at_exit_commands+=("$1")
}

# stop_processes PID...: sends each process SIGTERM, waits for those that
# are children of this shell, and takes them off stop_at_exit. Empty and
# ended PIDs are passed over; never fails.
stop_processes() {
  local pids=() kept=() pid
  for pid in "$@"; do
    [ -z "$pid" ] || pids+=("$pid")
  done
  [ ${#pids[@]} -gt 0 ] || return 0
  kill "${pids[@]}" 2>/dev/null || true
  wait "${pids[@]}" 2>/dev/null || true
  for pid in "${stop_at_exit[@]}"; do
    [[ " ${pids[*]} " == *" $pid "* ]] || kept+=("$pid")
  done
  stop_at_exit=("${kept[@]}")
}

# finish_work: the EXIT trap. Runs the at_exit commands, stops the
# processes of stop_at_exit, then removes the work folder, or with
# keep_work set prints "(outputs kept in FOLDER)". Every step is allowed to
# fail: under `set -e` a failing command here would replace the script's
# exit status.
finish_work() {
  local command
  for command in "${at_exit_commands[@]}"; do
    eval "$command" || true
  done
  stop_processes "${stop_at_exit[@]}"
  if [ -z "${work:-}" ]; then
    return 0
  elif [ -n "$keep_work" ]; then
    echo "(outputs kept in $work)"
  else
    rm -rf "$work" || true
  fi
  return 0
}
