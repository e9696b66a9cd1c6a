"""The Windows build end to end under Wine, driven from outside like the
native one: simulated bootloaders (native processes) behind COM names that
Wine finds as links in its prefix's dosdevices folder, the outcomes read off
the titles of the Win32 message boxes.

Wine lists COM1 for the machine's /dev/ttyS0 when there is one, so the
devices sit at the top of the range (COM12 to COM16) and are picked counting
from the end of the list.

    python3 wine_test_gui_e2e.py APP_EXE SIM [unittest args]
(UF_WINE_RUN, UF_WINEPREFIX_GUI and UF_XCLOSE as for tests/gui_wine.)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "gui_wine"))
import gui_e2e  # noqa: E402
import winegui  # noqa: E402

APP = None
SIM = None


def ensure_prefix():
    """Wine makes dosdevices only when it creates the prefix (and not in a
    folder that is already there), so the prefix has to exist before a
    device can be linked into it. Made without a display, so that nothing
    stays tied to an X server."""
    if os.path.exists(os.path.join(winegui.PREFIX, "system.reg")):
        return
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    subprocess.run([winegui.WINE_RUN, "--prefix=" + winegui.PREFIX, "cmd", "/c", "exit"],
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(["wineserver", "-w"], env=dict(env, WINEPREFIX=winegui.PREFIX), timeout=60)


def pick_port_win32(main, from_end):
    """Opens the list with a click and picks the item `from_end` places
    before the last: Home and End first, since in a list with no selection
    Wine's first key only selects the first item."""
    main.click(*gui_e2e.PORT_LIST)
    time.sleep(0.4)
    main.s.key(*(["Home", "End"] + ["Up"] * from_end + ["Return"]))
    time.sleep(0.3)


