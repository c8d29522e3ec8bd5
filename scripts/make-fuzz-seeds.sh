#!/usr/bin/env bash
# Writes the seed corpus of the fuzz targets into tests/fuzz/corpus/ with
# the program's own encoders (builds build-fuzz/ first). Files already
# there stay, so regression inputs added by hand are kept.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/fuzz.sh --build
ASAN_OPTIONS=detect_leaks=0 build-fuzz/tests/fuzz/make_fuzz_seeds tests/fuzz/corpus
du -sh tests/fuzz/corpus/* 
