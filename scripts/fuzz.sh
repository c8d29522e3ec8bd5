#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz (clang 14, ASan + UBSan) into
# build-fuzz/ and runs each one for the given number of seconds, starting
# from the seed corpus in tests/fuzz/corpus/<target>/. Any crash, leak,
# sanitizer report, timeout or memory blow-up fails the run; the input is
# kept in build-fuzz/artifacts/. New inputs found go to
# build-fuzz/corpus/<target>/, never into the repository.
#
#   scripts/fuzz.sh [SECONDS]        every target, SECONDS each (default 30)
#   scripts/fuzz.sh SECONDS TARGET   one target
#   scripts/fuzz.sh --build          build only
#
# FUZZ_JOBS sets the build's parallel jobs (default: all cores).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

seconds=30
only=""
build_only=0
case "${1:-}" in
  --build) build_only=1 ;;
  "") ;;
  *[!0-9]*) echo "usage: $0 [SECONDS [TARGET]] | --build" >&2; exit 2 ;;
  *) seconds=$1; only=${2:-} ;;
esac

require_packages cmake ninja-build clang-14 libclang-rt-14-dev pkg-config libenet-dev libzstd-dev zlib1g-dev libssl-dev libdivsufsort-dev

dir=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DUPDATER_FUZZ=ON -DUPDATER_BUILD_TESTS=OFF -DUPDATER_BUILD_BENCH=OFF >/dev/null
targets=$(cd tests/fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//' | grep -v '^fuzz_support$')
ninja -C "$dir" -j "${FUZZ_JOBS:-$(nproc)}" make_fuzz_seeds $targets
[ "$build_only" -eq 1 ] && exit 0

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=()
summary=()
mkdir -p "$dir/artifacts"
for target in $targets; do
  [ -n "$only" ] && [ "$target" != "$only" ] && continue
  work="$dir/corpus/$target"
  mkdir -p "$work"
  log="$dir/$target.log"
  echo "== $target (${seconds}s)"
  if "$dir/tests/fuzz/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/$target-" \
      "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    # The last status line: "#N DONE cov: C ft: F corp: ... exec/s: E ..."
    status=$(grep -E '^#[0-9]+' "$log" | tail -1)
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    summary+=("$(printf '%-24s runs %-10s cov %-6s ft %-6s exec/s %s' "$target" "$runs" \
      "$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$status")" \
      "$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$status")" \
      "$(sed -n 's/.* exec\/s: \([0-9]*\).*/\1/p' <<<"$status")")")
  else
    failed+=("$target")
    summary+=("$(printf '%-24s FAILED, see %s' "$target" "$log")")
    grep -E 'ERROR|SUMMARY|fuzz property|Test unit written' "$log" | head -20 || true
  fi
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
