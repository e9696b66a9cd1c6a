#!/usr/bin/env python3
"""The command-line program on a real Linux kernel, in a QEMU guest: the
FTDI driver with its own output queue, the CDC-ACM driver with the guest's
own USB gadget as the board, the kernel's sysfs, adapters plugged in and
pulled out while the program runs, Ctrl+C typed on a terminal.

    test_cli_in_guest.py CLI SIM BUILD_DIR [-k PATTERN ...]

CLI is the native update-firmware-cli, SIM the simulated bootloader,
BUILD_DIR where the kernel is cached and the console transcripts go
(logs/CASE.console.txt). Exits 77 (skipped) when QEMU is not installed.
"""
import hashlib
import os
import shutil
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "gui"))

from guikit import gui_e2e  # noqa: E402
from guestkit import machine  # noqa: E402

SKIPPED = 77
KIT = None
CLI = "update-firmware-cli"
# What may lie between the bytes the program took as sent and those the
# board on the guest's gadget got: a write goes into one of the CDC-ACM
# driver's buffers of 20 packets (512 bytes each on dummy_hcd's high-speed
# bus), and the program writes no further ahead than WRITE_AHEAD bytes, in
# writes of 16 bytes at most, so a few buffers are in use at most; the
# board reads faster than the program writes, so the gadget's side keeps
# nothing.
ACM_HOLDS = 20 * 512
# Bytes the program may write ahead of what the driver has sent.
WRITE_AHEAD = 64


