#!/usr/bin/env python3
"""update-firmware-cli flash against the AVR bootloader itself, running in
mcu-sim: a simulated ATmega328P on a pseudo-terminal, with the line at
9600 baud, a two-byte receiver that overruns and page writes that take 4 ms.
The host's writes are paced by the line model, as a real port paces them.

    test_mcu_flash.py CASE CLI MCU_SIM LINE_MODEL FIRMWARE_DIR WORK_DIR
CASE: good      a 16 KiB image (the sample application padded) and the
                sample application's .hex go in whole, without an overrun,
                and the application runs and prints its line
      polling   the bootloader that polls its receiver loses bytes during
                page writes; the upload must fail
      oversize  an image past the application flash is refused by the
                device, and the boot section is left as it was
"""
import os
import re
import subprocess
import sys
import time

BOOT_START = 0x7000
FLASH_SIZE = 0x8000


def read_ihex(path):
    """The bytes of an Intel HEX file, as {address: byte}."""
    data, base = {}, 0
    for line in open(path):
        rec = bytes.fromhex(line.strip()[1:])
        count, addr, kind = rec[0], (rec[1] << 8) | rec[2], rec[3]
        if kind == 0:
            for i in range(count):
                data[base + addr + i] = rec[4 + i]
        elif kind == 2:
            base = ((rec[4] << 8) | rec[5]) << 4
        elif kind == 4:
            base = ((rec[4] << 8) | rec[5]) << 16
    return data


class Mcu:
    """mcu-sim running `firmware` in `work`, its terminal in `port`."""

    def __init__(self, mcu_sim, firmware, work):
        self.ready = os.path.join(work, "ready")
        self.dump = os.path.join(work, "flash.bin")
        self.log = os.path.join(work, "uart.log")
        for f in (self.ready, self.dump, self.log):
            if os.path.exists(f):
                os.unlink(f)
        self.sim = subprocess.Popen([mcu_sim, "--firmware", firmware, "--ready-file", self.ready,
                                     "--flash-out", self.dump, "--uart-log", self.log,
                                     "--timeout", "90"], stderr=subprocess.PIPE, text=True)
        deadline = time.monotonic() + 10
        while not os.path.exists(self.ready):
            if time.monotonic() > deadline or self.sim.poll() is not None:
                self.sim.kill()
                sys.exit("mcu-sim did not get ready: " + self.sim.stderr.read())
            time.sleep(0.05)
        self.port = open(self.ready).read().strip()

    def end(self):
        """Once the host has closed the port: the flash dump, the UART log
        and the overrun count."""
        _, err = self.sim.communicate(timeout=30)
        if self.sim.returncode != 0:
            sys.exit(f"mcu-sim exit code {self.sim.returncode}: {err}")
        overruns = re.search(r"^overruns (\d+)$", err, re.M)
        if not overruns:
            sys.exit("mcu-sim gave no overrun count: " + err)
        return open(self.dump, "rb").read(), open(self.log, "rb").read(), int(overruns.group(1))


