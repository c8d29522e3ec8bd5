#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test, in three
# configurations:
#   build/        the normal build (g++): every test
#   build-asan/   AddressSanitizer + UndefinedBehaviorSanitizer, built with
#                 clang 14 so that both compilers build everything: every test
#   build-tsan/   ThreadSanitizer: the tests of the threaded parts
#   build-windows/ the Windows programs, cross-built, tested under Wine
#                 (scripts/test-windows.sh)
#   build-fuzz/   every fuzz target for 30 s (scripts/fuzz.sh 30)
# and packaging/update_server.service with systemd-analyze verify, when
# that tool is present, and the publisher's guide's Prometheus config and
# alerts with promtool.
# Any sanitizer report fails the run. The HTTPS tests' own CA is made once
# in build/test-certs/ and installed into the system trust store, which
# needs root the first time (scripts/lib/test_ca.sh).
#
#   scripts/test.sh            all configurations
#   scripts/test.sh --quick    the normal build only
# UPDATER_SKIP_WINDOWS=1 leaves out the Windows stage (never in CI).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
source scripts/lib/test_ca.sh

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
  esac
done

require_packages "${linux_build_packages[@]}" "${linux_test_packages[@]}" clang-14 libclang-rt-14-dev

# The HTTPS tests' certificates, made once and kept: their CA goes into
# the system trust store (as root). The tests find them here by this
# variable, or by the same path built in when ctest runs by hand.
export QUOR_TEST_CERTS=$PWD/build/test-certs
ensure_test_ca "$QUOR_TEST_CERTS"

# run_config DIR TEST_REGEX [CMAKE_ARGS...]
run_config() {
  local dir=$1 regex=$2
  shift 2
  echo "== $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPDATER_BUILD_BENCH=OFF "$@" >/dev/null
  ninja -C "$dir"
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 600 ${regex:+-R "$regex"})
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_config build ""
# The shipped systemd unit, against the update_server just built.
scripts/check-systemd-unit.sh build/update_server
scripts/check-prometheus-examples.sh
[ "$quick" -eq 1 ] && exit 0
scripts/test-windows.sh
CC=clang-14 CXX=clang++-14 run_config build-asan "" -DUPDATER_SANITIZE=address
run_config build-tsan "^(Log|EventStream|MetricsEndpoint|ServerMetrics|CreateMode|NetworkClient|ConnectToServer|Dispatch|FileUpdateController|RequestPump|ApplyPool|UpdateRun|UpdateProgram|UpdateServer|ServerOptions|ServerFaultDrill|ServerList\.ServerEntries|NextServer|HttpSource|HttpClientTest|HttpServerTest|WebUpdate\.(Install|Failing))" \
  -DUPDATER_SANITIZE=thread
scripts/fuzz.sh 30
