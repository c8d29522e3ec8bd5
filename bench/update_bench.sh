#!/usr/bin/env bash
# Full install and patch update over loopback.
#   bench/update_bench.sh [SIZE_MIB] [FILES]     (default 1024 MiB in 2000 files)
# A generated build is published with create mode and served by
# update_server on 127.0.0.1; the updater installs it into an empty folder,
# then updates a folder holding the previous build in which 10% of the files
# changed. Throughput and the updater's peak memory are printed beside a
# plain TCP copy of the same bytes over loopback, measured in this script.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/bench.sh
require_packages time python3
./scripts/build.sh >/dev/null
repo=$(pwd)
size_mib=${1:-1024}
files=${2:-2000}

make_work_dir

echo "generating $files files, $size_mib MiB in all"
python3 - "$work" "$size_mib" "$files" <<'PY'
import os, random, sys
work, size_mib, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
per_file = size_mib * 1024 * 1024 // files
rng = random.Random(1)
for version in ("v1", "v2"):
    os.makedirs(f"{work}/{version}/server_data", exist_ok=True)
for i in range(files):
    folder = f"data/quor/pack{i // 100}"
    # Half random, half repetitive: game data compresses somewhat.
    data = bytearray(os.urandom(per_file // 2)) + bytes(rng.getrandbits(8) % 16 for _ in range(64)) * (per_file // 128)
    for version in ("v1", "v2"):
        os.makedirs(f"{work}/{version}/{folder}", exist_ok=True)
    with open(f"{work}/v1/{folder}/f{i}.bin", "wb") as f:
        f.write(data)
    if i % 10 == 0:  # 10% of the files change a little
        for k in range(0, len(data), 65536):
            data[k] ^= 0xFF
    with open(f"{work}/v2/{folder}/f{i}.bin", "wb") as f:
        f.write(data)
PY
total_bytes=$(du -sb "$work/v2/data" | cut -f1)

echo "publishing (create mode with --old)"
start=$(date +%s.%N)
(cd "$work/v2" && "$repo/build/updater" --create --old ../v1 >/dev/null)
end=$(date +%s.%N)
echo "   create mode: $(python3 -c "print(round($end - $start - 8, 1))") s (its fixed 8 s of pauses left out)"

start_server "$repo/build/update_server" . "$work/server.out" --data "$work/v2/server_data/update_data" || exit 1
port=$server_port

# run_update FOLDER -> prints seconds (pauses left out) and peak KiB
run_update() {
  local folder=$1
  servers_config "$folder" bench "$port"
  local start end
  start=$(date +%s.%N)
  (cd "$folder" && /usr/bin/time -f '%M' -o "$work/peak" "$repo/build/updater" >"$work/run.out")
  end=$(date +%s.%N)
  # Fixed pauses of a run: 4 s banner, 0.4 s after connecting, 0.4 s at
  # shutdown, 4 s at the end.
  python3 -c "print(round($end - $start - 8.8, 2))"
  cat "$work/peak"
}

result=$(run_update "$work/install")
install_s=$(sed -n 1p <<<"$result"); install_kib=$(sed -n 2p <<<"$result")
cp -r "$work/v1" "$work/patch_player"
rm -rf "$work/patch_player/server_data"
result=$(run_update "$work/patch_player")
patch_s=$(sed -n 1p <<<"$result"); patch_kib=$(sed -n 2p <<<"$result")
patched=$(grep -c '\.patch (' "$work/server.out" || true)

tcp_s=$(python3 - "$work/v2/data" <<'PY'
import os, socket, sys, threading, time
root = sys.argv[1]
paths = [os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs]
server = socket.socket(); server.bind(("127.0.0.1", 0)); server.listen(1)
port = server.getsockname()[1]
def receive():
    conn, _ = server.accept()
    while conn.recv(1 << 20):
        pass
thread = threading.Thread(target=receive); thread.start()
start = time.time()
client = socket.create_connection(("127.0.0.1", port))
for path in paths:
    with open(path, "rb") as f:
        client.sendall(f.read())
client.close(); thread.join()
print(round(time.time() - start, 3))
PY
)

mb=$(python3 -c "print($total_bytes / 1e6)")
python3 - <<PY
mb, files = $mb, $files
install_s, patch_s, tcp_s = $install_s, $patch_s, $tcp_s
print(f"{'':28}{'seconds':>10}{'MB/s':>10}{'files/s':>10}{'peak MiB':>10}")
print(f"{'full install':28}{install_s:>10.2f}{mb / install_s:>10.1f}{files / install_s:>10.0f}{$install_kib / 1024:>10.0f}")
print(f"{'10% patch update':28}{patch_s:>10.2f}{'':>10}{files / 10 / patch_s:>10.0f}{$patch_kib / 1024:>10.0f}")
print(f"{'TCP copy over loopback':28}{tcp_s:>10.2f}{mb / tcp_s:>10.1f}")
print(f"full install / TCP copy throughput: {tcp_s / install_s:.2f}")
print(f"patch requests served: $patched")
PY
