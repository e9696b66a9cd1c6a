// USB identities on Windows, from SetupAPI (a system DLL, so the program
// stays one file).
#if !defined(_WIN32)
#error "port_identity_win32.cpp is the Windows side of the USB identity"
#endif

#include <windows.h>
// clang-format off: setupapi.h and cfgmgr32.h need windows.h first
#include <cfgmgr32.h>
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <string>

#include "update/port_identity.h"

namespace {

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string RegistryProperty(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
  char text[512] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyA(set, device, property, &type,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                         nullptr) ||
      type != REG_SZ) {
    return std::string();
  }
  return text;
}

// The COM name the ports class gives the device, from its hardware key.
std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA* device) {
  HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return std::string();
  char text[256] = {};
  DWORD size = sizeof text - 1;
  DWORD type = 0;
  const LONG result =
      RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
  RegCloseKey(key);
  return result == ERROR_SUCCESS && type == REG_SZ ? std::string(text) : std::string();
}

// A property of a device node as it comes; a list (REG_MULTI_SZ) keeps the
// NULs between its strings.
std::string NodeProperty(DEVINST instance, ULONG property) {
  char text[2048] = {};
  ULONG size = sizeof text - 2;  // room for the two NULs ending a list
  ULONG type = 0;
  if (CM_Get_DevNode_Registry_PropertyA(instance, property, &type, text, &size, 0) != CR_SUCCESS ||
      (type != REG_SZ && type != REG_MULTI_SZ)) {
    return std::string();
  }
  if (type == REG_SZ) return std::string(text);
  return std::string(text, std::min<size_t>(size, sizeof text - 2));
}

std::string LocationOf(DEVINST instance) {
  return UsbLocationFromSetupApi(NodeProperty(instance, CM_DRP_LOCATION_PATHS),
                                 NodeProperty(instance, CM_DRP_LOCATION_INFORMATION));
}

std::string InstanceIdOf(DEVINST instance) {
  char text[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDA(instance, text, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return std::string();
  return text;
}

// The present port of the ports class named `name`: its identity in
// `found`. False when SetupAPI knows no such port.
bool FindPort(const std::string& name, UsbIdentity* found) {
  HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool present = false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    if (!SameName(PortNameOf(set, &device), name)) continue;
    present = true;
    *found = UsbIdentityFromInstanceId(InstanceIdOf(device.DevInst));
    if (!found->IsUsb()) break;
    // One interface of a composite device carries no serial of its own;
    // the device it belongs to does. A port of FTDI's own bus driver may
    // have no place either, while the USB device above it has.
    found->location = LocationOf(device.DevInst);
    DEVINST parent = 0;
    if ((found->serial.empty() || found->location.empty()) &&
        CM_Get_Parent(&parent, device.DevInst, 0) == CR_SUCCESS) {
      const UsbIdentity whole = UsbIdentityFromInstanceId(InstanceIdOf(parent));
      if (whole.vendor_id == found->vendor_id && whole.product_id == found->product_id) {
        if (found->serial.empty()) found->serial = whole.serial;
        if (found->location.empty()) found->location = LocationOf(parent);
      }
    }
    found->manufacturer = RegistryProperty(set, &device, SPDRP_MFG);
    found->product = RegistryProperty(set, &device, SPDRP_DEVICEDESC);
    break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return present;
}

// Whether `name` is a DOS device, as every port is, one outside the ports
// class (a virtual pair) too. Wine's links to host ttys are none to
// QueryDosDevice, so then the port is opened without access rights: not
// first, as opening a real port raises its modem lines, and on Windows a
// name QueryDosDevice does not know opens nothing anyway. A port in use
// is there all the same.
bool DosDeviceExists(const std::string& name) {
  char target[1024];
  if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) return true;
  HANDLE h = CreateFileA(("\\\\.\\" + name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION;
  }
  CloseHandle(h);
  return true;
}

}  // namespace

UsbIdentity FindUsbIdentity(const std::string& name, const std::string& /*sysfs_root*/) {
  UsbIdentity found;
  FindPort(name, &found);
  return found;
}

DeviceKey FindDeviceKey(const std::string& name, const std::string& /*sysfs_root*/) {
  UsbIdentity usb;
  if (!FindPort(name, &usb) && !DosDeviceExists(name)) return DeviceKey{};
  DeviceKey key;
  for (char c : name) key.device += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  key.usb = usb.serial;
  return key;
}
