"""Native GUI tests of the two modal dialogs, through dialog_probe.

    python3 test_dialogs.py PROBE      (UF_XCLOSE names the xclose helper)
"""

import os
import shutil
import sys
import tempfile
import time
import unittest

from guikit import guitest, launch

PROBE = None
CHOOSER_TITLE = "Please choose file to load"
PATTERN = "Firmware (*.fw)|*.fw;"


class DialogTest(unittest.TestCase):
    def setUp(self):
        self.session = guitest.Session()
        self.addCleanup(self.session.close)
        self.folder = tempfile.mkdtemp(prefix="uf-dialogs-")
        self.addCleanup(shutil.rmtree, self.folder, True)
        os.mkdir(os.path.join(self.folder, "sub"))
        open(os.path.join(self.folder, "a.fw"), "w").close()

    def start(self, *args):
        self.app = self.session.launch([PROBE] + list(args), cwd=self.folder)
        self.app.expect_line(r"^READY$")
        self.owner = self.session.wait_window("Dialog owner")
        self.cwd_before = self.app.expect_line(r"^CWD (.*)$").group(1)

    def finish(self):
        """What the probe reported after the dialog, up to DONE."""
        lines = []
        while True:
            line = self.app.next_line(10)
            self.assertIsNotNone(line, "probe stopped early after %r" % lines)
            if line == "DONE":
                break
            lines.append(line)
        self.assertEqual(self.app.wait_exit(10), 0)
        return lines

    # ---- message box -----------------------------------------------------

    def test_message_box_has_the_title_and_closes_with_ok(self):
        self.start("message", "ERROR:3", "Device not responding!")
        box = self.session.wait_window("ERROR:3")
        self.session.focus(box)
        self.session.key("Return")
        after = self.finish()
        self.assertIn("RESULT 1", after)

    def test_owner_takes_no_input_while_the_box_is_up(self):
        self.start("message", "Information", "Device update!")
        box = self.session.wait_window("Information")
        # The box covers the owner's centre; click the owner's button beside it.
        self.session.click(self.owner, 20, 20)
        self.session.close_request(self.owner)
        time.sleep(0.3)
        self.assertTrue(self.app.running(), "the box must still be up")
        self.session.close_request(box)  # the close box counts as OK
        after = self.finish()
        self.assertIn("RESULT 1", after)
        self.assertFalse([l for l in after if l.startswith("EVENT")], after)

    def test_escape_closes_the_box_as_ok(self):
        self.start("message", "ERROR:1", "Firmware missing!")
        box = self.session.wait_window("ERROR:1")
        self.session.focus(box)
        self.session.key("Escape")
        self.assertIn("RESULT 1", self.finish())

    # ---- file chooser ----------------------------------------------------

    def open_chooser(self, default="-"):
        self.start("choose", CHOOSER_TITLE, default, PATTERN, "0")
        chooser = self.session.wait_window(CHOOSER_TITLE)
        self.session.focus(chooser)
        time.sleep(0.2)
        return chooser

    def chosen(self, after):
        paths = [l[5:] for l in after if l.startswith("PATH ")]
        self.assertEqual(len(paths), 1, after)
        cwd = [l[4:] for l in after if l.startswith("CWD ")]
        self.assertEqual(cwd, [self.cwd_before], "the working directory must not change")
        return paths[0]

    def enter(self, text):
        """Types `text` into the chooser and confirms; the path it gave back."""
        self.session.type_text(text)
        self.session.key("Return")
        return self.chosen(self.finish())

    def test_cancel_gives_empty_text(self):
        self.open_chooser()
        self.session.key("Escape")
        self.assertEqual(self.chosen(self.finish()), "")

    def test_new_name_in_an_existing_folder_is_accepted_not_created(self):
        self.open_chooser()
        # The name field starts with the folder selected; typing replaces it.
        path = self.enter("new.fw")
        self.assertEqual(path, os.path.join(os.path.realpath(self.folder), "new.fw"))
        self.assertFalse(os.path.exists(path))

    def test_browsing_elsewhere_returns_a_full_path_and_keeps_the_cwd(self):
        self.open_chooser()
        self.session.type_text("sub/")
        time.sleep(0.3)
        path = self.enter("x.fw")
        self.assertEqual(path, os.path.join(os.path.realpath(self.folder), "sub", "x.fw"))

    def test_existing_file_is_returned(self):
        self.open_chooser()
        path = self.enter("a.fw")
        self.assertEqual(path, os.path.join(os.path.realpath(self.folder), "a.fw"))

    def test_a_full_path_typed_over_the_whole_field_comes_back_as_typed(self):
        # Neither the chooser's folder nor the working directory, and no file
        # there yet. The leading "/" typed into the emptied field once made
        # the chooser drop it and take the rest relative to the wrong folder.
        elsewhere = os.path.realpath(tempfile.mkdtemp(prefix="uf-dialogs-elsewhere-"))
        self.addCleanup(shutil.rmtree, elsewhere, True)
        target = os.path.join(elsewhere, "picked.fw")
        self.open_chooser()
        self.session.key("ctrl+a")
        self.assertEqual(self.enter(target), target)

    def test_a_relative_name_goes_in_the_folder_shown_not_the_working_one(self):
        # The chooser opens in sub/ while the working directory is its parent.
        self.open_chooser(os.path.join(self.folder, "sub", "start.fw"))
        self.session.key("ctrl+a")
        path = self.enter("rel.fw")
        self.assertEqual(path, os.path.join(os.path.realpath(self.folder), "sub", "rel.fw"))

    def test_a_folder_that_does_not_exist_is_refused(self):
        chooser = self.open_chooser()
        self.session.type_text(os.path.join(self.folder, "missing", "x.fw"))
        self.session.key("Return")
        # Refused: a box says so and the chooser comes back; nothing returned yet.
        time.sleep(1.0)
        self.assertTrue(self.app.running())
        self.assertFalse([l for l in self.app.drain(quiet=0.2) if l.startswith("PATH")])
        boxes = self.session.find_windows(CHOOSER_TITLE)
        self.assertTrue(boxes)
        self.session.focus(boxes[-1])
        self.session.key("Return")  # OK on the box
        chooser = self.session.wait_window(CHOOSER_TITLE)
        self.session.focus(chooser)
        self.session.key("Escape")
        self.assertEqual(self.chosen(self.finish()), "")


if __name__ == "__main__":
    launch.run(sys.modules[__name__], ["PROBE"])
