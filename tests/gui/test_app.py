"""GUI tests of the real program: its window and its close request, for the
native build and, with --wine, the Windows build under Wine.

Natively the X server has no window manager, so there is no frame: FLTK
places the client area itself, and the window's X geometry is the client
area, 480 x 140 and centred on the 1024 x 768 screen, i.e. at (272, 314).

Under Wine, without a window manager Wine draws no frame either: the X
window of the top-level is the Win32 client area. The test asks the Win32
side (--frame-metrics, frame_metrics.exe) how large the frame around a
caption-and-system-menu window is and how large the screen is, works out
where centring puts the frame, and checks that the client area's X window
sits inside that frame at the right offset. Run in a Wine desktop window
instead, Wine draws the frame itself and the frame's own place and size are
checked.

    python3 test_app.py [--wine] [--frame-metrics EXE] [--screenshot PNG] APP
(UF_XCLOSE names the xclose helper; UF_CLOSE_RUNS how many start-up close
requests to try, 50 by default.)
"""

import os
import sys
import tempfile
import unittest

from guikit import guitest, launch
from guikit.launch import only

LAUNCHER = None
APP = None
FRAME_METRICS = None
SCREENSHOT = None
CLOSE_RUNS = int(os.environ.get("UF_CLOSE_RUNS", "50"))
TITLE = "Update firmware 1.0"


def win32_frame(test):
    """(screen width, height), (frame left, top, right, bottom) as the Win32
    side sees them for a caption-and-system-menu window."""
    probe = LAUNCHER.launch(test.session, FRAME_METRICS)
    screen = probe.expect_line(r"^screen (\d+) (\d+)$", timeout=60)
    frame = probe.expect_line(r"^frame (\d+) (\d+) (\d+) (\d+)$", timeout=10)
    test.assertEqual(probe.wait_exit(30), 0)
    return tuple(map(int, screen.groups())), tuple(map(int, frame.groups()))


class AppCase(unittest.TestCase):
    """The program started in a folder of its own: no trx.fw there, and
    nothing may be written."""

    def start(self, program, args=(), size="1024x768x24"):
        self.session = LAUNCHER.new_session(size=size)
        self.addCleanup(self.session.close)
        self.cwd = tempfile.mkdtemp(prefix="uf-app-")
        self.addCleanup(lambda: os.rmdir(self.cwd))
        self.app = LAUNCHER.launch(self.session, program, args, cwd=self.cwd)
        self.win = self.session.wait_window(TITLE, timeout=LAUNCHER.start_timeout)

    def screenshot(self):
        if SCREENSHOT:
            self.session.move_mouse(self.win, 0, 0)
            guitest.time.sleep(0.5)
            self.session.screenshot(SCREENSHOT, self.win)


