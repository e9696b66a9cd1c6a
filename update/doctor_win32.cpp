// The facts `doctor` checks on Windows: the COM ports the system lists, and
// whether each opens.
#ifndef _WIN32
#error "doctor_win32.cpp asks the registry; Linux has doctor_posix.cpp"
#endif

#include <windows.h>

#include "update/doctor.h"

namespace {

// The port names under HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, where every
// serial driver enters the ports it made ("\Device\Serial0" = "COM1").
std::vector<std::string> ListedComPorts() {
  std::vector<std::string> names;
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (DWORD index = 0;; ++index) {
    char value_name[256];
    DWORD value_name_size = sizeof value_name;
    BYTE data[256];
    DWORD data_size = sizeof data - 1;
    DWORD type = 0;
    const LONG rc = RegEnumValueA(key, index, value_name, &value_name_size, nullptr, &type, data,
                                  &data_size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    data[data_size] = 0;
    const std::string name(reinterpret_cast<const char*>(data));
    if (!name.empty()) names.push_back(name);
  }
  RegCloseKey(key);
  return names;
}

}  // namespace

DoctorUser CurrentUser() { return DoctorUser{}; }

DeviceAccess DescribeDeviceAccess(const std::string&, const DoctorUser&, const std::string&) {
  return DeviceAccess{};
}

std::vector<Finding> CheckMachine(const DoctorRoots&) {
  std::vector<ComPortProbe> probes;
  for (const std::string& name : ListedComPorts()) {
    ComPortProbe probe;
    probe.name = name;
    if (ProbePort(name.c_str()) == 0) probe.error = LastPortError(&probe.system_error);
    probes.push_back(probe);
  }
  return ComPortFindings(probes);
}
