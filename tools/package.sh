#!/bin/bash
# Builds the release packages into build/packages/:
#   update-firmware_VERSION_amd64.deb    Debian package (Linux build)
#   update-firmware-VERSION-win64.zip    Windows zip (cross-compiled build)
#   package.sh [deb|zip]   both, or only one of them
# Each comes from a release build of its own (build/package-native,
# build/package-windows), so the test builds are left as they are.
set -eu
cd "$(dirname "$0")/.."
what="${1:-all}"
case "$what" in
  all) presets="package-native package-windows" ;;
  deb) presets="package-native" ;;
  zip) presets="package-windows" ;;
  *) echo "usage: $0 [deb|zip]" >&2; exit 64 ;;
esac
tools/install-deps.sh package

jobs="${UF_JOBS:-2}"
out="$PWD/build/packages"
mkdir -p "$out"
for preset in $presets; do
  case "$preset" in
    package-native) rm -f "$out"/update-firmware_*.deb ;;
    package-windows) rm -f "$out"/update-firmware-*-win64.zip ;;
  esac
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  cpack --config "build/$preset/CPackConfig.cmake" -B "$out"
done
# CPack's staging trees; the packages are what is wanted here.
rm -rf "$out/_CPack_Packages"
ls -l "$out"
