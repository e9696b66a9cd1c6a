#!/usr/bin/env python3
"""Production-line benchmark of update-firmware-cli over the paced line model.

Prints two ratios, each from the median of --repeat runs:
  wall(4 boards at once) / wall(1 board), same image     target <= 1.05
  upload with --trace / upload without it, one board      target <= 1.01

With --scale N,N,... it prints instead, for each N, wall(N)/wall(1) and the
host's CPU per board (target <= 1.02 and <= 0.3 % of a core at 128), for
the program built here and, with --before, for another build of it, the
runs of both interleaved. The CPU is that of the program and its worker
processes (their rusage), less the line model's transmitter threads, which
stand for the UART and its interrupts; the figure with them is printed too.
The model hands the devices their bytes 32 at a time there (its schedule of
the line, which paces the host, is the same).
The wall time is the whole program run, start to exit. The upload time is
the line's own: from the first byte's start to the last byte's end on the
modelled line, so that a host slowed by the transcript would show as idle
line time between words; the wall time of those runs is printed as well.

Every board is a simulated device on a pseudo-terminal; the line model
(preloaded into the program and its worker processes) gives each terminal a
UART's transmit queue at 9600 baud, so the uploads take line time as on real
adapters. Each run is checked: exit code 0, every image intact, and the
model's statistics show one paced session per board with every byte sent.
Not a test: run it by hand, e.g.

    tools/bench-batch/bench_batch.py --build build/native
"""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

BAUD = 9600
BITS_PER_BYTE = 10
# With --scale the model hands bytes to the devices 32 at a time (33 ms),
# not 4: at 4, 128 modelled lines and their simulated devices alone keep a
# 2-core machine busy, and the host's figures would be theirs.
SCALE_BATCH = 32


