// Why a port is not usable, in words an operator can act on: the holder of a
// busy port named, a refused permission with its fix.
#include <cstring>

#include "cli/platform.h"
#include "cli/ports.h"
#include "update/doctor.h"

std::string PortErrorText(PortError error, int32_t system_error, bool has_device) {
  switch (error) {
    case PortErrorBusy:
      return "busy, held by another program";
    case PortErrorDenied:
      return "permission denied; on most distributions the user must be in the 'dialout' "
             "group: sudo usermod -aG dialout $USER, then log in again";
    case PortErrorNotSerial:
      return "not a serial device";
    case PortErrorSettings:
      return "does not take 9600 baud, 8 data bits, no parity, one stop bit";
    case PortErrorControllingTerminal:
      return "the terminal this program runs in, not a serial port";
    case PortErrorOther:
      return system_error != 0 ? std::strerror(system_error) : "cannot be opened";
    case PortErrorAbsent:
      // A COM name of the platform's own that leads nowhere says it all.
      return has_device ? "no such device" : std::string();
    case PortErrorNone:
      break;
  }
  return std::string();
}

std::string LastPortProblem(const std::string& port) {
  const std::string device = cli_platform::PortDevice(port);
  const std::string why = LastPortReason(port);
  if (why.empty()) return std::string();
  return device.empty() ? why : device + ": " + why;
}

std::string LastPortReason(const std::string& port) {
  int32_t system_error = 0;
  const PortError error = LastPortError(&system_error);
  const std::string device = cli_platform::PortDevice(port);
  std::string why = PortErrorText(error, system_error, !device.empty());
  if (error == PortErrorBusy) {
    // Name the holder where the platform can tell: a terminal left open, a
    // modem manager probing the port.
    char program[64] = {};
    const int32_t pid = PortHolder(port.c_str(), program, sizeof program);
    if (pid > 0) {
      why = "busy, in use by " + std::string(program[0] != '\0' ? program : "a program") +
            " (pid " + std::to_string(pid) + ")";
    }
  }
  if (error == PortErrorDenied && !device.empty()) {
    const std::string fix =
        AccessFix(DescribeDeviceAccess(device, CurrentUser(), std::string()), device);
    if (!fix.empty()) why = "permission denied; " + fix;
  }
  return why;
}
