"""A QEMU guest (TCG, no KVM) with boards on emulated FTDI adapters, or on
the guest's own USB gadget (see acm_gadget in uf-guest.sh), where the
simulator runs in the guest and tells what it received (UF-SIM lines).

Each board is a simulated bootloader (tools/bootloader-sim, started the way
every test starts it, through guikit.gui_e2e.Device) on a pseudo-terminal
whose other end QEMU opens as the line of a usb-serial device: an FT232 to
the guest, 0403:6001, with the board's USB serial number. Boards are
plugged in at boot or later through QEMU's monitor (QMP), and unplugged the
same way, which is what a pulled cable is to the guest.

The guest's console is QEMU's standard input and output. Lines starting
with "UF-" are the harness's (see uf-guest.sh); the rest is the program's.

    with Guest(kit, "list", script, boards=[a, b]) as g:
        result = g.step("list")     # Step: .code, .lines, .json, .errors
"""
import json
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time

from guikit import gui_e2e, guitest

from guestkit import initramfs, kernel

QEMU = "qemu-system-x86_64"
BOOT_TIMEOUT = 90.0
STEP_TIMEOUT = 120.0
# How often a wait on the guest's output also looks at the boards (s).
POLL = 0.005
# What QEMU's usb-serial device is to the guest.
FTDI_VID_PID = ("0403", "6001")


class GuestError(Exception):
    pass


def qemu_path():
    return shutil.which(QEMU)


