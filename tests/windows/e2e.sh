#!/usr/bin/env bash
# End-to-end checks of the Windows programs under Wine, against the Linux
# update_server on 127.0.0.1:
#   1. create mode: updater.exe --create --old ../v1 in a sample build v2;
#   2. update mode: updater.exe --quor brings a v1 folder to v2 (a patch,
#      whole files, a deletion, a new empty file, a changed and a new file
#      whose names are not ASCII), replaces its own
#      executable (the running one is moved to updater_old.exe) and starts
#      quor.exe (a stand-in program) in a console of its own;
#   3. the next start removes updater_old.exe, and the new updater.exe
#      finds nothing left to do;
#   4. a file that never arrives: updater.exe gives up and starts itself
#      again with the same arguments;
#   5. console colour: an error entry on a terminal comes out coloured;
#      with output redirected (every other step) it is written plainly;
#   6. the write-permission check in a folder the user may not write to
#      (a non-root user: Wine, like Linux, lets root write anywhere);
#   7. a hostile manifest naming the player's saves and server list in
#      other letter cases: both keep their bytes, while a game file named
#      with '~' and digits (tex~1.dds) is installed.
#   8. a file larger than one packet, fetched in pieces: a Linux updater
#      (beside LINUX_UPDATE_SERVER) is cut off halfway, and updater.exe
#      goes on from the pieces it staged;
#   9. the live status line: drawn on a console, never in updater.log or in
#      redirected output;
#  10. signed updates: a data set signed by the Linux updater installs with
#      updater.exe (CNG) and is refused with a changed manifest.sig; one
#      signed by updater.exe installs with the Linux updater.
#  11. the next server: the first server of the list sends whole files that
#      fail their checks; updater.exe goes on with the second and ends with
#      v2 in the same run.
#  12. the same data set from both platforms: updater.exe --create --old
#      --old (one thread, our own suffix sort) and the Linux updater (every
#      core, libdivsufsort's sort) publish the same three builds, the classic
#      files byte for byte; each installs the other's, zstd's files first,
#      into a player one release behind and one two releases behind.
#  13. a web server: updater.exe installs v2 over HTTPS from nginx
#      (WinHTTP), the release that releases/current names, in pieces; a
#      player without updater.key refuses a plain http one.
#  14. the event stream: updater.exe --progress-json - writes JSON events
#      alone on standard output (read with Python's json), the text on
#      standard error.
#  15. update_server.exe refuses --metrics, which the Windows build lacks.
#
#   tests/windows/e2e.sh WINDOWS_BUILD_DIR LINUX_UPDATE_SERVER
#
# WINEPREFIX defaults to WINDOWS_BUILD_DIR/wineprefix. The test CA of
# scripts/lib/test_ca.sh (in QUOR_TEST_CERTS, default build/test-certs of
# the source tree) is made and put into the system trust store when
# missing. The work folder is
# kept when a check failed, or always with QUOR_E2E_KEEP=1. Prints one line per
# check and ends with "N passed, N failed"; the exit code is 1 when a check
# failed.
set -uo pipefail
source "$(dirname "$0")/../../scripts/lib/servers.sh"
source "$(dirname "$0")/../../scripts/lib/sample_build.sh"
source "$(dirname "$0")/../../scripts/lib/nginx.sh"
source "$(dirname "$0")/../../scripts/lib/test_ca.sh"

build=$(cd "${1:?windows build folder}" && pwd)
server=$(realpath "${2:?linux update_server}")
export WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
updater_exe=$build/updater.exe
standin_exe=$build/tests/windows/quor_standin.exe
export QUOR_TEST_CERTS=${QUOR_TEST_CERTS:-$(cd "$(dirname "$0")/../.." && pwd)/build/test-certs}
ensure_test_ca "$QUOR_TEST_CERTS" || exit 1

make_work_dir /tmp/quor-wine-e2e.XXXXXX
chmod 755 "$work"
passed=0
failed=0
# The work folder stays when a check failed (see check).
keep_work=${QUOR_E2E_KEEP:-}

check() {  # check DESCRIPTION COMMAND...
  local description=$1
  shift
  if "$@" >/dev/null 2>&1; then
    passed=$((passed + 1))
    echo "ok    $description"
  else
    failed=$((failed + 1))
    keep_work=1
    echo "FAIL  $description"
  fi
}
contains() { grep -qF -- "$2" "$1"; }
lacks() { ! grep -qF -- "$2" "$1"; }
same() { cmp -s "$1" "$2"; }
equals() { [ "$1" = "$2" ]; }

