#!/bin/bash
# Builds the native tool and starts it with a simulated device behind COM5
# and a sample firmware "trx.fw" in its working directory. The device's
# terminal is paced like a real serial port at the program's 9600 baud by the
# line model (tools/line-model), and COM5 is the only port listed: the
# machine's own ports are hidden from the demo.
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
# 16 KiB of pseudo-random bytes, the size of a small real image: an upload
# of about 18 s at 9600 baud.
head -c 16384 /dev/urandom > "$demo/trx.fw"

sim="$root/build/native/tools/bootloader-sim/bootloader-sim"
rm -f "$demo/port"
"$sim" --sessions 0 --timeout 0 --image "$demo/received.fw" \
  --ready-file "$demo/port" > "$demo/sim.out" 2> "$demo/sim.log" &
sim_pid=$!
trap 'kill $sim_pid 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$demo/port" ] && break; sleep 0.1; done
port="$(cat "$demo/port")"
echo "Simulated bootloader on $port, shown as COM5. Pick COM5 and press UPDATE!"
echo "What the device received is written to $demo/received.fw."
cd "$demo"
# Every other COM name leads nowhere, so COM1 (/dev/ttyS0, which opens on
# many machines) and the rest are not listed.
for n in $(seq 1 16); do
  [ "$n" = 5 ] || export "UPDATE_FIRMWARE_COM$n=/nonexistent/uf-demo-no-port"
done
UPDATE_FIRMWARE_COM5="$port" \
LD_PRELOAD="$root/build/native/tools/line-model/libline-model.so${LD_PRELOAD:+ $LD_PRELOAD}" \
LINE_MODEL_DEVICE="$port" \
  "$root/build/native/app/update-firmware"