class CliInGuest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="uf-guest-case-")
        self.boards = []

    def tearDown(self):
        for b in self.boards:
            b.sim.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def board(self, name, serial, options=()):
        b = machine.Board(KIT, self.dir, name, serial, options)
        self.boards.append(b)
        return b

    def firmware(self, name, size, seed):
        return gui_e2e.firmware(os.path.join(self.dir, name), size, seed)

    def assertEnded(self, step, code):
        """The step's exit code, and no process of the program left behind."""
        self.assertEqual(step.code, code, "%s: %s\n%s" % (step.name, step.lines, step.errors))
        self.assertEqual(step.left, [], "%s: processes left running" % step.name)

    def assertSameBytes(self, got, want, what):
        # Lengths first: a mismatch of 6000 bytes is no message to read.
        self.assertEqual(len(got), len(want), what)
        self.assertTrue(got == want, "%s: bytes differ" % what)

    @staticmethod
    def by_serial(events):
        return {e["usb"]["serial"]: e for e in events}

    @staticmethod
    def sysfs_before(g, step):
        """The script's sysfs_identities, read up to the start of `step`:
        {tty: the USB identity as the program's JSON has it}."""
        sysfs = {}
        for line in g.lines_before_step(step, "UF-SYSFS "):
            tty, vid, pid, manufacturer, product, serial, location = line.split("\t")
            sysfs[tty] = {"vid": vid, "pid": pid, "manufacturer": manufacturer,
                          "product": product, "serial": serial, "location": location}
        return sysfs

    def assertReceived(self, g, name, want, what):
        """The board `name` in the guest received exactly `want`."""
        self.assertEqual(g.guest_boards[name], (len(want), hashlib.md5(want).hexdigest()), what)

    # ---- 1 --------------------------------------------------------------

    def test_1_list_tells_each_adapter_as_the_kernel_does(self):
        boards = [self.board("a", "GA100001"), self.board("b", "GA100002")]
        script = ("wait_ports 2\nsysfs_identities\n"
                  "step json %s list --json\nstep plain %s list\n" % (CLI, CLI))
        with machine.Guest(KIT, "list", script, boards=boards) as g:
            sysfs = self.sysfs_before(g, "json")
            listed = g.finish_step()
            plain = g.step("plain")
            g.finish()

        # The kernel's own account: one ttyUSB per adapter plugged in, each an
        # FT232 with the serial number QEMU was given.
        self.assertEqual(sorted(s["serial"] for s in sysfs.values()), ["GA100001", "GA100002"])
        for s in sysfs.values():
            self.assertEqual((s["vid"], s["pid"]), machine.FTDI_VID_PID)
            self.assertTrue(s["manufacturer"] and s["product"], s)

        self.assertEnded(listed, 0)
        self.assertEqual(listed.errors, [])
        ports = listed.json()
        self.assertEqual(sorted(p["device"] for p in ports),
                         sorted("/dev/" + tty for tty in sysfs), listed.lines)
        expected_plain = []
        for p in sorted(ports, key=lambda p: int(p["port"][3:])):
            tty = p["device"][len("/dev/"):]
            self.assertEqual(p["port"], "COM%d" % (5 + int(tty[len("ttyUSB"):])))
            self.assertEqual(p["usb"], sysfs[tty], p["port"])
            s = sysfs[tty]
            expected_plain.append("%s %s %s:%s %s %s sn %s at %s" % (
                p["port"], p["device"], s["vid"], s["pid"], s["manufacturer"], s["product"],
                s["serial"], s["location"]))
        self.assertEnded(plain, 0)
        self.assertEqual(plain.lines, expected_plain)
        # Looking is not flashing: the boards heard nothing.
        for b in boards:
            self.assertEqual(b.received(), 0, b.name)

    # ---- 2 --------------------------------------------------------------

    def test_2_selectors_pick_adapters_in_the_order_given(self):
        a = self.board("a", "GA200001")
        # B takes the whole image, then gives a wrong final answer (ERROR:6).
        b = self.board("b", "GA200002", ["--final-reply", "4E4B"])
        one = self.firmware("one.fw", 1000, 21)
        two = self.firmware("two.fw", 3001, 22)
        script = ("wait_ports 2\n"
                  "step one %s flash --json sn:ga200001 /fw/one.fw\n"
                  "step two %s flash --json sn:GA200002 0403:6001 /fw/two.fw\n"
                  # B by its place on the bus, as the kernel has it.
                  "step three %s flash --json loc:$(for d in /sys/bus/usb/devices/*; do "
                  "[ \"$(cat $d/serial 2>/dev/null)\" = GA200002 ] && echo ${d##*/}; done) "
                  "/fw/one.fw\n" % (CLI, CLI, CLI))
        seen = {}
        with machine.Guest(KIT, "selectors", script, boards=[a, b],
                           files={"/fw/one.fw": one, "/fw/two.fw": two}) as g:
            first = g.step("one", look=lambda s: seen.update(a=a.image(), b=b.received()))
            second = g.step("two", look=lambda s: seen.update(b2=b.image()))
            third = g.step("three")
            g.finish()

        # The serial number alone, in other letters' case: that board only.
        self.assertEnded(first, 0)
        self.assertEqual([e["usb"]["serial"] for e in first.events("start")], ["GA200001"])
        self.assertEqual([(e["code"], e["bytes"]) for e in first.events("outcome")], [(0, 1000)])
        self.assertSameBytes(seen["a"], one, "board A after sn:")
        self.assertEqual(seen["b"], 0, "board B heard something")

        # The serial number, then every FT232: B first as given, A once
        # after it, and the exit code is B's.
        self.assertEnded(second, 6)
        self.assertEqual([e["usb"]["serial"] for e in second.events("start")],
                         ["GA200002", "GA200001"], second.lines)
        outcomes = self.by_serial(second.events("outcome"))
        self.assertEqual(len(second.events("outcome")), 2)
        self.assertEqual(outcomes["GA200002"]["code"], 6)
        self.assertEqual(outcomes["GA200001"]["code"], 0)
        summary = second.events("summary")
        self.assertEqual([(s["boards"], s["succeeded"], s["failed"], s["code"]) for s in summary],
                         [(2, 1, 1, 6)])
        self.assertSameBytes(a.image(), gui_e2e.whole_words(two), "board A")
        self.assertSameBytes(seen["b2"], gui_e2e.whole_words(two), "board B")

        # The place on the bus picks B alone, and is the place list shows.
        self.assertEnded(third, 6)
        self.assertEqual([e["usb"]["serial"] for e in third.events("start")], ["GA200002"])
        self.assertEqual(third.events("start")[0]["usb"]["location"],
                         outcomes["GA200002"]["usb"]["location"])
        self.assertSameBytes(b.image(), one, "board B after loc:")

    # ---- 3 --------------------------------------------------------------

    def test_3_a_silent_board_holds_up_nobody(self):
        boards = [self.board("a", "GA300001"), self.board("b", "GA300002", ["--silent"]),
                  self.board("c", "GA300003")]
        data = self.firmware("trx.fw", 4000, 31)
        script = "wait_ports 3\nstep all %s flash --json 0403:6001 /fw/trx.fw\n" % CLI
        with machine.Guest(KIT, "silent", script, boards=boards,
                           files={"/fw/trx.fw": data}) as g:
            step = g.step("all")
            g.finish()

        self.assertEnded(step, 3)
        outcomes = step.events("outcome")
        self.assertEqual(sorted((e["usb"]["serial"], e["code"]) for e in outcomes),
                         [("GA300001", 0), ("GA300002", 3), ("GA300003", 0)], step.lines)
        # The healthy boards were told first, while the silent one was
        # still being waited for.
        self.assertEqual(outcomes[-1]["usb"]["serial"], "GA300002", step.lines)
        silent = self.by_serial(outcomes)["GA300002"]
        for serial in ("GA300001", "GA300003"):
            self.assertLess(self.by_serial(outcomes)[serial]["seconds"], silent["seconds"])
        self.assertEqual([(s["boards"], s["succeeded"], s["failed"], s["code"])
                          for s in step.events("summary")], [(3, 2, 1, 3)])
        self.assertSameBytes(boards[0].image(), data, "board A")
        self.assertEqual(boards[1].image(), b"", "the silent board")
        self.assertSameBytes(boards[2].image(), data, "board C")

    # ---- 4 --------------------------------------------------------------

    def test_4_station_loop_goes_on_after_a_board_pulled_mid_upload(self):
        size = 6000
        pull_at = 2200  # image bytes the board has received when it is pulled
        data = self.firmware("trx.fw", size, 41)
        boards = [self.board("s%d" % n, "GA40000%d" % n) for n in (1, 2, 3)]
        pulled = boards[1]
        script = "step station %s flash --wait --count 3 --json 0403:6001 /fw/trx.fw\n" % CLI
        count = lambda kind: lambda s: len(s.events(kind))
        with machine.Guest(KIT, "station", script, files={"/fw/trx.fw": data}) as g:
            g.begin("station")
            for n, board in enumerate(boards, 1):
                # Plugged in only once the loop has seen the last one go.
                g.pump(lambda s: count("waiting")(s) == n, 60)
                g.plug(board)
                if board is pulled:
                    g.pump(lambda s: board.image_size() >= pull_at, 60)
                    pulled_at = time.monotonic()
                    g.unplug(board)
                    board.power_off()
                g.pump(lambda s: count("tally")(s) == n, 60)
                if board is not pulled and n < len(boards):
                    g.unplug(board)
            step = g.finish_step()
            g.finish()

        got = pulled.image()
        self.assertGreaterEqual(len(got), pull_at)
        self.assertLess(len(got), size, "the board was pulled only after the whole image")
        self.assertTrue(got == data[:len(got)], "the pulled board's bytes are not the image's")
        self.assertEqual([(e["usb"]["serial"], e["code"] != 0) for e in step.events("outcome")],
                         [(b.serial, b is pulled) for b in boards], step.lines)
        lost = self.by_serial(step.events("outcome"))[pulled.serial]
        self.assertEqual([(t["done"], t["failed"]) for t in step.events("tally")],
                         [(1, 0), (1, 1), (2, 1)])
        self.assertEqual([(s["boards"], s["succeeded"], s["failed"], s["code"])
                          for s in step.events("summary")], [(3, 2, 1, lost["code"])])
        self.assertEnded(step, lost["code"])
        self.assertSameBytes(boards[0].image(), data, "the first board")
        self.assertSameBytes(boards[2].image(), data, "the third board")

        # What a station operator sees of the pull: how long until it is
        # told, and how much it is told was sent.
        told = step.arrived[step.lines.index(next(
            line for line in step.lines
            if '"event":"outcome"' in line and pulled.serial in line))]
        shown = max([p["percent"] for p in step.events("progress")
                     if p["usb"]["serial"] == pulled.serial] or [0])
        print("\nPulled board %s: outcome %d (%s) %.2f s after the pull; it reported %d bytes "
              "sent (progress shown up to %d %%), the device had received %d of %d." % (
                  pulled.serial, lost["code"], lost.get("detail", lost["text"]),
                  told - pulled_at, lost["bytes"], shown, len(got), size))
        # Told at once and honestly: the driver counts what it holds and
        # what is in flight, so no more than the 64 bytes the program
        # writes ahead of the line may lie between what it told as sent
        # and what the device got.
        self.assertEqual(lost.get("reason"), "vanished", lost)
        self.assertLess(told - pulled_at, 1.5)
        self.assertLessEqual(lost["bytes"], len(got) + WRITE_AHEAD)

    # ---- 5 --------------------------------------------------------------

    def test_5_ctrl_c_ends_every_worker(self):
        size = 60000
        boards = [self.board("a", "GA500001"), self.board("b", "GA500002")]
        data = self.firmware("big.fw", size, 51)
        script = ("wait_ports 2\n"
                  "step flash %s flash --json 0403:6001 /fw/big.fw\n"
                  "step list %s list --json\n" % (CLI, CLI))
        with machine.Guest(KIT, "interrupt", script, boards=boards,
                           files={"/fw/big.fw": data}) as g:
            g.begin("flash")
            g.pump(lambda s: all(b.image_size() >= 1000 for b in boards), 60)
            g.interrupt()
            flash = g.finish_step(timeout=30)
            listed = g.step("list")
            g.finish()

        self.assertEnded(flash, 130)
        # Said once, by the program, not again by each worker.
        self.assertEqual(flash.errors.count("Interrupted."), 1, flash.errors)
        self.assertEqual([e for e in flash.events("outcome") if e["code"] == 0], [],
                         "a board cut short was told it succeeded")
        for b in boards:
            got = b.image()
            self.assertLess(len(got), size, "%s was not interrupted mid-upload" % b.name)
            self.assertTrue(got == data[:len(got)], b.name)
        # Every port free again: each opens for the next program.
        self.assertEnded(listed, 0)
        self.assertEqual(listed.errors, [])
        self.assertEqual(sorted(p["usb"]["serial"] for p in listed.json()),
                         ["GA500001", "GA500002"])

    # ---- 6 --------------------------------------------------------------

    def test_6_a_board_on_the_cdc_acm_driver(self):
        # The guest's own USB gadget is the board, on the kernel's CDC-ACM
        # driver: one boot for listing, a whole upload, Ctrl+C and the
        # gadget let go of mid-upload.
        identity = {"vid": "1209", "pid": "0001", "manufacturer": "UF Test Works",
                    "product": "ACM Bootloader", "serial": "GACM0001"}
        ok = self.firmware("ok.fw", 1000, 61)
        big = self.firmware("big.fw", 60000, 62)
        pull_at = 1000
        script = ("acm_gadget %(vid)s %(pid)s %(serial)s '%(manufacturer)s' '%(product)s'\n"
                  "sysfs_identities\n" % identity +
                  "step list %s list --json\n"
                  "sim_start ok\nstep flash %s flash --json COM11 /fw/ok.fw\nsim_stop ok\n"
                  "sim_start cut\nwhen_received cut 500\n"
                  "step interrupt %s flash --json COM11 /fw/big.fw\nsim_stop cut\n"
                  "sim_start pull\nwhen_received pull %d acm_unplug\n"
                  "step pull %s flash --json COM11 /fw/big.fw\nsim_stop pull\n" % (
                      CLI, CLI, CLI, pull_at, CLI))
        with machine.Guest(KIT, "acm", script, files={"/fw/ok.fw": ok, "/fw/big.fw": big}) as g:
            sysfs = self.sysfs_before(g, "list")
            listed = g.finish_step()
            flash = g.step("flash")
            g.begin("interrupt")
            g.pump(lambda s: "cut" in s.marks, 60)
            g.interrupt()
            interrupted = g.finish_step(timeout=30)
            g.begin("pull")
            pull = g.pump(lambda s: "pull" in s.marks, 60)
            g.finish_step(timeout=30)
            g.finish()

        # list: COM11 is /dev/ttyACM0, with the gadget's identity as sysfs
        # has it.
        self.assertEqual(list(sysfs), ["ttyACM0"])
        self.assertEqual(dict(sysfs["ttyACM0"], location=None), dict(identity, location=None))
        self.assertEnded(listed, 0)
        acm = [p for p in listed.json() if p["device"] == "/dev/ttyACM0"]
        self.assertEqual([(p["port"], p["usb"]) for p in acm], [("COM11", sysfs["ttyACM0"])],
                         listed.lines)

        self.assertEnded(flash, 0)
        self.assertEqual([(e["code"], e["bytes"]) for e in flash.events("outcome")], [(0, 1000)])
        self.assertReceived(g, "ok", ok, "the flashed board")

        self.assertEnded(interrupted, 130)
        self.assertEqual(interrupted.errors.count("Interrupted."), 1, interrupted.errors)
        self.assertEqual([e for e in interrupted.events("outcome") if e["code"] == 0], [])
        got = g.guest_boards["cut"][0]
        self.assertLess(got, len(big), "the board was not interrupted mid-upload")
        self.assertReceived(g, "cut", big[:got], "the interrupted board")

        # The gadget let go of: told at once as vanished, and no more bytes
        # claimed than the board got and the host's driver could hold.
        lost = pull.events("outcome")
        self.assertEqual([e.get("reason") for e in lost], ["vanished"], pull.lines)
        self.assertNotEqual(lost[0]["code"], 0)
        self.assertEnded(pull, lost[0]["code"])
        got = g.guest_boards["pull"][0]
        self.assertGreaterEqual(got, pull_at)
        self.assertLess(got, len(big), "the gadget was let go of only after the whole image")
        self.assertReceived(g, "pull", big[:got], "the board let go of")
        told = pull.arrived[pull.lines.index(next(
            line for line in pull.lines if '"event":"outcome"' in line))]
        print("\nGadget let go of: outcome %d (%s) %.2f s after; it reported %d bytes sent, the "
              "board had received %d of %d." % (lost[0]["code"], lost[0].get("detail"),
                                                 told - pull.marks["pull"], lost[0]["bytes"],
                                                 got, len(big)))
        self.assertLess(told - pull.marks["pull"], 1.5)
        self.assertLessEqual(lost[0]["bytes"], got + ACM_HOLDS)


    # ---- 7 --------------------------------------------------------------

    def test_7_a_station_runs_from_its_profile(self):
        # The profile and the image in a folder of their own, named relative
        # to it, as a station's folder is copied from PC to PC.
        data = self.firmware("trx.fw", 3000, 71)
        boards = [self.board("p%d" % n, "GA70000%d" % n) for n in (1, 2)]
        profile = ('ports = ["0403:6001"]\nimage = "trx.fw"\nexpect_sha256 = "%s"\n'
                   'count = 2\nlog = "line1.jsonl"\n' % hashlib.sha256(data).hexdigest())
        script = "step station %s --json station /st/line1.toml\n" % CLI
        count = lambda kind: lambda s: len(s.events(kind))
        with machine.Guest(KIT, "profile", script,
                           files={"/st/line1.toml": profile, "/st/trx.fw": data}) as g:
            g.begin("station")
            for n, board in enumerate(boards, 1):
                g.pump(lambda s: count("waiting")(s) == n, 60)
                g.plug(board)
                g.pump(lambda s: count("tally")(s) == n, 60)
                if n < len(boards):
                    g.unplug(board)
            step = g.finish_step()
            g.finish()
        self.assertEqual([(t["done"], t["failed"]) for t in step.events("tally")],
                         [(1, 0), (2, 0)], step.lines)
        self.assertEnded(step, 0)
        for board in boards:
            self.assertSameBytes(board.image(), data, board.serial)

def main():
    args = sys.argv[1:]
    patterns = []
    while "-k" in args:
        i = args.index("-k")
        patterns.append(args[i + 1])
        del args[i:i + 2]
    if len(args) != 3:
        sys.exit(__doc__)
    cli, sim, build_dir = (os.path.abspath(a) for a in args)
    if not machine.qemu_path():
        print("SKIPPED: %s is not installed (tools/install-deps.sh test installs "
              "qemu-system-x86)" % machine.QEMU)
        sys.exit(SKIPPED)
    global KIT
    started = time.monotonic()
    KIT = machine.Kit(cli, sim, build_dir)
    print("Guest kernel %s, prepared in %.1f s" % (os.path.basename(KIT.kernel.folder),
                                                   time.monotonic() - started))
    loader = unittest.TestLoader()
    if patterns:
        loader.testNamePatterns = ["*%s*" % p for p in patterns]
    suite = loader.loadTestsFromTestCase(CliInGuest)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    print("Guest suite: %.1f s" % (time.monotonic() - started))
    sys.exit(0 if result.wasSuccessful() and result.testsRun else 1)


if __name__ == "__main__":
    main()
