"""The whole program end to end, driven as a person would: clicks and keys
from outside on a private X server, simulated bootloaders behind COM names,
and the seven outcomes read off the title of the box that reports each.

With --wine the Windows build runs under Wine: the simulators (native
processes) sit behind COM names that Wine finds as links in its prefix's
dosdevices folder. Wine lists COM1 for the machine's /dev/ttyS0 when there
is one, so there the devices sit at the top of the range (COM12 to COM16)
and are picked counting from the end of the list.

    python3 test_gui_e2e.py [--wine] APP SIM [-k PATTERN]
(UF_XCLOSE names the xclose helper; UF_WINE_RUN and UF_WINEPREFIX_GUI the
Wine launcher and prefix; UF_LINE_MODEL the line model library, without
which the paced upload is skipped, and UF_BAR_READER bar_reader.exe.)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from guikit import gui_e2e, launch, wine
from guikit.launch import only

LAUNCHER = None
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


def pick_port_win32(main, from_end):
    """Opens the list with a click and picks the item `from_end` places
    before the last: Home and End first, since in a list with no selection
    Wine's first key only selects the first item."""
    main.click(*gui_e2e.PORT_LIST)
    time.sleep(0.4)
    main.s.key(*(["Home", "End"] + ["Up"] * from_end + ["Return"]))
    time.sleep(0.3)


