// The COMn -> device table; plain standard C++ so both builds and the
// command-line tool share it.
#include "serial/port_names.h"

#include <cstdlib>
#include <cstring>

namespace {

// n of "COMn" (1..kComPortCount), or 0 when the name is no such port.
// "COM" is matched without regard to case, as Windows does.
int ComNumber(const char* name) {
  if (std::strlen(name) < 4) return 0;
  for (int i = 0; i < 3; ++i) {
    const char c = name[i];
    if (c != "COM"[i] && c != "com"[i]) return 0;
  }
  const char* digits = name + 3;
  if (digits[0] == '0') return 0;  // no leading zeros: "COM05" is not COM5
  int n = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return 0;
    n = n * 10 + (*p - '0');
    if (n > kComPortCount) return 0;
  }
  return n;
}

}  // namespace

std::string DefaultDevicePathForCom(int n) {
  if (n >= 1 && n <= 4) return "/dev/ttyS" + std::to_string(n - 1);
  if (n >= 5 && n <= 10) return "/dev/ttyUSB" + std::to_string(n - 5);
  if (n >= 11 && n <= kComPortCount) return "/dev/ttyACM" + std::to_string(n - 11);
  return std::string();
}

std::string SerialDevicePathForName(const char* name) {
  if (name == nullptr || name[0] == '\0') return std::string();
  if (name[0] == '/') return name;
  const int n = ComNumber(name);
  if (n == 0) return std::string();
  const std::string variable = "UPDATE_FIRMWARE_COM" + std::to_string(n);
  const char* override_path = std::getenv(variable.c_str());
  if (override_path != nullptr && override_path[0] != '\0') return override_path;
  return DefaultDevicePathForCom(n);
}
