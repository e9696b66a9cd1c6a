"""Native GUI tests of the real program: its window and its close request.

The X server has no window manager, so there is no frame: FLTK places the
client area itself, and the window's X geometry is the client area. The
test checks that the client area is 480 x 140 and centred on the 1024 x 768
screen, i.e. at (272, 314).

    python3 test_app.py APP XCLOSE [--screenshot PNG] [--close-runs N]
"""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guitest  # noqa: E402

APP = None
SCREENSHOT = None
CLOSE_RUNS = 50
TITLE = "Update firmware 1.0"


class AppWindowTest(unittest.TestCase):
    def setUp(self):
        self.session = guitest.Session(size="1024x768x24")
        self.addCleanup(self.session.close)
        # A folder of its own: no trx.fw there, and nothing may be written.
        self.cwd = tempfile.mkdtemp(prefix="uf-app-")
        self.addCleanup(lambda: os.rmdir(self.cwd))
        self.app = self.session.launch([APP], cwd=self.cwd)
        self.win = self.session.wait_window(TITLE)

    def test_window_is_titled_sized_and_centred(self):
        self.assertEqual(self.session.title_of(self.win), TITLE)
        geometry = self.session.geometry(self.win)
        self.assertEqual((geometry["width"], geometry["height"]), (480, 140))
        self.assertEqual((geometry["x"], geometry["y"]), ((1024 - 480) // 2, (768 - 140) // 2))
        if SCREENSHOT:
            self.session.move_mouse(self.win, 0, 0)
            self.session.screenshot(SCREENSHOT, self.win)

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
        self.assertTrue(guitest.wait_until(lambda: not self.session.window_exists(box) or
                                           self.session.geometry(box)["map_state"] != "IsViewable",
                                           10))
        self.session.close_request(self.win)
        self.assertEqual(self.app.wait_exit(10), 0)


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


class SmallScreenTest(unittest.TestCase):
    def test_a_window_wider_than_the_screen_sits_at_0_across(self):
        with guitest.Session(size="400x300x24") as session:
            cwd = tempfile.mkdtemp(prefix="uf-app-")
            try:
                app = session.launch([APP], cwd=cwd)
                win = session.wait_window(TITLE)
                geometry = session.geometry(win)
                self.assertEqual((geometry["x"], geometry["y"]), (0, (300 - 140) // 2))
                session.close_request(win)
                self.assertEqual(app.wait_exit(10), 0)
            finally:
                os.rmdir(cwd)


if __name__ == "__main__":
    args = sys.argv[1:]
    if "--screenshot" in args:
        i = args.index("--screenshot")
        SCREENSHOT = os.path.abspath(args[i + 1])
        del args[i:i + 2]
    if "--close-runs" in args:
        i = args.index("--close-runs")
        CLOSE_RUNS = int(args[i + 1])
        del args[i:i + 2]
    if len(args) < 2:
        sys.exit("usage: test_app.py APP XCLOSE [--screenshot PNG] [--close-runs N] "
                 "[unittest args]")
    APP = os.path.abspath(args[0])
    os.environ["UF_XCLOSE"] = os.path.abspath(args[1])
    unittest.main(argv=[sys.argv[0]] + args[2:], verbosity=2)
