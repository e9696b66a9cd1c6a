"""What the GUI end-to-end tests share, natively and under Wine: simulated
devices behind COM names, firmware files, and the moves a person makes in
the program's window (pick a port, edit the path, press a button, read and
dismiss the outcome box).

The window is driven only from outside, through guitest.Session; the device
is tools/bootloader-sim, one process per configuration.
"""
import os
import subprocess
import sys
import tempfile
import time

from guikit import guitest, line_model

TITLE = "Update firmware 1.0"
CHOOSER_TITLE = "Please choose file to load"
OUTCOMES = ("ERROR:1", "ERROR:2", "ERROR:3", "ERROR:4", "ERROR:5", "ERROR:6", "Information")

# Client coordinates of the controls' centres.
PORT_LIST = (45, 20)
PATH_FIELD = (230, 20)
OPEN_BUTTON = (425, 20)
UPDATE_BUTTON = (240, 110)
# The progress bar's place in the client area: a row across its middle.
BAR_ROW = (10, 65, 460)  # x, y, width
# Two patches of the progress bar, near its left and its right end.
BAR_PATCHES = ((14, 58), (458, 58))
BAR_PATCH_SIZE = (8, 14)

# Every COM name of the program; tests map the ones they do not use to
# this, so that what the machine has does not matter.
NOWHERE = "/nonexistent/uf-no-port"


def firmware(path, size, seed=None):
    """Writes `size` pseudo-random bytes to `path`; returns them."""
    import random
    rng = random.Random(seed if seed is not None else size)
    data = bytes(rng.randrange(256) for _ in range(size))
    with open(path, "wb") as f:
        f.write(data)
    return data


