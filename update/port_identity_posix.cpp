// USB identities on Linux and other systems with sysfs.
#if defined(_WIN32)
#error "port_identity_posix.cpp is the POSIX side of the USB identity"
#endif

#include "serial/port_names.h"
#include "update/port_identity.h"

UsbIdentity FindUsbIdentity(const std::string& name, const std::string& sysfs_root) {
  const std::string device = SerialDevicePathForName(name.c_str());
  if (device.empty()) return UsbIdentity{};
  return UsbIdentityFromSysfs(sysfs_root, device);
}
