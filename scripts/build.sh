#!/usr/bin/env bash
# Builds the programs into build/ (installing the packages the build needs).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/packages.sh
require_packages "${linux_build_packages[@]}"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build updater $(grep -q update_server build/build.ninja 2>/dev/null && echo update_server)
