#!/usr/bin/env python3
"""Checks of the release packages as a user gets them (tools/package.sh):
the .deb unpacked into a temporary root (never installed into this machine)
and the Windows zip unpacked and run under Wine.

    check_packages.py DEB ZIP

Prints one line per check and, last, "Package checks: N passed, M failed".
UF_WINEPREFIX_GUI names the Wine prefix (default: one in the Windows package
build); UF_XCLOSE the native close helper, as for the GUI tests.

lintian must report no error and no warning. What it still says, as
information, and is kept on purpose:
  - wrong-section-according-to-package-name electronics => kernel: the name
    has "firmware" in it, but this is a tool for devices on a serial line,
    not firmware for the kernel; electronics is its section.
  - binary-has-unneeded-section .comment: the compiler's version note,
    which the plain strip of CPack leaves; harmless.
  - hardening-no-fortify-functions for update-firmware: it calls none of the
    C library functions that have a checked variant, though built with them.
  - package-contains-documentation-outside-usr-share-doc for the README.md
    beside the firmware: it tells what the folder's files are and how to
    put them on a board.
"""

import fnmatch
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
os.environ.setdefault("UF_WINEPREFIX_GUI",
                      os.path.join(ROOT, "build", "package-windows", "wineprefix-gui"))
_xclose = os.path.join(ROOT, "build", "native", "tests", "gui", "xclose")
if "UF_XCLOSE" not in os.environ and os.access(_xclose, os.X_OK):
    os.environ["UF_XCLOSE"] = _xclose
from guikit import guitest  # noqa: E402  (tests/gui on PYTHONPATH)
from guikit import wine as winegui  # noqa: E402

DEB = None
ZIP = None
# A fixed text of the window, not the release number.
WINDOW_TITLE = "Update firmware 1.0"
APP_ID = "io.github.update_firmware.update_firmware"
PROGRAMS = ["update-firmware", "update-firmware-cli", "update-firmware-sim"]
ICON_SIZES = [16, 32, 48, 64, 128, 256]
FIRMWARE = "usr/share/update-firmware/firmware/"
FIRMWARE_FILES = ["uf-bootloader.hex", "uf-sample-app.hex", "README.md"]
UNIT = "usr/lib/systemd/system/update-firmware-station@.service"
UDEV_RULE = "usr/lib/udev/rules.d/70-update-firmware.rules"
# udev's keys (udev(7)): those that only match, those that only assign, and
# those that do both.
UDEV_MATCH_ONLY = {"ACTION", "DEVPATH", "KERNEL", "KERNELS", "SUBSYSTEM", "SUBSYSTEMS", "DRIVER",
                   "DRIVERS", "ATTRS", "TAGS", "TEST", "PROGRAM", "RESULT", "CONST"}
UDEV_ASSIGN_ONLY = {"OWNER", "GROUP", "MODE", "SECLABEL", "RUN", "LABEL", "GOTO", "IMPORT",
                    "OPTIONS"}
UDEV_BOTH = {"NAME", "SYMLINK", "ATTR", "SYSCTL", "ENV", "TAG"}
UDEV_PAIR = re.compile(r'\s*([A-Z_]+)(?:\{([^{}"]+)\})?\s*(==|!=|\+=|-=|:=|=)\s*"([^"]*)"\s*(,|$)')


def run(args, timeout=60, **kwargs):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          errors="replace", timeout=timeout, **kwargs)


def deb_field(name):
    return run(["dpkg-deb", "-f", DEB, name]).stdout.strip()


def files_under(root):
    found = set()
    for folder, _, names in os.walk(root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), root))
    return found


