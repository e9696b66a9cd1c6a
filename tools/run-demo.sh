#!/bin/bash
# Builds the native tool and starts it with a simulated device behind COM5
# and a small sample firmware "trx.fw" in its working directory.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
tools/install-deps.sh run
cmake --preset native >/dev/null
cmake --build --preset native -j 2

if [ -z "${DISPLAY:-}" ]; then
  echo "No DISPLAY: start this from a desktop session (or under xvfb-run)." >&2
  exit 1
fi

demo="$root/build/demo"
mkdir -p "$demo"
# 4 KiB of fixed pseudo-random bytes: an upload of about 4.5 s at 9600 baud.
head -c 4096 /dev/urandom > "$demo/trx.fw"

sim="$root/build/native/tools/bootloader-sim/bootloader-sim"
"$sim" --sessions 0 --pace --timeout 0 --image "$demo/received.fw" \
  --ready-file "$demo/port" > "$demo/sim.out" 2> "$demo/sim.log" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$demo/port" ] && break; sleep 0.1; done
port="$(cat "$demo/port")"
echo "Simulated bootloader on $port, shown as COM5. Pick COM5 and press UPDATE!"
echo "What the device received is written to $demo/received.fw."
cd "$demo"
UPDATE_FIRMWARE_COM5="$port" "$root/build/native/app/update-firmware"
