#!/usr/bin/env bash
# Checks packaging/update_server.service with `systemd-analyze verify`,
# when that tool is present, against a built update_server: verify insists
# that ExecStart's program exists, so a temporary copy of the unit points
# at the given binary instead of /usr/local/bin/update_server.
#
#   scripts/check-systemd-unit.sh BUILT_UPDATE_SERVER
set -euo pipefail
cd "$(dirname "$0")/.."
binary=$(realpath "${1:?built update_server}")
unit=packaging/update_server.service

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "skip  systemd-analyze verify: systemd-analyze is not installed"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The unit's name as installed; verify reads the folder's copy.
sed "s|/usr/local/bin/update_server|$binary|" "$unit" >"$work/quor-update-server.service"
if systemd-analyze verify "$work/quor-update-server.service" >"$work/verify.out" 2>&1 &&
   ! grep -q "quor-update-server.service" "$work/verify.out"; then
  echo "ok    systemd-analyze verify $unit"
else
  cat "$work/verify.out" >&2
  echo "FAIL  systemd-analyze verify $unit" >&2
  exit 1
fi
