#!/bin/sh
# Runs a Windows test program under Wine in a prefix that belongs to the
# build tree. The prefix is made on first use; the lock keeps parallel tests
# from initialising it twice.
#   wine-run.sh [--prefix=DIR] program.exe [args...]
# Without --prefix, WINEPREFIX from the environment is used.
set -e
case "$1" in
  --prefix=*) WINEPREFIX="${1#--prefix=}"; shift ;;
esac
: "${WINEPREFIX:?set WINEPREFIX or pass --prefix=DIR}"
# Wine refuses a relative prefix; accept one the way a shell user means it.
case "$WINEPREFIX" in
  /*) ;;
  *) WINEPREFIX="$(pwd)/$WINEPREFIX" ;;
esac
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
  fi
  # The first program of a Wine session starts the server and Wine's
  # services, and they inherit its standard error. ctest reads a test's
  # output to its end, so the test that started them would last until the
  # whole run's Wine session went idle and time out after its last case.
  # Started here on /dev/null, they are running when the program comes; a
  # running session makes this a short no-op. Not on an X display: there
  # the window tests start Wine with their program and wait for its server
  # at their end, and a session started before the display's first window
  # leaves a console program there with no output at all.
  if [ -z "${DISPLAY:-}" ]; then
    wineboot </dev/null >/dev/null 2>&1 || true
  fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
