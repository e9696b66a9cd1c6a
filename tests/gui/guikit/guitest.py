"""Drives GUI programs from outside, the way a person would.

A private Xvfb server, xdotool for the mouse and the keyboard, xwininfo for
geometry, ImageMagick's `import` for screenshots and the small `xclose`
program for the close box (a WM_DELETE_WINDOW request, as a window manager
sends it). Standard library only, so that the native and the Windows-build
(Wine) GUI tests share it.

Every wait has a time-out and everything started is killed at the end:

    with guitest.Session() as s:
        app = s.launch(["build/native/app/update-firmware"])
        win = s.wait_window("Update firmware 1.0")
        s.click(win, 225, 105)
        s.close_request(win)
        assert app.wait_exit(10) == 0

`xclose` is found through the `xclose` argument of Session, else the
environment variable UF_XCLOSE, else it is compiled from tests/gui/xclose.c
into a temporary folder (needs cc and the libX11 headers).
"""

import os
import queue
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Upper bound of every helper command (xdotool, xwininfo, import ...).
TOOL_TIMEOUT = 15


class GuiTestError(Exception):
    pass


def _run(args, env, timeout=TOOL_TIMEOUT, check=True):
    try:
        done = subprocess.run(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=timeout, text=True)
    except subprocess.TimeoutExpired:
        raise GuiTestError("timed out after %ss: %s" % (timeout, " ".join(args)))
    if check and done.returncode != 0:
        raise GuiTestError("%s failed (%d): %s" % (" ".join(args), done.returncode,
                                                   done.stderr.strip()))
    return done


def _kill_group(proc, grace=2.0):
    """Ends a process started in its own session, and everything in that session."""
    if proc.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue


