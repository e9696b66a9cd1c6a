"""Checks the shape of the Windows executable without running it: a GUI
program (no console window), nothing but system DLLs imported (the C++ and
MinGW run-times are linked in), and an application manifest asking for the
version 6 common controls, with no icon resource.

    python3 check_exe.py EXE OBJDUMP WINDRES
"""
import re
import subprocess
import sys
import unittest

EXE = OBJDUMP = WINDRES = None

# What a Windows installation provides; anything else would have to ship
# beside the program.
SYSTEM_DLLS = {
    "advapi32.dll", "comctl32.dll", "comdlg32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
    "ole32.dll", "oleaut32.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "uxtheme.dll",
    "winmm.dll", "ws2_32.dll", "ntdll.dll", "setupapi.dll",
}


def run(args):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          timeout=60, check=True).stdout


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headers = run([OBJDUMP, "-p", EXE])
        cls.resources = run([WINDRES, "-i", EXE, "-J", "coff", "-O", "rc"])

    def test_gui_subsystem(self):
        self.assertRegex(self.headers, r"(?m)^Subsystem\s+00000002\s+\(Windows GUI\)")

    def test_only_system_dlls_are_imported(self):
        dlls = [d.lower() for d in re.findall(r"DLL Name: (\S+)", self.headers)]
        self.assertIn("user32.dll", dlls)
        self.assertEqual([d for d in dlls if d not in SYSTEM_DLLS], [])

    def test_manifest_asks_for_common_controls_6_and_no_icon(self):
        # windres lists each resource as "<name> <type> /* RT_<TYPE> */".
        entries = re.findall(r"(?m)^(\S+) \d+ /\* (RT_\w+) \*/", self.resources)
        self.assertIn(("1", "RT_MANIFEST"), entries)
        kinds = {kind for _, kind in entries}
        self.assertNotIn("RT_ICON", kinds)
        self.assertNotIn("RT_GROUP_ICON", kinds)
        text = self.resources.replace('""', '"')
        self.assertIn('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', text)
        self.assertIn('publicKeyToken="6595b64144ccf1df"', text)
        self.assertIn('level="asInvoker"', text)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit("usage: check_exe.py EXE OBJDUMP WINDRES [unittest args]")
    EXE, OBJDUMP, WINDRES = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
