"""Who starts the program under test, and the command line every GUI test
script shares.

One test case serves both builds: it asks the script's LAUNCHER for its X
session and for the running program, and the same script runs the native
build or, given --wine, the Windows build under Wine. A case or a class that
only one of them has says so with @only("native") or @only("wine").

    SCRIPT [--wine] [--NAME VALUE ...] PARAM ... [-k PATTERN ...] [--list]
"""
import os
import sys
import unittest

from guikit import guitest, wine

BOTH = ("native", "wine")


class Native:
    name = "native"
    start_timeout = 20.0

    def new_session(self, **kwargs):
        return guitest.Session(**kwargs)

    def launch(self, session, program, args=(), cwd=None, env=None):
        return session.launch([program] + list(args), env=env, cwd=cwd)

    def bar_reader(self, session, main):
        """A function giving the fill of `main`'s progress bar in percent,
        read off its pixels (call while the bar is at 0)."""
        main.note_empty_row()
        return main.bar_percent


class Wine:
    name = "wine"
    start_timeout = wine.START_TIMEOUT

    def new_session(self, **kwargs):
        return wine.new_session(**kwargs)

    def launch(self, session, program, args=(), cwd=None, env=None):
        # Wine finds its ports as links in the prefix, not in the environment;
        # the rest (the line model's variables) is for Wine itself.
        env = {k: v for k, v in (env or {}).items() if not k.startswith("UPDATE_FIRMWARE_COM")}
        return wine.launch(session, program, args, cwd=cwd, env=env)

    def bar_reader(self, session, main):
        """The same, asked of the bar itself (PBM_GETPOS) by bar_reader.exe."""
        if not os.environ.get("UF_BAR_READER"):
            raise unittest.SkipTest("UF_BAR_READER names bar_reader.exe")
        return wine.BarReader(session, os.environ["UF_BAR_READER"]).percent


def only(*launchers):
    """Marks a test case or a whole class as one for these launchers only."""
    def mark(target):
        target.launchers = launchers
        return target
    return mark


def run(module, params, options=()):
    """Runs the cases of `module` meant for the chosen launcher. Sets
    module.LAUNCHER, each PARAM (an absolute path) and each option (NAME in
    upper case, dashes as underscores; None when not given)."""
    args = sys.argv[1:]
    launcher = Native()
    if "--wine" in args:
        args.remove("--wine")
        launcher = Wine()
    values = {}
    for name in options:
        key = name.upper().replace("-", "_")
        values[key] = None
        if "--" + name in args:
            i = args.index("--" + name)
            values[key] = os.path.abspath(args[i + 1])
            del args[i:i + 2]
    listing = "--list" in args
    if listing:
        args.remove("--list")
    if len(args) < len(params):
        sys.exit("usage: %s [--wine] %s%s [-k PATTERN] [--list]" % (
            os.path.basename(sys.argv[0]), "".join("[--%s X] " % o for o in options),
            " ".join(params)))
    for name, value in zip(params, args):
        values[name] = os.path.abspath(value)
    patterns = []
    rest = args[len(params):]
    while rest:
        if rest[0] != "-k" or len(rest) < 2:
            sys.exit("unknown argument: %s" % rest[0])
        patterns.append(rest[1])
        rest = rest[2:]
    module.LAUNCHER = launcher
    for name, value in values.items():
        setattr(module, name, value)

    loader = unittest.TestLoader()
    if patterns:
        loader.testNamePatterns = ["*%s*" % p for p in patterns]
    suite = unittest.TestSuite()
    for case_class in vars(module).values():
        if not (isinstance(case_class, type) and issubclass(case_class, unittest.TestCase)
                and case_class.__module__ == module.__name__):
            continue
        if launcher.name not in getattr(case_class, "launchers", BOTH):
            continue
        for method in loader.getTestCaseNames(case_class):
            if launcher.name in getattr(getattr(case_class, method), "launchers", BOTH):
                suite.addTest(case_class(method))
    if listing:
        for case in suite:
            print(case.id())
        sys.exit(0)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() and result.testsRun else 1)
