#!/usr/bin/env python3
"""How much CPU an idle window uses: starts a program on a private Xvfb,
waits for its window, lets it settle, then reads the CPU time (user +
system, from /proc/<pid>/stat) of the processes it measures before and after
an idle interval, and prints the difference. Nobody touches the window.

    bench_idle.py [--seconds 10] [--title T] [--wine-prefix DIR] -- CMD [ARGS...]

Measured processes: the started program and all its descendants; with
--wine-prefix also every process whose environment names that WINEPREFIX
(wineserver, services.exe, explorer.exe ... which are not descendants).
Processes that end during the interval are not counted.

Native:  bench_idle.py -- build/native/app/update-firmware
Wine:    bench_idle.py --wine-prefix build/windows/wineprefix -- \\
             tests/scripts/wine-run.sh --prefix=build/windows/wineprefix \\
             build/windows/app/update-firmware.exe
"""

import argparse
import os
import sys
import time

from guikit import guitest

TICKS = os.sysconf("SC_CLK_TCK")


def environ_has(pid, key, value):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            entries = f.read().split(b"\0")
    except OSError:
        return False
    wanted = ("%s=%s" % (key, value)).encode()
    return wanted in entries


def measured(root, wine_prefix):
    """pid -> CPU ticks of the processes to count."""
    table = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            st = guitest.process_stat(int(name))
            if st:
                table[int(name)] = st
    chosen = {root}
    grew = True
    while grew:
        grew = False
        for pid, (ppid, _) in table.items():
            if ppid in chosen and pid not in chosen:
                chosen.add(pid)
                grew = True
    if wine_prefix:
        for pid in table:
            if environ_has(pid, "WINEPREFIX", wine_prefix):
                chosen.add(pid)
    return {pid: table[pid][1] for pid in chosen if pid in table}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--title", default="Update firmware 1.0")
    parser.add_argument("--settle", type=float, default=2.0,
                        help="seconds to wait after the window appears")
    parser.add_argument("--wine-prefix")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")
    prefix = os.path.abspath(args.wine_prefix) if args.wine_prefix else None

    with guitest.Session() as session:
        if prefix:
            session.on_close(lambda: session.run_tool(
                ["env", "WINEPREFIX=" + prefix, "wineserver", "-k"], check=False))
        app = session.launch(command, env={"WINEPREFIX": prefix} if prefix else None)
        session.wait_window(args.title, timeout=120)
        time.sleep(args.settle)
        before = measured(app.pid, prefix)
        start = time.monotonic()
        time.sleep(args.seconds)
        after = measured(app.pid, prefix)
        wall = time.monotonic() - start
        if not app.running():
            sys.exit("the program ended during the measurement")

    ticks = sum(after[pid] - before[pid] for pid in after if pid in before)
    cpu = ticks / TICKS
    print("processes measured: %d" % len(set(after) & set(before)))
    print("idle interval: %.1f s" % wall)
    print("CPU time used: %.2f s (%.1f%% of one core)" % (cpu, 100.0 * cpu / wall))


if __name__ == "__main__":
    main()
