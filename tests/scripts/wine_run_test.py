#!/usr/bin/env python3
"""wine-run.sh as ctest runs it: a program's output ends when the program
does. Wine starts its server and its services with the first program of a
session, and they inherit that program's standard error; ctest reads a test's
output to its end, so a test that happened to start them would last until
the whole run's Wine session went idle, and time out though every case
passed. Run with wine-run.sh and a prefix of the test's own (made on first
use), with no server running, as the first program after a prefix is made.

  wine_run_test.py WINE_RUN_SH PREFIX
"""
import os
import subprocess
import sys
import time


def main():
    wine_run, prefix = sys.argv[1], os.path.abspath(sys.argv[2])
    # As ctest runs the programs without a window: no X display.
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env["WINEPREFIX"] = prefix
    # Made on first use, then no server left for the program below.
    subprocess.run([wine_run, "--prefix=" + prefix, "cmd", "/c", "exit"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300, check=True)
    subprocess.run(["wineserver", "-w"], env=env, timeout=60, check=False)

    program = subprocess.Popen([wine_run, "--prefix=" + prefix, "cmd", "/c", "echo", "hi"],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    output = b""
    ended_at = None
    # Read to the end of the output, noting when the program itself ended.
    os.set_blocking(program.stdout.fileno(), False)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        try:
            chunk = program.stdout.read()
        except BlockingIOError:
            chunk = None
        if chunk == b"":
            break
        output += chunk or b""
        if ended_at is None and program.poll() is not None:
            ended_at = time.monotonic()
        time.sleep(0.02)
    closed_at = time.monotonic()
    program.wait(timeout=60)
    if ended_at is None:
        ended_at = closed_at
    held = closed_at - ended_at
    print(f"exit {program.returncode}, output held open {held:.2f} s after the program ended")
    failures = 0
    if program.returncode != 0 or b"hi" not in output:
        print(f"FAIL: the program did not run: {output!r}")
        failures += 1
    if held > 1.0:
        print("FAIL: something the program started keeps its output open")
        failures += 1
    subprocess.run(["wineserver", "-w"], env=env, timeout=60, check=False)
    print(f"wine-run: {1 - min(failures, 1)} passed, {min(failures, 1)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
