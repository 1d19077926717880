#!/usr/bin/env bash
# The main job, end to end, without hardware: builds hubflash and the hub
# simulator, starts a simulated two-board Halbern-16 hub in its normal firmware,
# updates it from the sample image with --bootloader (switch, detection,
# upload, CRC checks, finish) and prints the simulator's verdict: every board's
# flash compared with the image, the finish commands and any protocol rule the
# host broke. Installs missing packages first (see scripts/deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/deps.sh

build=$root/build-demo
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHUBFLASH_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target hubflash hubsim >/dev/null

work=$(mktemp -d)
sim_pid=""
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

image=$root/samples/halbern16-v306.ufw
mkdir -p "$work/expected" "$work/flash"
python3 tools/mkimage.py --version 306 --seed 16 --section 0101:8192 --section 0201:4096 \
    --crlf -o "$work/image.ufw" --flash-out "$work/expected"
cmp -s "$work/image.ufw" "$image" || { echo "samples/ is out of date: run samples/make-samples.sh" >&2; exit 1; }

# A Halbern-16 (hub type 1030) running firmware 3.05 on both boards.
"$build/tools/hubsim/hubsim" --link "$work/hub" --mode normal --hwid 1030 \
    --device-type 0101,0201 --fw 305 --report "$work/report.json" --flash-dir "$work/flash" &
sim_pid=$!
for _ in $(seq 100); do [ -e "$work/hub" ] && break; sleep 0.05; done

echo "\$ hubflash --fw samples/halbern16-v306.ufw --port $work/hub --bootloader"
set +e
"$build/hubflash" --fw "$image" --port "$work/hub" --bootloader
status=$?
set -e
echo "(hubflash exit code: $status)"

kill -TERM "$sim_pid"; wait "$sim_pid" || true; sim_pid=""
python3 - "$work/report.json" "$work/expected" "$work/flash" "$status" <<'PY'
import json, sys, pathlib
report = json.load(open(sys.argv[1]))
expected, flash, status = pathlib.Path(sys.argv[2]), pathlib.Path(sys.argv[3]), int(sys.argv[4])
ok = status == 0
print("\nSimulator verdict:")
for b in report["boards"]:
    want = (expected / f"{b['device_type'].lower()}.bin").read_bytes()
    have = (flash / f"board{b['board']}.bin").read_bytes()
    same = want == have
    ok &= same and b["finish"] == [306] * 4
    print(f"  board {b['board']} (device type {b['device_type']}): flash "
          f"{'equals the image' if same else 'DIFFERS from the image'}, "
          f"finish versions {b['finish']}")
print(f"  protocol violations: {report['violation_count']}")
for v in report["violations"][:10]:
    print(f"    {v}")
ok &= report["violation_count"] == 0
print("  result:", "hub updated and verified" if ok else "FAILED")
sys.exit(0 if ok else 1)
PY
