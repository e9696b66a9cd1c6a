"""Using the line model from Python: the environment that preloads it for one
device, its statistics, and the simulated device's live byte count.

    from guikit import line_model
    env = line_model.environment(lib, "/dev/pts/7", stats="/tmp/line.stats")
    ... run the host program with env ...
    session = line_model.sessions("/tmp/line.stats")[-1]
    print(line_model.idle_share(session))

Standard library only. See tools/line-model/README.md.
"""
import os

# The bootloader protocol's first word is byte 9 of a session: "BL10" and
# the four size bytes come before it.
FIRST_WORD_BYTE = 9


def library(native_build):
    """Path of the preload library in a native build folder."""
    return os.path.join(os.path.abspath(native_build), "tools", "line-model", "libline-model.so")


def environment(lib, device, stats=None, base=None, queue=None, fifo=None):
    """Variables that put the model on `device` for a program and every
    process it starts; LD_PRELOAD keeps what `base` (or os.environ) had."""
    base = os.environ if base is None else base
    preload = [lib] + [p for p in base.get("LD_PRELOAD", "").split() if p and p != lib]
    env = {"LD_PRELOAD": " ".join(preload), "LINE_MODEL_DEVICE": device}
    if stats:
        env["LINE_MODEL_STATS"] = stats
    if queue is not None:
        env["LINE_MODEL_QUEUE"] = str(queue)
    if fifo is not None:
        env["LINE_MODEL_FIFO"] = str(fifo)
    return env


def sessions(stats_path):
    """Every session line of a statistics file as a dict: numbers as ints,
    `gaps` as a list of (byte index after the gap, ns)."""
    found = []
    try:
        with open(stats_path) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return found
    for line in lines:
        if not line.startswith("session "):
            continue
        entry = {}
        for field in line.split()[1:]:
            key, _, value = field.partition("=")
            if key == "gaps":
                entry[key] = [tuple(int(x) for x in g.split(":")) for g in value.split(",") if g]
            elif key == "device":
                entry[key] = value
            else:
                entry[key] = int(value)
        entry.setdefault("gaps", [])
        found.append(entry)
    return found


def idle_share(session, from_byte=FIRST_WORD_BYTE):
    """Share of the time the line stood idle between the start of byte
    `from_byte` and the end of the last byte, or None without such bytes."""
    sent = session["sent"]
    if sent < from_byte:
        return None
    idle = sum(ns for index, ns in session["gaps"] if index > from_byte)
    busy = (sent - from_byte + 1) * session["byte_ns"]
    return idle / float(busy + idle)


def idle_ns(session, from_byte=FIRST_WORD_BYTE):
    return sum(ns for index, ns in session["gaps"] if index > from_byte)


class DeviceCount:
    """How many bytes the simulated device has read so far, from its --log
    file (one line per byte, written as the byte is read). Reads only what
    was added since the last call."""

    def __init__(self, log_path):
        self.path = log_path
        self.offset = 0
        self.count = 0

    def __call__(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                chunk = f.read()
        except FileNotFoundError:
            return 0
        # Only whole lines: a line being written counts once it is complete.
        end = chunk.rfind(b"\n") + 1
        self.count += chunk.count(b"\n", 0, end)
        self.offset += end
        return self.count