# run_wine FOLDER OUTPUT TIMEOUT PROGRAM ARGS...: runs a Windows program in
# FOLDER with its output in OUTPUT (line ends made "\n"); echoes the exit code.
run_wine() {
  local folder=$1 output=$2 limit=$3
  shift 3
  local code
  (cd "$folder" && timeout "$limit" wine "$@" >"$output.raw" 2>&1)
  code=$?
  tr -d '\r' <"$output.raw" >"$output"
  echo "$code"
}

# The trees are equal except for the files the update never touches.
same_tree() {
  diff -r -x updater.log -x updater_old.exe -x server_data -x settings \
       -x quor_started.txt "$1" "$2"
}

# serve DATA OUTPUT: the Linux update_server serving DATA on a free port of
# 127.0.0.1 (server_port), its output in OUTPUT; stop_server ends it.
serve() {
  start_server "$server" . "$2" --data "$1"
}

# fonts_text VERSION: a text long enough that a patch of its changed line
# pays (a shorter patch than the compressed file).
fonts_text() {
  seq 1 100 | sed 's/^/glyph table line /'
  printf 'fonts of version %s\n' "$1"
}

make_build() {  # make_build FOLDER VERSION
  local folder=$1 version=$2
  sample_build_base "$folder"
  fonts_text "$version" >"$folder/data/common/fonts.txt"
  printf 'no server\n' >"$folder/settings/servers.config"
  printf 'a save\n' >"$folder/saves/slot1.sav"
  # The programs of each version differ by bytes after the image, which
  # Windows ignores when it loads one.
  { cat "$standin_exe"; printf 'quor version %s' "$version"; } >"$folder/quor.exe"
  { cat "$updater_exe"; printf 'updater version %s' "$version"; } >"$folder/updater.exe"
}

echo "== sample builds in $work"
make_build "$work/v1" 1
printf 'only in version 1\n' >"$work/v1/data/quor/old_only.txt"
# Names that are not ASCII: this one changes in version 2, another is new.
mkdir -p "$work/v1/data/quor/régions"
head -c 20000 /dev/urandom >"$work/v1/data/quor/régions/café.map"
cp -r "$work/v1" "$work/v2"
fonts_text 2 >"$work/v2/data/common/fonts.txt"
rm "$work/v2/data/quor/old_only.txt"
mkdir -p "$work/v2/data/quor/new/levels" "$work/v2/server_data"
head -c 50000 /dev/urandom >"$work/v2/data/quor/new/levels/level1.dat"
mkdir -p "$work/v2/data/common/地图"
head -c 30000 /dev/urandom >"$work/v2/data/common/地图/新しい.dat"
: >"$work/v2/data/quor/new/empty_in_v2.txt"
# Version 2 edits the maps in place: the update carries them as patches.
printf 'EDITED' | dd of="$work/v2/data/quor/maps/world.map" bs=1 seek=1000 conv=notrunc status=none
printf 'EDITED' | dd of="$work/v2/data/quor/régions/café.map" bs=1 seek=500 conv=notrunc status=none
{ cat "$updater_exe"; printf 'updater version 2'; } >"$work/v2/updater.exe"
{ cat "$standin_exe"; printf 'quor version 2'; } >"$work/v2/quor.exe"
cp -r "$work/v1" "$work/player"

echo "== 1. create mode: updater.exe --create --old ../v1 (in v2)"
code=$(run_wine "$work/v2" "$work/create.out" 120 ./updater.exe --create --old ../v1)
data=$work/v2/server_data/update_data
check "create mode ends with exit code 0" equals "$code" 0
check "the manifest is written" test -s "$data/manifest.manifest"
check "the five changed files get patches" contains "$work/create.out" ": Patches: 5"
check "the manifest names the changed file as UTF-8" \
  contains "$data/manifest.manifest" "./data/quor/régions/café.map"
check "the manifest names the new file as UTF-8" \
  contains "$data/manifest.manifest" "./data/common/地图/新しい.dat"
check "the log names the old build" contains "$work/create.out" ": Using old data for patch from: ../v1"
check "console and log file hold the same records" \
  diff <(tr -d '\r' <"$work/v2/updater.log") "$work/create.out"
check "the write test file is gone" test ! -e "$work/v2/QUOR_WRITE_TEST.FILE"
rm -f "$work/v2/updater.log"

echo "== 2. update mode: updater.exe --quor (in a v1 folder, from the Linux update_server)"
serve "$data" "$work/server.out"
servers_config "$work/player" "local server" "$server_port"

