#!/bin/sh
# Installs, with apt-get, whatever of the build and test tools is missing.
#   install-deps.sh run    what building and starting the native tool needs
#   install-deps.sh package  what tools/package.sh needs for both packages
#   install-deps.sh test   everything: both builds, the packages and every test
set -e
what="${1:-test}"
run_pkgs="cmake ninja-build g++ libfltk1.3-dev libx11-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libssl-dev"
# The .deb carries the AVR bootloader, so the package build needs avr-gcc.
package_pkgs="$run_pkgs mingw-w64 g++-mingw-w64-x86-64-posix dpkg-dev file librsvg2-bin
  gcc-avr avr-libc binutils-avr"
test_pkgs="$package_pkgs libgtest-dev googletest wine wine64 binutils srecord
  xvfb xdotool x11-utils imagemagick python3
  lintian desktop-file-utils appstream man-db unzip
  qemu-system-x86 busybox-static cpio
  clang libclang-rt-14-dev
  libsimavr-dev simavr libelf-dev"
case "$what" in
  run) pkgs="$run_pkgs" ;;
  package) pkgs="$package_pkgs" ;;
  test) pkgs="$test_pkgs" ;;
  *) echo "usage: $0 run|package|test" >&2; exit 64 ;;
esac
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
