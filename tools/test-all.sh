#!/bin/bash
# Builds everything (native, native with sanitizers, Windows) and runs every
# test: the Windows build's tests run under Wine, the GUI tests under a
# private Xvfb. Then builds the packages and checks them. Prints one closing
# line with the totals.
set -u
cd "$(dirname "$0")/.."
tools/install-deps.sh test || exit 1

jobs="${UF_JOBS:-2}"
passed=0
failed=0
status=0

run_preset() {
  local preset="$1"
  shift
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    echo "=== $preset: BUILD FAILED"
    status=1
    return
  fi
  echo "=== $preset: tests"
  local log
  log=$(mktemp)
  ctest --preset "$preset" -j "$jobs" "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$line" ]; then
    echo "=== $preset: no test summary"
    status=1
    return
  fi
  local nfail total
  nfail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
  passed=$((passed + total - nfail))
  failed=$((failed + nfail))
  [ "$rc" -eq 0 ] || status=1
}

# Adds the counts of the last line of `log` that matches `pattern` ("...: N
# passed, N failed") to the totals; a missing line, a failed count or a
# non-zero `rc` fails the run.
add_summary() {
  local what="$1" rc="$2" log="$3" pattern="$4"
  local line
  line=$(grep -E "$pattern" "$log" | tail -n 1)
  rm -f "$log"
  if [ -z "$line" ]; then
    echo "=== $what: no summary"
    status=1
    return
  fi
  passed=$((passed + $(echo "$line" | sed -E 's/.*: ([0-9]+) passed.*/\1/')))
  failed=$((failed + $(echo "$line" | sed -E 's/.* ([0-9]+) failed$/\1/')))
  [ "$rc" -eq 0 ] || status=1
}

# The .deb and the zip as tools/package.sh makes them, checked the way a user
# meets them (tests/package/check_packages.py).
run_packages() {
  echo "=== packages: build"
  if ! tools/package.sh; then
    echo "=== packages: BUILD FAILED"
    status=1
    return
  fi
  echo "=== packages: checks"
  local log
  log=$(mktemp)
  PYTHONPATH=tests/gui python3 tests/package/check_packages.py build/packages/update-firmware_*_amd64.deb \
    build/packages/update-firmware-*-win64.zip 2>&1 | tee "$log"
  add_summary packages "${PIPESTATUS[0]}" "$log" '^Package checks: [0-9]+ passed, [0-9]+ failed$'
}

# The libFuzzer targets, about 12 s each (tools/fuzz.sh): one pass or fail
# per target.
run_fuzz() {
  local log
  log=$(mktemp)
  tools/fuzz.sh 2>&1 | tee "$log"
  add_summary fuzz "${PIPESTATUS[0]}" "$log" '^Fuzz: [0-9]+ passed, [0-9]+ failed$'
}

# The native build comes first: the Windows tests use its simulator and helpers.
run_preset native
run_preset native-asan
run_fuzz
run_preset windows
run_packages

echo
echo "Total: $passed passed, $failed failed"
exit $status
