# Measuring for the scripts of bench/: one command's time and memory,
# the best of a few runs, sizes and ratios as the tables print them, and
# the check that a tool's output is right. measure needs $work, a folder
# for its notes (scripts/lib/work.sh).

# measure COMMAND...: runs COMMAND under /usr/bin/time, its output
# discarded; sets wall (seconds), cpu (user + system seconds) and peak
# (maximum resident set, KiB). When COMMAND fails: its stderr and exit 1.
measure() {
  /usr/bin/time -f "%e %U %S %M" -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || {
    echo "failed: $*" >&2; cat "$work/stderr.txt" >&2; exit 1; }
  local user system
  read -r wall user system peak <"$work/time.txt"
  cpu=$(echo "$user + $system" | bc)
}

# best_seconds RUNS COMMAND...: runs COMMAND RUNS times, its output
# discarded; prints the shortest run's wall seconds.
best_seconds() {
  local runs=$1 best= start end _
  shift
  for _ in $(seq "$runs"); do
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    best=$(awk -v a="$start" -v b="$end" -v best="$best" \
      'BEGIN { t = b - a; if (best == "" || t < best + 0) best = t; printf "%.6f", best }')
  done
  echo "$best"
}

# must_match OUTPUT EXPECTED: exits 1 with "wrong result: OUTPUT" unless
# the two files are equal.
must_match() {
  cmp -s "$1" "$2" || { echo "wrong result: $1" >&2; exit 1; }
}

# size FILE: its size in bytes.
size() {
  stat -c %s "$1"
}

# ratio A B: A / B cut (not rounded) to two places, as bc prints it
# (".57", "1.20").
ratio() {
  echo "scale=2; $1 / $2" | bc
}

# rounded_ratio A B PLACES: A / B rounded to PLACES places ("0.57"), or
# "-" unless both are numbers above 0 (a run that failed, say).
rounded_ratio() {
  awk -v a="$1" -v b="$2" -v places="$3" \
    'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%." places "f", a / b; else printf "-" }'
}

# cached_random_file FILE MIB: writes MIB MiB of random bytes to FILE and
# reads them once, so that what is timed next reads the page cache.
cached_random_file() {
  head -c $(($2 * 1024 * 1024)) /dev/urandom >"$1"
  cat "$1" >/dev/null
}

# stamp: copies its input, each line prefixed with the time it was read
# (seconds and microseconds) and stripped of a trailing carriage return.
stamp() {
  local line
  while IFS= read -r line; do printf '%s %s\n' "$EPOCHREALTIME" "${line%$'\r'}"; done
}

# stamp_of FILE TEXT: the time of the first line TEXT in FILE, an output of
# stamp (a log entry on the console, ": TEXT", counts as TEXT).
stamp_of() {
  awk -v text="$2" '{ t = $1; sub(/^[^ ]* (: )?/, "") } $0 == text { print t; exit }' "$1"
}

# install_outcome OUTPUT BUILD FOLDER: how the updater run whose stamped
# output is OUTPUT went, installing the build in folder BUILD into FOLDER.
# Sets from and to (the stamps of "Fetching manifest..." and "...
# updates applied") and why: empty when the run ended with FOLDER's data
# equal to BUILD's, else "gave up", "no end" or "files differ".
install_outcome() {
  from=$(stamp_of "$1" "Fetching manifest...")
  to=$(stamp_of "$1" "... updates applied")
  why=
  if grep -q "Restarting in 5 seconds" "$1"; then
    why="gave up"
  elif [ -z "$from" ] || [ -z "$to" ]; then
    why="no end"
  elif ! diff -rq "$2/data" "$3/data" >/dev/null 2>&1; then
    why="files differ"
  fi
}
