# Shared by the scripts of bench/. scripts/test.sh configures build/ with
# the benchmark programs left out, and a cache keeps that choice, so every
# benchmark script turns them on again before it builds: the scripts then
# work on a fresh clone and before or after the tests, in any order.

source scripts/lib/packages.sh

# build_bench DIR NINJA_ARGS...: installs what the build needs, configures
# DIR with the benchmark programs (the rest of an existing configuration
# stays; a new one gets the project's RelWithDebInfo) and builds with
# NINJA_ARGS (targets and options).
build_bench() {
  local dir=$1
  shift
  require_packages cmake ninja-build g++ pkg-config libgtest-dev libenet-dev zlib1g-dev libssl-dev libdivsufsort-dev
  cmake -S . -B "$dir" -G Ninja -DUPDATER_BUILD_BENCH=ON >/dev/null
  ninja -C "$dir" "$@" >/dev/null
}
