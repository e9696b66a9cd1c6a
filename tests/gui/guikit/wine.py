"""Running the Windows build's programs under Wine inside a guitest.Session.

The environment (set by CMake) names the Wine launcher, the GUI tests' Wine
prefix and, optionally, the native xclose helper and the bar reader:
    UF_WINE_RUN, UF_WINEPREFIX_GUI, UF_XCLOSE, UF_BAR_READER
"""
import os
import subprocess

from guikit import guitest

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.environ.get("UF_WINE_RUN", os.path.join(HERE, "..", "..", "scripts", "wine-run.sh"))
PREFIX = os.environ.get("UF_WINEPREFIX_GUI", "")

# Wine starts slower than a native program, the first time in a fresh prefix
# much slower (the prefix is made then).
START_TIMEOUT = 120.0


def new_session(**kwargs):
    """A guitest.Session whose end waits for Wine to leave its X server."""
    if not PREFIX:
        raise guitest.GuiTestError("UF_WINEPREFIX_GUI is not set")
    if os.environ.get("UF_XCLOSE") and not os.access(os.environ["UF_XCLOSE"], os.X_OK):
        # The native build was not made: guitest compiles xclose itself.
        del os.environ["UF_XCLOSE"]
    session = guitest.Session(**kwargs)
    session.on_close(lambda: _wait_wineserver(session))
    return session


def launch(session, program, args=(), cwd=None, env=None):
    return session.launch([WINE_RUN, "--prefix=" + PREFIX, program] + list(args), env=env,
                          cwd=cwd, name=os.path.basename(program))


class BarReader:
    """tests/gui/bar_reader.exe (`exe`) running under Wine in the program's
    prefix: asks the window's progress bar for its position."""

    def __init__(self, session, exe):
        self.proc = subprocess.Popen([WINE_RUN, "--prefix=" + PREFIX, exe],
                                     env=dict(session.env, WINEPREFIX=PREFIX),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1)
        session.on_close(self.close)

    def percent(self):
        """The bar's position in percent, or None when it cannot tell."""
        self.proc.stdin.write("?\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().strip()
        value = int(answer) if answer.lstrip("-").isdigit() else -1
        return float(value) if value >= 0 else None

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()


def _wait_wineserver(session):
    # Wine's desktop process talks to this X server; it must be gone before
    # the server is.
    env = dict(session.env, WINEPREFIX=PREFIX)
    try:
        subprocess.run(["wineserver", "-w"], env=env, timeout=30)
    except subprocess.TimeoutExpired:
        subprocess.run(["wineserver", "-k"], env=env, timeout=30)