class App:
    """A launched program. Its stdout is collected line by line."""

    def __init__(self, proc, name):
        self.proc = proc
        self.name = name
        self.lines = queue.Queue()
        self.output = []  # every line seen so far, in order
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\r\n"))
        self.lines.put(None)

    @property
    def pid(self):
        return self.proc.pid

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout):
        """The exit code, or None when the program is still running after `timeout` s."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def next_line(self, timeout):
        """The next line of stdout, or None at end of output or after `timeout` s."""
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            return None
        if line is None:
            self.lines.put(None)  # keep reporting the end
            return None
        self.output.append(line)
        return line

    def expect_line(self, pattern, timeout=5.0):
        """Reads lines until one matches the regular expression; returns the match.

        Lines read on the way are kept in `output`. Raises GuiTestError on time-out
        or end of output, naming what was seen."""
        deadline = time.monotonic() + timeout
        seen = []
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            line = self.next_line(left)
            if line is None:
                break
            seen.append(line)
            match = re.search(pattern, line)
            if match:
                return match
        raise GuiTestError("%s: no line matching %r within %ss; saw %r" %
                           (self.name, pattern, timeout, seen))

    def drain(self, quiet=0.3, timeout=5.0):
        """Collects lines until none arrives for `quiet` s; returns them."""
        deadline = time.monotonic() + timeout
        got = []
        while time.monotonic() < deadline:
            line = self.next_line(quiet)
            if line is None:
                break
            got.append(line)
        return got

    def kill(self):
        _kill_group(self.proc)
        # The reader ends at end of output; a straggler holding the pipe
        # must not hold the test up.
        self._reader.join(2)
        if not self._reader.is_alive():
            self.proc.stdout.close()


class Session:
    """A private X server and the programs started on it."""

    def __init__(self, size="1024x768x24", xclose=None, keep_env=True):
        self.size = size
        self._xclose = xclose or os.environ.get("UF_XCLOSE")
        self._tmp = tempfile.mkdtemp(prefix="guitest-")
        self._apps = []
        self._cleanups = []
        self._xvfb = None
        self.display = None
        base = dict(os.environ) if keep_env else {"PATH": os.environ.get("PATH", "")}
        self.env = base
        self._start_xvfb()

    # ---- server ---------------------------------------------------------

    def _start_xvfb(self):
        if not shutil.which("Xvfb"):
            raise GuiTestError("Xvfb not installed")
        read_fd, write_fd = os.pipe()
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.size, "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 15
        try:
            while not number.endswith(b"\n"):
                if time.monotonic() > deadline or self._xvfb.poll() is not None:
                    raise GuiTestError("Xvfb did not start")
                ready, _, _ = select.select([read_fd], [], [], 0.5)
                if ready:
                    chunk = os.read(read_fd, 64)
                    if not chunk:
                        raise GuiTestError("Xvfb did not report its display")
                    number += chunk
        except BaseException:
            os.close(read_fd)
            _kill_group(self._xvfb)
            raise
        os.close(read_fd)
        self.display = ":" + number.decode().strip()
        self.env["DISPLAY"] = self.display
        # A program must not reach the developer's session bus or X server.
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("XAUTHORITY", None)

    def close(self):
        for app in reversed(self._apps):
            app.kill()
        for fn in reversed(self._cleanups):
            try:
                fn()
            except Exception as error:  # cleanup goes on
                print("guitest: cleanup failed: %s" % error, file=sys.stderr)
        if self._xvfb:
            _kill_group(self._xvfb)
        shutil.rmtree(self._tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def on_close(self, fn):
        """Runs fn() when the session ends, before the X server goes (e.g. wineserver -k)."""
        self._cleanups.append(fn)

    # ---- programs -------------------------------------------------------

    def launch(self, args, env=None, cwd=None, name=None):
        """Starts a program on this display in its own process group.

        stdout is read by the App; stderr goes to a file that `stderr_of` returns."""
        full_env = dict(self.env)
        if env:
            full_env.update(env)
        full_env["DISPLAY"] = self.display
        err_path = os.path.join(self._tmp, "stderr-%d.txt" % len(self._apps))
        err = open(err_path, "w")
        proc = subprocess.Popen(args, env=full_env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=err, text=True, bufsize=1,
                                errors="replace", start_new_session=True)
        err.close()
        app = App(proc, name or os.path.basename(args[0]))
        app.stderr_path = err_path
        self._apps.append(app)
        return app

    @staticmethod
    def stderr_of(app):
        return read_text(app.stderr_path)

    def run_tool(self, args, timeout=TOOL_TIMEOUT, check=True):
        """Runs a helper command on this display and returns its CompletedProcess."""
        return _run(args, self.env, timeout=timeout, check=check)

    # ---- windows --------------------------------------------------------

    def find_windows(self, title, visible_only=True):
        """Ids of the windows whose title is exactly `title` (may be empty)."""
        args = ["xdotool", "search"]
        if visible_only:
            args.append("--onlyvisible")
        args += ["--name", "^" + re.escape(title) + "$"]
        done = self.run_tool(args, check=False)
        return [int(w) for w in done.stdout.split()]

    def wait_window(self, title, timeout=20.0, visible_only=True):
        """Waits for one window whose title is exactly `title`; returns its id."""
        deadline = time.monotonic() + timeout
        while True:
            found = self.find_windows(title, visible_only)
            if found:
                return found[-1]
            if time.monotonic() > deadline:
                raise GuiTestError("no window titled %r within %ss" % (title, timeout))
            time.sleep(0.1)

    def wait_no_window(self, title, timeout=10.0):
        """Waits until no visible window has this title; returns whether that happened."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.find_windows(title):
                return True
            time.sleep(0.1)
        return False

    def window_exists(self, wid):
        return self.run_tool(["xwininfo", "-id", str(wid)], check=False).returncode == 0

    def is_viewable(self, wid):
        """Whether the window is there and mapped, asked once: a window can
        go between two questions."""
        done = self.run_tool(["xwininfo", "-id", str(wid)], check=False)
        return done.returncode == 0 and re.search(r"Map State:\s*IsViewable", done.stdout) is not None

    def geometry(self, wid):
        """The window's position on the screen and size, from xwininfo:
        dict(x, y, width, height, map_state)."""
        out = self.run_tool(["xwininfo", "-id", str(wid)]).stdout

        def field(label):
            m = re.search(r"^\s*" + re.escape(label) + r":\s*(-?\w+)", out, re.M)
            if not m:
                raise GuiTestError("xwininfo gave no %r for %s" % (label, wid))
            return m.group(1)
        return {
            "x": int(field("Absolute upper-left X")),
            "y": int(field("Absolute upper-left Y")),
            "width": int(field("Width")),
            "height": int(field("Height")),
            "map_state": field("Map State"),
        }

    def screen_size(self):
        out = self.run_tool(["xdotool", "getdisplaygeometry"]).stdout.split()
        return int(out[0]), int(out[1])

    def title_of(self, wid):
        return self.run_tool(["xdotool", "getwindowname", str(wid)]).stdout.rstrip("\n")

    # ---- input ----------------------------------------------------------

    def click(self, wid, x, y, button=1):
        """Clicks at (x, y) relative to the window's top-left corner."""
        self.run_tool(["xdotool", "mousemove", "--window", str(wid), str(x), str(y),
                       "click", str(button)])

    def move_mouse(self, wid, x, y):
        self.run_tool(["xdotool", "mousemove", "--window", str(wid), str(x), str(y)])

    def focus(self, wid):
        """Gives the X keyboard focus to the window (there is no window manager to do it)."""
        self.run_tool(["xdotool", "windowfocus", str(wid)])
        time.sleep(0.1)

    def key(self, *keys, delay_ms=30):
        """Presses keys (xdotool names: Tab, shift+Tab, Return, space, Down ...)
        on whatever window has the X keyboard focus."""
        self.run_tool(["xdotool", "key", "--delay", str(delay_ms)] + list(keys))

    def type_text(self, text, delay_ms=30):
        self.run_tool(["xdotool", "type", "--delay", str(delay_ms), text])

    def close_request(self, wid):
        """What the close box does: sends WM_DELETE_WINDOW to the window."""
        self.run_tool([self.xclose_path(), str(wid)])

    def close_on_map(self, title, timeout=TOOL_TIMEOUT):
        """Watches for the next window titled `title` and sends it the close
        request the moment it is mapped, while its program may still be
        starting up. Start the program after this returns; `wait()` on the
        result gives the id of the window that got the request."""
        proc = subprocess.Popen([self.xclose_path(), "--on-map", title], env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)
        self._cleanups.append(lambda: _kill_group(proc))
        closer = _CloseOnMap(proc)
        if closer.line(timeout) != "ready":
            raise GuiTestError("xclose --on-map did not start: %s" % proc.stderr.read())
        return closer

    def xclose_path(self):
        if self._xclose and os.access(self._xclose, os.X_OK):
            return self._xclose
        source = os.path.join(HERE, "..", "xclose.c")
        built = os.path.join(self._tmp, "xclose")
        compiler = shutil.which("cc") or shutil.which("gcc")
        if not compiler:
            raise GuiTestError("no xclose: set UF_XCLOSE or install a C compiler")
        _run([compiler, "-O1", "-o", built, source, "-lX11"], self.env, timeout=60)
        self._xclose = built
        return built

    # ---- pictures -------------------------------------------------------

    def screenshot(self, path, wid=None):
        """Writes a PNG of the whole screen, or of one window."""
        target = "root" if wid is None else str(wid)
        self.run_tool(["import", "-window", target, path], timeout=30)
        return path


class _CloseOnMap:
    def __init__(self, proc):
        self.proc = proc

    def line(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        return self.proc.stdout.readline().strip() if ready else None

    def wait(self, timeout=20.0):
        """The id of the window that got the close request."""
        line = self.line(timeout)
        if not line:
            _kill_group(self.proc)
            raise GuiTestError("no window was mapped within %ss" % timeout)
        self.proc.wait(TOOL_TIMEOUT)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return int(line, 16)


def read_text(path):
    """The file's text, or "" when there is none to read."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""



def process_stat(pid):
    """(ppid, utime + stime in clock ticks) of a process, or None when it is
    gone; for the benchmarks' CPU figures."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            data = f.read()
    except OSError:
        return None
    # The command name is in parentheses and may hold spaces.
    fields = data[data.rindex(")") + 2:].split()
    return int(fields[1]), int(fields[11]) + int(fields[12])


def wait_until(predicate, timeout, interval=0.1):
    """Polls predicate() until it is true (returns True) or `timeout` s pass (False)."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
