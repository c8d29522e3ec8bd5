#!/usr/bin/env bash
# The whole system on this machine: a publisher makes update data for a new
# game build, update_server serves it on 127.0.0.1, and two players, one on
# the old build and one with an empty folder, are brought to the new build.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
source scripts/lib/servers.sh
source scripts/lib/sample_build.sh
./scripts/build.sh >/dev/null
updater="$repo/build/updater"
server="$repo/build/update_server"

make_work_dir

say() { printf '\n== %s\n' "$*"; }

make_build() {  # make_build FOLDER VERSION
  local folder=$1 version=$2
  sample_build_base "$folder"
  printf 'fonts of version %s\n' "$version" >"$folder/data/common/fonts.txt"
  printf '#!/bin/sh\necho "the game starts"\n' >"$folder/quor.exe"
  chmod +x "$folder/quor.exe"
  : >"$folder/data/common/placeholder.empty"
  servers_config "$folder" "main server" "$port"
}

port=$(free_port)
say "Two builds of the game"
make_build "$work/v1" 1
printf 'only in version 1\n' >"$work/v1/data/quor/old_only.txt"
cp -r "$work/v1" "$work/v2"
printf 'fonts of version 2\n' >"$work/v2/data/common/fonts.txt"
rm "$work/v2/data/quor/old_only.txt"
mkdir -p "$work/v2/data/quor/new/levels"
head -c 50000 /dev/urandom >"$work/v2/data/quor/new/levels/level1.dat"
# Version 2 edits the map in place: a patch carries only the change.
printf 'EDITED' | dd of="$work/v2/data/quor/maps/world.map" bs=1 seek=1000 conv=notrunc status=none
: >"$work/v2/data/quor/new/empty_in_v2.txt"
mkdir -p "$work/v2/server_data"
(cd "$work/v1" && find . -type f | sort | sed 's/^/   v1: /')
(cd "$work/v2" && find . -type f | sort | sed 's/^/   v2: /')

say "Publisher: updater --create --old ../v1 (in v2)"
(cd "$work/v2" && "$updater" --create --old ../v1 | grep -v '^: [ _/\\|(=v]' || true)
ls -l "$work/v2/server_data/update_data" | sed 's/^/   /'

say "update_server on 127.0.0.1:$port"
# The port is in the players' server lists already; a server that does
# not start shows in their runs.
start_server_on "$port" "$server" . "$work/server.out" --data "$work/v2/server_data/update_data" || true

say "Player 1 has version 1"
cp -r "$work/v1" "$work/player1"
rm -f "$work/player1/updater.log"
(cd "$work/player1" && "$updater" --quor | grep -v '^: [ _/\\|(=v]' || true)

say "Player 2 has an empty folder (only the server list)"
mkdir -p "$work/player2/settings"
cp "$work/v1/settings/servers.config" "$work/player2/settings/"
(cd "$work/player2" && "$updater" | grep -v '^: [ _/\\|(=v]' || true)

say "What the server did"
sed 's/^/   /' "$work/server.out"

say "Both players now have version 2?"
status=0
for player in player1 player2; do
  if diff -r -x updater.log -x update_data -x updater_old.exe "$work/v2" "$work/$player" >/dev/null; then
    echo "   $player: identical to v2"
  else
    echo "   $player: DIFFERS from v2"
    diff -r -x updater.log -x update_data "$work/v2" "$work/$player" || true
    status=1
  fi
done
exit $status
