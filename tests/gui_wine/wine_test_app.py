"""The real program's window under Wine: title, client size, centring and
the close request; the error box is modal.

Without a window manager Wine draws no frame: the X window of the top-level
is the Win32 client area. The test asks the Win32 side (frame_metrics.exe)
how large the frame around a caption-and-system-menu window is and how large
the screen is, works out where centring puts the frame, and checks that the
client area's X window sits inside that frame at the right offset. Run in a
Wine desktop window instead, Wine draws the frame itself and the frame's own
place and size are checked; --screenshot takes its picture there.

    python3 wine_test_app.py APP_EXE FRAME_METRICS_EXE [--screenshot PNG] [unittest args]
"""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winegui  # noqa: E402

native = winegui.load_native_test("test_app")
FRAME_METRICS = None
SCREENSHOT = None


def win32_frame(test):
    """(screen width, height), (frame left, top, right, bottom) as the Win32
    side sees them for a caption-and-system-menu window."""
    probe = winegui.launch(test.session, FRAME_METRICS)
    screen = probe.expect_line(r"^screen (\d+) (\d+)$", timeout=60)
    frame = probe.expect_line(r"^frame (\d+) (\d+) (\d+) (\d+)$", timeout=10)
    test.assertEqual(probe.wait_exit(30), 0)
    return tuple(map(int, screen.groups())), tuple(map(int, frame.groups()))


class WineAppWindowTest(native.AppWindowTest):
    def setUp(self):
        self.session = winegui.new_session(size="1024x768x24")
        self.addCleanup(self.session.close)
        self.cwd = tempfile.mkdtemp(prefix="uf-app-")
        self.addCleanup(lambda: os.rmdir(self.cwd))
        self.app = winegui.launch(self.session, native.APP, cwd=self.cwd)
        self.win = self.session.wait_window(native.TITLE, timeout=winegui.START_TIMEOUT)

    def test_window_is_titled_sized_and_centred(self):
        self.assertEqual(self.session.title_of(self.win), native.TITLE)
        geometry = self.session.geometry(self.win)
        self.assertEqual(geometry["map_state"], "IsViewable")
        self.assertEqual((geometry["width"], geometry["height"]), (480, 140))

        (sw, sh), (left, top, right, bottom) = win32_frame(self)
        self.assertEqual((sw, sh), self.session.screen_size())
        # A caption adds to the top, and every side has some border.
        self.assertGreater(top, bottom)
        self.assertGreater(min(left, right, bottom), 0)
        outer_w, outer_h = 480 + left + right, 140 + top + bottom
        outer_x = (sw - min(outer_w, sw)) // 2
        outer_y = (sh - min(outer_h, sh)) // 2
        self.assertEqual((geometry["x"], geometry["y"]), (outer_x + left, outer_y + top))


class WineDesktopFrameTest(unittest.TestCase):
    """In a Wine desktop window Wine draws the frame itself, so the X window
    of the top-level is the whole frame and its place can be measured."""

    def setUp(self):
        self.session = winegui.new_session(size="1024x768x24")
        self.addCleanup(self.session.close)
        self.cwd = tempfile.mkdtemp(prefix="uf-app-")
        self.addCleanup(lambda: os.rmdir(self.cwd))
        self.app = winegui.launch(self.session, "explorer",
                                  ["/desktop=ufdesk,1024x768", native.APP], cwd=self.cwd)
        self.addCleanup(self.app.kill)
        self.win = self.session.wait_window(native.TITLE, timeout=winegui.START_TIMEOUT)

    def test_frame_is_caption_and_border_around_the_client_and_centred(self):
        (sw, sh), (left, top, right, bottom) = win32_frame(self)
        geometry = self.session.geometry(self.win)
        outer_w, outer_h = 480 + left + right, 140 + top + bottom
        self.assertEqual((geometry["width"], geometry["height"]), (outer_w, outer_h))
        self.assertEqual((geometry["x"], geometry["y"]),
                         ((sw - min(outer_w, sw)) // 2, (sh - min(outer_h, sh)) // 2))
        if SCREENSHOT:
            self.session.move_mouse(self.win, 0, 0)
            native.guitest.time.sleep(0.5)
            self.session.screenshot(SCREENSHOT, self.win)


if __name__ == "__main__":
    args = sys.argv[1:]
    if "--screenshot" in args:
        i = args.index("--screenshot")
        SCREENSHOT = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    if len(args) < 2:
        sys.exit("usage: wine_test_app.py APP_EXE FRAME_METRICS_EXE [--screenshot PNG] [...]")
    native.APP = os.path.abspath(args[0])
    FRAME_METRICS = os.path.abspath(args[1])
    unittest.main(argv=[sys.argv[0]] + args[2:], verbosity=2)
