#!/usr/bin/env python3
"""Takes the README's two pictures with the same moves as the end-to-end
tests (not a test itself):

  native-mid-update.png      the native window while the bar climbs
  windows-device-update.png  the Windows build under Wine, in a Wine desktop
                             window (so that Wine draws the frames), showing
                             "Device update!" over the bar at 100

    screenshots.py --out DIR --sim SIM [--app APP] [--exe APP_EXE]
(--exe needs UF_WINE_RUN and UF_WINEPREFIX_GUI as for the Wine tests.)
"""
import argparse
import os
import shutil
import sys
import tempfile
import time
import unittest

from guikit import gui_e2e, guitest, wine as winegui
import test_gui_e2e


class Checks(unittest.TestCase):
    """Only for its assertions, which MainWindow uses."""

    def runTest(self):
        pass


def native_mid_update(app, sim, out):
    work = tempfile.mkdtemp(prefix="uf-shot-")
    devices = gui_e2e.Devices(sim, work)
    try:
        cwd = os.path.join(work, "cwd")
        os.mkdir(cwd)
        # Bigger than what the pseudo-terminal buffers, so that the host's
        # writes wait for the device and the bar moves at its pace.
        gui_e2e.firmware(os.path.join(cwd, "trx.fw"), 40000)
        devices.add(5, ["--baud", "230400"], sessions=1)
        with guitest.Session() as s:
            s.launch([app], env=devices.environment(), cwd=cwd)
            main = gui_e2e.MainWindow(s, s.wait_window(gui_e2e.TITLE), Checks())
            time.sleep(0.5)  # drawn
            main.note_empty_bar()
            test_gui_e2e.pick_port_fltk(main, 0)
            main.press_update()
            # Taken once the bar has passed about 60 %.
            at_60 = ((10 + 460 * 6 // 10, 58),)
            if not guitest.wait_until(lambda: main.bar_filled(at_60)[0], 40, 0.05):
                raise guitest.GuiTestError("the bar did not get to 60 %")
            s.move_mouse(main.wid, 470, 135)
            s.screenshot(out, main.wid)
            title, box, _ = main.wait_outcome()
            main.dismiss(box, title)
            print("%s: taken; the run ended in %s" % (out, title))
    finally:
        devices.kill_all()
        shutil.rmtree(work, ignore_errors=True)


def windows_device_update(exe, sim, out):
    test_gui_e2e.ensure_wine_prefix()
    work = tempfile.mkdtemp(prefix="uf-shot-")
    devices = gui_e2e.Devices(sim, work, link_dir=os.path.join(winegui.PREFIX, "dosdevices"))
    try:
        cwd = os.path.join(work, "cwd")
        os.mkdir(cwd)
        gui_e2e.firmware(os.path.join(cwd, "trx.fw"), 1001)
        devices.add(16, sessions=1)
        width, height = 640, 360
        with winegui.new_session(size="%dx%dx24" % (width, height)) as s:
            app = winegui.launch(s, "explorer", ["/desktop=ufdesk,%dx%d" % (width, height), exe],
                                 cwd=cwd)
            wid = s.wait_window(gui_e2e.TITLE, timeout=winegui.START_TIMEOUT)
            time.sleep(1.0)
            # Here the X window is the whole frame: find the client area in it,
            # borders equal on the left, the right and at the bottom.
            g = s.geometry(wid)
            border = (g["width"] - 480) // 2
            top = g["height"] - 140 - border

            main = gui_e2e.MainWindow(s, wid, Checks(), box_timeout=60, origin=(border, top))
            test_gui_e2e.pick_port_win32(main, 0)
            main.press_update()
            title, box, _ = main.wait_outcome()
            time.sleep(1.0)
            s.move_mouse(wid, 0, g["height"] + 20)
            time.sleep(0.5)
            s.screenshot(out)
            main.dismiss(box, title)
            print("%s: taken; the box was %s" % (out, title))
            s.close_request(wid)
            app.kill()
    finally:
        devices.kill_all()
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--app")
    parser.add_argument("--exe")
    args = parser.parse_args()
    sim = os.path.abspath(args.sim)
    if args.app:
        native_mid_update(os.path.abspath(args.app), sim,
                          os.path.join(args.out, "native-mid-update.png"))
    if args.exe:
        windows_device_update(os.path.abspath(args.exe), sim,
                              os.path.join(args.out, "windows-device-update.png"))


if __name__ == "__main__":
    main()