code=$(run_wine "$work/player" "$work/update.out" 180 ./updater.exe --quor)
check "update mode ends with exit code 0" equals "$code" 0
check "connected to the server" contains "$work/update.out" ": Connection to server succesful!"
check "the new level, 新しい.dat and updater.exe written whole" contains "$work/update.out" ": Written: 3"
check "the map, café.map, the fonts and quor.exe patched" contains "$work/update.out" ": Patched: 4"
check "no request left over" contains "$work/update.out" ": No remaining file requests"
check "no error entry" lacks "$work/update.out" "#### ERROR"
check "no colour codes in redirected output" bash -c "! grep -q $'\\e' '$work/update.out.raw'"
check "the folder now equals v2" same_tree "$work/v2" "$work/player"
check "the file only in v1 is deleted" test ! -e "$work/player/data/quor/old_only.txt"
check "the new empty file exists" test -f "$work/player/data/quor/new/empty_in_v2.txt"
check "café.map is patched under its own name" \
  same "$work/v2/data/quor/régions/café.map" "$work/player/data/quor/régions/café.map"
check "新しい.dat is written under its own name" \
  same "$work/v2/data/common/地图/新しい.dat" "$work/player/data/common/地图/新しい.dat"
check "saves are left alone" same "$work/v1/saves/slot1.sav" "$work/player/saves/slot1.sav"
check "updater.exe is the new one" same "$work/v2/updater.exe" "$work/player/updater.exe"
check "the running updater was moved to updater_old.exe" \
  same "$work/v1/updater.exe" "$work/player/updater_old.exe"
for _ in $(seq 200); do [ -s "$work/player/quor_started.txt" ] && break; sleep 0.1; done
check "--quor started quor.exe" test -s "$work/player/quor_started.txt"
check "quor.exe was started as .\\quor.exe" contains "$work/player/quor_started.txt" 'command line: .\quor.exe'
check "quor.exe runs in the game folder" \
  contains "$work/player/quor_started.txt" "folder: Z:$(echo "$work/player" | tr / '\\')"

echo "== 3. the next start: updater_old.exe removed, nothing left to do"
code=$(run_wine "$work/player" "$work/again.out" 180 ./updater.exe)
check "the new updater.exe runs and ends with exit code 0" equals "$code" 0
check "updater_old.exe is removed at start" test ! -e "$work/player/updater_old.exe"
check "nothing written" contains "$work/again.out" ": Written: 0"
check "nothing patched" contains "$work/again.out" ": Patched: 0"
stop_server

