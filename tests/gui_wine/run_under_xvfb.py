#!/usr/bin/env python3
"""Runs one Windows program under Wine on a private X server and passes on
its output and exit code.

    run_under_xvfb.py WINE_RUN PREFIX TIMEOUT program.exe [args...]

Wine needs a display to create windows at all, so even the in-process tests
of the window layer go through here.
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "gui"))
import guitest  # noqa: E402


def main():
    wine_run, prefix, timeout = sys.argv[1], sys.argv[2], float(sys.argv[3])
    program = sys.argv[4:]
    with guitest.Session() as session:
        session.on_close(lambda: wait_wineserver(session, prefix))
        app = session.launch([wine_run, "--prefix=" + prefix] + program)
        while True:
            line = app.next_line(timeout)
            if line is None:
                break
            print(line, flush=True)
        code = app.wait_exit(10)
        if code is None:
            print("run_under_xvfb: %s did not end within %ss" % (program[0], timeout), flush=True)
            return 1
        sys.stderr.write(session.stderr_of(app))
        return code


def wait_wineserver(session, prefix):
    # The X server must outlive Wine's own processes (the desktop), or they
    # die with an X error on the way out.
    env = dict(session.env, WINEPREFIX=prefix)
    try:
        subprocess.run(["wineserver", "-w"], env=env, timeout=30)
    except subprocess.TimeoutExpired:
        subprocess.run(["wineserver", "-k"], env=env, timeout=30)


if __name__ == "__main__":
    sys.exit(main())