def udev_rules(text):
    """The rules of a udev rule file as lists of (key, attribute, operator,
    value); raises ValueError naming the line that udev would not read."""
    rules = []
    for number, line in enumerate(text.split("\n"), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        pairs, at = [], 0
        while at < len(line):
            pair = UDEV_PAIR.match(line, at)
            if not pair or pair.end() == at:
                raise ValueError("line %d: not a key, operator and quoted value at %r"
                                 % (number, line[at:]))
            key, attribute, op, value = pair.group(1, 2, 3, 4)
            matching = op in ("==", "!=")
            if key not in UDEV_MATCH_ONLY | UDEV_ASSIGN_ONLY | UDEV_BOTH:
                raise ValueError("line %d: no such key %s" % (number, key))
            if (matching and key in UDEV_ASSIGN_ONLY) or (not matching and key in UDEV_MATCH_ONLY):
                raise ValueError("line %d: %s cannot take %s" % (number, key, op))
            if (attribute is not None) != (key in ("ATTR", "ATTRS", "ENV", "SYSCTL")):
                raise ValueError("line %d: %s with a wrong {attribute}" % (number, key))
            pairs.append((key, attribute, op, value))
            at = pair.end()
            if pair.group(5) == "," and at == len(line):
                raise ValueError("line %d: ends with a comma" % number)
        if not any(op in ("==", "!=") for _, _, op, _ in pairs):
            raise ValueError("line %d: matches nothing, so applies to every device" % number)
        rules.append(pairs)
    return rules


def udev_tags(rules, device):
    """What the rules tag `device` with: a dict of KERNEL and SUBSYSTEM, and
    SUBSYSTEMS, the set of subsystems of it and its parents."""
    tags = set()
    for rule in rules:
        def matches(key, value):
            have = device[key] if key == "SUBSYSTEMS" else {device.get(key, "")}
            return any(fnmatch.fnmatchcase(h, v) for h in have for v in value.split("|"))
        if all(matches(k, v) == (op == "==") for k, _, op, v in rule if op in ("==", "!=")):
            tags |= {v for k, _, op, v in rule if k == "TAG" and op == "+="}
    return tags


class DebPackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="uf-deb-root-")
        done = run(["dpkg-deb", "-x", DEB, cls.root])
        if done.returncode != 0:
            raise RuntimeError("dpkg-deb -x failed: " + done.stderr)
        cls.version = deb_field("Version")
        cls.bin = os.path.join(cls.root, "usr", "bin")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def path(self, relative):
        return os.path.join(self.root, relative)

    def test_lintian_reports_no_error_and_no_warning(self):
        done = run(["lintian", "--fail-on", "error,warning", "--display-info", DEB], timeout=300)
        print(done.stdout, end="")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_control_fields_and_computed_dependencies(self):
        self.assertEqual(deb_field("Package"), "update-firmware")
        self.assertEqual(deb_field("Architecture"), "amd64")
        self.assertEqual(deb_field("Section"), "electronics")
        self.assertRegex(deb_field("Maintainer"), r"^[^<>]+ <[^<>@\s]+@[^<>\s]+>$")
        # Libraries of the programs, as dpkg-shlibdeps finds them.
        depends = deb_field("Depends")
        for library in ("libc6", "libstdc++6", "libfltk1.3", "libx11-6"):
            self.assertIn(library, depends)
        self.assertTrue(os.path.basename(DEB).startswith("update-firmware_%s_amd64" % self.version))

    def test_holds_exactly_the_expected_files(self):
        doc = "usr/share/doc/update-firmware/"
        expected = {"usr/bin/" + p for p in PROGRAMS}
        expected |= {"usr/share/man/man1/%s.1.gz" % p for p in PROGRAMS}
        expected |= {"usr/share/applications/%s.desktop" % APP_ID,
                     "usr/share/metainfo/%s.metainfo.xml" % APP_ID,
                     "usr/share/icons/hicolor/scalable/apps/update-firmware.svg",
                     doc + "README.md", doc + "changelog.gz", doc + "copyright"}
        expected |= {"usr/share/icons/hicolor/%dx%d/apps/update-firmware.png" % (s, s)
                     for s in ICON_SIZES}
        expected |= {FIRMWARE + f for f in FIRMWARE_FILES}
        expected |= {UNIT, UDEV_RULE}
        self.assertEqual(files_under(self.root), expected)
        for size in ICON_SIZES:
            png = self.path("usr/share/icons/hicolor/%dx%d/apps/update-firmware.png" % (size, size))
            described = run(["file", "-b", png]).stdout
            self.assertIn("PNG image data, %d x %d" % (size, size), described)

    def test_menu_entry_validates_and_points_at_the_program_and_icon(self):
        desktop = self.path("usr/share/applications/%s.desktop" % APP_ID)
        done = run(["desktop-file-validate", desktop])
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))
        with open(desktop) as f:
            entry = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        self.assertEqual(entry["Exec"], "update-firmware")
        self.assertTrue(os.access(os.path.join(self.bin, entry["Exec"]), os.X_OK))
        self.assertEqual(entry["Icon"], "update-firmware")

    def test_appstream_data_validates_and_names_this_release(self):
        metainfo = self.path("usr/share/metainfo/%s.metainfo.xml" % APP_ID)
        done = run(["appstreamcli", "validate", "--no-net", metainfo])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        component = ET.parse(metainfo).getroot()
        self.assertEqual(component.findtext("id"), APP_ID)
        self.assertEqual(component.findtext("launchable"), APP_ID + ".desktop")
        self.assertEqual(component.find("releases/release").get("version"), self.version)
        self.assertTrue(component.findtext("screenshots/screenshot/image").endswith(".png"))

    def test_changelog_is_a_debian_changelog_of_this_release(self):
        with gzip.open(self.path("usr/share/doc/update-firmware/changelog.gz"), "rt") as f:
            first = f.readline()
        self.assertEqual(first, "update-firmware (%s) unstable; urgency=medium\n" % self.version)

    def test_manual_pages_render_without_warnings_and_name_every_option(self):
        helps = {"update-firmware-cli": "--help", "update-firmware-sim": "--help"}
        for program in PROGRAMS:
            with self.subTest(program=program):
                page = self.path("usr/share/man/man1/%s.1.gz" % program)
                done = run(["man", "--warnings", "-l", page],
                           env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING="",
                                    LC_ALL="C.UTF-8", MANPAGER="cat", PAGER="cat"))
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                text = done.stdout
                self.assertIn(self.version, text)
                self.assertIn("/dev/ttyUSB0", text)
                self.assertIn("EXIT STATUS", text)
                if program in helps:
                    # A man page that falls behind the program's own list of
                    # options is caught here.
                    shown = run([os.path.join(self.bin, program), helps[program]]).stdout
                    for option in sorted(set(re.findall(r"(?<![\w-])--[a-z][a-z-]+", shown))):
                        self.assertIn(option, text, "%s(1) does not describe %s" % (program, option))

    def test_station_unit_verifies_and_runs_the_packaged_program(self):
        # Verified as a file outside the machine's unit folders (a template:
        # systemd-analyze makes an instance of it), with the packaged manual
        # for its Documentation=. Only the program it starts is looked for on
        # this machine, where the package is not installed: that one
        # complaint is expected, and the program is checked in the package.
        unit = self.path(UNIT)
        done = run(["systemd-analyze", "verify", unit],
                   env=dict(os.environ, MANPATH=self.path("usr/share/man")))
        with open(unit) as f:
            exec_start = re.search(r"(?m)^ExecStart=(\S+) (.*)$", f.read())
        program = exec_start.group(1)
        absent = "Command %s is not executable: No such file or directory" % program
        said = [line for line in (done.stdout + done.stderr).splitlines()
                if not (line.endswith(absent) and not os.path.exists(program))]
        self.assertEqual(said, [])
        self.assertEqual(program, "/usr/bin/update-firmware-cli")
        self.assertTrue(os.access(self.path(program.lstrip("/")), os.X_OK))
        self.assertEqual(exec_start.group(2),
                         "--quiet station /etc/update-firmware/stations/%i.toml")

    def test_udev_rule_reads_and_tags_usb_serial_adapters_alone(self):
        with open(self.path(UDEV_RULE)) as f:
            rules = udev_rules(f.read())
        for kernel, subsystem, parents, tagged in (
                ("ttyUSB0", "tty", {"tty", "usb-serial", "usb"}, True),
                ("ttyACM12", "tty", {"tty", "usb"}, True),
                ("ttyS0", "tty", {"tty", "pnp"}, False),
                ("ttyHS0", "tty", {"tty", "usb"}, False),  # a USB modem's own driver
                ("ttyUSB", "tty", {"tty", "usb"}, False),
                ("sdb", "block", {"block", "scsi", "usb"}, False)):
            device = {"KERNEL": kernel, "SUBSYSTEM": subsystem, "SUBSYSTEMS": parents}
            with self.subTest(device=kernel):
                self.assertEqual("uaccess" in udev_tags(rules, device), tagged)
        # It gives access and nothing else: no mode, group, or ModemManager
        # setting for every adapter.
        self.assertEqual({(k, op) for rule in rules for k, _, op, _ in rule
                          if op not in ("==", "!=")}, {("TAG", "+=")})

    def test_firmware_images_load_where_the_chip_runs_them(self):
        # The bootloader in the 4 KiB boot section from 0x7000 (a build
        # without the section start would put it at 0 over the
        # application); the application below it, from 0.
        for name, first, end in (("uf-bootloader.hex", 0x7000, 0x8000),
                                 ("uf-sample-app.hex", 0, 0x7000)):
            with self.subTest(image=name):
                spans = []
                with open(self.path(FIRMWARE + name)) as f:
                    for line in f:
                        record = bytes.fromhex(line.strip()[1:])
                        self.assertEqual(sum(record) & 0xFF, 0, line)
                        if record[3] == 0:  # data: count, address, type, bytes
                            address = record[1] << 8 | record[2]
                            spans.append((address, address + record[0]))
                        else:
                            self.assertIn(record[3], (1, 3), line)  # end, start address
                self.assertEqual(min(s for s, _ in spans), first)
                self.assertLessEqual(max(e for _, e in spans), end)

    def test_programs_resolve_their_libraries(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                done = run(["ldd", os.path.join(self.bin, program)])
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertNotIn("not found", done.stdout)

    def test_command_line_programs_answer_help_and_version(self):
        cli = os.path.join(self.bin, "update-firmware-cli")
        done = run([cli, "--help"])
        self.assertEqual(done.returncode, 0)
        self.assertTrue(done.stdout.startswith("Usage: update-firmware-cli"))
        done = run([cli, "--version"])
        self.assertEqual((done.returncode, done.stdout),
                         (0, "update-firmware-cli %s\n" % self.version))
        done = run([os.path.join(self.bin, "update-firmware-sim"), "--help"])
        self.assertEqual(done.returncode, 0)
        self.assertTrue(done.stdout.startswith("Usage: "))
        self.assertIn("update-firmware-sim", done.stdout.splitlines()[0])

    def test_window_program_opens_its_window_and_says_why_without_a_display(self):
        app = os.path.join(self.bin, "update-firmware")
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        done = run([app], env=env, timeout=30)
        self.assertEqual(done.returncode, 1)
        self.assertIn("no display", done.stderr)
        with guitest.Session() as session:
            cwd = tempfile.mkdtemp(prefix="uf-deb-cwd-")
            try:
                started = session.launch([app], cwd=cwd)
                win = session.wait_window(WINDOW_TITLE)
                session.close_request(win)
                self.assertEqual(started.wait_exit(10), 0)
            finally:
                shutil.rmtree(cwd, ignore_errors=True)

    def test_packaged_cli_updates_the_packaged_simulator(self):
        work = tempfile.mkdtemp(prefix="uf-deb-flash-")
        self.addCleanup(shutil.rmtree, work, True)
        image = bytes((i * 7 + 3) % 256 for i in range(300))
        with open(os.path.join(work, "trx.fw"), "wb") as f:
            f.write(image)
        ready = os.path.join(work, "port")
        sim = subprocess.Popen([os.path.join(self.bin, "update-firmware-sim"), "--ready-file",
                                ready, "--image", os.path.join(work, "got.bin"), "--timeout",
                                "30"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               text=True)
        try:
            deadline = time.monotonic() + 10
            while not os.path.exists(ready) and time.monotonic() < deadline:
                time.sleep(0.05)
            with open(ready) as f:
                port = f.read().strip()
            done = run([os.path.join(self.bin, "update-firmware-cli"), "flash", port,
                        os.path.join(work, "trx.fw")], timeout=60)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(sim.wait(timeout=30), 0, sim.stderr.read())
        finally:
            if sim.poll() is None:
                sim.kill()
                sim.wait()
        with open(os.path.join(work, "got.bin"), "rb") as f:
            self.assertEqual(f.read(), image)


class WindowsZipTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.version = re.match(r"update-firmware-(.+)-win64\.zip$", os.path.basename(ZIP)).group(1)
        cls.folder = "update-firmware-%s-win64" % cls.version
        cls.unpacked = tempfile.mkdtemp(prefix="uf-zip-")
        with zipfile.ZipFile(ZIP) as z:
            cls.names = z.namelist()
            z.extractall(cls.unpacked)
        cls.dir = os.path.join(cls.unpacked, cls.folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.unpacked, ignore_errors=True)

    def test_holds_exactly_the_two_programs_the_readme_and_the_licence(self):
        files = {n for n in self.names if not n.endswith("/")}
        self.assertEqual(files, {self.folder + "/" + n for n in (
            "update-firmware.exe", "update-firmware-cli.exe", "README.txt", "LICENSE.txt")})

    def test_readme_tells_windows_use_and_every_exit_code(self):
        with open(os.path.join(self.dir, "README.txt"), "rb") as f:
            text = f.read().decode("ascii")
        self.assertNotIn("\n", text.replace("\r\n", ""), "README.txt needs Windows line ends")
        self.assertIn("update-firmware %s" % self.version, text)
        for code in ("0", "1", "2", "3", "4", "5", "6", "64", "130"):
            self.assertRegex(text, r"(?m)^  %s +\S" % code)
        with open(os.path.join(self.dir, "LICENSE.txt")) as f:
            licence = f.read()
        self.assertIn("MIT License", licence)
        self.assertIn("update-firmware developers", licence)

    def test_programs_run_under_wine(self):
        with winegui.new_session() as session:
            cli = winegui.launch(session, os.path.join(self.dir, "update-firmware-cli.exe"),
                                 ["--version"])
            line = cli.next_line(winegui.START_TIMEOUT)
            self.assertEqual((line or "").strip(), "update-firmware-cli %s" % self.version)
            self.assertEqual(cli.wait_exit(30), 0)
            app = winegui.launch(session, os.path.join(self.dir, "update-firmware.exe"),
                                 cwd=self.dir)
            win = session.wait_window(WINDOW_TITLE, timeout=winegui.START_TIMEOUT)
            session.close_request(win)
            self.assertEqual(app.wait_exit(30), 0)


def main():
    global DEB, ZIP
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 64
    DEB, ZIP = (os.path.abspath(a) for a in sys.argv[1:3])
    suite = unittest.TestSuite()
    loader = unittest.TestLoader()
    suite.addTests(loader.loadTestsFromTestCase(DebPackageTest))
    suite.addTests(loader.loadTestsFromTestCase(WindowsZipTest))
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    # A check with several failing sub-cases is one failed check.
    failing = {getattr(test, "test_case", test).id()
               for test, _ in result.failures + result.errors}
    failed = len(failing) + len(result.unexpectedSuccesses)
    passed = max(result.testsRun - failed - len(result.skipped), 0)
    print("Package checks: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
