"""The GUI test drivers, shared by every GUI test script in tests/gui: the X
session (guitest), Wine (wine), the program seen from outside (gui_e2e) and
the choice between the native build and the Windows build (launch)."""
