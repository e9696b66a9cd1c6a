// What the command-line front end needs from its platform backend
// (cli_posix.cpp, cli_win32.cpp). Internal to cli/.
#pragma once

#include <string>

// Why a port failed to open, found out after the fact.
enum class PortTrouble {
  None,              // nothing known (the platform cannot tell)
  Absent,            // the name leads nowhere, or no device is there
  Busy,              // held by another program
  PermissionDenied,  // the user may not open the device
  Other,             // the device opened but something else failed
};

struct PortDiagnosis {
  PortTrouble trouble = PortTrouble::None;
  std::string device;  // what the name leads to, when known
  std::string detail;  // for Other: what went wrong, in plain words
};

namespace cli_backend {

// Readies the process before anything is opened: standard streams that are
// present, and Ctrl+C (plus, where the platform has them, termination and
// hang-up) ending the program with 128 + signal number (130 for Ctrl+C)
// after releasing the port and the file.
void PrepareProcess();

// Whether standard error is a terminal (a console on Windows), where the
// progress bar can redraw in place.
bool StderrIsTerminal();

// The device a port name leads to, for `list` to show; empty where port
// names are the platform's own (Windows).
std::string PortDevice(const std::string& name);

PortDiagnosis DiagnosePort(const std::string& name);

}  // namespace cli_backend
