#!/usr/bin/env python3
"""Paced upload benchmark: a real-size image through the real programs over
the line model at 9600 baud, for both builds in one run. Not a test: it
prints figures.

For each build (native; Windows under Wine) and each program (the window
program, update-firmware-cli) it uploads one image (64 KiB by default) to
the simulated bootloader over a pseudo-terminal that the line model
(tools/line-model) makes behave like a UART at the rate the program sets,
and prints:

  ratio   time from the start of the upload to "Information", divided by
          the line limit 0.6 s + bytes x 10 / 9600 s (target <= 1.01).
          Start: the press of UPDATE! (window), the CLI's "Updating ..."
          line (printed once the port is open); end: the box or the line.
  cpu     the program's CPU time (user + system, all its threads, from
          /proc) over that interval, as a share of one core (target <= 5 %).
          Under Wine the program is the process running the .exe; Wine's
          own processes (wineserver, services ...) are shown apart.
          "model" is the part of it spent in the line model's transmitter
          thread, which stands in for the UART and is not the host's work.
  idle    the share of time the line stood idle between the first and the
          last word, from the model's statistics (target <= 1 %).
  ahead   how far the bar ran ahead of what the device had read, at most,
          in bytes (sampled: the CLI's plain progress lines, the window's
          bar read from outside), against max(1 % of the image, 64 bytes).

    bench_paced.py [--native build/native] [--windows build/windows]
                   [--builds native,windows] [--programs window,cli]
                   [--size 65536]

Needs the native build (simulator, line model, xclose) and, for the
Windows figures, the Windows build (its bar_reader.exe too); Xvfb and
xdotool for the window program.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "gui"))
from guikit import gui_e2e, guitest, line_model  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")
WINE_RUN = os.path.join(ROOT, "tests", "scripts", "wine-run.sh")
COM = 16  # the highest name: last in the list on every machine


def niced(args, cmd):
    return cmd if args.nice is None else ["nice", "-n", str(args.nice)] + cmd


def line_limit_s(size):
    return 0.6 + size * 10.0 / 9600.0


def cpu_ticks(pid):
    stat = guitest.process_stat(pid)
    return stat[1] if stat else None


def cmdline(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return ""


def wine_processes(prefix):
    """Processes of the Wine prefix (wineserver and Wine's own programs)."""
    found = set()
    wanted = ("WINEPREFIX=%s" % prefix).encode()
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                if wanted in f.read().split(b"\0"):
                    found.add(int(name))
        except OSError:
            pass
    return found


class CpuMeter:
    """CPU ticks of a set of processes between start() and stop(). The set
    is taken at start() (a process that is ending may no longer show its
    environment), and processes that appear by stop() count from 0."""

    def __init__(self, pick):
        self.pick = pick  # () -> set of pids

    def start(self):
        self.pids = set(self.pick())
        self.before = {pid: t for pid in self.pids for t in [cpu_ticks(pid)] if t is not None}

    def stop(self):
        pids = self.pids | set(self.pick())
        after = {pid: t for pid in pids for t in [cpu_ticks(pid)] if t is not None}
        return sum(t - self.before.get(pid, 0) for pid, t in after.items()) / float(TICKS)


def wine_meters(prefix, exe):
    """Meters for the program under Wine (the process running `exe`, which
    Wine's loader detaches from its starter) and for Wine's other processes
    of the prefix (wineserver, services, winedevice ...)."""
    def program():
        # Wine's loader ("wine64 X.exe ...") until it shows the program's own
        # name; never the shell script that started it.
        return {p for p in wine_processes(prefix)
                if any(exe in word for word in cmdline(p).split(" ")[:2])
                and "wine-run.sh" not in cmdline(p)}

    def others():
        return {p for p in wine_processes(prefix) if p not in program()
                and "wine-run.sh" not in cmdline(p) and "bar_reader" not in cmdline(p)}
    return CpuMeter(program), CpuMeter(others)


class Run:
    """One upload: the device, the model's statistics, the figures."""

    def __init__(self, args, build, program, workdir):
        self.args = args
        self.build = build
        self.program = program
        self.work = os.path.join(workdir, "%s-%s" % (build, program))
        os.makedirs(self.work)
        self.cwd = os.path.join(self.work, "cwd")
        os.makedirs(self.cwd)
        self.image = gui_e2e.firmware(os.path.join(self.cwd, "trx.fw"), args.size, seed=9)
        self.stats = os.path.join(self.work, "line.stats")
        self.log = os.path.join(self.work, "line.log")
        self.received = os.path.join(self.work, "received.bin")
        self.ahead = 0
        self.ahead_after = 0
        self.samples = 0
        self.wine_cpu = None

    def start_device(self, link=None):
        args = [self.args.sim, "--sessions", "1", "--timeout", "300", "--image", self.received,
                "--log", self.log]
        if link:
            args += ["--link", link]
        # The device is niced like the programs: it stands for hardware.
        self.sim = subprocess.Popen(niced(self.args, args), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                    text=True, start_new_session=True)
        self.pty = self.sim.stdout.readline().strip()
        if not self.pty:
            raise RuntimeError("the simulator gave no terminal")
        self.count = line_model.DeviceCount(self.log)

    def stop_device(self):
        try:
            self.sim.wait(timeout=20)
        except subprocess.TimeoutExpired:
            guitest._kill_group(self.sim)
        self.sim.stdout.close()

    def note_bar(self, device_bytes, bar_bytes, device_after=None):
        """device_bytes read before bar_bytes: the lead is never understated.
        device_after, read after the bar, gives the lead as seen afterwards
        (never overstated); a sample whose reading took long (the count moved
        by more than a quarter of the limit meanwhile) gives only that."""
        if device_after is not None:
            self.ahead_after = max(self.ahead_after, bar_bytes - max(device_after - 8, 0))
            if device_after - device_bytes > max(self.args.size // 100, 64) // 4:
                return
        self.samples += 1
        self.ahead = max(self.ahead, bar_bytes - max(device_bytes - 8, 0))

    def model_env(self):
        return line_model.environment(self.args.lib, self.pty, stats=self.stats)

    def report(self, seconds, cpu_s):
        limit = line_limit_s(self.args.size)
        sessions = line_model.sessions(self.stats)
        session = sessions[-1] if sessions else None
        with open(self.received, "rb") as f:
            intact = f.read() == gui_e2e.whole_words(self.image)
        allowed = max(self.args.size // 100, 64)
        fields = ["%-8s %-7s" % (self.build, self.program),
                  "ratio %.4f (%.2f s / %.2f s)" % (seconds / limit, seconds, limit),
                  "cpu %.2f%%" % (100.0 * cpu_s / seconds)]
        if session:
            model_s = session["tx_thread_cpu_ns"] / 1e9
            fields.append("(of which the model's thread %.2f%%: %.2f%% without)"
                          % (100.0 * model_s / seconds, 100.0 * (cpu_s - model_s) / seconds))
        if self.wine_cpu is not None:
            fields.append("wine processes %.2f%%" % (100.0 * self.wine_cpu / seconds))
        if session:
            share = line_model.idle_share(session)
            fields.append("idle %.3f%% (%.1f ms)" % (100.0 * share, line_model.idle_ns(session) / 1e6))
            worst = sorted((g for g in session["gaps"] if g[0] > line_model.FIRST_WORD_BYTE),
                           key=lambda g: -g[1])[:3]
            if worst:
                fields.append("[longest: %s]" % ", ".join("%.1f ms at byte %d" % (ns / 1e6, i)
                                                           for i, ns in worst))
        fields.append("ahead max %d B of %d allowed, %d samples" % (self.ahead, allowed, self.samples))
        if self.program == "window":
            fields.append("(%d B against the count read after the bar, all samples)"
                          % self.ahead_after)
        fields.append("image %s" % ("intact" if intact else "DIFFERS"))
        print("  ".join(fields))
        sys.stdout.flush()


def run_cli(args, build, workdir):
    run = Run(args, build, "cli", workdir)
    env = dict(os.environ)
    if build == "native":
        run.start_device()
        env.update({"UPDATE_FIRMWARE_COM%d" % n: gui_e2e.NOWHERE for n in range(1, 17)})
        env["UPDATE_FIRMWARE_COM%d" % COM] = run.pty
        cmd = [os.path.join(args.native, "cli", "update-firmware-cli")]
    else:
        run.start_device(link=os.path.join(args.prefix, "dosdevices", "com%d" % COM))
        env["WINEPREFIX"] = args.prefix
        cmd = [WINE_RUN, "--prefix=" + args.prefix,
               os.path.join(args.windows, "cli", "update-firmware-cli.exe")]
    env.update(run.model_env())
    proc = subprocess.Popen(niced(args, cmd) + ["flash", "COM%d" % COM, "trx.fw"], cwd=run.cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)
    if build == "native":
        program = CpuMeter(lambda: {proc.pid})
    else:
        program, wine = wine_meters(args.prefix, "update-firmware-cli.exe")
    start = None
    seconds = cpu_s = None
    for line in proc.stderr:
        if start is None and line.startswith("Updating the device"):
            start = time.monotonic()
            program.start()
            if build != "native":
                wine.start()
        elif line.startswith("Sent "):
            # "Sent N of M bytes (P%)": read the device's count first.
            device = run.count()
            run.note_bar(device, int(line.split()[1]))
        elif line.startswith("Information"):
            seconds = time.monotonic() - start
            cpu_s = program.stop()
            if build != "native":
                run.wine_cpu = wine.stop()
        elif line.startswith("ERROR"):
            print("%s cli: %s" % (build, line.strip()))
    proc.wait()
    run.stop_device()
    if seconds is None:
        print("%s cli: no \"Information\"" % build)
        return
    run.report(seconds, cpu_s)


class BarSampler(threading.Thread):
    """Samples the bar against the device's count until stopped."""

    def __init__(self, run, read_bar):
        super().__init__(daemon=True)
        self.run_ = run
        self.read_bar = read_bar  # () -> percent or None
        self.done = threading.Event()

    def run(self):
        size = self.run_.args.size
        while not self.done.wait(0.2):
            device = self.run_.count()
            percent = self.read_bar()
            after = self.run_.count()
            if percent is None or percent <= 0 or percent >= 100:
                continue
            self.run_.note_bar(device, int(size * percent / 100), after)


def run_window(args, build, workdir):
    run = Run(args, build, "window", workdir)
    session = guitest.Session(xclose=os.path.join(args.native, "tests", "gui", "xclose"))
    try:
        if build == "native":
            run.start_device()
            env = {"UPDATE_FIRMWARE_COM%d" % n: gui_e2e.NOWHERE for n in range(1, 17)}
            env["UPDATE_FIRMWARE_COM%d" % COM] = run.pty
            env.update(run.model_env())
            app = session.launch(niced(args, [os.path.join(args.native, "app", "update-firmware")]),
                                 env=env, cwd=run.cwd)
            program = CpuMeter(lambda: {app.pid})
        else:
            prefix = args.prefix + "-gui"
            session.on_close(lambda: subprocess.run(["wineserver", "-w"],
                                                    env=dict(session.env, WINEPREFIX=prefix),
                                                    timeout=60))
            ensure_prefix(prefix)
            run.start_device(link=os.path.join(prefix, "dosdevices", "com%d" % COM))
            env = dict(run.model_env(), WINEPREFIX=prefix)
            exe = os.path.join(args.windows, "app", "update-firmware.exe")
            app = session.launch(niced(args, [WINE_RUN, "--prefix=" + prefix, exe]), env=env,
                                 cwd=run.cwd)
            program, wine = wine_meters(prefix, "update-firmware.exe")
        wid = session.wait_window(gui_e2e.TITLE, timeout=120)
        main = gui_e2e.MainWindow(session, wid, None, box_timeout=60.0)
        time.sleep(1.0 if build == "native" else 3.0)
        if build == "native":
            main.note_empty_row()
            main.click(*gui_e2e.PORT_LIST)
            time.sleep(0.3)
            main.s.key("Down", "Return")
            read_bar = main.bar_percent
        else:
            main.click(*gui_e2e.PORT_LIST)
            time.sleep(0.4)
            main.s.key("Home", "End", "Return")
            reader = subprocess.Popen(
                [WINE_RUN, "--prefix=" + prefix, args.bar_reader],
                env=dict(session.env, WINEPREFIX=prefix), stdin=subprocess.PIPE,
                stdout=subprocess.PIPE, text=True, bufsize=1)
            session.on_close(lambda: (reader.stdin.close(), reader.wait(10)))

            def read_bar():
                reader.stdin.write("?\n")
                reader.stdin.flush()
                value = int(reader.stdout.readline().strip() or -1)
                return value if value >= 0 else None
            read_bar()  # the reader is up before the upload starts
        time.sleep(0.5)
        sampler = BarSampler(run, read_bar)
        program.start()
        if build != "native":
            wine.start()
        pressed = main.press_update()
        sampler.start()
        deadline = pressed + line_limit_s(args.size) * 2 + 60
        title = None
        while time.monotonic() < deadline and title is None:
            for candidate in gui_e2e.OUTCOMES:
                if session.find_windows(candidate):
                    title = candidate
                    break
            else:
                time.sleep(0.02)
        seconds = time.monotonic() - pressed
        cpu_s = program.stop()
        if build != "native":
            run.wine_cpu = wine.stop()
        sampler.done.set()
        sampler.join(10)
        if title != "Information":
            print("%s window: outcome %s" % (build, title))
            return
        box = session.find_windows(title)[-1]
        session.focus(box)
        session.key("Return")
        time.sleep(0.5)
        session.close_request(wid)
        app.wait_exit(20)
        run.stop_device()
        run.report(seconds, cpu_s)
    finally:
        session.close()


def ensure_prefix(prefix):
    if os.path.exists(os.path.join(prefix, "system.reg")):
        return
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    subprocess.run([WINE_RUN, "--prefix=" + prefix, "cmd", "/c", "exit"], env=env,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(["wineserver", "-w"], env=dict(env, WINEPREFIX=prefix), timeout=60)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native", default=os.path.join(ROOT, "build", "native"))
    parser.add_argument("--windows", default=os.path.join(ROOT, "build", "windows"))
    parser.add_argument("--builds", default="native,windows")
    parser.add_argument("--programs", default="window,cli")
    parser.add_argument("--size", type=int, default=64 * 1024)
    parser.add_argument("--line-model", help="the library (default: the native build's)")
    parser.add_argument("--bar-reader", help="bar_reader.exe (default: the Windows build's)")
    parser.add_argument("--wine-prefix", help="default: WINDOWS/wineprefix (and -gui beside it)")
    parser.add_argument("--nice", type=int, default=None,
                        help="run the programs at this nice value (e.g. -10 on a busy machine, "
                             "so that other load does not stall the line)")
    args = parser.parse_args()
    args.native = os.path.abspath(args.native)
    args.windows = os.path.abspath(args.windows)
    args.sim = os.path.join(args.native, "tools", "bootloader-sim", "bootloader-sim")
    args.lib = os.path.abspath(args.line_model) if args.line_model else line_model.library(args.native)
    args.bar_reader = os.path.abspath(args.bar_reader) if args.bar_reader else os.path.join(
        args.windows, "tests", "gui", "bar_reader.exe")
    args.prefix = os.path.abspath(args.wine_prefix) if args.wine_prefix else os.path.join(
        args.windows, "wineprefix")
    for path in (args.sim, args.lib):
        if not os.path.exists(path):
            sys.exit("missing %s: build the native tree first" % path)

    print("%d-byte image, 9600 baud on the line model (queue %s, transmitter FIFO %s); "
          "line limit %.3f s; programs at nice %s; load average %s"
          % (args.size, os.environ.get("LINE_MODEL_QUEUE", "4096"),
             os.environ.get("LINE_MODEL_FIFO", "16"), line_limit_s(args.size),
             args.nice if args.nice is not None else "(unchanged)",
             " ".join("%.1f" % x for x in os.getloadavg())))
    sys.stdout.flush()
    workdir = tempfile.mkdtemp(prefix="uf-bench-paced-")
    try:
        for build in args.builds.split(","):
            if build == "windows":
                ensure_prefix(args.prefix)
            for program in args.programs.split(","):
                (run_window if program == "window" else run_cli)(args, build, workdir)
                if build == "windows":
                    subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=args.prefix),
                                   timeout=60)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
