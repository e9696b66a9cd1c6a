#!/usr/bin/env python3
"""The JSON Lines of a fixed set of `list --json` and `flash --json` runs
against simulated devices, with the seconds fields zeroed, so that two
builds of update-firmware-cli can be compared line for line:

    json_runs.py --cli OLD --sim SIM > old.jsonl
    json_runs.py --cli NEW --sim SIM > new.jsonl
    diff old.jsonl new.jsonl

Scripts read these lines; a field renamed, moved or dropped breaks them."""
import argparse
import json
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "gui"))
from guikit import gui_e2e  # noqa: E402


def zero_seconds(line):
    event = json.loads(line, object_pairs_hook=dict)
    if "seconds" in event:
        event["seconds"] = 0
    return json.dumps(event, separators=(",", ":"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--sim", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        gui_e2e.firmware(os.path.join(work, "fw.bin"), 1201, seed=7)
        devices = gui_e2e.Devices(args.sim, work)
        devices.add(5, sessions=0)
        devices.add(6, ["--final-reply", "6F6B"], sessions=0)
        devices.add(7, ["--silent"], sessions=0)
        env = dict(os.environ, **devices.environment())
        # Device paths differ from run to run; the tests check them.
        paths = {d.path: "COM%d-device" % com for com, d in devices.by_com.items()}
        runs = [["list", "--json"],
                ["flash", "--json", "COM5", "fw.bin"],
                ["flash", "--json", "COM5", "COM6", "fw.bin"],
                ["flash", "--json", "COM6", "COM5", "missing.fw"],
                ["flash", "--json", "COM9", "fw.bin"],
                ["flash", "--json", "--wait", "--count", "1", "COM5", "fw.bin"]]
        try:
            for run in runs:
                done = subprocess.run([args.cli] + run, cwd=work, env=env, capture_output=True,
                                      text=True, timeout=60)
                print("# %s -> %d" % (" ".join(run), done.returncode))
                lines = done.stdout.splitlines()
                for path, name in paths.items():
                    lines = [line.replace(path, name) for line in lines]
                # Boards run at once, so their events interleave as time
                # has it; each board's own order is what counts.
                lines.sort(key=lambda l: json.loads(l).get("port", "~"))
                for line in lines:
                    print(zero_seconds(line))
        finally:
            devices.kill_all()


if __name__ == "__main__":
    main()
