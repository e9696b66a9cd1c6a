"""The window layer's GUI tests of the native build, run on the Windows
build's probe under Wine: the same mouse and keyboard actions, the same
expected events, focus order and close behaviour.

    python3 wine_test_probe.py UI_PROBE_EXE [unittest args]
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winegui  # noqa: E402

native = winegui.load_native_test("test_probe")


class WineProbeTest(native.ProbeTest):
    def start(self, *args):
        self.session = winegui.new_session()
        self.addCleanup(self.session.close)
        self.app = winegui.launch(self.session, native.PROBE, args)
        self.win = self.session.wait_window(native.TITLE, timeout=winegui.START_TIMEOUT)
        self.app.expect_line(r"^READY$", timeout=30)
        self.session.focus(self.win)
        self.settle()

    def test_picking_a_port_reports_a_change_with_the_text(self):
        # As natively, except at the end of the list: the Win32 list box
        # notifies CBN_SELCHANGE for every arrow press, also one that cannot
        # move, and the layer passes each notification on. The text shows
        # the selection did not move.
        self.start()
        self.session.click(self.win, *native.CENTRE["PortList"])
        native.time.sleep(0.4)
        self.session.click(self.win, 30, 40)
        got = self.settle()
        self.assertEqual(self.events(got), ["EVENT 13100 PortList 768"])
        self.assertIn('TEXT PortList "COM3"', got)
        self.session.key("Down")
        got = self.settle()
        self.assertEqual(self.events(got), ["EVENT 13100 PortList 768"])
        self.assertIn('TEXT PortList "COM12"', got)
        self.session.key("Down")
        got = self.settle()
        self.assertEqual([l for l in got if l.startswith("TEXT")],
                         ['TEXT PortList "COM12"'] * len(self.events(got)))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: wine_test_probe.py UI_PROBE_EXE [unittest args]")
    native.PROBE = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0]] + sys.argv[2:], verbosity=2)
