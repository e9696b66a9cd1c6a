"""The native program end to end, driven as a person would: clicks and keys
from outside on a private X server, simulated bootloaders behind COM names,
and the seven outcomes read off the title of the box that reports each.

    python3 test_gui_e2e.py APP SIM XCLOSE [unittest args]
"""
import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gui_e2e  # noqa: E402
from gui_e2e import guitest  # noqa: E402

APP = None
SIM = None


def pick_port_fltk(main, index):
    """Opens the list with a click and moves to the item with the arrow keys.
    FLTK's pop-up starts on the current item (or before the first when there
    is none), so the moves are counted from the current one."""
    current = getattr(main, "current_port", None)
    main.click(*gui_e2e.PORT_LIST)
    time.sleep(0.3)
    if current is None:
        keys = ["Down"] * (index + 1)
    elif index >= current:
        keys = ["Down"] * (index - current)
    else:
        keys = ["Up"] * (current - index)
    main.s.key(*(keys + ["Return"]))
    main.current_port = index
    time.sleep(0.2)


class GuiEndToEnd(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="uf-gui-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.cwd = os.path.join(self.work, "cwd")
        os.mkdir(self.cwd)
        self.devices = gui_e2e.Devices(SIM, self.work)
        self.addCleanup(self.devices.kill_all)
        # An odd size: the last byte is never sent.
        self.fw = gui_e2e.firmware(os.path.join(self.cwd, "trx.fw"), 1001)

    def start(self):
        self.session = guitest.Session()
        self.addCleanup(self.session.close)
        self.app = self.session.launch([APP], env=self.devices.environment(), cwd=self.cwd)
        wid = self.session.wait_window(gui_e2e.TITLE)
        self.main = gui_e2e.MainWindow(self.session, wid, self)
        time.sleep(0.3)
        self.main.note_empty_bar()
        return self.main

    def pick(self, index):
        pick_port_fltk(self.main, index)

    def close_and_check_devices(self, sessions):
        self.session.close_request(self.main.wid)
        self.assertEqual(self.app.wait_exit(10), 0)
        codes = self.devices.finish_all(20)
        for com, device in self.devices.by_com.items():
            self.assertEqual(codes[com], 0, "device COM%d: %s" % (com, device.log()))
            self.assertEqual(device.sessions_seen(), sessions[com],
                             "device COM%d: %s" % (com, device.log()))
        self.assertEqual(sorted(os.listdir(self.cwd)), ["trx.fw"], "the program wrote a file")

    def test_file_port_and_start_errors_each_twice(self):
        # List: COM5 silent, COM6 answers the start command wrongly.
        self.devices.add(5, ["--silent"])
        self.devices.add(6, ["--start-reply", "4F4C"])
        main = self.start()

        # Nothing picked yet: no port to open. Twice, the second after the
        # first box was dismissed.
        main.update_expect("ERROR:2", within=(0, 3))
        main.update_expect("ERROR:2", within=(0, 3), dismiss_by_click=True)

        # A missing file is found out before any port is opened: with the
        # silent device picked, the box comes at once, not after its 5.5 s.
        self.pick(0)
        main.set_path("no-such.fw")
        main.update_expect("ERROR:1", within=(0, 2))
        main.update_expect("ERROR:1", within=(0, 2), dismiss_by_click=True)
        main.set_path("")
        main.update_expect("ERROR:1", within=(0, 2))
        main.set_path("trx.fw")

        # The silent device: the settle plus the reply wait, about 5.5 s.
        # The bar never moved.
        main.update_expect("ERROR:3", within=(5.0, 12.0),
                           while_shown=main.assert_bar_empty)
        main.update_expect("ERROR:3", within=(5.0, 12.0), dismiss_by_click=True)

        # A wrong start reply is told as soon as it is in.
        self.pick(1)
        main.update_expect("ERROR:4", within=(0.4, 4.5))
        main.update_expect("ERROR:4", within=(0.4, 4.5))
        main.assert_bar_empty()

        self.close_and_check_devices({5: 2, 6: 2})

    def test_final_reply_errors_and_success_each_twice(self):
        # COM7 never answers the last word, COM8 answers it wrongly, COM9 is
        # a good device.
        self.devices.add(7, ["--no-final"])
        self.devices.add(8, ["--final-reply", "6F6B"])
        self.devices.add(9)
        main = self.start()

        self.pick(0)
        main.update_expect("ERROR:5", within=(5.0, 14.0), while_shown=main.assert_bar_full)
        main.update_expect("ERROR:5", within=(5.0, 14.0), dismiss_by_click=True)
        main.assert_bar_empty()

        self.pick(1)
        main.update_expect("ERROR:6", within=(0.5, 5.0),
                           while_shown=main.assert_bar_full)
        main.assert_bar_empty()
        main.update_expect("ERROR:6", within=(0.5, 5.0))

        self.pick(2)
        device = self.devices.by_com[9]
        main.update_expect("Information", within=(0.5, 10.0),
                           while_shown=main.assert_bar_full)
        self.assertEqual(device.image(), gui_e2e.whole_words(self.fw))
        main.assert_bar_empty()
        # A fresh run: the device serves a second session and gets it all again.
        os.truncate(device.image_path, 0)
        main.update_expect("Information", within=(0.5, 10.0), dismiss_by_click=True)
        self.assertEqual(device.image(), gui_e2e.whole_words(self.fw))

        self.close_and_check_devices({7: 2, 8: 2, 9: 2})


@unittest.skipUnless(os.environ.get("UF_LINE_MODEL"), "UF_LINE_MODEL names the line model library")
class PacedFullSizeUpload(unittest.TestCase):
    """A 64 KiB image over a terminal that the line model makes behave like a
    UART at the program's 9600 baud: it arrives whole, "Information" comes,
    and the bar never runs ahead of the device by more than 1 % (64 bytes at
    least). About 70 s."""

    def test_full_size_image_at_line_rate_with_an_honest_bar(self):
        work = tempfile.mkdtemp(prefix="uf-gui-paced-")
        self.addCleanup(shutil.rmtree, work, True)
        cwd = os.path.join(work, "cwd")
        os.mkdir(cwd)
        size = gui_e2e.PACED_SIZE
        fw = gui_e2e.firmware(os.path.join(cwd, "trx.fw"), size, seed=64)
        devices = gui_e2e.Devices(SIM, work)
        self.addCleanup(devices.kill_all)
        device = devices.add(5, sessions=1, log=True)
        stats = os.path.join(work, "line.stats")
        env = devices.environment()
        env.update(gui_e2e.line_model.environment(os.environ["UF_LINE_MODEL"], device.path,
                                                  stats=stats))
        session = guitest.Session()
        self.addCleanup(session.close)
        app = session.launch([APP], env=env, cwd=cwd)
        main = gui_e2e.MainWindow(session, session.wait_window(gui_e2e.TITLE), self)
        time.sleep(0.3)
        main.note_empty_bar()
        main.note_empty_row()
        pick_port_fltk(main, 0)

        main.press_update()
        title, box, samples, largest = gui_e2e.watch_paced_upload(
            self, main, device, main.bar_percent, size, timeout=3 * 70 + 30)
        self.assertEqual(title, "Information", device.log())
        main.assert_bar_full()
        print("quick bar samples: %d, largest lead %d bytes" % (samples, largest))
        main.dismiss(box, title)
        self.assertEqual(device.image(), gui_e2e.whole_words(fw))
        session.close_request(main.wid)
        self.assertEqual(app.wait_exit(10), 0)
        self.assertEqual(device.finish(20), 0, device.log())
        # The model paced the line: the words went out at the line rate.
        sessions = gui_e2e.line_model.sessions(stats)
        self.assertEqual(sessions[-1]["sent"], 8 + size)


class OpenButtonEndToEnd(unittest.TestCase):
    """"Open" brings up the chooser; what it gives replaces the path."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="uf-gui-open-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.cwd = os.path.join(self.work, "cwd")
        self.elsewhere = os.path.join(self.work, "elsewhere")
        os.mkdir(self.cwd)
        os.mkdir(self.elsewhere)
        # trx.fw is there, so a path field that kept it would not give ERROR:1.
        gui_e2e.firmware(os.path.join(self.cwd, "trx.fw"), 600, seed=1)
        self.chosen = gui_e2e.firmware(os.path.join(self.elsewhere, "picked.fw"), 777, seed=2)
        self.devices = gui_e2e.Devices(SIM, self.work)
        self.addCleanup(self.devices.kill_all)
        self.device = self.devices.add(5, sessions=1)
        self.session = guitest.Session()
        self.addCleanup(self.session.close)
        self.app = self.session.launch([APP], env=self.devices.environment(), cwd=self.cwd)
        self.main = gui_e2e.MainWindow(self.session, self.session.wait_window(gui_e2e.TITLE),
                                       self)

    def open_chooser(self):
        self.main.press_open()
        chooser = self.session.wait_window(gui_e2e.CHOOSER_TITLE)
        self.session.focus(chooser)
        time.sleep(0.3)
        return chooser

    def test_cancel_empties_the_path_and_a_chosen_file_is_the_one_sent(self):
        main = self.main
        self.open_chooser()
        self.session.key("Escape")
        self.assertTrue(self.session.wait_no_window(gui_e2e.CHOOSER_TITLE))
        # No port is picked: had the field kept "trx.fw" this would be ERROR:2.
        main.update_expect("ERROR:1", within=(0, 3))

        self.open_chooser()
        # The name field holds the chooser's folder; select all of it and
        # type the full path of the file elsewhere.
        self.session.key("ctrl+a")
        self.session.type_text(os.path.join(self.elsewhere, "picked.fw"))
        self.session.key("Return")
        self.assertTrue(self.session.wait_no_window(gui_e2e.CHOOSER_TITLE))

        pick_port_fltk(main, 0)
        main.update_expect("Information", within=(0.5, 10.0))
        self.assertEqual(self.device.image(), gui_e2e.whole_words(self.chosen))

        self.session.close_request(main.wid)
        self.assertEqual(self.app.wait_exit(10), 0)
        self.assertEqual(self.device.finish(20), 0, self.device.log())


if __name__ == "__main__":
    args = sys.argv[1:]
    if len(args) < 3:
        sys.exit("usage: test_gui_e2e.py APP SIM XCLOSE [unittest args]")
    APP, SIM = os.path.abspath(args[0]), os.path.abspath(args[1])
    os.environ["UF_XCLOSE"] = os.path.abspath(args[2])
    unittest.main(argv=[sys.argv[0]] + args[3:], verbosity=2)
