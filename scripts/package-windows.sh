#!/usr/bin/env bash
# The Windows release: updater.exe and update_server.exe, cross-built with
# mingw-w64 (Release, stripped, statically linked), with the player's
# guide (docs/player-guide.md, which ends with a part for publishers) as
# README.txt, in dist/quor-updater-windows-x64/ and
# dist/quor-updater-windows-x64.zip.
# Both programs are checked: system DLLs only, asInvoker manifest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/windows.sh

require_windows_packages "${windows_build_packages[@]}"

build=build-windows
name=quor-updater-windows-x64
out=dist/$name
configure_windows_build "$build"
ninja -C "$build" updater update_server

rm -rf "$out" "dist/$name.zip"
mkdir -p "$out"
for program in updater update_server; do
  x86_64-w64-mingw32-strip -o "$out/$program.exe" "$build/$program.exe"
  check_windows_program "$out/$program.exe"
done

# The player's guide, with Windows line ends so that Notepad shows it as
# written.
guide=docs/player-guide.md
if [ ! -s "$guide" ]; then
  echo "$guide is missing or empty" >&2
  exit 1
fi
sed 's/$/\r/' "$guide" >"$out/README.txt"

(cd dist && cmake -E tar cf "$name.zip" --format=zip "$name")
ls -l "$out" "dist/$name.zip"