def ensure_wine_prefix():
    """Wine makes dosdevices only when it creates the prefix (and not in a
    folder that is already there), so the prefix has to exist before a
    device can be linked into it. Made without a display, so that nothing
    stays tied to an X server."""
    if os.path.exists(os.path.join(wine.PREFIX, "system.reg")):
        return
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    subprocess.run([wine.WINE_RUN, "--prefix=" + wine.PREFIX, "cmd", "/c", "exit"],
                   env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    subprocess.run(["wineserver", "-w"], env=dict(env, WINEPREFIX=wine.PREFIX), timeout=60)


class EndToEndCase(unittest.TestCase):
    """A work folder with the program's own folder in it, and the devices."""

    def prepare(self, prefix):
        if LAUNCHER.name == "wine":
            ensure_wine_prefix()
        self.work = tempfile.mkdtemp(prefix=prefix)
        self.addCleanup(shutil.rmtree, self.work, True)
        self.cwd = os.path.join(self.work, "cwd")
        os.mkdir(self.cwd)
        link_dir = os.path.join(wine.PREFIX, "dosdevices") if LAUNCHER.name == "wine" else None
        self.devices = gui_e2e.Devices(SIM, self.work, link_dir=link_dir)
        self.addCleanup(self.devices.kill_all)

    def launch_app(self, env=None):
        """The program, and its window as seen from outside; `env` adds to
        the devices' variables."""
        self.session = LAUNCHER.new_session()
        self.addCleanup(self.session.close)
        full_env = self.devices.environment()
        full_env.update(env or {})
        self.app = LAUNCHER.launch(self.session, APP, env=full_env, cwd=self.cwd)
        self.addCleanup(self.app.kill)
        wid = self.session.wait_window(gui_e2e.TITLE, timeout=LAUNCHER.start_timeout)
        # Wine may need longer than the native program to show a box.
        box_timeout = 60.0 if LAUNCHER.name == "wine" else 30.0
        self.main = gui_e2e.MainWindow(self.session, wid, self, box_timeout=box_timeout)
        time.sleep(1.0 if LAUNCHER.name == "wine" else 0.3)
        return self.main


class GuiEndToEnd(EndToEndCase):
    def setUp(self):
        self.prepare("uf-gui-e2e-")
        # An odd size: the last byte is never sent.
        self.fw = gui_e2e.firmware(os.path.join(self.cwd, "trx.fw"), 1001)

    def start(self):
        self.launch_app().note_empty_bar()
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

    @only("native")
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

    @only("native")
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


    @only("wine")
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


@unittest.skipUnless(os.environ.get("UF_LINE_MODEL"), "UF_LINE_MODEL names the line model library")
class PacedFullSizeUpload(EndToEndCase):
    """A 64 KiB image over a terminal that the line model (preloaded into the
    program, or into Wine) makes behave like a UART at the program's 9600
    baud: it arrives whole, "Information" comes, and the bar never runs ahead
    of the device by more than 1 % (64 bytes at least). About 70 s natively,
    75 s under Wine."""

    def test_full_size_image_at_line_rate_with_an_honest_bar(self):
        self.prepare("uf-gui-paced-")
        size = gui_e2e.PACED_SIZE
        fw = gui_e2e.firmware(os.path.join(self.cwd, "trx.fw"), size, seed=64)
        device = self.devices.add(16 if LAUNCHER.name == "wine" else 5, sessions=1, log=True)
        stats = os.path.join(self.work, "line.stats")
        main = self.launch_app(gui_e2e.line_model.environment(
            os.environ["UF_LINE_MODEL"], device.path, stats=stats))
        main.note_empty_bar()
        read_bar = LAUNCHER.bar_reader(self.session, main)
        self.assertEqual(read_bar(), 0.0, "the bar reader found no bar at 0")
        if LAUNCHER.name == "wine":
            pick_port_win32(main, 0)
        else:
            pick_port_fltk(main, 0)

        main.press_update()
        title, box, samples, largest = gui_e2e.watch_paced_upload(
            self, main, device, read_bar, size, timeout=3 * 70 + 60)
        self.assertEqual(title, "Information", device.log())
        main.assert_bar_full()
        self.assertEqual(read_bar(), 100.0)
        print("quick bar samples: %d, largest lead %d bytes" % (samples, largest))
        main.dismiss(box, title)
        self.assertEqual(device.image(), gui_e2e.whole_words(fw))
        self.session.close_request(main.wid)
        self.assertEqual(self.app.wait_exit(20), 0)
        self.assertEqual(device.finish(20), 0, device.log())
        # The model paced the line: the words went out at the line rate.
        self.assertEqual(gui_e2e.line_model.sessions(stats)[-1]["sent"], 8 + size)


@only("native")
class McuUpload(EndToEndCase):
    """The sample application padded to 16 KiB, through the window into the
    AVR bootloader on the simulated microcontroller; UF_MCU_SIM,
    UF_AVR_FIRMWARE_DIR and UF_LINE_MODEL name mcu-sim, the firmware and the
    line model. About 20 s."""

    def test_the_bootloader_takes_the_image_and_the_application_runs(self):
        if not os.environ.get("UF_MCU_SIM"):
            self.skipTest("UF_MCU_SIM names mcu-sim")
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mcu"))
        import test_mcu_flash as mcu
        self.prepare("uf-gui-mcu-")
        fw_dir = os.environ["UF_AVR_FIRMWARE_DIR"]
        image = mcu.padded_app(fw_dir)
        with open(os.path.join(self.cwd, "trx.fw"), "wb") as f:
            f.write(image)
        sim = mcu.Mcu(os.environ["UF_MCU_SIM"], os.path.join(fw_dir, "uf-bootloader.elf"),
                      self.work)
        self.addCleanup(sim.sim.kill)
        env = gui_e2e.line_model.environment(os.environ["UF_LINE_MODEL"], sim.port)
        env["UPDATE_FIRMWARE_COM5"] = sim.port
        main = self.launch_app(env)
        pick_port_fltk(main, 0)
        main.update_expect("Information", within=(17.0, 60.0))
        self.session.close_request(main.wid)
        self.assertEqual(self.app.wait_exit(20), 0)
        self.assertEqual(mcu.landed(*sim.end(), image), [])


class OpenButtonEndToEnd(EndToEndCase):
    """"Open" brings up the chooser; cancelling empties the path, and what it
    gives replaces the path and is the file sent."""

    def setUp(self):
        self.prepare("uf-gui-open-")
        self.elsewhere = os.path.join(self.work, "elsewhere")
        os.mkdir(self.elsewhere)
        # trx.fw is there, so a path field that kept it would not give ERROR:1.
        gui_e2e.firmware(os.path.join(self.cwd, "trx.fw"), 600, seed=1)
        self.picked = os.path.join(self.elsewhere, "picked.fw")
        self.chosen = gui_e2e.firmware(self.picked, 777, seed=2)
        self.device = self.devices.add(16 if LAUNCHER.name == "wine" else 5, sessions=1)
        self.launch_app()

    def open_chooser(self):
        self.main.press_open()
        chooser = self.session.wait_window(gui_e2e.CHOOSER_TITLE, timeout=60)
        if LAUNCHER.name == "wine":
            time.sleep(1.0)  # Wine's chooser takes the focus late
            self.session.focus(chooser)
        else:
            self.session.focus(chooser)
            time.sleep(0.3)
        return chooser

    def test_cancel_empties_the_path_and_a_chosen_file_is_the_one_sent(self):
        main = self.main
        self.open_chooser()
        self.session.key("Escape")
        self.assertTrue(self.session.wait_no_window(gui_e2e.CHOOSER_TITLE, 20))
        # No port is picked: had the field kept "trx.fw" this would be ERROR:2.
        main.update_expect("ERROR:1", within=(0, 10 if LAUNCHER.name == "wine" else 3))

        self.open_chooser()
        if LAUNCHER.name == "wine":
            # The file name box has the focus; Wine reaches Linux paths via Z:.
            self.session.type_text("Z:" + self.picked.replace("/", "\\"))
        else:
            # The name field holds the chooser's folder; select all of it and
            # type the full path of the file elsewhere.
            self.session.key("ctrl+a")
            self.session.type_text(self.picked)
        self.session.key("Return")
        self.assertTrue(self.session.wait_no_window(gui_e2e.CHOOSER_TITLE, 20))

        if LAUNCHER.name == "wine":
            pick_port_win32(main, 0)
        else:
            pick_port_fltk(main, 0)
        main.update_expect("Information", within=(0.5, 20.0 if LAUNCHER.name == "wine" else 10.0))
        self.assertEqual(self.device.image(), gui_e2e.whole_words(self.chosen))

        self.session.close_request(main.wid)
        self.assertEqual(self.app.wait_exit(20), 0)
        self.assertEqual(self.device.finish(20), 0, self.device.log())


if __name__ == "__main__":
    launch.run(sys.modules[__name__], ["APP", "SIM"])