def flash(cli, mcu_sim, line_model, firmware, image, work):
    """One upload, by the native CLI or, with UF_WINE_RUN and UF_WINEPREFIX
    set, the Windows one under Wine through a COM link. Returns the CLI's
    exit code and output, the flash dump, the UART log and the overruns."""
    mcu = Mcu(mcu_sim, firmware, work)
    env = dict(os.environ, LD_PRELOAD=line_model, LINE_MODEL_DEVICE=mcu.port)
    command = [cli, "flash", mcu.port, image]
    if os.environ.get("UF_WINE_RUN"):
        prefix = os.environ["UF_WINEPREFIX"]
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            # Made before the link: Wine makes dosdevices only with a new prefix.
            subprocess.run([os.environ["UF_WINE_RUN"], "--prefix=" + prefix, "cmd", "/c", "exit"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        link = os.path.join(prefix, "dosdevices", "com14")
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink(mcu.port, link)
        command = [os.environ["UF_WINE_RUN"], "--prefix=" + prefix, cli, "flash", "COM14", image]
    cli_run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=120)
    return (cli_run.returncode, cli_run.stdout + cli_run.stderr) + mcu.end()


def padded_app(fw_dir):
    """The sample application padded to 16 KiB with a pattern."""
    app = open(os.path.join(fw_dir, "uf-sample-app.bin"), "rb").read()
    return app + bytes((i * 7 + 3) & 0xFF for i in range(16384 - len(app)))


def landed(dump, log, overruns, content):
    """What is wrong with a good upload of `content`, as a list."""
    wrong = []
    if dump[:len(content)] != content:
        wrong.append("the flash does not hold the image")
    if dump[len(content):BOOT_START] != b"\xff" * (BOOT_START - len(content)):
        wrong.append("the flash past the image is not erased")
    if overruns != 0:
        wrong.append(f"{overruns} bytes overran")
    if not log.startswith(b"OKOKuf-sample-app "):
        wrong.append(f"the UART said {log!r}")
    return wrong


def main():
    case, cli, mcu_sim, line_model, fw_dir, work = sys.argv[1:7]
    os.makedirs(work, exist_ok=True)
    app = open(os.path.join(fw_dir, "uf-sample-app.bin"), "rb").read()
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)

    app16k = padded_app(fw_dir)
    image = os.path.join(work, "app16k.bin")
    open(image, "wb").write(app16k)
    if case == "good":
        hex_image = os.path.join(fw_dir, "uf-sample-app.hex")
        # Under Wine the 16 KiB image alone: the .hex path is the same code.
        uploads = [(image, app16k)] + ([] if os.environ.get("UF_WINE_RUN") else
                                       [(hex_image, app)])
        for path, content in uploads:
            rc, out, dump, log, overruns = flash(cli, mcu_sim, line_model,
                                                 os.path.join(fw_dir, "uf-bootloader.elf"),
                                                 path, work)
            name = os.path.basename(path)
            for wrong in landed(dump, log, overruns, content):
                check(False, f"{name}: {wrong}")
            check(rc == 0 and "Device update!" in out, f"{name}: the CLI said {rc}: {out}")
            print(f"{name}: CLI exit code {rc}, overruns {overruns}")
    elif case == "polling":
        rc, out, dump, log, overruns = flash(cli, mcu_sim, line_model,
                                             os.path.join(fw_dir, "uf-bootloader-polling.elf"),
                                             image, work)
        check(overruns > 0, "the polling bootloader overran no byte")
        check(rc != 0, "the CLI exited 0 from an upload that lost bytes")
        check("Device update!" not in out, "the CLI reported success")
        check(b"uf-sample-app" not in log, "the application ran")
    elif case == "oversize":
        image = os.path.join(work, "oversize.bin")
        open(image, "wb").write(bytes((i * 13 + 5) & 0xFF for i in range(BOOT_START + 256)))
        rc, out, dump, log, overruns = flash(cli, mcu_sim, line_model,
                                             os.path.join(fw_dir, "uf-bootloader.elf"), image, work)
        boot = read_ihex(os.path.join(fw_dir, "uf-bootloader.hex"))
        expected = bytes(boot.get(a, 0xFF) for a in range(BOOT_START, FLASH_SIZE))
        check(len(dump) == FLASH_SIZE, f"the dump has {len(dump)} bytes")
        check(dump[BOOT_START:] == expected, "the boot section changed")
        check(overruns == 0, f"{overruns} bytes overran")
        check(log.endswith(b"ER"), f"the device did not refuse the image: {log!r}")
        check(rc != 0, "the CLI exited 0 from a refused image")
        check("Device update!" not in out, "the CLI reported success")
    else:
        sys.exit("unknown case " + case)
    if failures:
        print(f"CLI exit code {rc}, overruns {overruns}\n{out}", file=sys.stderr)
        sys.exit("FAIL: " + "; ".join(failures))
    print(f"{case}: CLI exit code {rc}, overruns {overruns}: ok")


if __name__ == "__main__":
    main()
