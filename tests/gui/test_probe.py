"""Native GUI tests of the window layer, through the probe program.

The probe builds the application's window and controls and prints every
event it polls; these tests act on it with the mouse and the keyboard on a
private X server and compare what it reports. The same cases run on the
Windows build's probe under Wine (--wine).

    python3 test_probe.py [--wine] PROBE      (UF_XCLOSE names the xclose helper)
"""

import os
import subprocess
import sys
import time
import unittest

from guikit import launch
from guikit.launch import only

LAUNCHER = None
PROBE = None
TITLE = "Update firmware 1.0"

# Layout centres, in client coordinates.
CENTRE = {
    "PortList": (45, 20),
    "FirmwarePathField": (230, 20),
    "OpenButton": (425, 20),
    "ProgressBar": (240, 65),
    "UpdateButton": (240, 110),
}


class ProbeTest(unittest.TestCase):
    def start(self, *args):
        self.session = LAUNCHER.new_session()
        self.addCleanup(self.session.close)
        self.app = LAUNCHER.launch(self.session, PROBE, args)
        self.win = self.session.wait_window(TITLE, timeout=LAUNCHER.start_timeout)
        self.app.expect_line(r"^READY$", timeout=30)
        self.session.focus(self.win)
        self.settle()

    def settle(self):
        """Everything the probe reported since the last call."""
        return self.app.drain(quiet=0.4)

    def events(self, lines):
        return [l for l in lines if l.startswith("EVENT 13100 ")]

    def focus_of(self, lines):
        focus = [l for l in lines if l.startswith("FOCUS ")]
        return focus[-1].split()[1] if focus else None

    def tab(self, key="Tab"):
        self.session.key(key)
        return self.focus_of(self.settle())

    def test_buttons_report_a_click_from_themselves(self):
        self.start()
        for name in ("OpenButton", "UpdateButton"):
            self.session.click(self.win, *CENTRE[name])
            got = self.events(self.settle())
            self.assertEqual(got, ["EVENT 13100 %s 0" % name])

    def test_clicks_on_the_list_field_and_bar_give_no_click(self):
        self.start()
        self.session.click(self.win, *CENTRE["ProgressBar"])
        self.assertEqual(self.events(self.settle()), [])
        # Opening and closing the list (Escape) reports nothing.
        self.session.click(self.win, *CENTRE["PortList"])
        time.sleep(0.3)
        self.session.key("Escape")
        self.assertEqual(self.events(self.settle()), [])
        self.assertTrue(self.app.running(), "Escape must not close the window")

    def test_picking_a_port_reports_a_change_with_the_text(self):
        self.start()
        # With no selection the list opens below the control: the first item
        # sits 20 px under the list's centre.
        self.session.click(self.win, *CENTRE["PortList"])
        time.sleep(0.4)
        self.session.click(self.win, 30, 40)
        got = self.settle()
        self.assertEqual(self.events(got), ["EVENT 13100 PortList 768"])
        self.assertIn('TEXT PortList "COM3"', got)
        # The arrow keys step through the closed list, each step one change.
        self.session.key("Down")
        got = self.settle()
        self.assertEqual(self.events(got), ["EVENT 13100 PortList 768"])
        self.assertIn('TEXT PortList "COM12"', got)
        # At the end the list still notifies the key, as the Win32 list box
        # does, but the selection stays.
        self.session.key("Down")
        got = self.settle()
        texts = [l for l in got if l.startswith("TEXT")]
        if LAUNCHER.name == "wine":
            # Wine's list box notifies every arrow press that cannot move too,
            # and the layer passes each notification on.
            self.assertEqual(texts, ['TEXT PortList "COM12"'] * len(self.events(got)))
        else:
            self.assertEqual(self.events(got), ["EVENT 13100 PortList 768"])
            self.assertEqual(texts, ['TEXT PortList "COM12"'])

    def test_tab_order_skips_the_bar_and_wraps_both_ways(self):
        self.start()
        forward = [self.tab() for _ in range(5)]
        self.assertEqual(forward, ["PortList", "FirmwarePathField", "OpenButton",
                                   "UpdateButton", "PortList"])
        backward = [self.tab("shift+Tab") for _ in range(4)]
        self.assertEqual(backward, ["UpdateButton", "OpenButton", "FirmwarePathField",
                                    "PortList"])

    def test_arrows_do_not_move_the_focus_between_controls(self):
        self.start()
        self.tab()
        self.tab()
        self.assertEqual(self.tab(), "OpenButton")
        for key in ("Right", "Down", "Left", "Up"):
            self.session.key(key)
            self.assertIsNone(self.focus_of(self.settle()), key)

    def test_disabled_controls_are_skipped_and_silent(self):
        self.start("--disable", "OpenButton")
        forward = [self.tab() for _ in range(4)]
        self.assertEqual(forward, ["PortList", "FirmwarePathField", "UpdateButton", "PortList"])
        self.session.click(self.win, *CENTRE["OpenButton"])
        self.assertEqual(self.events(self.settle()), [])

    def test_disabled_field_takes_no_edit(self):
        self.start("--disable", "FirmwarePathField")
        self.session.click(self.win, *CENTRE["FirmwarePathField"])
        self.session.type_text("x")
        self.assertEqual(self.events(self.settle()), [])

    def test_space_clicks_the_focused_button(self):
        self.start()
        for _ in range(4):
            self.tab()
        self.session.key("space")
        self.assertEqual(self.events(self.settle()), ["EVENT 13100 UpdateButton 0"])

    def test_text_field_focus_and_edit_details_in_order(self):
        self.start()
        self.session.click(self.win, *CENTRE["FirmwarePathField"])
        self.assertEqual(self.events(self.settle()), [
            "EVENT 13100 FirmwarePathField 14000", "EVENT 13100 FirmwarePathField 256"])
        self.session.key("End")
        self.session.type_text("x")
        got = self.settle()
        self.assertEqual(self.events(got), [
            "EVENT 13100 FirmwarePathField 1024", "EVENT 13100 FirmwarePathField 768"])
        self.assertIn('TEXT FirmwarePathField "trx.fwx"', got)
        # Losing the focus to a button: the field's loss comes before the click.
        self.session.click(self.win, *CENTRE["UpdateButton"])
        self.assertEqual(self.events(self.settle()), [
            "EVENT 13100 FirmwarePathField 14001", "EVENT 13100 FirmwarePathField 512",
            "EVENT 13100 UpdateButton 0"])

    def test_the_focus_comes_back_after_a_modal_box(self):
        self.start("--box-on", "trx.fwx")
        self.session.click(self.win, *CENTRE["FirmwarePathField"])
        self.session.key("End")
        self.settle()
        self.session.type_text("x")  # the probe puts up its box
        box = self.session.wait_window("Probe")
        self.session.focus(box)
        self.session.key("Return")
        self.app.expect_line(r"^BOX CLOSED$")
        got = self.settle()
        # The field lost the focus to the box and has it back afterwards.
        self.assertEqual(self.events(got), [
            "EVENT 13100 FirmwarePathField 14001", "EVENT 13100 FirmwarePathField 512",
            "EVENT 13100 FirmwarePathField 14000", "EVENT 13100 FirmwarePathField 256"])
        # Typing goes on in the field: it has the focus again. (When the focus
        # came back inside the box's own loop, the probe saw no FOCUS change.)
        self.session.focus(self.win)
        self.session.type_text("y")
        self.assertIn('TEXT FirmwarePathField "trx.fwxy"', self.settle())

    def test_close_request_is_one_event_and_leaves_the_window(self):
        self.start("--stay")
        self.session.close_request(self.win)
        self.app.expect_line(r"^EVENT 13116 MainWindow 0$")
        got = self.settle()
        self.assertFalse([l for l in got if l.startswith("EVENT 13116")], "one request, one event")
        self.assertTrue(self.session.window_exists(self.win))
        self.assertEqual(self.session.geometry(self.win)["map_state"], "IsViewable")
        # The probe ends on the second request; the exit code is 0.
        self.session.close_request(self.win)
        self.assertEqual(self.app.wait_exit(10), 0)

    def test_escape_is_not_a_close_request(self):
        self.start()
        self.session.key("Escape")
        self.assertEqual([l for l in self.settle() if l.startswith("EVENT 13116")], [])
        self.assertTrue(self.app.running())


@only("native")
class NoDisplayTest(unittest.TestCase):
    def test_without_an_x_server_creation_fails_instead_of_ending_the_process(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        proc = subprocess.Popen([PROBE], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            out, _ = proc.communicate(timeout=3)
        except subprocess.TimeoutExpired:
            # Still there: it waits for messages that cannot come, using no CPU.
            proc.kill()
            out, _ = proc.communicate()
        self.assertIn("HANDLE MainWindow 0", out)
        self.assertIn("HANDLE UpdateButton 0", out)
        self.assertIn("READY", out)


if __name__ == "__main__":
    launch.run(sys.modules[__name__], ["PROBE"])