class Board:
    def __init__(self, sim, work, n):
        self.image = os.path.join(work, f"received{n}.bin")
        self.proc = subprocess.Popen(
            [sim, "--image", self.image, "--timeout", "120"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.pty = self.proc.stdout.readline().strip()
        if not self.pty:
            sys.exit("bench-batch: the simulator did not start")

    def finish(self):
        try:
            self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.terminate()
            self.proc.wait()
        with open(self.image, "rb") as f:
            return f.read()


def run(args, work, boards, trace, firmware, data, cli=None, batch=None):
    """One flash of `boards` boards: (wall s, upload s on the line, host CPU
    s, transmitter threads' CPU s)."""
    sims = [Board(args.sim, work, n) for n in range(boards)]
    # COM names reach 16; beyond that the terminals are named by path.
    ports = [f"COM{5 + n}" for n in range(boards)] if boards <= 12 else [s.pty for s in sims]
    stats = os.path.join(work, "line.stats")
    if os.path.exists(stats):
        os.remove(stats)
    env = dict(os.environ)
    for port, sim in zip(ports, sims):
        env["UPDATE_FIRMWARE_" + port] = sim.pty
    env["LD_PRELOAD"] = args.line_model
    env["LINE_MODEL_DEVICE"] = ":".join(s.pty for s in sims)
    env["LINE_MODEL_STATS"] = stats
    if batch:
        env["LINE_MODEL_BATCH"] = str(batch)
    command = [cli or args.cli, "flash", "--quiet"]
    if trace:
        command += ["--trace", os.path.join(work, "line.trace")]
    command += ports + [firmware]
    start = time.monotonic()
    proc = subprocess.Popen(command, env=env, cwd=work)
    # wait4 gives the program's rusage with that of the workers it waited for.
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime
    received = [s.finish() for s in sims]
    if code != 0:
        sys.exit(f"bench-batch: {boards} board(s): exit code {code}")
    for port, got in zip(ports, received):
        if got != data[: len(data) // 2 * 2]:
            sys.exit(f"bench-batch: {port}: the image arrived damaged ({len(got)} bytes)")
    sessions = []
    with open(stats) as f:
        for line in f:
            fields = dict(kv.split("=", 1) for kv in line.split()[1:] if "=" in kv)
            sessions.append(fields)
    wanted = 8 + len(data) // 2 * 2
    paced = [s for s in sessions if int(s.get("sent", 0)) == wanted]
    if len(paced) != boards:
        sys.exit(f"bench-batch: {boards} board(s) but {len(paced)} paced session(s) of "
                 f"{wanted} bytes in the line model's statistics: is the model loaded?")
    upload = max((int(s["last_end_ns"]) - int(s["first_start_ns"])) / 1e9 for s in paced)
    tx = sum(int(s.get("tx_thread_cpu_ns", 0)) for s in paced) / 1e9
    return wall, upload, cpu - tx, tx


def scale(args, work, firmware, data):
    counts = [int(n) for n in args.scale.split(",")]
    if 1 not in counts:
        counts.insert(0, 1)
    builds = [("this build", args.cli)]
    if args.before:
        builds.insert(0, ("before", os.path.abspath(args.before)))
    results = {(name, n): [] for name, _ in builds for n in counts}
    for _ in range(args.repeat):
        for n in counts:
            for name, cli in builds:
                results[(name, n)].append(
                    run(args, work, n, False, firmware, data, cli, SCALE_BATCH))
    print(f"{'build':11s} {'boards':>6s} {'wall s':>8s} {'wall(N)/wall(1)':>16s} "
          f"{'host CPU/board':>15s} {'with UART thread':>17s}")
    for name, _ in builds:
        w1 = statistics.median(r[0] for r in results[(name, 1)])
        for n in counts:
            runs = results[(name, n)]
            wall = statistics.median(r[0] for r in runs)
            host = statistics.median(100 * r[2] / (r[0] * n) for r in runs)
            both = statistics.median(100 * (r[2] + r[3]) / (r[0] * n) for r in runs)
            print(f"{name:11s} {n:6d} {wall:8.3f} {wall / w1:16.4f} {host:13.3f} % "
                  f"{both:15.3f} %")
    print("targets at 128 boards: wall(N)/wall(1) <= 1.02, host CPU <= 0.3 % of a core a board")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", default="build/native", help="the native build folder")
    p.add_argument("--bytes", type=int, default=8000, help="image size (default 8000)")
    p.add_argument("--repeat", type=int, default=3, help="runs of each kind (default 3)")
    p.add_argument("--scale", help="board counts, e.g. 1,16,64,128: wall and CPU per board")
    p.add_argument("--before", help="with --scale: another build's update-firmware-cli to compare")
    args = p.parse_args()
    args.cli = os.path.join(args.build, "cli/update-firmware-cli")
    args.sim = os.path.join(args.build, "tools/bootloader-sim/bootloader-sim")
    args.line_model = os.path.abspath(os.path.join(args.build, "tools/line-model/libline-model.so"))
    for path in (args.cli, args.sim, args.line_model):
        if not os.path.exists(path):
            sys.exit(f"bench-batch: {path} is missing; build the native preset first")
    args.cli = os.path.abspath(args.cli)
    args.sim = os.path.abspath(args.sim)

    with tempfile.TemporaryDirectory(prefix="uf-bench-batch-") as work:
        data = random.Random(7).randbytes(args.bytes)
        firmware = os.path.join(work, "trx.fw")
        with open(firmware, "wb") as f:
            f.write(data)
        line_s = (8 + len(data) // 2 * 2) * BITS_PER_BYTE / BAUD
        print(f"image {len(data)} bytes; {line_s:.2f} s on the line at {BAUD} baud; "
              f"median of {args.repeat} runs each; {os.cpu_count()} cores")
        if args.scale:
            scale(args, work, firmware, data)
            return
        one, four, traced = [], [], []
        # Interleaved, so that a slow spell of the machine hits every kind.
        for _ in range(args.repeat):
            one.append(run(args, work, 1, False, firmware, data))
            four.append(run(args, work, 4, False, firmware, data))
            traced.append(run(args, work, 1, True, firmware, data))

        def line(name, runs, which):
            values = [r[which] for r in runs]
            print(f"{name:34s} {statistics.median(values):7.3f} s  "
                  f"({', '.join(f'{x:.3f}' for x in values)})")
            return statistics.median(values)

        w1 = line("1 board, wall", one, 0)
        w4 = line("4 boards at once, wall", four, 0)
        u1 = line("1 board, upload on the line", one, 1)
        ut = line("1 board with --trace, upload", traced, 1)
        line("1 board with --trace, wall", traced, 0)
        print(f"wall(4)/wall(1)                  = {w4 / w1:.4f}  (target <= 1.05)")
        print(f"upload with/without --trace      = {ut / u1:.4f}  (target <= 1.01)")

if __name__ == "__main__":
    main()