class WineGuiEndToEnd(unittest.TestCase):
    def setUp(self):
        ensure_prefix()
        self.work = tempfile.mkdtemp(prefix="uf-wine-gui-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.cwd = os.path.join(self.work, "cwd")
        os.mkdir(self.cwd)
        self.fw = gui_e2e.firmware(os.path.join(self.cwd, "trx.fw"), 1001)
        self.devices = gui_e2e.Devices(SIM, self.work,
                                       link_dir=os.path.join(winegui.PREFIX, "dosdevices"))
        self.addCleanup(self.devices.kill_all)

    def start(self):
        self.session = winegui.new_session()
        self.addCleanup(self.session.close)
        self.app = winegui.launch(self.session, APP, cwd=self.cwd)
        self.addCleanup(self.app.kill)
        wid = self.session.wait_window(gui_e2e.TITLE, timeout=winegui.START_TIMEOUT)
        # Wine may need longer than the native program to show a box.
        self.main = gui_e2e.MainWindow(self.session, wid, self, box_timeout=60.0)
        time.sleep(1.0)
        self.main.note_empty_bar()
        return self.main

    def test_outcomes_and_a_fresh_run_after_each(self):
        # From the end of the list: COM16 good, COM15 wrong final reply,
        # COM14 wrong start reply, COM13 silent, COM12 no final reply.
        self.devices.add(12, ["--no-final"], sessions=1)
        self.devices.add(13, ["--silent"])
        self.devices.add(14, ["--start-reply", "4F4C"])
        self.devices.add(15, ["--final-reply", "6F6B"])
        good = self.devices.add(16)
        main = self.start()

        main.update_expect("ERROR:2", within=(0, 10))
        main.update_expect("ERROR:2", within=(0, 10), dismiss_by_click=True)

        pick_port_win32(main, 0)
        main.set_path("no-such.fw")
        main.update_expect("ERROR:1", within=(0, 3))
        main.update_expect("ERROR:1", within=(0, 3))
        main.set_path("trx.fw")

        main.update_expect("Information", within=(0.5, 20.0), while_shown=main.assert_bar_full)
        self.assertEqual(good.image(), gui_e2e.whole_words(self.fw))
        main.assert_bar_empty()
        os.truncate(good.image_path, 0)
        main.update_expect("Information", within=(0.5, 20.0))
        self.assertEqual(good.image(), gui_e2e.whole_words(self.fw))

        pick_port_win32(main, 3)
        main.update_expect("ERROR:3", within=(5.0, 15.0))
        main.update_expect("ERROR:3", within=(5.0, 15.0))

        pick_port_win32(main, 2)
        main.update_expect("ERROR:4", within=(0.4, 6.0))
        main.update_expect("ERROR:4", within=(0.4, 6.0))

        pick_port_win32(main, 1)
        main.update_expect("ERROR:6", within=(0.5, 20.0), while_shown=main.assert_bar_full)
        main.update_expect("ERROR:6", within=(0.5, 20.0))

        pick_port_win32(main, 4)
        main.update_expect("ERROR:5", within=(5.0, 25.0))

        self.session.close_request(main.wid)
        self.assertEqual(self.app.wait_exit(20), 0)
        codes = self.devices.finish_all(20)
        expected_sessions = {12: 1, 13: 2, 14: 2, 15: 2, 16: 2}
        for com, device in self.devices.by_com.items():
            self.assertEqual(codes[com], 0, "device COM%d: %s" % (com, device.log()))
            self.assertEqual(device.sessions_seen(), expected_sessions[com],
                             "device COM%d: %s" % (com, device.log()))


@unittest.skipUnless(os.environ.get("UF_LINE_MODEL") and os.environ.get("UF_BAR_READER"),
                     "UF_LINE_MODEL and UF_BAR_READER name the line model and bar_reader.exe")
class WinePacedFullSizeUpload(unittest.TestCase):
    """A 64 KiB image through the Windows build over a terminal that the
    line model (preloaded into Wine) makes behave like a UART at 9600 baud:
    it arrives whole, "Information" comes, and the bar (read from outside
    with PBM_GETPOS) never runs ahead of the device by more than 1 % (64
    bytes at least). About 75 s."""

    def test_full_size_image_at_line_rate_with_an_honest_bar(self):
        ensure_prefix()
        work = tempfile.mkdtemp(prefix="uf-wine-gui-paced-")
        self.addCleanup(shutil.rmtree, work, True)
        cwd = os.path.join(work, "cwd")
        os.mkdir(cwd)
        size = gui_e2e.PACED_SIZE
        fw = gui_e2e.firmware(os.path.join(cwd, "trx.fw"), size, seed=64)
        devices = gui_e2e.Devices(SIM, work, link_dir=os.path.join(winegui.PREFIX, "dosdevices"))
        self.addCleanup(devices.kill_all)
        device = devices.add(16, sessions=1, log=True)
        stats = os.path.join(work, "line.stats")
        session = winegui.new_session()
        self.addCleanup(session.close)
        env = gui_e2e.line_model.environment(os.environ["UF_LINE_MODEL"], device.path, stats=stats)
        app = session.launch([winegui.WINE_RUN, "--prefix=" + winegui.PREFIX, APP], env=env,
                             cwd=cwd, name=os.path.basename(APP))
        self.addCleanup(app.kill)
        wid = session.wait_window(gui_e2e.TITLE, timeout=winegui.START_TIMEOUT)
        main = gui_e2e.MainWindow(session, wid, self, box_timeout=60.0)
        time.sleep(1.0)
        reader = gui_e2e.WineBarReader(session, winegui.WINE_RUN, winegui.PREFIX,
                                       os.environ["UF_BAR_READER"])
        self.assertEqual(reader.percent(), 0.0, "the bar reader found no bar at 0")
        pick_port_win32(main, 0)

        main.press_update()
        title, box, samples, largest = gui_e2e.watch_paced_upload(
            self, main, device, reader.percent, size, timeout=3 * 70 + 60)
        self.assertEqual(title, "Information", device.log())
        self.assertEqual(reader.percent(), 100.0)
        print("quick bar samples: %d, largest lead %d bytes" % (samples, largest))
        main.dismiss(box, title)
        self.assertEqual(device.image(), gui_e2e.whole_words(fw))
        session.close_request(main.wid)
        self.assertEqual(app.wait_exit(20), 0)
        self.assertEqual(device.finish(20), 0, device.log())
        self.assertEqual(gui_e2e.line_model.sessions(stats)[-1]["sent"], 8 + size)


class WineOpenButtonEndToEnd(unittest.TestCase):
    """"Open" shows the Win32 chooser; cancelling empties the path, a typed
    full path is what gets sent."""

    def setUp(self):
        ensure_prefix()
        self.work = tempfile.mkdtemp(prefix="uf-wine-gui-open-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.cwd = os.path.join(self.work, "cwd")
        elsewhere = os.path.join(self.work, "elsewhere")
        os.mkdir(self.cwd)
        os.mkdir(elsewhere)
        gui_e2e.firmware(os.path.join(self.cwd, "trx.fw"), 600, seed=1)
        self.picked = os.path.join(elsewhere, "picked.fw")
        self.chosen = gui_e2e.firmware(self.picked, 777, seed=2)
        self.devices = gui_e2e.Devices(SIM, self.work,
                                       link_dir=os.path.join(winegui.PREFIX, "dosdevices"))
        self.addCleanup(self.devices.kill_all)
        self.device = self.devices.add(16, sessions=1)
        self.session = winegui.new_session()
        self.addCleanup(self.session.close)
        self.app = winegui.launch(self.session, APP, cwd=self.cwd)
        self.addCleanup(self.app.kill)
        wid = self.session.wait_window(gui_e2e.TITLE, timeout=winegui.START_TIMEOUT)
        self.main = gui_e2e.MainWindow(self.session, wid, self, box_timeout=60.0)
        time.sleep(1.0)

    def open_chooser(self):
        self.main.press_open()
        chooser = self.session.wait_window(gui_e2e.CHOOSER_TITLE, timeout=60)
        time.sleep(1.0)
        self.session.focus(chooser)
        return chooser

    def test_cancel_empties_the_path_and_a_chosen_file_is_the_one_sent(self):
        main = self.main
        self.open_chooser()
        self.session.key("Escape")
        self.assertTrue(self.session.wait_no_window(gui_e2e.CHOOSER_TITLE, 20))
        # No port is picked: had the field kept "trx.fw" this would be ERROR:2.
        main.update_expect("ERROR:1", within=(0, 10))

        self.open_chooser()
        # The file name box has the focus; Wine reaches Linux paths via Z:.
        self.session.type_text("Z:" + self.picked.replace("/", "\\"))
        self.session.key("Return")
        self.assertTrue(self.session.wait_no_window(gui_e2e.CHOOSER_TITLE, 20))

        pick_port_win32(main, 0)
        main.update_expect("Information", within=(0.5, 20.0))
        self.assertEqual(self.device.image(), gui_e2e.whole_words(self.chosen))

        self.session.close_request(main.wid)
        self.assertEqual(self.app.wait_exit(20), 0)
        self.assertEqual(self.device.finish(20), 0, self.device.log())


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) < 2:
        sys.exit("usage: wine_test_gui_e2e.py APP_EXE SIM [unittest args]")
    APP, SIM = os.path.abspath(args[0]), os.path.abspath(args[1])
    unittest.main(argv=[sys.argv[0]] + args[2:], verbosity=2)