def whole_words(data):
    """What a device receives of a file: its words; an odd last byte is never sent."""
    return data[:len(data) // 2 * 2]


class Device:
    """A simulated bootloader on a pseudo-terminal, serving `sessions` uploads.

    `link`, when given, is made a symbolic link to the terminal (Wine's
    dosdevices/comN)."""

    def __init__(self, sim, workdir, name, options=(), sessions=2, link=None, timeout=180,
                 log=False):
        self.name = name
        self.image_path = os.path.join(workdir, name + ".image")
        self.stderr_path = os.path.join(workdir, name + ".sim.txt")
        # With `log`, the device's byte-per-line log, read live by received().
        self.log_path = os.path.join(workdir, name + ".line.log") if log else None
        args = [sim, "--sessions", str(sessions), "--timeout", str(timeout),
                "--image", self.image_path]
        if log:
            args += ["--log", self.log_path]
            self.received = line_model.DeviceCount(self.log_path)
        if link:
            args += ["--link", link]
        args += list(options)
        with open(self.stderr_path, "w") as err:
            self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=err, text=True,
                                         start_new_session=True)
        self.path = self._first_line(15)
        if not self.path:
            self.kill()
            raise guitest.GuiTestError("simulator %s gave no terminal: %s" %
                                       (name, self.log()))

    def _first_line(self, timeout):
        import select
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        return self.proc.stdout.readline().strip() if ready else ""

    def image(self):
        try:
            with open(self.image_path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def log(self):
        return guitest.read_text(self.stderr_path)

    def sessions_seen(self):
        return sum(1 for line in self.log().splitlines() if ": session " in line)

    def finish(self, timeout=20):
        """Exit code once the device is done, or None if it was still running
        after `timeout` s (then it is killed)."""
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            return None

    def kill(self):
        guitest._kill_group(self.proc)
        self.proc.stdout.close()


class Devices:
    """Several devices, each behind one COM name, killed at the end."""

    def __init__(self, sim, workdir, link_dir=None):
        self.sim = sim
        self.workdir = workdir
        self.link_dir = link_dir  # Wine's dosdevices, else None: use the environment
        self.by_com = {}

    def add(self, com, options=(), sessions=2, log=False):
        link = os.path.join(self.link_dir, "com%d" % com) if self.link_dir else None
        device = Device(self.sim, self.workdir, "com%d" % com, options, sessions, link, log=log)
        self.by_com[com] = device
        return device

    def environment(self):
        """UPDATE_FIRMWARE_COMn for every name: ours to our terminals, the rest nowhere."""
        env = {"UPDATE_FIRMWARE_COM%d" % n: NOWHERE for n in range(1, 17)}
        for com, device in self.by_com.items():
            env["UPDATE_FIRMWARE_COM%d" % com] = device.path
        return env

    def finish_all(self, timeout=20):
        """{com: exit code} once every device has ended."""
        return {com: d.finish(timeout) for com, d in sorted(self.by_com.items())}

    def kill_all(self):
        for device in self.by_com.values():
            device.kill()


class MainWindow:
    """The program's window as a person sees it from outside.

    `pick_port` differs between the FLTK and the Win32 drop-down list and is
    given by the test: pick_port(window, index) selects the index-th item.
    `origin` is where the client area starts inside the X window: (0, 0)
    without a window manager, the frame's left and top in a Wine desktop."""

    def __init__(self, session, wid, test, box_timeout=30.0, origin=(0, 0)):
        self.s = session
        self.wid = wid
        self.t = test
        self.box_timeout = box_timeout
        self.origin = origin

    def click(self, x, y):
        """Clicks at client coordinates (x, y)."""
        self.s.click(self.wid, x + self.origin[0], y + self.origin[1])

    # ---- inputs ---------------------------------------------------------

    def set_path(self, text):
        """Clicks into the path field, selects all of it and types over it."""
        self.click(*PATH_FIELD)
        time.sleep(0.2)
        self.s.key("End", "shift+Home")
        if text:
            self.s.type_text(text)
        else:
            self.s.key("BackSpace")
        time.sleep(0.2)

    def press_update(self):
        # Timed from before the click: on a loaded machine the click tool may
        # return well after the program has the click, and a time taken after
        # it would make an outcome look early.
        pressed = time.monotonic()
        self.click(*UPDATE_BUTTON)
        return pressed

    def press_open(self):
        self.click(*OPEN_BUTTON)

    # ---- the outcome box ------------------------------------------------

    def wait_outcome(self, timeout=None):
        """(title, window id, time seen) of the first outcome box to appear."""
        deadline = time.monotonic() + (timeout or self.box_timeout)
        while time.monotonic() < deadline:
            for title in OUTCOMES:
                found = self.s.find_windows(title)
                if found:
                    return title, found[-1], time.monotonic()
            time.sleep(0.05)
        raise guitest.GuiTestError("no outcome box within %ss" % (timeout or self.box_timeout))

    def others_shown(self, title):
        return [t for t in OUTCOMES if t != title and self.s.find_windows(t)]

    def dismiss(self, box, title, by_click=False):
        """Closes the box with Return (or a click on its centred OK button)
        and waits until it is gone."""
        if by_click:
            g = self.s.geometry(box)
            self.s.click(box, g["width"] // 2, g["height"] - 28)
        else:
            self.s.focus(box)
            self.s.key("Return")
        gone = guitest.wait_until(lambda: not self.s.find_windows(title), 10)
        self.t.assertTrue(gone, "the %s box did not close" % title)
        time.sleep(0.3)  # let the program finish its clean-up

    def update_expect(self, expected, within=(0.0, None), dismiss_by_click=False,
                      while_shown=None):
        """Presses UPDATE!, expects exactly the box `expected` after a time in
        `within` (seconds from the click), calls while_shown(box) if given,
        dismisses the box. Returns the seconds taken."""
        pressed = self.press_update()
        low, high = within
        title, box, seen = self.wait_outcome(timeout=(high or 0) + self.box_timeout)
        seconds = seen - pressed
        self.t.assertEqual(title, expected, "outcome after %.1f s" % seconds)
        self.t.assertEqual(self.others_shown(title), [], "more than one outcome box")
        self.t.assertGreaterEqual(seconds, low, "%s came too early" % title)
        if high is not None:
            self.t.assertLessEqual(seconds, high, "%s came too late" % title)
        if while_shown:
            while_shown(box)
        self.dismiss(box, title, by_click=dismiss_by_click)
        return seconds

    # ---- the progress bar -----------------------------------------------

    def bar_colours(self, patches=BAR_PATCHES):
        """Mean colour (r, g, b, 0-255) of each bar patch, given by the
        client coordinates of its corner."""
        shot = os.path.join(tempfile.gettempdir(), "uf-bar-%d-%d.png" % (os.getpid(), self.wid))
        try:
            self.s.screenshot(shot, self.wid)
            colours = []
            w, h = BAR_PATCH_SIZE
            for x, y in patches:
                crop = "%dx%d+%d+%d" % (w, h, x + self.origin[0], y + self.origin[1])
                out = self.s.run_tool(
                    ["convert", shot, "-crop", crop, "+repage", "-scale", "1x1!", "-format",
                     "%[fx:int(255*r+.5)] %[fx:int(255*g+.5)] %[fx:int(255*b+.5)]", "info:"])
                colours.append(tuple(int(v) for v in out.stdout.split()))
            return tuple(colours)
        finally:
            if os.path.exists(shot):
                os.unlink(shot)

    def note_empty_bar(self):
        """Remembers the colour of the bar at 0 (both ends alike); call while idle."""
        left, right = self.bar_colours()
        self.t.assertLess(_distance(left, right), 30, "the bar does not start empty")
        self.empty_colour = left

    def bar_filled(self, patches=BAR_PATCHES):
        """For each patch, whether it shows the fill rather than the empty bar."""
        return [_distance(c, self.empty_colour) > 60 for c in self.bar_colours(patches)]

    def bar_row(self):
        """The colours (r, g, b) of the pixels across the middle of the bar."""
        x, y, width = BAR_ROW
        shot = os.path.join(tempfile.gettempdir(), "uf-row-%d-%d.png" % (os.getpid(), self.wid))
        try:
            self.s.screenshot(shot, self.wid)
            out = self.s.run_tool(["convert", shot, "-crop", "%dx1+%d+%d" % (
                width, x + self.origin[0], y + self.origin[1]), "+repage", "-depth", "8",
                "txt:-"]).stdout
        finally:
            if os.path.exists(shot):
                os.unlink(shot)
        row = []
        for line in out.splitlines()[1:]:
            values = line.split("(", 1)[1].split(")", 1)[0].split(",")[:3]
            row.append(tuple(int(round(float(v.strip().rstrip("%")))) for v in values))
        return row

    def note_empty_row(self):
        """Remembers the bar's row at 0; call while idle."""
        self.empty_row = self.bar_row()

    def bar_percent(self):
        """The share of the bar that shows the fill, in percent (a float),
        counted as the pixels of its row that differ from the row at 0. For a
        bar that fills smoothly across its whole width (FLTK's)."""
        row = self.bar_row()
        filled = sum(1 for a, b in zip(row, self.empty_row) if _distance(a, b) > 60)
        return 100.0 * filled / len(self.empty_row)

    def assert_bar_empty(self, *_):
        self.t.assertEqual(self.bar_filled(), [False, False], "the bar is not at 0")

    def assert_bar_full(self, *_):
        self.t.assertEqual(self.bar_filled(), [True, True], "the bar is not at 100")


def _distance(a, b):
    return sum(abs(x - y) for x, y in zip(a, b))


# ---- a full-size image over the line model --------------------------------

PACED_SIZE = 64 * 1024


def allowed_lead(size):
    """How far the bar may run ahead of the device: 1 % of the image, at
    least 64 bytes."""
    return max(size // 100, 64)


def watch_paced_upload(test, main, device, read_bar, size, timeout):
    """After UPDATE! was pressed: samples the bar against the device's count
    until the outcome box comes, and checks each sample. `read_bar` gives the
    bar in percent (None when it cannot tell).

    The device's count is read just before and just after the bar. Against
    the count after, the bar's lead is never overstated, and it must stay
    within the limit in every sample. Against the count before, it is never
    understated: that strict check is made on the samples whose reading took
    less than a quarter of the limit's worth of line time, of which there
    must be a few. Returns (title, box, strict samples, largest strict lead
    in bytes)."""
    allowed = allowed_lead(size)
    deadline = time.monotonic() + timeout
    strict = 0
    largest = 0
    while time.monotonic() < deadline:
        for title in OUTCOMES:
            found = main.s.find_windows(title)
            if found:
                test.assertGreaterEqual(strict, 5, "too few quick readings of the bar")
                return title, found[-1], strict, largest
        before = max(device.received() - 8, 0)  # "BL10" and the size come first
        percent = read_bar()
        after = max(device.received() - 8, 0)
        if percent is None or percent <= 0:
            time.sleep(0.1)
            continue
        shown = int(size * min(percent, 100.0) / 100)
        test.assertLessEqual(shown - after, allowed,
                             "the bar showed %.2f %% while the device had read %d of %d bytes"
                             % (percent, after, size))
        if after - before <= allowed // 4:
            strict += 1
            largest = max(largest, shown - before)
            test.assertLessEqual(shown - before, allowed,
                                 "the bar showed %.2f %% while the device had read %d of %d bytes"
                                 % (percent, before, size))
        time.sleep(0.1)
    raise guitest.GuiTestError("no outcome box within %ss" % timeout)