class Kit:
    """What every case shares: the kernel, the base archive, the programs,
    and a folder for each case's files and console transcript."""

    def __init__(self, cli, sim, build_dir):
        self.cli = cli
        self.sim = sim
        self.logs = os.path.join(build_dir, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.kernel = kernel.fetch(os.path.join(build_dir, "cache"))
        self.base = initramfs.build_base(os.path.join(build_dir, "initramfs"), self.kernel, cli,
                                         sim)


class Monitor:
    """QEMU's machine protocol on a Unix socket: commands and their answers,
    with the events that come between kept aside."""

    def __init__(self, path, timeout=30.0):
        self.timeout = timeout
        deadline = time.monotonic() + timeout
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        while True:
            try:
                self.sock.connect(path)
                break
            except (FileNotFoundError, ConnectionRefusedError):
                if time.monotonic() > deadline:
                    raise GuestError("QEMU's monitor did not come up at %s" % path)
                time.sleep(0.05)
        self.buffer = b""
        self.events = []
        self._message(timeout)  # the greeting
        self.command("qmp_capabilities")

    def _message(self, timeout):
        """The next message, or None after `timeout` s."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return None
            chunk = self.sock.recv(65536)
            if not chunk:
                raise GuestError("QEMU's monitor closed")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return json.loads(line)

    def command(self, name, **arguments):
        self.sock.sendall((json.dumps({"execute": name, "arguments": arguments}) + "\n").encode())
        while True:
            message = self._message(self.timeout)
            if message is None:
                raise GuestError("QEMU did not answer %s within %ss" % (name, self.timeout))
            if "event" in message:
                self.events.append(message)
            elif "error" in message:
                raise GuestError("%s %s: %s" % (name, arguments, message["error"]))
            elif "return" in message:
                return message["return"]

    def wait_event(self, name, predicate=lambda data: True, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e["event"] == name and predicate(e.get("data", {})):
                    self.events.remove(e)
                    return e
            left = deadline - time.monotonic()
            message = self._message(left) if left > 0 else None
            if message is None:
                raise GuestError("no %s event within %ss" % (name, timeout))
            if "event" in message:
                self.events.append(message)

    def close(self):
        self.sock.close()


class Board:
    """A simulated board behind an emulated FTDI adapter with USB serial
    number `serial`; `options` go to the simulator (--silent, ...)."""

    def __init__(self, kit, workdir, name, serial, options=()):
        self.name = name
        self.serial = serial
        self.sim = gui_e2e.Device(kit.sim, workdir, name, list(options), sessions=0, timeout=600,
                                  log=True)
        self.line_id = "line-" + name
        self.device_id = "board-" + name

    def image(self):
        """The image bytes of the simulator's latest session."""
        return self.sim.image()

    def received(self):
        """Every byte the simulator has read so far, commands included."""
        return self.sim.received()

    def image_size(self):
        try:
            return os.path.getsize(self.sim.image_path)
        except FileNotFoundError:
            return 0

    def qemu_args(self):
        return ["-chardev", "serial,id=%s,path=%s" % (self.line_id, self.sim.path),
                "-device", "usb-serial,id=%s,bus=xhci.0,chardev=%s,serial=%s" % (
                    self.device_id, self.line_id, self.serial)]

    def power_off(self):
        """The board loses power with its cable: it receives nothing more."""
        self.sim.kill()


class Step:
    """What one `step` of the case's script showed."""

    def __init__(self, name):
        self.name = name
        self.lines = []     # the program's standard output, line by line
        self.arrived = []   # when each of them reached the host (monotonic s)
        self.errors = []    # its standard error
        self.code = None
        self.left = []      # ids of the program's processes alive after it
        self.marks = {}     # the script's marks (UF-MARK NAME) meanwhile: when they came

    def json(self):
        """Every line of standard output that is a JSON object."""
        found = []
        for line in self.lines:
            if line.startswith("{"):
                try:
                    found.append(json.loads(line))
                except ValueError:
                    pass
        return found

    def events(self, kind):
        return [e for e in self.json() if e.get("event") == kind]


class Guest:
    """One boot of the guest with a case's script. Boards in `boards` are
    plugged in from the start; `files` ({guest path: bytes}) join the
    initramfs."""

    def __init__(self, kit, name, script, boards=(), files=None):
        self.kit = kit
        self.name = name
        self.dir = tempfile.mkdtemp(prefix="uf-guest-%s-" % name)
        self.transcript = os.path.join(kit.logs, name + ".console.txt")
        self.boards = list(boards)
        # What each simulator in the guest received: {name: (size, MD5)}.
        self.guest_boards = {}
        case_files = dict(files or {})
        case_files["/case.sh"] = ". %s\n%s" % (initramfs.HELPERS, script)
        initrd = initramfs.with_case(kit.base, os.path.join(self.dir, "initrd"), case_files)
        qmp = os.path.join(self.dir, "qmp.sock")
        # TCG, also where KVM would do: the same machine everywhere. One
        # processor leaves the other core to the boards and this driver; no
        # network card, whose boot ROM only costs time.
        args = [qemu_path(), "-accel", "tcg", "-m", "256", "-smp", "1",
                "-nographic", "-no-reboot", "-nic", "none",
                "-kernel", kit.kernel.vmlinuz, "-initrd", initrd,
                "-append", "console=ttyS0,115200 quiet loglevel=3 panic=-1",
                "-device", "qemu-xhci,id=xhci",
                "-qmp", "unix:%s,server=on,wait=off" % qmp]
        for b in self.boards:
            args += b.qemu_args()
        self.log = open(self.transcript, "w")
        proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace",
                                start_new_session=True)
        self.console = guitest.App(proc, "guest " + name)
        self.monitor = None
        self.current = None
        try:
            self.monitor = Monitor(qmp)
            # The firmware's last words may share the line: it ends none.
            self.expect(r"UF-BOOTED$", BOOT_TIMEOUT)
        except Exception:
            self.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # ---- the console --------------------------------------------------

    def _line(self, timeout):
        line = self.console.next_line(timeout)
        if line is None:
            return None
        # The firmware's screen codes before the kernel's first line.
        line = re.sub(r"\x1b(\[[0-9;?]*[A-Za-z]|c)", "", line).rstrip("\r")
        self.log.write(line + "\n")
        self.log.flush()
        if line.startswith("UF-FAIL"):
            raise GuestError("%s: %s" % (self.name, line))
        if line.startswith("UF-SIM "):
            name, size, md5 = line.split()[1:4]
            self.guest_boards[name] = (int(size), md5)
        return line

    def _tail(self):
        return "\n".join(guitest.read_text(self.transcript).splitlines()[-40:])

    def expect(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            line = self._line(max(left, 0)) if left > 0 else None
            if line is None:
                raise GuestError("%s: no line matching %r within %ss; the console's end:\n%s" %
                                 (self.name, pattern, timeout, self._tail()))
            match = re.search(pattern, line)
            if match:
                return match

    def type(self, text):
        """Types on the guest's console."""
        self.console.proc.stdin.write(text)
        self.console.proc.stdin.flush()

    def interrupt(self):
        """Ctrl+C on the console: the terminal driver signals the program."""
        self.type("\x03")

    # ---- steps of the case's script ----------------------------------

    def begin(self, name, timeout=STEP_TIMEOUT):
        """Waits until the script starts step `name`; its Step."""
        self.expect(r"^UF-STEP %s$" % re.escape(name), timeout)
        self.current = Step(name)
        return self.current

    def pump(self, until, timeout):
        """Reads the current step's output until until(step) is true;
        returns the step. Raises when the step ends first."""
        step = self.current
        deadline = time.monotonic() + timeout
        while not until(step):
            left = deadline - time.monotonic()
            # Short looks, since `until` may watch the boards too.
            line = self._line(min(left, POLL)) if left > 0 else None
            if line is None:
                if left > 0 and self.console.running():
                    continue
                raise GuestError("%s, step %s: the awaited output did not come within %ss; "
                                 "the console's end:\n%s" % (self.name, step.name, timeout,
                                                             self._tail()))
            if self._take(step, line):
                raise GuestError("%s, step %s ended (exit %s) before the awaited output:\n%s" %
                                 (self.name, step.name, step.code, "\n".join(step.lines)))
        return step

    def _take(self, step, line):
        """Files a console line under the step; True at its end."""
        marker = "UF-ERR %s " % step.name
        end = re.match(r"^UF-END %s (\d+)(.*)$" % re.escape(step.name), line)
        if line.startswith(marker):
            step.errors.append(line[len(marker):])
        elif line.startswith("UF-MARK "):
            step.marks[line[len("UF-MARK "):]] = time.monotonic()
        elif end:
            step.code = int(end.group(1))
            step.left = end.group(2).split()
            return True
        elif not line.startswith("UF-"):
            step.lines.append(line)
            step.arrived.append(time.monotonic())
        return False

    def finish_step(self, look=None, timeout=STEP_TIMEOUT):
        """Reads the current step to its end, calls look(step) when given
        (the boards are as the step left them), then lets the script go on."""
        step = self.current
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            line = self._line(left) if left > 0 else None
            if line is None:
                raise GuestError("%s, step %s did not end within %ss; the console's end:\n%s" %
                                 (self.name, step.name, timeout, self._tail()))
            if self._take(step, line):
                break
        self.current = None
        if look is not None:
            look(step)
        self.type("\n")
        return step

    def step(self, name, look=None, timeout=STEP_TIMEOUT):
        """A whole step, from its start to its end."""
        self.begin(name, timeout)
        return self.finish_step(look, timeout)

    def lines_before_step(self, name, prefix, timeout=STEP_TIMEOUT):
        """The harness lines starting with `prefix` that come before step
        `name`, which is then begun."""
        found = []
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            line = self._line(left) if left > 0 else None
            if line is None:
                raise GuestError("%s: step %s did not start within %ss:\n%s" %
                                 (self.name, name, timeout, self._tail()))
            if line == "UF-STEP " + name:
                self.current = Step(name)
                return found
            if line.startswith(prefix):
                found.append(line[len(prefix):])

    # ---- plugging ------------------------------------------------------

    def plug(self, board):
        self.monitor.command("chardev-add", id=board.line_id, backend={
            "type": "serial", "data": {"device": board.sim.path}})
        self.monitor.command("device_add", driver="usb-serial", id=board.device_id,
                             bus="xhci.0", chardev=board.line_id, serial=board.serial)
        if board not in self.boards:
            self.boards.append(board)

    def unplug(self, board):
        """Pulls the adapter out; returns when QEMU has let go of its line."""
        self.monitor.command("device_del", id=board.device_id)
        self.monitor.wait_event("DEVICE_DELETED", lambda d: d.get("device") == board.device_id)
        self.monitor.command("chardev-remove", id=board.line_id)

    # ---- the end -------------------------------------------------------

    def finish(self, timeout=60.0):
        """Waits for the script's end and the machine's power-off."""
        self.expect(r"^UF-DONE", timeout)
        if self.console.wait_exit(30) is None:
            raise GuestError("%s: QEMU still running after the power-off" % self.name)

    def close(self):
        if self.monitor is not None:
            self.monitor.close()
        self.console.kill()
        self.log.close()
        for b in self.boards:
            b.sim.kill()
        shutil.rmtree(self.dir, ignore_errors=True)
