#!/usr/bin/env bash
# Installs what the build needs, builds, and runs every test.
#   scripts/test.sh            the normal build and its tests
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh

require_packages cmake ninja-build g++ pkg-config libgtest-dev libenet-dev zlib1g-dev

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$build"
cd "$build"
ctest --output-on-failure -j2 --timeout 600
