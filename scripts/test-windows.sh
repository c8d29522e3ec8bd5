#!/usr/bin/env bash
# The Windows stage of the tests: cross-builds the 64-bit Windows programs
# (updater.exe, update_server.exe) and the unit tests with mingw-w64 into
# build-windows/, checks that the programs import only system DLLs and
# carry the asInvoker manifest, runs the unit tests under Wine through
# ctest (the HTTP client's against an nginx over HTTPS, checked with the
# test CA of scripts/lib/test_ca.sh, which goes into the system trust
# store that Wine reads), and runs the end-to-end checks of
# tests/windows/e2e.sh: updater.exe under Wine against the Linux
# update_server (build/update_server, built when missing) and nginx.
#
#   scripts/test-windows.sh          the whole stage
#   scripts/test-windows.sh --skip   skip it (quick local runs); the same
#                                    with UPDATER_SKIP_WINDOWS=1. Never
#                                    skipped when CI is set.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/windows.sh
source scripts/lib/test_ca.sh
source scripts/lib/nginx.sh

skip=${UPDATER_SKIP_WINDOWS:-}
for arg in "$@"; do
  case "$arg" in
    --skip) skip=1 ;;
    *) echo "usage: $0 [--skip]" >&2; exit 2 ;;
  esac
done
if [ -n "$skip" ] && [ "$skip" != 0 ]; then
  if [ -n "${CI:-}" ]; then
    echo "== Windows stage: not skipped, CI is set"
  else
    echo "== Windows stage: skipped"
    exit 0
  fi
fi

stage_start=$SECONDS
step_name=
step_start=$SECONDS
# step NAME: ends the previous step with its time and begins NAME.
step() {
  [ -n "$step_name" ] && echo "   ($step_name: $((SECONDS - step_start)) s)"
  step_name=$1
  step_start=$SECONDS
  [ -n "$1" ] && echo "== $1"
  return 0
}

step "packages"
require_windows_packages "${windows_packages[@]}" "${linux_build_packages[@]}"

step "test CA"
# Made before the Wine prefix: Wine reads the system store when it starts.
export QUOR_TEST_CERTS=${QUOR_TEST_CERTS:-$PWD/build/test-certs}
ensure_test_ca "$QUOR_TEST_CERTS"

build=build-windows
use_wine_prefix "$PWD/$build/wineprefix"
make_work_dir /tmp/quor-windows-stage.XXXXXX
at_exit stop_wine

step "cross-build in $build/"
configure_windows_build "$build"
ninja -C "$build"

step "programs: imports and manifest"
check_windows_program "$build/updater.exe"
check_windows_program "$build/update_server.exe"

step "unit tests under Wine"
# The HTTP client's tests fetch from a web server the Linux side runs;
# WinHTTP checks its certificate for the name localhost.
mkdir -p "$work/www"
start_nginx "$work/nginx" "$work/www"
wine cmd /c exit >/dev/null 2>&1 || true
(cd "$build" && QUOR_TEST_HTTP_URL=$nginx_url QUOR_TEST_HTTP_ROOT=$work/www \
  ctest --output-on-failure -j2 --timeout 600)
stop_wine
stop_nginx

step "end-to-end under Wine"
# The Linux programs: the server, and the updater that the checks compare
# with updater.exe.
if [ ! -x build/update_server ] || [ ! -x build/updater ]; then
  [ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C build -j1 update_server updater
fi
wine cmd /c exit >/dev/null 2>&1 || true
tests/windows/e2e.sh "$build" build/update_server
stop_wine

step ""
echo "== Windows stage passed in $((SECONDS - stage_start)) s"
