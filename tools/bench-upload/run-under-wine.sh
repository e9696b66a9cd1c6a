#!/bin/sh
# Runs the Windows build's benchmark under Wine against two simulated devices
# of the native build, linked into the Wine prefix as COM9 (unpaced) and
# COM10 (paced at 9600 baud by the native build's line model, preloaded into
# Wine).
#   run-under-wine.sh NATIVE-BUILD-DIR WINDOWS-BUILD-DIR
set -e
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
sim="$native/tools/bootloader-sim/bootloader-sim"
prefix="$windows/wineprefix"
work=$(mktemp -d)
# Let wine-run.sh make the prefix first, so the links are not in its way.
"$root/tests/scripts/wine-run.sh" --prefix="$prefix" cmd /c exit >/dev/null 2>&1 || true
mkdir -p "$prefix/dosdevices"
"$sim" --link "$prefix/dosdevices/com9" --ready-file "$work/unpaced" --timeout 60 >/dev/null &
unpaced=$!
"$sim" --sessions 2 --link "$prefix/dosdevices/com10" --ready-file "$work/paced" \
  --timeout 120 --image "$work/received" >/dev/null &
paced=$!
trap 'kill $unpaced $paced 2>/dev/null; rm -rf "$work"' EXIT
while [ ! -f "$work/unpaced" ] || [ ! -f "$work/paced" ]; do sleep 0.1; done
LD_PRELOAD="$native/tools/line-model/libline-model.so${LD_PRELOAD:+ $LD_PRELOAD}" \
LINE_MODEL_DEVICE="$(cat "$work/paced")" LINE_MODEL_STATS="$work/line.stats" \
"$root/tests/scripts/wine-run.sh" --prefix="$prefix" "$windows/tools/bench-upload/bench-upload.exe" \
  COM9 COM10 "Z:$(echo "$work/received" | tr / '\\')" "Z:$(echo "$work/line.stats" | tr / '\\')"