echo "== 4. a file that never arrives: the updater starts itself again"
# The server lacks every whole file of either encoding, so the first one
# requested is answered empty; after 14 s the updater gives up, pauses 5 s
# and starts "updater.exe" again with its arguments. The server is gone by then, so
# the second run finds nothing to do and, given --quor, starts the game.
mkdir -p "$work/broken_data"
cp "$data"/* "$work/broken_data/"
rm "$work/broken_data"/*.compressed "$work/broken_data"/*.zst
serve "$work/broken_data" "$work/broken_server.out"
cp -r "$work/v1" "$work/stuck"
servers_config "$work/stuck" "broken server" "$server_port"
code=$(run_wine "$work/stuck" "$work/stuck.out" 120 ./updater.exe --quor)
stop_server
check "the first run ends with exit code 0" equals "$code" 0
check "it gives up on the missing file" contains "$work/stuck.out" "updater got stuck when updating file: "
check "it does not start the game itself" test ! -e "$work/stuck/quor_started.txt"
for _ in $(seq 300); do [ -s "$work/stuck/quor_started.txt" ] && break; sleep 0.1; done
check "the restarted updater finishes and starts the game" test -s "$work/stuck/quor_started.txt"
check "the restarted updater got --quor" contains "$work/stuck/updater.log" ": --quor - start game after update"
check "the restarted updater found no server" \
  contains "$work/stuck/updater.log" "no connection to an update server: nothing was updated"

echo "== 5. console colour on a terminal"
# On a terminal Wine gives the program a console and turns its colour
# changes into terminal escapes. Update mode in an empty folder logs two
# error entries, each followed by a plain one; then --quor finds no game.
mkdir -p "$work/colour"
cp "$updater_exe" "$work/colour/updater.exe"
(cd "$work/colour" && timeout 60 script -qec "wine ./updater.exe --quor" /dev/null \
  >"$work/colour.raw" 2>&1 </dev/null)
# Without the cursor and spacing escapes of Wine's console, and "\n" ends.
perl -pe 's/\e\[\?25[lh]//g; s/\e\[K\e\[1C/ /g; s/\r//g' "$work/colour.raw" >"$work/colour.out"
check "an error entry is shown in bright red" \
  grep -qP '^\e\[91m: #### ERROR $' "$work/colour.out"
check "the colour is restored for the next entry" \
  perl -0ne 'exit !/\e\[91m: #### ERROR \nno connection[^\n]*\n####\n\e\[m: Enet client destroyed\n/' "$work/colour.out"
check "plain entries come without colour changes" grep -qxP ': =+' "$work/colour.out"
check "a game that cannot be started is reported" grep -qF "CreateProcess failed (2)." "$work/colour.out"

echo "== 6. write-permission check in a folder the user cannot write to"
if [ "$(id -u)" -ne 0 ]; then
  # Needs root to run the updater as another user.
  echo "skip  (not root)"
else
  # nobody gets a Wine prefix of its own; the game folder stays root's.
  user_home=$work/nobody
  mkdir -p "$user_home" "$work/locked"
  chown nobody "$user_home"
  cp "$updater_exe" "$work/locked/updater.exe"
  as_nobody() {
    runuser -u nobody -- env HOME="$user_home" WINEPREFIX="$user_home/prefix" WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree,mshtml=" "$@"
  }
  as_nobody wine cmd /c exit >/dev/null 2>&1
  (cd "$work/locked" && as_nobody timeout 60 wine ./updater.exe >"$work/locked.out.raw" 2>&1)
  code=$?
  tr -d '\r' <"$work/locked.out.raw" >"$work/locked.out"
  as_nobody wineserver -k >/dev/null 2>&1
  check "the refusal ends with exit code 255 (-1)" equals "$code" 255
  check "the boxed message is shown" contains "$work/locked.out" "####  ERROR: unable to write files  ####"
  check "the message names the remedy" contains "$work/locked.out" "Please move your game folder to different directory"
  check "no log is written" test ! -e "$work/locked/updater.log"
  check "no test file is left" test ! -e "$work/locked/QUOR_WRITE_TEST.FILE"
fi

echo "== 7. a hostile manifest: the player's files by other letter cases"
# Published from a folder whose SAVES/ and Settings/ differ from the
# player's saves/ and settings/ only by letter case, which Windows ignores:
# written, they would replace a save and empty the server list.
hostile=$work/hostile
mkdir -p "$hostile/SAVES" "$hostile/Settings" "$hostile/data/quor/maps" "$hostile/server_data"
printf 'a save from the server\n' >"$hostile/SAVES/slot1.sav"
: >"$hostile/Settings/servers.config"
head -c 20000 /dev/urandom >"$hostile/data/quor/maps/tex~1.dds"
cp "$work/v1/updater.exe" "$hostile/updater.exe"
code=$(run_wine "$hostile" "$work/hostile_create.out" 120 ./updater.exe --create)
check "the hostile build is published" equals "$code" 0
check "its manifest names ./SAVES/slot1.sav" \
  contains "$hostile/server_data/update_data/manifest.manifest" "./SAVES/slot1.sav"
serve "$hostile/server_data/update_data" "$work/hostile_server.out"
mkdir -p "$work/victim/saves" "$work/victim/settings"
cp "$work/v1/updater.exe" "$work/victim/updater.exe"
printf 'a save of the player\n' >"$work/victim/saves/slot1.sav"
servers_config "$work/victim" "hostile server" "$server_port"
cp -r "$work/victim" "$work/victim_before"
code=$(run_wine "$work/victim" "$work/hostile.out" 120 ./updater.exe)
stop_server
check "the update ends with exit code 0" equals "$code" 0
check "the save keeps its bytes" same "$work/victim_before/saves/slot1.sav" "$work/victim/saves/slot1.sav"
check "the server list keeps its bytes" \
  same "$work/victim_before/settings/servers.config" "$work/victim/settings/servers.config"
check "tex~1.dds is installed" \
  same "$hostile/data/quor/maps/tex~1.dds" "$work/victim/data/quor/maps/tex~1.dds"

echo "== 8. a file larger than one packet, in pieces, resumed from a cut-off run"
# Published by updater.exe; a Linux updater is cut off halfway through the
# big file, and updater.exe goes on from the pieces it staged.
large=$work/large
mkdir -p "$large/data/quor/packs" "$large/server_data"
head -c $((40 * 1024 * 1024)) /dev/urandom >"$large/data/quor/packs/big.pak"
cp "$work/v1/updater.exe" "$large/updater.exe"
code=$(run_wine "$large" "$work/large_create.out" 300 ./updater.exe --create)
check "the large build is published" equals "$code" 0
serve "$large/server_data/update_data" "$work/large_server.out"
mkdir -p "$work/fetcher/settings"
cp "$work/v1/updater.exe" "$work/fetcher/updater.exe"
servers_config "$work/fetcher" large "$server_port"
linux_updater=$(dirname "$server")/updater
(cd "$work/fetcher" && exec "$linux_updater" >"$work/cut.out" 2>&1) &
cut_pid=$!
for _ in $(seq 3000); do
  part=$(ls "$work/fetcher/updater_staging/"*.part 2>/dev/null | head -n 1)
  [ -n "$part" ] && [ "$(stat -c %s "$part")" -ge $((12 * 1024 * 1024)) ] && break
  sleep 0.01
done
kill -9 "$cut_pid" 2>/dev/null; wait "$cut_pid" 2>/dev/null
check "the cut-off run left pieces staged" test -n "$(ls "$work/fetcher/updater_staging/" 2>/dev/null)"
code=$(run_wine "$work/fetcher" "$work/large.out" 300 ./updater.exe)
check "updater.exe ends with exit code 0" equals "$code" 0
check "the big file is installed" same "$large/data/quor/packs/big.pak" "$work/fetcher/data/quor/packs/big.pak"
check "the staging is gone" test -z "$(ls "$work/fetcher/updater_staging/" 2>/dev/null)"
# Every connection but those of the first address (the cut-off run, which
# may open several) is updater.exe's: together they were sent less than the
# file.
first=$(grep -o 'Client connected: [0-9.:]*' "$work/large_server.out" | head -n 1 | cut -d' ' -f3)
for _ in $(seq 100); do
  [ "$(grep -c 'Client disconnected: ' "$work/large_server.out")" -ge \
    "$(grep -c 'Client connected: ' "$work/large_server.out")" ] && break
  sleep 0.1
done
sent=$(grep -o 'Client disconnected: [0-9.:]* ([0-9]*' "$work/large_server.out" |
  awk -v first="$first" '$3 != first { sent += substr($4, 2); seen = 1 } END { if (seen) print sent }')
check "updater.exe fetched only what was missing" test "${sent:-999999999}" -lt $((40 * 1024 * 1024))
check "no status line in redirected output" lacks "$work/large.out" "Files "

echo "== 9. the live status line on a console"
# On a terminal Wine gives the program a console and turns what is drawn
# on it into terminal escapes. The 40 MiB file of step 8, fetched afresh,
# keeps the line up for a while; its pieces tell the file's size.
mkdir -p "$work/live/settings"
cp "$work/v1/updater.exe" "$work/live/updater.exe"
cp "$work/fetcher/settings/servers.config" "$work/live/settings/servers.config"
(cd "$work/live" && timeout 300 script -qec "wine ./updater.exe" /dev/null \
  >"$work/live.raw" 2>&1 </dev/null)
# The characters shown, without Wine's cursor and colour escapes.
perl -pe 's/\e\[[0-9;?]*[A-Za-z]/ /g; s/\r/\n/g' "$work/live.raw" >"$work/live.out"
check "the big file is installed" same "$large/data/quor/packs/big.pak" "$work/live/data/quor/packs/big.pak"
check "the console shows the status line" grep -qaE 'Files +0/1 ' "$work/live.out"
check "with the file's size from its pieces" grep -qaE 'of +40\.0 +MiB' "$work/live.out"
check "the log has no status line" lacks "$work/live/updater.log" "Files "
stop_server

echo "== 10. signed updates: signed on Linux, checked with CNG, and the other way round"
# The Linux updater makes a key pair and signs a build; updater.exe, whose
# game folder holds updater.key, installs it and refuses the same data set
# with a changed manifest.sig. Then updater.exe signs and a Linux updater
# checks.
linux_updater=$(dirname "$server")/updater
signed=$work/signed
mkdir -p "$work/keys" "$signed/data/quor" "$signed/server_data"
(cd "$work/keys" && "$linux_updater" --keygen >"$work/keygen.out" 2>&1)
head -c 70000 /dev/urandom >"$signed/data/quor/signed.bin"
cp "$work/v1/updater.exe" "$signed/updater.exe"
cp "$work/keys/updater.key" "$signed/updater.key"
(cd "$signed" && "$linux_updater" --create --sign ../keys/publisher.key --version 7 \
  >"$work/sign.out" 2>&1)
check "the Linux updater signs the data set" test -s "$signed/server_data/update_data/manifest.sig"
cp -r "$signed/server_data/update_data" "$work/tampered_data"
printf '\x08' | dd of="$work/tampered_data/manifest.sig" bs=1 seek=12 conv=notrunc status=none
for kind in signed tampered; do
  data_folder=$signed/server_data/update_data
  [ "$kind" = tampered ] && data_folder=$work/tampered_data
  serve "$data_folder" "$work/${kind}_server.out"
  mkdir -p "$work/${kind}_player/settings"
  cp "$work/v1/updater.exe" "$work/keys/updater.key" "$work/${kind}_player/"
  servers_config "$work/${kind}_player" signed "$server_port"
  code=$(run_wine "$work/${kind}_player" "$work/${kind}.out" 120 ./updater.exe)
  stop_server
  check "updater.exe ends with exit code 0 ($kind)" equals "$code" 0
done
check "updater.exe verifies the Linux signature" \
  contains "$work/signed.out" ": ... manifest.sig verified: version 7"
check "the signed file is installed" \
  same "$signed/data/quor/signed.bin" "$work/signed_player/data/quor/signed.bin"
check "the version is recorded" equals "$(tr -d '\r\n' <"$work/signed_player/updater.version")" 7
check "a changed manifest.sig is refused" contains "$work/tampered.out" \
  "manifest.sig is not signed by this game's publisher (the signature does not verify): nothing was updated"
check "the refused file is not installed" test ! -e "$work/tampered_player/data/quor/signed.bin"

# The other way round: updater.exe makes the keys and signs.
mkdir -p "$work/wkeys"
code=$(run_wine "$work/wkeys" "$work/wkeygen.out" 60 "$updater_exe" --keygen)
check "updater.exe --keygen writes both keys" test -s "$work/wkeys/publisher.key" -a -s "$work/wkeys/updater.key"
cp "$work/wkeys/updater.key" "$signed/updater.key"
rm -rf "$signed/server_data/update_data"
code=$(run_wine "$signed" "$work/wsign.out" 120 ./updater.exe --create --sign ../wkeys/publisher.key --version 8)
check "updater.exe signs the data set" test -s "$signed/server_data/update_data/manifest.sig"
serve "$signed/server_data/update_data" "$work/wsigned_server.out"
mkdir -p "$work/linux_player/settings"
cp "$work/wkeys/updater.key" "$work/linux_player/"
servers_config "$work/linux_player" signed "$server_port"
(cd "$work/linux_player" && timeout 120 "$linux_updater" >"$work/linux_player.out" 2>&1)
stop_server
check "the Linux updater verifies the CNG signature" \
  contains "$work/linux_player.out" ": ... manifest.sig verified: version 8"
check "and installs the file" \
  same "$signed/data/quor/signed.bin" "$work/linux_player/data/quor/signed.bin"

echo "== 11. the next server"
# Every whole file of the first server holds another file's data.
mkdir -p "$work/rotated_data"
cp "$data"/* "$work/rotated_data/"
for encoding in compressed zst; do
  wholes=("$work"/rotated_data/*."$encoding")
  cp "${wholes[0]}" "$work/first_whole"
  for ((i = 0; i + 1 < ${#wholes[@]}; i++)); do cp "${wholes[i + 1]}" "${wholes[i]}"; done
  cp "$work/first_whole" "${wholes[${#wholes[@]} - 1]}"
done
serve "$work/rotated_data" "$work/rotated_server.out"
rotated_pid=$server_pid rotated_port=$server_port
serve "$data" "$work/good_server.out"
cp -r "$work/v1" "$work/next"
servers_config "$work/next" rotated "$rotated_port" good "$server_port"
code=$(run_wine "$work/next" "$work/next.out" 120 ./updater.exe)
stop_processes "$rotated_pid"
stop_server
check "updater.exe ends with exit code 0 (next server)" equals "$code" 0
check "it refuses the first server's data" contains "$work/next.out" "file does not match the manifest, not written: "
check "it goes on with the second server" contains "$work/next.out" 'Going on with the next server: "good"'
check "the folder now equals v2 after one run" same_tree "$work/v2" "$work/next"

echo "== 12. the same data set from updater.exe and the Linux updater"
# Two builds with real binaries (the updaters), texts over a short
# alphabet, long repeats, a file whose patch would not pay, and names that
# are not ASCII.
same_set=$work/same_set
mkdir -p "$same_set/v1/data/quor/régions" "$same_set/v1/data/common"
cp "$work/v1/quor.exe" "$work/v1/updater.exe" "$same_set/v1/"
cp "$work/v1/data/quor/régions/café.map" "$same_set/v1/data/quor/régions/"
head -c 400000 /dev/urandom | tr '\000-\377' '[a*64][c*64][g*64][t*64]' >"$same_set/v1/data/quor/genes.txt"
head -c 20000 /dev/urandom >"$work/block"
for _ in $(seq 12); do cat "$work/block"; done >"$same_set/v1/data/common/repeats.pak"
head -c 30000 /dev/urandom >"$same_set/v1/data/common/noise.bin"
cp -r "$same_set/v1" "$same_set/v0"
printf 'ZEROTH' | dd of="$same_set/v0/data/quor/genes.txt" bs=1 seek=150000 conv=notrunc status=none
printf 'OLDEST' | dd of="$same_set/v0/data/common/repeats.pak" bs=1 seek=30000 conv=notrunc status=none
cp -r "$same_set/v1" "$same_set/v2"
cp "$work/v2/quor.exe" "$work/v2/updater.exe" "$same_set/v2/"
cp "$work/v2/data/quor/régions/café.map" "$same_set/v2/data/quor/régions/"
printf 'EDITED' | dd of="$same_set/v2/data/quor/genes.txt" bs=1 seek=7000 conv=notrunc status=none
printf 'MOVED' | dd of="$same_set/v2/data/common/repeats.pak" bs=1 seek=90000 conv=notrunc status=none
head -c 30000 /dev/urandom >"$same_set/v2/data/common/noise.bin"
mkdir -p "$same_set/v2/server_data"
cp -r "$same_set/v2" "$same_set/v2_linux"
code=$(run_wine "$same_set/v2" "$work/same_wine.out" 300 ./updater.exe --create --old ../v1 --old ../v0 --threads 1)
check "updater.exe publishes with one thread" equals "$code" 0
linux_updater=$(dirname "$server")/updater
(cd "$same_set/v2_linux" && timeout 300 "$linux_updater" --create --old ../v1 --old ../v0 >"$work/same_linux.out" 2>&1)
check "the Linux updater publishes with every core" equals "$?" 0
# The classic files byte for byte; the zstd ones by name, as zstd's output
# may differ between its versions (Debian's and the one built in).
check "both publish the same classic files, byte for byte" \
  diff -r -x '*.zst' -x '*.zdiff' -x '*.zfrom' -x encodings.index \
    "$same_set/v2/server_data/update_data" "$same_set/v2_linux/server_data/update_data"
check "and zstd files of the same names" \
  diff <(ls "$same_set/v2/server_data/update_data") <(ls "$same_set/v2_linux/server_data/update_data")
# But for the data set's size, which counts the zstd files too.
check "both log the same lines" \
  diff <(sed -n '/: Creating update data/,$p' "$work/same_wine.out" | grep -v ': Update data: ') \
       <(sed -n '/: Creating update data/,$p' "$work/same_linux.out" | grep -v ': Update data: ')
check "patches for the changed binaries and texts" contains "$work/same_wine.out" ": Patches: 5"
check "and from v0 for the two files it holds otherwise" \
  contains "$work/same_wine.out" ": Patches from older builds: 2"
check "none for the file whose patch would not pay" \
  contains "$work/same_wine.out" ": patch not smaller than the compressed file, published whole: ./data/common/noise.bin"

# Each platform installs the other's data set, zstd's files first: the
# Linux one with updater.exe, updater.exe's with the Linux updater.
for maker in linux wine; do
  data_folder=$same_set/v2_linux/server_data/update_data
  [ "$maker" = wine ] && data_folder=$same_set/v2/server_data/update_data
  serve "$data_folder" "$work/zstd_${maker}_server.out"
  for start in v1 v0; do
    player=$work/zstd_${maker}_${start}_player
    cp -r "$same_set/$start" "$player"
    mkdir -p "$player/settings"
    servers_config "$player" "$maker" "$server_port"
    if [ "$maker" = linux ]; then
      code=$(run_wine "$player" "$work/zstd_${maker}_$start.out" 180 ./updater.exe)
    else
      (cd "$player" && timeout 180 "$linux_updater" >"$work/zstd_${maker}_$start.out" 2>&1)
      code=$?
    fi
    check "the data set made by $maker installs across from $start (exit code 0)" equals "$code" 0
    check "and falls back nowhere" lacks "$work/zstd_${maker}_$start.out" "Fallbacks: "
    check "the folder now equals its v2, byte for byte ($maker, $start)" same_tree "$same_set/v2" "$player"
  done
  stop_server
  check "from its zstd patches" grep -qE "Served [0-9]+\.(zfrom|zdiff) " "$work/zstd_${maker}_server.out"
  check "and v0 from the ones named by its checksums" \
    grep -qE "Served [0-9]+\.[0-9a-f]{8}\.(zfrom|zdiff) " "$work/zstd_${maker}_server.out"
done

# pieces_only LOG DIR: every GET under DIR but the manifest and the
# encodings index in nginx's access LOG asked for a range and was answered
# 206, and there are some; nothing was asked outside DIR but /current.
pieces_only() {
  awk -F'\t' -v dir="$2" '
    $2 == "/current" || $2 == dir "manifest.manifest" || $2 == dir "encodings.index" { next }
    { n++ }
    index($2, dir) != 1 || $1 != "GET" || $3 != 206 || $5 !~ /^bytes=[0-9]+-[0-9]+$/ { bad = 1 }
    END { exit bad || n == 0 }' "$1"
}

# pieces_cover FOLDER LOG DIR: each file fetched under DIR came exactly
# once: no piece asked for twice, and its pieces' bytes add up to the
# size of that file in FOLDER.
pieces_cover() {
  local line
  [ -z "$(awk -F'\t' '{ print $2, $5 }' "$2" | sort | uniq -d)" ] || return 1
  while read -r line; do
    [ "${line#* }" -eq "$(stat -c %s "$1/${line%% *}")" ] || return 1
  done < <(awk -F'\t' -v dir="$3" 'index($2, dir) == 1 { sum[substr($2, length(dir) + 1)] += $4 }
             END { for (f in sum) print f, sum[f] }' "$2")
}

echo "== 13. a web server: updater.exe installs v2 over HTTPS from nginx (WinHTTP)"
# Create mode of step 1 kept the data set as a release too; nginx serves
# the releases folder as a publisher's web host would.
releases=$work/v2/server_data/releases
release=$(tr -d '\r\n' <"$releases/current" 2>/dev/null)
check "step 1 named its release in releases/current" grep -qxE '[0-9a-f]{16}' <<<"$release"
start_nginx "$work/nginx" "$releases"
web=$nginx_url/
cp -r "$work/v1" "$work/web_player"
printf 'web\n%s\n0\n' "$web" >"$work/web_player/settings/servers.config"
code=$(run_wine "$work/web_player" "$work/web.out" 180 ./updater.exe)
stop_nginx
check "updater.exe ends with exit code 0 (web server)" equals "$code" 0
check "it fetches the release that current names" \
  contains "$work/web.out" "Web server \"web\" ($web) answered; fetching $web$release/"
check "no error entry (web server)" lacks "$work/web.out" "#### ERROR"
check "the folder now equals v2 (web server)" same_tree "$work/v2" "$work/web_player"
# Access log fields: method, path, status, bytes, Range.
check "current is asked for once, and answered" \
  equals "$(awk -F'\t' '$2 == "/current"' "$work/nginx/access.log")" $'GET\t/current\t200\t17\t-'
check "the manifest comes whole from the release" \
  grep -qP "^GET\t/$release/manifest\.manifest\t200\t" "$work/nginx/access.log"
check "and so does its encodings index" \
  grep -qP "^GET\t/$release/encodings\.index\t200\t" "$work/nginx/access.log"
check "every file comes in pieces: ranged GETs under the release, answered 206" \
  pieces_only "$work/nginx/access.log" "/$release/"
check "each file fetched comes once, every byte of it" \
  pieces_cover "$releases/$release" "$work/nginx/access.log" "/$release/"

# Plain http: without updater.key nothing proves the files are the
# publisher's, so the player asks nothing of such a server.
start_nginx "$work/nginx_plain" "$releases" plain
cp -r "$work/v1" "$work/plain_player"
printf 'web\n%s\n0\n' "$nginx_url/" >"$work/plain_player/settings/servers.config"
code=$(run_wine "$work/plain_player" "$work/plain.out" 120 ./updater.exe)
stop_nginx
check "updater.exe ends with exit code 0 (plain http)" equals "$code" 0
check "it refuses plain http without updater.key" contains "$work/plain.out" "is plain http, and without updater.key"
check "nothing is asked of the plain http server" test ! -s "$work/nginx_plain/access.log"
check "nothing is installed from it" same_tree "$work/v1" "$work/plain_player"

echo "== 14. the event stream on standard output (--progress-json -)"
# Standard output holds the events alone, standard error the text.
serve "$data" "$work/stream_server.out"
cp -r "$work/v1" "$work/stream_player"
mkdir -p "$work/stream_player/settings"
servers_config "$work/stream_player" "local server" "$server_port"
(cd "$work/stream_player" && timeout 180 wine ./updater.exe --progress-json - \
  >"$work/stream.jsonl" 2>"$work/stream.err")
code=$?
stop_server
check "updater.exe ends with exit code 0 (event stream)" equals "$code" 0
check "every line of standard output is one JSON event, from start to exit" python3 -c '
import json, sys
events = [json.loads(line) for line in open(sys.argv[1], encoding="utf-8")]
assert events[0]["event"] == "start" and events[0]["stream"] == 1, events[0]
assert events[-1] == {"event": "exit", "exit_code": 0}, events[-1]
names = [e["event"] for e in events]
for name in ("server", "manifest", "file_start", "file_done", "progress", "run_end", "end"):
    assert name in names, name
end = [e for e in events if e["event"] == "end"][0]
assert end["result"] == "updated", end
logs = [e["text"] for e in events if e["event"] == "log"]
assert "Patched: 4" in logs, logs
' "$work/stream.jsonl"
check "the text goes to standard error" contains "$work/stream.err" ": Patched: 4"
check "the folder now equals v2 (event stream)" same_tree "$work/v2" "$work/stream_player"

echo "== 15. update_server.exe has no metrics yet, and says so"
timeout 60 wine "$build/update_server.exe" --metrics 127.0.0.1:0 >"$work/metrics.out" 2>&1
check "update_server.exe --metrics ends with exit code 2" equals "$?" 2
check "it names the reason" contains "$work/metrics.out" "--metrics is not available in the Windows build"

echo
echo "e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
