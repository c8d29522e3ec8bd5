# What the scripts of bench/ source: this file's build_bench and
# data_file_list, and with it the packages, the work folder, the server
# and the measuring of scripts/lib/.
#
# scripts/test.sh configures build/ with the benchmark programs left out,
# and a cache keeps that choice, so every benchmark script turns them on
# again before it builds: the scripts then work on a fresh clone and
# before or after the tests, in any order.

source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
source "$(dirname "${BASH_SOURCE[0]}")/servers.sh"
source "$(dirname "${BASH_SOURCE[0]}")/measure.sh"

# build_bench DIR NINJA_ARGS...: installs what the build needs, configures
# DIR with the benchmark programs (the rest of an existing configuration
# stays; a new one gets the project's RelWithDebInfo) and builds with
# NINJA_ARGS (targets and options).
build_bench() {
  local dir=$1
  shift
  require_packages "${linux_build_packages[@]}"
  cmake -S . -B "$dir" -G Ninja -DUPDATER_BUILD_BENCH=ON >/dev/null
  ninja -C "$dir" "$@" >/dev/null
}

# data_file_list DIR: prints "NAME BYTES" for each .compressed file of DIR,
# by name: the file list the load programs of bench/ fetch from.
data_file_list() {
  (cd "$1" && for f in *.compressed; do echo "$f $(stat -c %s "$f")"; done)
}
