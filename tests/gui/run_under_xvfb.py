#!/usr/bin/env python3
"""Runs one Windows program under Wine on a private X server and passes on
its output and exit code. Wine needs a display to create windows at all, so
even the in-process tests of the window layer go through here.

    run_under_xvfb.py TIMEOUT program.exe [args...]
(UF_WINE_RUN and UF_WINEPREFIX_GUI as for the other tests here.)
"""
import os
import sys

from guikit import wine as winegui


def main():
    timeout, program, args = float(sys.argv[1]), sys.argv[2], sys.argv[3:]
    with winegui.new_session() as session:
        app = winegui.launch(session, program, args)
        while True:
            line = app.next_line(timeout)
            if line is None:
                break
            print(line, flush=True)
        code = app.wait_exit(10)
        sys.stderr.write(session.stderr_of(app))
        if code is None:
            print("run_under_xvfb: %s did not end within %ss" % (program, timeout), flush=True)
            return 1
        return code


if __name__ == "__main__":
    sys.exit(main())
