#!/usr/bin/env python3
"""End-to-end uploads of the Windows build under Wine.

Starts the native simulated bootloader with its terminal linked into the
Wine prefix as COM9, runs upload_once.exe there, and checks the outcome and
the bytes the device received. Exit code 0 when every case passed.
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile

PORT = "COM9"


def run_case(args, workdir, name, sim_options, firmware, expected, seconds_range):
    image = os.path.join(workdir, name + ".received")
    fw_path = os.path.join(workdir, name + ".bin")
    with open(fw_path, "wb") as f:
        f.write(firmware)
    link = os.path.join(args.prefix, "dosdevices", PORT.lower())
    os.makedirs(os.path.dirname(link), exist_ok=True)
    sim = subprocess.Popen(
        [args.sim, "--link", link, "--image", image, "--timeout", "120"] + sim_options,
        stdout=subprocess.PIPE, text=True)
    problems = []
    try:
        terminal = sim.stdout.readline().strip()
        if not terminal:
            return [name + ": the simulator gave no terminal path"]
        windows_path = "Z:" + fw_path.replace("/", "\\")
        run = subprocess.run([args.wine_run, "--prefix=" + args.prefix, args.exe, PORT, windows_path],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
        words = run.stdout.split()
        outcome = words[0] if words else "(nothing)"
        if outcome != expected:
            problems.append("%s: outcome %s, expected %s (stderr: %s)"
                            % (name, outcome, expected, run.stderr.strip()[-500:]))
        elif seconds_range:
            seconds = float(words[1])
            low, high = seconds_range
            if not low <= seconds <= high:
                problems.append("%s: took %.3f s, expected %g to %g s" % (name, seconds, low, high))
        if expected == "Success":
            with open(image, "rb") as f:
                received = f.read()
            whole_words = firmware[:len(firmware) // 2 * 2]
            if received != whole_words:
                problems.append("%s: device received %d bytes, expected %d, contents %s"
                                % (name, len(received), len(whole_words),
                                   "equal up to the shorter" if whole_words.startswith(received) else "differ"))
    finally:
        if sim.poll() is None:
            sim.terminate()
            try:
                sim.wait(timeout=5)
            except subprocess.TimeoutExpired:
                sim.kill()
                sim.wait()
    print("%s: %s" % (name, "ok" if not problems else "FAILED"))
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--exe", required=True)
    args = parser.parse_args()
    if not os.access(args.sim, os.X_OK):
        print("no simulator at %s: build the native tree first" % args.sim)
        return 1

    seed = random.randrange(1 << 30)
    print("seed %d" % seed)
    rng = random.Random(seed)
    odd = bytes(rng.randrange(256) for _ in range(rng.randrange(2000, 5000) * 2 + 1))
    problems = []
    with tempfile.TemporaryDirectory(prefix="uf-wine-e2e-") as workdir:
        problems += run_case(args, workdir, "odd-sized image", [], odd, "Success", None)
        problems += run_case(args, workdir, "wrong start reply", ["--start-reply", "4F4C"],
                             b"\x01\x02\x03\x04", "WrongReplyToStart", (0.4, 4.0))
        problems += run_case(args, workdir, "no final reply", ["--no-final"],
                             b"\x01\x02\x03\x04", "NoFinalReply", (5.0, 9.0))
    for p in problems:
        print(p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