class AppWindowTest(AppCase):
    def setUp(self):
        self.start(APP)

    def test_window_is_titled_sized_and_centred(self):
        self.assertEqual(self.session.title_of(self.win), TITLE)
        geometry = self.session.geometry(self.win)
        self.assertEqual(geometry["map_state"], "IsViewable")
        self.assertEqual((geometry["width"], geometry["height"]), (480, 140))
        if LAUNCHER.name == "native":
            self.assertEqual((geometry["x"], geometry["y"]),
                             ((1024 - 480) // 2, (768 - 140) // 2))
            self.screenshot()
            return
        (sw, sh), (left, top, right, bottom) = win32_frame(self)
        self.assertEqual((sw, sh), self.session.screen_size())
        # A caption adds to the top, and every side has some border.
        self.assertGreater(top, bottom)
        self.assertGreater(min(left, right, bottom), 0)
        outer_w, outer_h = 480 + left + right, 140 + top + bottom
        outer_x = (sw - min(outer_w, sw)) // 2
        outer_y = (sh - min(outer_h, sh)) // 2
        self.assertEqual((geometry["x"], geometry["y"]), (outer_x + left, outer_y + top))

    def test_close_request_ends_the_program_with_exit_code_0(self):
        self.session.close_request(self.win)
        self.assertEqual(self.app.wait_exit(10), 0)
        self.assertEqual(os.listdir(self.cwd), [])

    def test_message_box_is_modal_and_the_program_goes_on_after_it(self):
        # No firmware file here: the update ends in a numbered error box.
        self.session.click(self.win, 240, 110)
        box = None
        for _ in range(50):
            for n in range(1, 7):
                found = self.session.find_windows("ERROR:%d" % n)
                if found:
                    box = found[0]
                    break
            if box:
                break
            guitest.time.sleep(0.1)
        self.assertIsNotNone(box, "no ERROR:n box")
        # While the box is up the main window takes no close request.
        self.session.close_request(self.win)
        self.assertIsNone(self.app.wait_exit(1))
        self.session.focus(box)
        self.session.key("Return")
        self.assertTrue(guitest.wait_until(lambda: not self.session.is_viewable(box), 10))
        self.session.close_request(self.win)
        self.assertEqual(self.app.wait_exit(10), 0)


@only("native")
class CloseRequestTest(unittest.TestCase):
    """Close requests that come while the program is busy elsewhere: still
    starting up and probing its ports, or with the port list open."""

    def setUp(self):
        # Every COM name opens, so the probe has sixteen ports to try and list.
        self.env = {}
        for n in range(1, 17):
            master, slave = os.openpty()
            self.env["UPDATE_FIRMWARE_COM%d" % n] = os.ttyname(slave)
            os.close(slave)
            self.addCleanup(os.close, master)
        self.cwd = tempfile.mkdtemp(prefix="uf-app-")
        self.addCleanup(os.rmdir, self.cwd)
        self.session = guitest.Session(size="1024x768x24")
        self.addCleanup(self.session.close)

    def test_close_request_the_moment_the_window_appears(self):
        for run in range(1, CLOSE_RUNS + 1):
            closer = self.session.close_on_map(TITLE)
            app = self.session.launch([APP], env=self.env, cwd=self.cwd)
            win = closer.wait()
            code = app.wait_exit(10)
            if code is None:
                self.session.close_request(win)
                again = app.wait_exit(10)
                self.fail("run %d of %d: the close request was lost (a second one %s)" %
                          (run, CLOSE_RUNS, "ended it" if again is not None else
                           "did not end it either"))
            self.assertEqual(code, 0, "run %d" % run)

    def test_close_request_while_the_port_list_is_open(self):
        app = self.session.launch([APP], env=self.env, cwd=self.cwd)
        win = self.session.wait_window(TITLE)

        def top_levels():
            return self.session.run_tool(["xdotool", "search", "--onlyvisible", "--maxdepth",
                                          "1", "--name", ""]).stdout.split()
        before = len(top_levels())
        self.session.click(win, 45, 20)
        self.assertTrue(guitest.wait_until(lambda: len(top_levels()) > before, 10),
                        "the port list did not open")
        self.session.close_request(win)
        self.assertEqual(app.wait_exit(10), 0)


@only("native")
class SmallScreenTest(AppCase):
    def test_a_window_wider_than_the_screen_sits_at_0_across(self):
        self.start(APP, size="400x300x24")
        geometry = self.session.geometry(self.win)
        self.assertEqual((geometry["x"], geometry["y"]), (0, (300 - 140) // 2))
        self.session.close_request(self.win)
        self.assertEqual(self.app.wait_exit(10), 0)


@only("wine")
class WineDesktopFrameTest(AppCase):
    """In a Wine desktop window Wine draws the frame itself, so the X window
    of the top-level is the whole frame and its place can be measured."""

    def setUp(self):
        self.start("explorer", ["/desktop=ufdesk,1024x768", APP])
        self.addCleanup(self.app.kill)

    def test_frame_is_caption_and_border_around_the_client_and_centred(self):
        (sw, sh), (left, top, right, bottom) = win32_frame(self)
        geometry = self.session.geometry(self.win)
        outer_w, outer_h = 480 + left + right, 140 + top + bottom
        self.assertEqual((geometry["width"], geometry["height"]), (outer_w, outer_h))
        self.assertEqual((geometry["x"], geometry["y"]),
                         ((sw - min(outer_w, sw)) // 2, (sh - min(outer_h, sh)) // 2))
        self.screenshot()


if __name__ == "__main__":
    launch.run(sys.modules[__name__], ["APP"], ["frame-metrics", "screenshot"])
